// The sender client's option table, help texts and settings record, bound to the
// shared option engine.
#include "client/settings.h"

#include <stddef.h>

args_info_t args_info;

const char* gengetopt_args_info_purpose = "";
const char* gengetopt_args_info_usage = "Usage: quorrel_client [OPTIONS]...";
const char* gengetopt_args_info_description = "";
const char* gengetopt_args_info_versiontext = "";

const char* gengetopt_args_info_help[] = {
    "  -h, --help             Print help and exit",
    "  -V, --version          Print version and exit",
    "  -c, --config=STRING    config files",
    "      --unixsock=STRING  unix socket path",
    "  -f, --file=STRING      data file",
    "  -D, --data=STRING      data string",
    "  -d, --debug=INT        debug level  (default=`4')",
    "      --daemon           daemon mode  (default=off)",
    nullptr,
};

namespace {

#define FIELD(name) offsetof(args_info_t, name)

const cmdline_option kOptions[] = {
    {"help", 'h', ARG_NO, 0, false, kNoField, kNoField, FIELD(help_help), FIELD(help_given)},
    {"version", 'V', ARG_NO, 0, false, kNoField, kNoField, FIELD(version_help),
     FIELD(version_given)},
    {"config", 'c', ARG_STRING, 0, false, FIELD(config_arg), FIELD(config_orig), FIELD(config_help),
     FIELD(config_given)},
    {"unixsock", 0, ARG_STRING, 0, true, FIELD(unixsock_arg), FIELD(unixsock_orig),
     FIELD(unixsock_help), FIELD(unixsock_given)},
    {"file", 'f', ARG_STRING, 0, false, FIELD(file_arg), FIELD(file_orig), FIELD(file_help),
     FIELD(file_given)},
    {"data", 'D', ARG_STRING, 0, false, FIELD(data_arg), FIELD(data_orig), FIELD(data_help),
     FIELD(data_given)},
    {"debug", 'd', ARG_INT, 4, false, FIELD(debug_arg), FIELD(debug_orig), FIELD(debug_help),
     FIELD(debug_given)},
    {"daemon", 0, ARG_FLAG, 0, false, FIELD(daemon_flag), kNoField, FIELD(daemon_help),
     FIELD(daemon_given)},
};

#undef FIELD

}  // namespace

const cmdline_program kCmdlineProgram = {
    "quorrel_client",
    QUORREL_VERSION,
    "",
    "Usage: quorrel_client [OPTIONS]...",
    "",
    "",
    gengetopt_args_info_help,
    kOptions,
    sizeof(kOptions) / sizeof(kOptions[0]),
};

#include "common/cmdline_bindings.inc"
