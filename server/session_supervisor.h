// The broker session's own thread. It makes every connect attempt, each
// bounded in time, runs libmosquitto's loop while a session is up, and
// whenever an attempt fails or a session ends, for whatever reason, says why
// and tries again on the retry schedule (retry_schedule.h). It takes the
// place of the library's threaded loop, which gives up for good after errors
// it counts as fatal (TLS and protocol errors among them) and reconnects with
// a blocking connect that can wait minutes for a broker whose packets are
// dropped. The library still does all of MQTT: this thread only decides when
// to connect and for how long to wait.
//
// The thread reaches the clock, the library's network calls and the system
// through a table of function pointers (session_supervisor_deps), so that a
// test can run its turns one by one on a clock of its own, against a broker
// of its own making.
//
// Thread: session_supervisor_start and session_supervisor_init run on the
// main thread (a test's thread); session_supervisor_turn, and with it every
// MQTT callback of mqtt_session.h, on the session thread. The library is in
// threaded mode: the main thread's mosquitto_publish queues the packet and
// wakes the session thread, which sends it.
#ifndef QUORREL_SERVER_SESSION_SUPERVISOR_H_
#define QUORREL_SERVER_SESSION_SUPERVISOR_H_

#include <pthread.h>
#include <stdint.h>

#include "server/mqtt_session.h"
#include "server/retry_schedule.h"

struct mosquitto;

// Bounds of one attempt. The TCP connection must be made within
// kConnectTcpSeconds: the kernel's own retransmissions of an unanswered SYN
// would wait minutes, and a fresh attempt a second later does as well as a
// retransmission. The broker must have accepted or refused the session, TLS
// handshake included, within kConnectAttemptSeconds of the attempt's start.
constexpr double kConnectTcpSeconds = 4.0;
constexpr double kConnectAttemptSeconds = 10.0;

// Failed attempts at start-up that are each an ERR line ("mosquitto_connect
// failed: ..."); the rest of the start-up outage is summarised as any
// outage is (outage_summary_interval).
constexpr unsigned kStartupFailuresSaid = 10;

// Gives a client started afresh (mosquitto_reinitialise) its will,
// credentials, TLS and callbacks again. False when that failed (after an
// ERR line); the attempts that follow then fail and say why.
typedef bool (*client_setup_fn)(struct mosquitto* mosq);

// Everything the session thread asks of the world outside it: every call
// that reads the clock, waits, draws a random number, touches the
// connection's descriptor or keeps a callback the library calls later. The
// library's entries have its functions' signatures, and the thread's own
// instance (session_supervisor_start) holds the library's functions
// themselves. The plain setters and look-ups it also calls
// (mosquitto_threaded_set, mosquitto_connack_string) are called directly, so
// the client must be a real one (mosquitto_new) even under a test's table.
// Every entry is called on the session thread, and must be set.
struct session_supervisor_deps {
  // Seconds on a clock that only moves forward (monotonic_seconds).
  double (*now)();
  // Waits `seconds` on that clock; nothing for 0 or less.
  void (*sleep)(double seconds);
  // Uniform in [0, 1), from and advancing `*state` (the record's
  // random_state): the retry gaps' jitter.
  double (*unit_random)(uint64_t* state);
  // libmosquitto.
  int (*connect_async)(struct mosquitto* mosq, const char* host, int port, int keepalive);
  int (*socket)(struct mosquitto* mosq);
  int (*loop)(struct mosquitto* mosq, int timeout, int max_packets);
  int (*reinitialise)(struct mosquitto* mosq, const char* id, bool clean_session, void* obj);
  void (*connect_callback_set)(struct mosquitto* mosq,
                               void (*on_connect)(struct mosquitto*, void*, int));
  void (*disconnect_callback_set)(struct mosquitto* mosq,
                                  void (*on_disconnect)(struct mosquitto*, void*, int));
  void (*log_callback_set)(struct mosquitto* mosq,
                           void (*on_log)(struct mosquitto*, void*, int, const char*));
  // Waits up to `timeout_ms` for the TCP connect under way on `fd` to end:
  // 1 when the connection is made, 0 when it is still under way (the time
  // is up, or a signal came), -1 with `*err` (an errno) when it failed.
  int (*poll_connect)(int fd, int timeout_ms, int* err);
  // True when the peer has closed the connection on `fd` (asked only during
  // a TLS handshake).
  bool (*peer_closed)(int fd);
  // Ends the connection on `fd` in both directions, leaving the descriptor
  // open (the library closes it at the next attempt).
  void (*shut_down)(int fd);
};

// What has been said about the current outage: every failed attempt is
// visible, the first with its reason, then summary lines that grow rarer as
// the outage ages (outage_summary_interval).
struct outage_log {
  bool at_startup = true;
  double began = 0;         // when the outage began
  double last_line = 0;     // when a line about it was last written
  unsigned attempts = 0;    // failed attempts in the outage
  unsigned unreported = 0;  // failed attempts since the last line
};

// The session thread's record, set up by session_supervisor_init and handed
// to each turn. `lock` guards `reached` and `tls_error`, which other threads
// touch: the main thread waits for `reached`, and the library may log a TLS
// error on whichever thread called it. The rest belongs to the session
// thread. The callbacks the thread takes over reach it through the session
// (mqtt_session::supervisor).
struct session_supervisor {
  const session_supervisor_deps* deps = nullptr;
  mqtt_session* session = nullptr;
  struct mosquitto* mosq = nullptr;
  const char* id = nullptr;
  client_setup_fn setup = nullptr;
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t reached_changed = PTHREAD_COND_INITIALIZER;
  bool reached = false;      // an attempt has made a TCP connection
  char tls_error[256] = {};  // OpenSSL's reason for the current attempt, if any
  // The library found that the broker's certificate does not name the host
  // in the current attempt. Session thread.
  bool tls_host_mismatch = false;
  bool tls = false;  // TLS is configured
  // The current attempt's CONNACK result, -1 until one comes.
  int connack = -1;
  // errno as the library left it when it reported the connection's end.
  bool end_reported = false;
  int end_errno = 0;
  uint64_t random_state = 0;
  retry_state schedule;
  outage_log outage;
};

// Sets `sv` up to supervise `session`'s client (client id `id`), whose
// callbacks, credentials and TLS are set and whose user data is `session`,
// with `deps` for the world outside: takes over the connect and disconnect
// callbacks (it calls mqtt_session's from its own), points
// session->supervisor at `sv`, reads the TLS settings and starts the
// start-up outage on deps->now. `setup` gives a client started afresh its
// setup again. Leaves random_state as it is (session_supervisor_start seeds
// it from the kernel).
// REQUIRES: `sv` is fresh; `sv`, `session`, `id` and `deps` outlive every
// turn. Before the session thread's first turn, on the thread that starts it.
void session_supervisor_init(session_supervisor* sv, mqtt_session* session, const char* id,
                             client_setup_fn setup, const session_supervisor_deps* deps) noexcept;

// One turn of the session thread: waits the schedule's gap, makes one
// attempt (failed start-up attempts are logged as "mosquitto_connect
// failed: ..."), and either reports its failure, or runs the session until
// it ends, takes back what the library had not finished (session_take_back)
// and starts the client afresh with the setup, so that the library never
// sends a message the daemon has taken back. The session thread makes turn
// after turn for the rest of the process; a test may make them one at a
// time. Session thread.
void session_supervisor_turn(session_supervisor* sv) noexcept;

// Starts the session thread for `session`'s client (as session_supervisor_init
// with the real clock, library and system and a random state seeded from the
// kernel), which then makes turns for the rest of the process. With
// `wait_for_tcp`, waits until an attempt has made a TCP connection to the
// broker, as start-up without a queue always waited for its first connect.
// Returns false after an ERR line when the thread cannot be created.
// REQUIRES: `session` and `id` live for the rest of the process. Main
// thread, once.
bool session_supervisor_start(mqtt_session* session, const char* id, client_setup_fn setup,
                              bool wait_for_tcp) noexcept;

#endif  // QUORREL_SERVER_SESSION_SUPERVISOR_H_
