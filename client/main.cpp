// quorrel_client: sends one message (a file or a text) to quorreld.
#include <unistd.h>

#include "client/sender.h"
#include "client/settings.h"
#include "common/log.h"

int main(int argc, char** argv) {
  proc_args(argc, argv);
  if (daemon_mode) {
    // Detach keeping the working directory; the result is of no use here,
    // as every further line goes to the system log either way.
    (void)daemon(1, 0);
  }
  return send_message(argv[0]);
}
