// The sender client's settings record and argument processing.
//
// `args_info` is filled once by proc_args at start-up; strings are owned by
// the record (null when not given).
#ifndef QUORREL_CLIENT_SETTINGS_H_
#define QUORREL_CLIENT_SETTINGS_H_

#include <stdint.h>
#include <stdio.h>

#include "common/cmdline_engine.h"
#include "common/cmdline_rows.h"

// Every option of quorrel_client, one row each in table order (see cmdline_rows.h):
// name, short letter, kind, default, required, help line.
#define QUORREL_CLIENT_OPTIONS(OPTION)                                                         \
  OPTION(help, 'h', ARG_NO, 0, false, "  -h, --help             Print help and exit")          \
  OPTION(version, 'V', ARG_NO, 0, false, "  -V, --version          Print version and exit")    \
  OPTION(config, 'c', ARG_STRING, 0, false, "  -c, --config=STRING    config files")           \
  OPTION(unixsock, 0, ARG_STRING, 0, true, "      --unixsock=STRING  unix socket path")        \
  OPTION(file, 'f', ARG_STRING, 0, false, "  -f, --file=STRING      data file")                \
  OPTION(data, 'D', ARG_STRING, 0, false, "  -D, --data=STRING      data string")              \
  OPTION(debug, 'd', ARG_INT, 4, false, "  -d, --debug=INT        debug level  (default=`4')") \
  OPTION(daemon, 0, ARG_FLAG, 0, false, "      --daemon           daemon mode  (default=off)") \
  OPTION(status, 0, ARG_FLAG, 0, false,                                                        \
         "      --status           print the daemon's status and exit  (default=off)")

struct args_info_t {
  QUORREL_CLIENT_OPTIONS(CMDLINE_RECORD_FIELDS)
  QUORREL_CLIENT_OPTIONS(CMDLINE_RECORD_GIVEN)
};

#include "common/cmdline_bindings.h"

#endif  // QUORREL_CLIENT_SETTINGS_H_
