// The MQTT session's callbacks, the publish entry point of both ingress paths,
// and the command lines of the scripts the session starts.
//
// Thread: the my_*_callback functions run on libmosquitto's network thread
// (my_log_callback and my_pw_callback also on the main thread during the first
// connect); publish_msg runs on the main thread inside the event loop. They
// share only `isconnect` and the read-only settings. None lets an exception
// escape into the library.
#ifndef QUORREL_SERVER_MQTT_SESSION_H_
#define QUORREL_SERVER_MQTT_SESSION_H_

#include <stddef.h>

#include <atomic>

struct mosquitto;
struct mosquitto_message;

// 1 while the broker has accepted the session, else 0. Written by the network
// thread (connect/disconnect callbacks), read by the main thread; it guards no
// other data, so relaxed ordering suffices.
extern std::atomic<int> isconnect;

// Publishes handed to the library that it has not reported done yet (sent at
// QoS 0, acknowledged at QoS 1 and 2). Counted up by the main thread, down by
// the network thread. Only decides when memory is handed back, so a count
// that drifts (the library reports nothing for what it drops with a session)
// costs nothing worse than a trim too early or too late.
extern std::atomic<int> unfinished_publishes;

// How many publishes must have been waiting at once for their end to count
// as a burst whose memory is worth handing back to the system.
constexpr int kTrimAfterPublishes = 1024;

// Main thread, after the library took a publish.
void publish_started() noexcept;

// Network thread, when the library reports a publish done. True when none is
// left waiting and at least kTrimAfterPublishes were waiting at once since
// the last true: the caller then returns the freed memory to the system.
bool publish_finished() noexcept;

// Network thread, when the session drops: starts counting afresh.
void forget_unfinished_publishes() noexcept;

// Largest command (with its NUL) the kernel accepts as one argument of
// `sh -c`: MAX_ARG_STRLEN on Linux. Longer commands are not run.
constexpr size_t kMaxScriptCommand = 131072;

// Connect result: on 0 marks the session up, subscribes to `subtopic` (when
// given) and starts the `onconnect` script (when given). On a refusal logs the
// broker's reason and does none of that.
void my_connect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept;

// Marks the session down and forgets unfinished publishes; libmosquitto's
// network thread reconnects by itself.
void my_disconnect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept;

// Runs the `script` (when given) for a non-empty inbound message, with the
// payload up to its first NUL as $1 and the `unixsock` setting as $2.
// The library keeps ownership of `message`.
void my_message_callback(struct mosquitto* mosq, void* obj,
                         const struct mosquitto_message* message) noexcept;

// Logs the id of a message the library has sent or had acknowledged; at the
// end of a burst (publish_finished) hands freed memory back (heap_release_free),
// so that the daemon shrinks again once the broker has caught up.
void my_publish_callback(struct mosquitto* mosq, void* obj, int mid) noexcept;

// Writes the library's own messages as DEBUG lines, whatever their level.
void my_log_callback(struct mosquitto* mosq, void* obj, int level, const char* str) noexcept;

// TLS key-password callback: copies the `keypassword` setting (without NUL)
// into `buf` and returns its length; 0 when not given. A password longer than
// `size` ends the process with status 255.
int my_pw_callback(char* buf, int size, int rwflag, void* userdata) noexcept;

// The publish_fn of both ingress paths. `arg` is the struct mosquitto handle.
// Publishes `payloadlen` bytes to `topic` with `qos`, not retained, while the
// session is up; drops them silently while it is down. The library copies the
// bytes before returning, so the caller may reuse them at once. Main thread.
void publish_msg(void* arg, const void* payload, int payloadlen) noexcept;

// Bytes shell_quote writes for `text[0 .. len)`.
size_t shell_quoted_length(const char* text, size_t len);

// Writes `text[0 .. len)` to `out` as one single-quoted shell word that sh
// reads back verbatim: each ' becomes '\''. Returns the bytes written (no
// NUL is added). REQUIRES: `out` has room for shell_quoted_length() bytes.
size_t shell_quote(char* out, const char* text, size_t len);

// "sh <script> '<payload>' '<sockpath>' &", with payload and socket path quoted
// by shell_quote. The payload is taken up to its first NUL or `payload_len`,
// whichever comes first. `script` is trusted configuration and stays as
// written. Returns a NUL-terminated string from malloc that the caller frees,
// with its length in `*length`. Null when memory runs out, and when the
// command would not fit (script_command_fits); `*length` is set either way.
char* build_script_command(const char* script, const char* payload, size_t payload_len,
                           const char* sockpath, size_t* length);

// "sh <onconnect> &", allocated (or refused as too long) like
// build_script_command.
char* build_onconnect_command(const char* onconnect, size_t* length);

// True when a command of `length` characters (without NUL) can be run.
bool script_command_fits(size_t length);

// Hands the NUL-terminated `command` of `length` characters to system() when
// it fits; otherwise logs an ERR line and runs nothing (`command` may then be
// null). Returns 0 when handed
// on, 1 when refused.
int run_script_command(const char* command, size_t length);

#endif  // QUORREL_SERVER_MQTT_SESSION_H_
