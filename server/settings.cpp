// The daemon's option table, help texts and settings record, bound to the
// shared option engine.
#include "server/settings.h"

#include <stddef.h>

args_info_t args_info;

const char* gengetopt_args_info_purpose = "";
const char* gengetopt_args_info_usage = "Usage: quorreld [OPTIONS]...";
const char* gengetopt_args_info_description = "";
const char* gengetopt_args_info_versiontext = "";

const char* gengetopt_args_info_help[] = {
    "  -h, --help                Print help and exit",
    "  -V, --version             Print version and exit",
    "  -c, --config=STRING       config files",
    "      --unixsock=STRING     unix socket path",
    "  -u, --unixudpsock=STRING  unix udp socket path",
    "      --host=STRING         host",
    "  -p, --port=INT            port  (default=`1883')",
    "      --keepalive=INT       keepalive  (default=`10')",
    "  -q, --qos=INT             qos class  (default=`0')",
    "      --subqos=INT          sub qos class  (default=`0')",
    "  -i, --id=STRING           id",
    "      --clean_session       clean session  (default=on)",
    "  -t, --topic=STRING        topic",
    "      --subtopic=STRING     subtopic",
    "      --insecure            insecure  (default=on)",
    "      --username=STRING     username",
    "      --password=STRING     password",
    "      --cafile=STRING       cafile",
    "      --cert=STRING         cert",
    "      --key=STRING          key",
    "      --keypassword=STRING  key password",
    "      --script=STRING       script",
    "      --onconnect=STRING    connected script",
    "      --willpayload=STRING  will payload",
    "      --willqos=INT         will qos  (default=`0')",
    "      --willretain=INT      will retain  (default=`0')",
    "      --willtopic=STRING    will topic",
    "  -d, --debug=INT           debug level  (default=`4')",
    "      --daemon              daemon mode  (default=off)",
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
    {"unixudpsock", 'u', ARG_STRING, 0, true, FIELD(unixudpsock_arg), FIELD(unixudpsock_orig),
     FIELD(unixudpsock_help), FIELD(unixudpsock_given)},
    {"host", 0, ARG_STRING, 0, true, FIELD(host_arg), FIELD(host_orig), FIELD(host_help),
     FIELD(host_given)},
    {"port", 'p', ARG_INT, 1883, false, FIELD(port_arg), FIELD(port_orig), FIELD(port_help),
     FIELD(port_given)},
    {"keepalive", 0, ARG_INT, 10, false, FIELD(keepalive_arg), FIELD(keepalive_orig),
     FIELD(keepalive_help), FIELD(keepalive_given)},
    {"qos", 'q', ARG_INT, 0, false, FIELD(qos_arg), FIELD(qos_orig), FIELD(qos_help),
     FIELD(qos_given)},
    {"subqos", 0, ARG_INT, 0, false, FIELD(subqos_arg), FIELD(subqos_orig), FIELD(subqos_help),
     FIELD(subqos_given)},
    {"id", 'i', ARG_STRING, 0, false, FIELD(id_arg), FIELD(id_orig), FIELD(id_help),
     FIELD(id_given)},
    {"clean_session", 0, ARG_FLAG, 1, false, FIELD(clean_session_flag), kNoField,
     FIELD(clean_session_help), FIELD(clean_session_given)},
    {"topic", 't', ARG_STRING, 0, true, FIELD(topic_arg), FIELD(topic_orig), FIELD(topic_help),
     FIELD(topic_given)},
    {"subtopic", 0, ARG_STRING, 0, false, FIELD(subtopic_arg), FIELD(subtopic_orig),
     FIELD(subtopic_help), FIELD(subtopic_given)},
    {"insecure", 0, ARG_FLAG, 1, false, FIELD(insecure_flag), kNoField, FIELD(insecure_help),
     FIELD(insecure_given)},
    {"username", 0, ARG_STRING, 0, false, FIELD(username_arg), FIELD(username_orig),
     FIELD(username_help), FIELD(username_given)},
    {"password", 0, ARG_STRING, 0, false, FIELD(password_arg), FIELD(password_orig),
     FIELD(password_help), FIELD(password_given)},
    {"cafile", 0, ARG_STRING, 0, false, FIELD(cafile_arg), FIELD(cafile_orig), FIELD(cafile_help),
     FIELD(cafile_given)},
    {"cert", 0, ARG_STRING, 0, false, FIELD(cert_arg), FIELD(cert_orig), FIELD(cert_help),
     FIELD(cert_given)},
    {"key", 0, ARG_STRING, 0, false, FIELD(key_arg), FIELD(key_orig), FIELD(key_help),
     FIELD(key_given)},
    {"keypassword", 0, ARG_STRING, 0, false, FIELD(keypassword_arg), FIELD(keypassword_orig),
     FIELD(keypassword_help), FIELD(keypassword_given)},
    {"script", 0, ARG_STRING, 0, false, FIELD(script_arg), FIELD(script_orig), FIELD(script_help),
     FIELD(script_given)},
    {"onconnect", 0, ARG_STRING, 0, false, FIELD(onconnect_arg), FIELD(onconnect_orig),
     FIELD(onconnect_help), FIELD(onconnect_given)},
    {"willpayload", 0, ARG_STRING, 0, false, FIELD(willpayload_arg), FIELD(willpayload_orig),
     FIELD(willpayload_help), FIELD(willpayload_given)},
    {"willqos", 0, ARG_INT, 0, false, FIELD(willqos_arg), FIELD(willqos_orig), FIELD(willqos_help),
     FIELD(willqos_given)},
    {"willretain", 0, ARG_INT, 0, false, FIELD(willretain_arg), FIELD(willretain_orig),
     FIELD(willretain_help), FIELD(willretain_given)},
    {"willtopic", 0, ARG_STRING, 0, false, FIELD(willtopic_arg), FIELD(willtopic_orig),
     FIELD(willtopic_help), FIELD(willtopic_given)},
    {"debug", 'd', ARG_INT, 4, false, FIELD(debug_arg), FIELD(debug_orig), FIELD(debug_help),
     FIELD(debug_given)},
    {"daemon", 0, ARG_FLAG, 0, false, FIELD(daemon_flag), kNoField, FIELD(daemon_help),
     FIELD(daemon_given)},
};

#undef FIELD

}  // namespace

const cmdline_program kCmdlineProgram = {
    "quorreld",
    QUORREL_VERSION,
    "",
    "Usage: quorreld [OPTIONS]...",
    "",
    "",
    gengetopt_args_info_help,
    kOptions,
    sizeof(kOptions) / sizeof(kOptions[0]),
};

#include "common/cmdline_bindings.inc"
