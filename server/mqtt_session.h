// The MQTT session's callbacks and the publish entry point of both ingress
// paths. The scripts they start are built and run by script_command; the
// publishes they count, by publish_count.
//
// Thread: the my_*_callback functions run on the session thread
// (session_supervisor), which runs libmosquitto's loop; publish_msg runs on
// the main thread inside the event loop. They
// share only `isconnect`, the drop counters, the publish records
// (publish_count) and the read-only settings. None lets an exception
// escape into the library.
#ifndef QUORREL_SERVER_MQTT_SESSION_H_
#define QUORREL_SERVER_MQTT_SESSION_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>

struct mosquitto;
struct mosquitto_message;

// 1 while the broker has accepted the session, else 0. Written by the network
// thread (connect/disconnect callbacks), read by the main thread; it guards no
// other data, so relaxed ordering suffices.
extern std::atomic<int> isconnect;

// Local messages dropped because the session was down, by path: counted by
// the main thread (ingress_gate's publish entries), reported and cleared by
// the session thread when a lost session is back.
extern std::atomic<unsigned> dropped_datagrams;
extern std::atomic<unsigned> dropped_stream_messages;

// Connect result: on 0 marks the session up, subscribes to `subtopic` (when
// given) and starts the `onconnect` script (when given). On a refusal does
// none of that (session_supervisor reports it with the failed attempts). After a lost session, one WARNING
// line tells how long it was down and how many datagrams and stream messages
// were dropped meanwhile. A subscription the library will not send gives one
// ERR line with the topic and the library's reason.
void my_connect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept;

// The broker's answer (SUBACK) to the subscription my_connect_callback made,
// matched by its message id; other answers are passed over. A refusal
// (return code 0x80 or above) gives one ERR line, a QoS below `subqos` one
// WARNING line, each naming the topic. The library keeps ownership of
// `granted_qos`.
void my_subscribe_callback(struct mosquitto* mosq, void* obj, int mid, int qos_count,
                           const int* granted_qos) noexcept;

// Marks the session down and, at QoS 0, forgets unfinished publishes (the
// library has dropped them). When the session was up, one WARNING line gives
// the reason (session_error_text, from `rc` and errno as the library left
// it) and, at QoS 0, how many publishes the library dropped unsent with the
// connection. The session thread connects again.
void my_disconnect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept;

// Runs the `script` (when given) for a non-empty inbound message, with the
// payload up to its first NUL as $1 and the `unixsock` setting as $2.
// The library keeps ownership of `message`.
void my_message_callback(struct mosquitto* mosq, void* obj,
                         const struct mosquitto_message* message) noexcept;

// Logs the id of a message the library has sent or had acknowledged; at the
// end of a burst (publish_finished) hands freed memory back (heap_release_free),
// so that the daemon shrinks again once the broker has caught up; at the
// low-water mark has the main thread resume reading (ingress_gate_wake).
void my_publish_callback(struct mosquitto* mosq, void* obj, int mid) noexcept;

// Writes the library's own messages as DEBUG lines, whatever their level.
void my_log_callback(struct mosquitto* mosq, void* obj, int level, const char* str) noexcept;

// TLS key-password callback: copies the `keypassword` setting (without NUL)
// into `buf` and returns its length; 0 when not given. A password longer than
// `size` ends the process with status 255.
int my_pw_callback(char* buf, int size, int rwflag, void* userdata) noexcept;

// Publishes `payloadlen` bytes to `topic` with `qos`, not retained, while the
// session is up; drops them while it is down. `arg` is the struct mosquitto
// handle. The library copies the bytes before returning, so the caller may
// reuse them at once. A publish taken is recorded for back-pressure
// (publish_taken). A publish the library refuses is lost, with an ERR line
// carrying the library's reason at most once per kPublishFailureLogSeconds;
// the next line shown counts those held back. Both ingress paths reach it
// through ingress_gate's publish entries. Main thread.
void publish_msg(void* arg, const void* payload, int payloadlen) noexcept;

// publish_msg, telling what became of the message: false when it was dropped
// because the session is down, true when it was handed on (to the library,
// or refused by it with the ERR line). Main thread.
bool publish_local(void* arg, const void* payload, int payloadlen) noexcept;

// The text and number that name why an MQTT call or a session failed with
// the library's result `rc` and, for MOSQ_ERR_ERRNO and MOSQ_ERR_EAI, the
// `err` the library left in errno: the system's text and number for an
// errno, the resolver's text for a failed name lookup, "keepalive timeout"
// for a broker that stopped answering (the library's own text for it is
// "Unknown error."), else the library's text and result. Any thread.
const char* session_error_text(int rc, int err) noexcept;
int session_error_code(int rc, int err) noexcept;

// Least time between two "publish failed" lines.
constexpr double kPublishFailureLogSeconds = 1.0;

// MQTT's largest remaining length: what a packet may hold after its fixed
// header.
constexpr uint32_t kMqttMaxRemainingLength = 268435455;

// The longest payload a PUBLISH to a topic of `topic_len` bytes at `qos` can
// carry (MQTT 3.1.1, which the daemon speaks, so no properties): the packet
// also holds the topic after its 2-byte length and, above QoS 0, a 2-byte
// packet id. 0 when not even an empty payload fits. The library would refuse
// anything longer, and at QoS 1 and 2 keep its copy for good.
uint32_t publish_payload_limit(size_t topic_len, int qos) noexcept;

#endif  // QUORREL_SERVER_MQTT_SESSION_H_
