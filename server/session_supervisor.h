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
// Thread: session_supervisor_start runs on the main thread; everything else
// here, and with it every MQTT callback of mqtt_session.h, runs on the
// session thread. The library is in threaded mode: the main thread's
// mosquitto_publish queues the packet and wakes the session thread, which
// sends it.
#ifndef QUORREL_SERVER_SESSION_SUPERVISOR_H_
#define QUORREL_SERVER_SESSION_SUPERVISOR_H_

#include "server/mqtt_session.h"

struct mosquitto;

// Bounds of one attempt. The TCP connection must be made within
// kConnectTcpSeconds: the kernel's own retransmissions of an unanswered SYN
// would wait minutes, and a fresh attempt a second later does as well as a
// retransmission. The broker must have accepted or refused the session, TLS
// handshake included, within kConnectAttemptSeconds of the attempt's start.
constexpr double kConnectTcpSeconds = 4.0;
constexpr double kConnectAttemptSeconds = 10.0;

// Gives a client started afresh (mosquitto_reinitialise) its will,
// credentials, TLS and callbacks again. False when that failed (after an
// ERR line); the attempts that follow then fail and say why.
typedef bool (*client_setup_fn)(struct mosquitto* mosq);

// Starts the session thread for `session`'s client (client id `id`, kept for
// the life of the process), whose callbacks, credentials and TLS are set and
// whose user data is `session`. With `wait_for_tcp`, waits until an attempt has made a
// TCP connection to the broker, as start-up without a queue always waited
// for its first connect. Failed start-up attempts are logged
// ("mosquitto_connect failed: ..."). Takes over the connect and disconnect
// callbacks (it calls mqtt_session's from its own). After every session
// that ends, it takes back what the library had not finished
// (session_take_back) and starts the client afresh with `setup`, so that
// the library never sends a message the daemon has taken back. Returns
// false after an ERR line when the thread cannot be created.
// REQUIRES: `session` and `id` live for the rest of the process. Main
// thread, once.
bool session_supervisor_start(mqtt_session* session, const char* id, client_setup_fn setup,
                              bool wait_for_tcp) noexcept;

#endif  // QUORREL_SERVER_SESSION_SUPERVISOR_H_
