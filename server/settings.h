// The daemon's settings record and argument processing.
//
// `args_info` is filled once by proc_args on the main thread before any other
// thread exists and is read-only afterwards, so both threads may read it
// without a lock. Strings are owned by the record (null when not given);
// integers are signed 32-bit; counters count how often an option was taken.
#ifndef QUORREL_SERVER_SETTINGS_H_
#define QUORREL_SERVER_SETTINGS_H_

#include <stdint.h>
#include <stdio.h>

#include "common/cmdline_engine.h"
#include "common/cmdline_rows.h"

// Every option of quorreld, one row each in table order (see cmdline_rows.h):
// name, short letter, kind, default, required, help line.
#define QUORRELD_OPTIONS(OPTION)                                                                   \
  OPTION(help, 'h', ARG_NO, 0, false, "  -h, --help                Print help and exit")           \
  OPTION(version, 'V', ARG_NO, 0, false, "  -V, --version             Print version and exit")     \
  OPTION(config, 'c', ARG_STRING, 0, false, "  -c, --config=STRING       config files")            \
  OPTION(unixsock, 0, ARG_STRING, 0, true, "      --unixsock=STRING     unix socket path")         \
  OPTION(unixudpsock, 'u', ARG_STRING, 0, true,                                                    \
         "  -u, --unixudpsock=STRING  unix udp socket path")                                       \
  OPTION(host, 0, ARG_STRING, 0, true, "      --host=STRING         host")                         \
  OPTION(port, 'p', ARG_INT, 1883, false, "  -p, --port=INT            port  (default=`1883')")    \
  OPTION(keepalive, 0, ARG_INT, 10, false,                                                         \
         "      --keepalive=INT       keepalive  (default=`10')")                                  \
  OPTION(qos, 'q', ARG_INT, 0, false, "  -q, --qos=INT             qos class  (default=`0')")      \
  OPTION(subqos, 0, ARG_INT, 0, false, "      --subqos=INT          sub qos class  (default=`0')") \
  OPTION(id, 'i', ARG_STRING, 0, false, "  -i, --id=STRING           id")                          \
  OPTION(clean_session, 0, ARG_FLAG, 1, false,                                                     \
         "      --clean_session       clean session  (default=on)")                                \
  OPTION(topic, 't', ARG_STRING, 0, true, "  -t, --topic=STRING        topic")                     \
  OPTION(subtopic, 0, ARG_STRING, 0, false, "      --subtopic=STRING     subtopic")                \
  OPTION(insecure, 0, ARG_FLAG, 1, false, "      --insecure            insecure  (default=on)")    \
  OPTION(username, 0, ARG_STRING, 0, false, "      --username=STRING     username")                \
  OPTION(password, 0, ARG_STRING, 0, false, "      --password=STRING     password")                \
  OPTION(cafile, 0, ARG_STRING, 0, false, "      --cafile=STRING       cafile")                    \
  OPTION(cert, 0, ARG_STRING, 0, false, "      --cert=STRING         cert")                        \
  OPTION(key, 0, ARG_STRING, 0, false, "      --key=STRING          key")                          \
  OPTION(keypassword, 0, ARG_STRING, 0, false, "      --keypassword=STRING  key password")         \
  OPTION(script, 0, ARG_STRING, 0, false, "      --script=STRING       script")                    \
  OPTION(onconnect, 0, ARG_STRING, 0, false, "      --onconnect=STRING    connected script")       \
  OPTION(willpayload, 0, ARG_STRING, 0, false, "      --willpayload=STRING  will payload")         \
  OPTION(willqos, 0, ARG_INT, 0, false, "      --willqos=INT         will qos  (default=`0')")     \
  OPTION(willretain, 0, ARG_INT, 0, false,                                                         \
         "      --willretain=INT      will retain  (default=`0')")                                 \
  OPTION(willtopic, 0, ARG_STRING, 0, false, "      --willtopic=STRING    will topic")             \
  OPTION(debug, 'd', ARG_INT, 4, false, "  -d, --debug=INT           debug level  (default=`4')")  \
  OPTION(daemon, 0, ARG_FLAG, 0, false, "      --daemon              daemon mode  (default=off)")  \
  OPTION(queuesize, 0, ARG_INT, 0, false,                                                          \
         "      --queuesize=INT       queue size in KiB  (default=`0')")                           \
  OPTION(queuedir, 0, ARG_STRING, 0, false, "      --queuedir=STRING     queue directory")         \
  OPTION(protocol, 0, ARG_STRING, 0, false,                                                        \
         "      --protocol=STRING     mqtt protocol, 3.1.1 or 5  (default=`3.1.1')")               \
  OPTION(sessionexpiry, 0, ARG_INT, 0, false,                                                      \
         "      --sessionexpiry=INT   session expiry in seconds  (default=`0')")                   \
  OPTION(messageexpiry, 0, ARG_INT, 0, false,                                                      \
         "      --messageexpiry=INT   message expiry in seconds  (default=`0')")                   \
  OPTION(alpn, 0, ARG_STRING, 0, false, "      --alpn=STRING         tls alpn protocol")           \
  OPTION(keyform, 0, ARG_STRING, 0, false,                                                         \
         "      --keyform=STRING      key form, pem or engine  (default=`pem')")                   \
  OPTION(tlsengine, 0, ARG_STRING, 0, false, "      --tlsengine=STRING    tls engine")

// True when the `protocol` setting asks for MQTT 5; MQTT 3.1.1 when it is
// not given. Any thread, after proc_args.
bool mqtt5_protocol();

// True when TLS is configured: `cafile`, `cert` and `key` all given.
bool tls_configured();

// True when the `keyform` setting asks for a key held by an OpenSSL engine
// (`tlsengine`), which `key` then names; a PEM file when not given.
bool engine_keyform();

// The value of a setting that takes 0 to 4294967295 (the `sessionexpiry`
// and `messageexpiry` settings: MQTT carries them in 32 bits, wider than the
// option engine's integers), read from the text it was given as. False when
// that text is not such a number; *value is then 0. A setting not given
// reads as 0. Any thread, after proc_args.
bool uint32_setting(uint32_t given, const char* orig, uint32_t* value);

// The `sessionexpiry` and `messageexpiry` settings in seconds, 0 when not
// given or not usable (settings_usable refuses those). Any thread.
uint32_t session_expiry_setting();
uint32_t message_expiry_setting();

// Largest queuesize, in KiB.
constexpr int kMaxQueueKib = 4194303;

struct args_info_t {
  QUORRELD_OPTIONS(CMDLINE_RECORD_FIELDS)
  QUORRELD_OPTIONS(CMDLINE_RECORD_GIVEN)
};

#include "common/cmdline_bindings.h"

#endif  // QUORREL_SERVER_SETTINGS_H_
