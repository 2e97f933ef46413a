// quorrel_client: sends one message (a file or a text) to quorreld, or asks it
// for its status.
#include <errno.h>
#include <unistd.h>

#include "client/sender.h"
#include "client/settings.h"
#include "client/status.h"
#include "common/log.h"

int main(int argc, char** argv) {
  proc_args(argc, argv);
  // A question for the daemon, answered on standard output: never detached.
  if (args_info.status_flag != 0) return print_status(argv[0]);
  // Detach keeping the working directory, so that a relative file name
  // still names the same file.
  if (daemon_mode && daemon(1, 0) != 0) {
    const int err = errno;
    diag_err_errno(err, "daemon failed");
    return 1;
  }
  return send_message(argv[0]);
}
