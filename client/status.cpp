#include "client/status.h"

#include <errno.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "client/sender.h"
#include "client/settings.h"
#include "common/log.h"
#include "common/status_query.h"
#include "common/unix_address.h"

int print_status(const char* program) {
  if (args_info.data_given != 0 || args_info.file_given != 0) {
    diag_err("--status sends no message: drop -D/-f\n");
    return 1;
  }
  struct sockaddr_un addr;
  const int addr_len = unix_address(&addr, args_info.unixsock_arg);
  if (addr_len < 0) {
    diag_err("%.255s socket name too long\n", args_info.unixsock_arg);
    return 1;
  }
  const int fd = connect_to_daemon(addr, addr_len, kStatusAddressPrefix);
  if (fd < 0) return 1;
  // The daemon answers at once and closes; the request carries no byte.
  static char answer[kStatusAnswerMax + 1];
  const size_t used = end_and_read_reply(fd, answer, sizeof answer);
  close(fd);
  if (!status_answer_valid(answer, used)) {
    fprintf(stderr, "%s: no status: the daemon stopped, or the peer is not quorreld\n", program);
    return 1;
  }
  if (fwrite(answer, 1, used, stdout) != used || fflush(stdout) != 0) return 1;
  return 0;
}
