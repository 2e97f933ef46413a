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

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "server/held_message.h"

struct mosquitto;
struct mosquitto_message;

// 1 while the broker has accepted the session, else 0. Written by the network
// thread (connect/disconnect callbacks), read by the main thread; it guards no
// other data, so relaxed ordering suffices.
extern std::atomic<int> isconnect;

// Local messages dropped because the session was down, by path: counted by
// the main thread (the relay), reported and cleared by
// the session thread when a lost session is back.
extern std::atomic<unsigned> dropped_datagrams;
extern std::atomic<unsigned> dropped_stream_messages;

// The session's state, one record, handed to the library's callbacks as
// their user data (a null user data means this record too). The flag that
// says whether the session is up is `isconnect`; the drop counts are
// dropped_datagrams and dropped_stream_messages.
struct session_state {
  // Held by the main thread around each publish (check the flag, publish,
  // record the copy), and by the session thread while it takes back what
  // the library held and starts the client afresh after a lost session: so
  // no publish falls between the two.
  pthread_mutex_t publish_lock;
  // Set before the session thread starts, read-only afterwards.
  // Called on the session thread when the session went up or down or the
  // library's holdings fell to the low-water mark; must be safe on any thread.
  void (*wake)(void);
  // Called on the session thread with the messages a lost session leaves
  // unfinished, oldest first, which it takes over (the library has forgotten
  // them); null: they are freed.
  void (*give_back)(held_list* messages);
  // Messages wait in a queue (queuesize above 0): what a lost session leaves
  // unfinished is given back at QoS 0 too.
  bool queue_enabled;

  // The rest belongs to the session thread.
  bool lost;             // a session was lost and none is up yet
  double lost_at;        // when
  int subscribe_mid;     // id of the SUBACK awaited, 0 for none
  uint64_t suspect_seq;  // the oldest unfinished message at the last short sessions
  int suspect_strikes;   // how many short sessions in a row it was the oldest
};

extern session_state session;

// Sessions ending this soon after the broker accepted them count against
// the oldest message the library held then, and after this many in a row it
// is given up: a broker that will not take a message (over its packet size
// limit, say) closes the session each time it is sent.
constexpr double kShortSessionSeconds = 10.0;
constexpr int kPoisonStrikes = 3;

// Session thread, after a session has ended and before the client is
// started afresh (which makes the library forget everything it held): takes
// back the copies of what the library had not finished and hands them to
// session.give_back, oldest first. At QoS 0 without a queue they are
// dropped instead, as the library itself drops unsent QoS 0 packets.
// `short_session`: the session lasted less than kShortSessionSeconds; the
// oldest message, when it was the oldest at kPoisonStrikes such sessions in
// a row, is given up with an ERR line naming its size.
// REQUIRES: session.publish_lock held.
void session_take_back(bool short_session) noexcept;

// What publish_held made of a message.
enum publish_outcome {
  kPublishTaken,        // the library took it; the message is held until done
  kPublishSessionDown,  // not published: the session is down, or its connection
                        // ended before the session thread said so (the caller keeps it)
  kPublishRefused,      // the library refused it (ERR line); the message is freed
};

// Publishes `m` to `topic` with `qos`, not retained, when the session is up,
// keeping it (publish_count) until the library is done with it. On
// kPublishRefused, `refusal` (when not null, of `refusal_size` bytes) gets
// the library's reason. Main thread.
publish_outcome publish_held(void* arg, held_message* m, char* refusal,
                             size_t refusal_size) noexcept;

// Connect result: on 0 marks the session up, subscribes to `subtopic` (when
// given) and starts the `onconnect` script (when given). On a refusal does
// none of that (session_supervisor reports it with the failed attempts). After a lost session, one
// WARNING line tells how long it was down and how many datagrams and stream messages were dropped
// meanwhile. A subscription the library will not send gives one ERR line with the topic and the
// library's reason.
void my_connect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept;

// The broker's answer (SUBACK) to the subscription my_connect_callback made,
// matched by its message id; other answers are passed over. A refusal
// (return code 0x80 or above) gives one ERR line, a QoS below `subqos` one
// WARNING line, each naming the topic. The library keeps ownership of
// `granted_qos`.
void my_subscribe_callback(struct mosquitto* mosq, void* obj, int mid, int qos_count,
                           const int* granted_qos) noexcept;

// Marks the session down and, at QoS 0 without a queue, forgets unfinished
// publishes (the library has dropped them). When the session was up, one WARNING line gives
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
// low-water mark has the main thread go on (session.wake).
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
// the next line shown counts those held back. The ingress paths reach the
// session through the relay (publish_held) instead. Main thread.
void publish_msg(void* arg, const void* payload, int payloadlen) noexcept;

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
