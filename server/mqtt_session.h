// The MQTT session: one object (mqtt_session) holding the library's handle,
// whether the session is up, the drop counters, the publish lock and the
// records of what the library holds; the library's callbacks, which reach it
// through their user data; and the operations the others need: publish
// (session_publish, and publish_msg for a caller without a copy), take back
// what a lost session left unfinished before the client starts afresh
// (session_take_back), and stop (session_stop). The scripts the callbacks
// start are built and run by script_command; the publishes they count, by
// publish_count.
//
// Thread: the my_*_callback functions run on the session thread
// (session_supervisor), which runs libmosquitto's loop; the publishes run on
// the main thread inside the event loop. Each member's comment says who
// writes it. None of these functions lets an exception escape into the
// library.
#ifndef QUORREL_SERVER_MQTT_SESSION_H_
#define QUORREL_SERVER_MQTT_SESSION_H_

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "server/publish_count.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;
struct session_supervisor;

// What the session tells the daemon's status (daemon_status), besides the
// publishes its records saw finished: counts since the start, whether the session is up and since
// when, and why the last attempt or session failed. Kept in mqtt_session under its report_lock,
// which is held only to count or to copy.
struct session_report {
  uint64_t broker_refused;   // refused by the broker in their PUBACK or PUBREC (MQTT 5)
  uint64_t given_up;         // given up after short sessions
  uint64_t library_refused;  // refused by the MQTT library at publish
  uint64_t too_large;        // over the broker's Maximum Packet Size (MQTT 5)
  uint64_t dropped_unsent;   // at QoS 0 without a queue, dropped with a lost connection
  bool up;
  int64_t since_wall;    // when the session last went up or down (Unix seconds)
  double since_mono;     // the same, monotonic_seconds
  unsigned attempts;     // failed attempts since the last session ended
  char last_error[192];  // the latest failure's text; empty: none yet
};

// The session, owned by daemon_main for the life of the process and handed
// to the library as the client's user data (mosquitto_new,
// mosquitto_reinitialise), to the supervisor and to the relay.
struct mqtt_session {
  // The library's client; set before the session thread starts.
  struct mosquitto* mosq = nullptr;

  // 1 while the broker has accepted the session, else 0. Written by the
  // session thread (connect/disconnect callbacks), read by the main thread;
  // it guards no other data, so relaxed ordering suffices.
  std::atomic<int> isconnect{0};

  // Local messages dropped because the session was down, by path: counted
  // by the main thread (the relay), reported and cleared by the session
  // thread when a lost session is back.
  std::atomic<unsigned> dropped_datagrams{0};
  std::atomic<unsigned> dropped_stream_messages{0};

  // Held by the main thread around each publish (check the flag, publish,
  // record the copy), and by the session thread while it takes back what
  // the library held and starts the client afresh after a lost session: so
  // no publish falls between the two. Taken only in mqtt_session.cpp.
  pthread_mutex_t publish_lock = PTHREAD_MUTEX_INITIALIZER;

  // What the library holds for the daemon (their own lock).
  publish_records records{};

  // For the status: written by both threads, read by the main thread, each
  // under report_lock (session_report_*).
  pthread_mutex_t report_lock = PTHREAD_MUTEX_INITIALIZER;
  session_report report{};

  // The QoS of every publish: the `qos` setting, or lower when the broker
  // takes no more (MQTT 5's Maximum QoS). Written by the session thread
  // before the session is marked up, read under the publish lock.
  std::atomic<int> publish_qos{0};
  // The broker's Maximum Packet Size for this session (MQTT 5), 0 for none;
  // for the lines about messages over it. Written by the session thread at
  // CONNACK, read by the main thread.
  std::atomic<unsigned> max_packet_size{0};
  // Under MQTT 5 with topic aliases granted for this session: the
  // properties that carry alias 1 (kept for the life of the process), else
  // null; and whether a PUBLISH of this session has carried the topic with
  // it. Written by the session thread at CONNACK and by the main thread
  // as it publishes, both under the publish lock.
  const mosquitto_property* topic_alias = nullptr;
  bool alias_topic_sent = false;

  // Set before the session thread starts, read-only afterwards.
  // Called on the session thread when the session went up or down or the
  // library's holdings fell to the low-water mark; must be safe on any thread.
  void (*wake)(void) = nullptr;
  // Called on the session thread with the messages a lost session leaves
  // unfinished, oldest first, which it takes over (the library has forgotten
  // them); null: they are freed.
  void (*give_back)(held_list* messages) = nullptr;
  // Messages wait in a queue (queuesize above 0): what a lost session leaves
  // unfinished is given back at QoS 0 too.
  bool queue_enabled = false;
  // The record of the thread that runs this session (session_supervisor.h),
  // which the callbacks it takes over reach through the client's user data.
  // Set by session_supervisor_init.
  session_supervisor* supervisor = nullptr;

  // The `messageexpiry` setting under MQTT 5, 0 otherwise: every PUBLISH
  // then carries what is left of it. Set before the session thread starts.
  uint32_t message_expiry = 0;

  // The highest QoS the broker has shown it takes, for the life of the
  // process: 1 once it answered a QoS 2 PUBLISH with PUBACK. Session thread
  // (written before the session is marked up).
  int qos_ceiling = 2;
  // The will's QoS and retain flag as far as the broker takes them, lowered
  // for the life of the process by a broker that refuses or limits them
  // (session_set_will). Session thread, and the main thread before it starts.
  int will_qos_max = 2;
  bool will_retain_refused = false;

  // The rest belongs to the session thread.
  // The QoS of this session's publishes, as at its CONNACK.
  int session_qos = 0;
  // This session ends because the broker answered a QoS 2 PUBLISH with
  // PUBACK (the library drops the connection for it): its end is held
  // against no message.
  bool puback_for_qos2 = false;
  // The broker's reason string in the last CONNACK (MQTT 5), or empty.
  char connack_reason[128] = {};
  // The current episode of publishes the broker refused (MQTT 5: a PUBACK or
  // PUBREC with a reason code of 0x80 or above): how many, the last one's
  // reason code and string, and when it came.
  unsigned refused_count = 0;
  int refused_code = 0;
  char refused_reason[128] = {};
  double refused_last = 0;
  bool lost = false;         // a session was lost and none is up yet
  double lost_at = 0;        // when
  int subscribe_mid = 0;     // id of the SUBACK awaited, 0 for none
  int subscribe_qos = 0;     // the QoS the subscription asks for
  uint64_t suspect_seq = 0;  // the oldest unfinished message at the last short sessions
  int suspect_strikes = 0;   // how many short sessions in a row it was the oldest
};

// Counts `n` more in `field` of the session's report. Any thread.
void session_report_count(mqtt_session* s, uint64_t session_report::*field,
                          uint64_t n = 1) noexcept;
// Notes that the session went up or down now. Any thread.
void session_report_state(mqtt_session* s, bool up) noexcept;
// Notes why an attempt or a session failed (`text`, one line), and the
// failed attempts since the last session ended. Session thread.
void session_report_failure(mqtt_session* s, const char* text, unsigned attempts) noexcept;
// A copy of the report. Any thread.
session_report session_report_copy(mqtt_session* s) noexcept;
// Publishes delivered since the start: done by the library (written at QoS
// 0, acknowledged at QoS 1 and 2), less those the broker refused. Any thread.
uint64_t session_relayed(mqtt_session* s) noexcept;

// True while the broker has accepted the session. Any thread.
inline bool session_up(const mqtt_session* s) {
  return s->isconnect.load(std::memory_order_relaxed) != 0;
}

// What the library holds for the daemon, and where that stands against the
// back-pressure marks. Any thread.
held_publishes session_held(mqtt_session* s) noexcept;
water_level session_water_level(const mqtt_session* s) noexcept;

// Sessions ending this soon after the broker accepted them count against
// the oldest message the library held then, and after this many in a row it
// is given up: a broker that will not take a message (over its packet size
// limit, say) closes the session each time it is sent.
constexpr double kShortSessionSeconds = 10.0;
constexpr int kPoisonStrikes = 3;

// Session thread, after a session has ended: under the publish lock, takes
// back the copies of what the library had not finished and hands them to
// s->give_back, oldest first, then calls `start_afresh(ctx)` (which starts
// the client afresh, so that the library forgets everything it held), so
// that no publish falls in between. At QoS 0 without a queue the copies are
// dropped instead, as the library itself drops unsent QoS 0 packets.
// `short_session`: the session lasted less than kShortSessionSeconds; the
// oldest message, when it was the oldest at kPoisonStrikes such sessions in
// a row, is given up with an ERR line naming its size.
void session_take_back(mqtt_session* s, bool short_session, void (*start_afresh)(void* ctx),
                       void* ctx) noexcept;

// The orderly stop, main thread: takes the publish lock for good (no publish
// and no taking back after it; the process is about to end) and moves the
// copies of what the library has not finished to `unfinished`, oldest
// first. Returns how many publishes the library held, copies or not.
uint32_t session_stop(mqtt_session* s, held_list* unfinished) noexcept;

// Ends the connection without DISCONNECT, so that the broker publishes the
// will. After session_stop, main thread.
void session_drop_connection(mqtt_session* s) noexcept;

// What session_publish made of a message.
enum publish_outcome {
  kPublishTaken,        // the library took it; the message is held until done
  kPublishSessionDown,  // not published: the session is down, or its connection
                        // ended before the session thread said so (the caller keeps it)
  kPublishRefused,      // the library refused it (ERR line); the message is freed
};

// Publishes `m` to `topic` with the session's QoS, not retained, when the
// session is up, keeping it (publish_count) until the library is done with
// it. On kPublishRefused, `refusal` (when not null, of `refusal_size` bytes)
// gets the reason for the writer: "refused by the MQTT library: TEXT(N)",
// or, over the broker's Maximum Packet Size, "message of N bytes larger than
// the broker's maximum packet size of M bytes". Main thread.
publish_outcome session_publish(mqtt_session* s, held_message* m, char* refusal,
                                size_t refusal_size) noexcept;

// The library's callbacks. `obj` is the client's user data: the
// mqtt_session.

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

// The same under MQTT 5, where the answer carries reason codes (named in the
// refusal's line, with the broker's reason string when it gave one).
void my_subscribe_v5_callback(struct mosquitto* mosq, void* obj, int mid, int qos_count,
                              const int* granted_qos, const mosquitto_property* props) noexcept;

// my_connect_callback under MQTT 5, which the library calls after it (that
// one then does nothing): keeps the broker's reason string in
// connack_reason, for the line that says why a connection was refused
// (session_supervisor), and on acceptance the broker's limits: its Maximum
// Packet Size, and its Maximum QoS, which lowers the QoS of every publish
// and of the subscription, with one WARNING line each ("the broker takes
// QoS up to Q; publishing at QoS Q").
void my_connect_v5_callback(struct mosquitto* mosq, void* obj, int rc, int flags,
                            const mosquitto_property* props) noexcept;

// my_publish_callback under MQTT 5. A reason code of 0x80 or above is the
// broker's refusal of that message: the library does not send it again, and
// the refusals are counted in an episode, which session_tick reports.
void my_publish_v5_callback(struct mosquitto* mosq, void* obj, int mid, int reason_code,
                            const mosquitto_property* props) noexcept;

// The words for the broker's refusal `code` in the CONNACK under MQTT 5,
// with the reason string it sent (connack_reason) when there was one:
// "not authorized (0x87)". Written into `out` (`size` bytes), which is
// returned. Session thread.
char* session_connack_refusal(const mqtt_session* s, int code, char* out, size_t size) noexcept;

// An episode of refused publishes ends after this long without a refusal.
constexpr double kRefusalQuietSeconds = 1.0;

// Session thread, at least once a second while a session runs and once
// after it ends (`session_over`): when the episode of refused publishes has
// ended, one ERR line gives their count and reason ("the broker refused N
// messages: REASON (0xNN)").
void session_tick(mqtt_session* s, bool session_over) noexcept;

// Marks the session down and, at QoS 0 without a queue, forgets unfinished
// publishes (the library has dropped them). When the session was up, one WARNING line gives
// the reason (session_error_text, from `rc` and errno as the library left
// it; under MQTT 5 the broker's DISCONNECT reason code when `rc` is one) and, at QoS 0, how many
// publishes the library dropped unsent with the connection. The session thread connects again.
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

// Writes the library's own messages as DEBUG lines (at the DEBUG level),
// whatever their level. While this session publishes at QoS 2 it also
// watches them for a PUBACK, the only trace the library leaves of a broker
// that answers a QoS 2 PUBLISH as if it were QoS 1 (the library then drops
// the connection): that message counts as delivered, one WARNING line says
// "the broker takes QoS up to 1; publishing at QoS 1", and every publish
// after it, for the life of the process, is at QoS 1.
void my_log_callback(struct mosquitto* mosq, void* obj, int level, const char* str) noexcept;

// True when the library's log lines are wanted (my_log_callback): at the
// DEBUG level, or to watch QoS 2 publishes. Any thread.
bool session_wants_library_log() noexcept;

// Sets the will (the `willtopic`, `willpayload`, `willqos` and `willretain`
// settings) on `mosq` for its next connects, at the QoS and with the retain
// flag the broker takes as far as known (s->will_qos_max,
// s->will_retain_refused). True when there is no will; false after an ERR
// line when the library refuses it. Before the session thread starts, or on
// it.
bool session_set_will(struct mosquitto* mosq, const mqtt_session* s) noexcept;

// TLS key-password callback: copies the `keypassword` setting (without NUL)
// into `buf` and returns its length; 0 when not given. A password longer than
// `size` ends the process with status 255.
int my_pw_callback(char* buf, int size, int rwflag, void* userdata) noexcept;

// Publishes `payloadlen` bytes to `topic` with `qos`, not retained, while the
// session is up; drops them while it is down. `arg` is the struct mosquitto
// handle, whose user data is its mqtt_session. The library copies the bytes
// before returning, so the caller may reuse them at once; no copy is kept, so
// nothing is taken back should the session be lost. A publish taken is
// recorded for back-pressure (publish_taken). A publish the library refuses
// is lost, with an ERR line carrying the library's reason at most once per
// kPublishFailureLogSeconds; the next line shown counts those held back. The
// daemon's own messages go through the relay and session_publish. Main
// thread.
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
// carry: the packet also holds the topic after its 2-byte length, above QoS
// 0 a 2-byte packet id, and under MQTT 5 (`mqtt5`) its properties: their
// length, at most a topic alias and a message expiry interval (9 bytes). 0 when not even an
// empty payload fits. The library would refuse anything longer, and at QoS
// 1 and 2 keep its copy for good.
uint32_t publish_payload_limit(size_t topic_len, int qos, bool mqtt5 = false) noexcept;

#endif  // QUORREL_SERVER_MQTT_SESSION_H_
