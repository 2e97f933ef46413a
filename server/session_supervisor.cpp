#include "server/session_supervisor.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <mosquitto.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "common/log.h"
#include "common/random_bytes.h"
#include "server/log_throttle.h"
#include "server/mqtt_session.h"
#include "server/retry_schedule.h"
#include "server/settings.h"
#include "server/tls_setup.h"

namespace {

// Why one attempt did not end with a session: the text and number of the
// log lines.
struct attempt_failure {
  char text[320];
  int code;
  bool refused;  // the broker answered CONNACK with a refusal
};

// attempt_failure::code of a text that carries its own code.
constexpr int kCodeInText = -1;

// --- The clock, the library and the system ----------------------------------

// Seeds the gaps' random draws from the kernel, so that devices started at
// the same instant (a power cut) still draw different gaps.
uint64_t random_seed() {
  uint64_t seed = 0;
  // Should the kernel not give them, the clock and the pid still differ.
  if (random_bytes(&seed, sizeof seed) != 0) seed = 0;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  seed ^= static_cast<uint64_t>(now.tv_nsec) * 0x9e3779b97f4a7c15ULL ^
          static_cast<uint64_t>(getpid()) << 32;
  return seed != 0 ? seed : 0x2545f4914f6cdd1dULL;
}

// Uniform in [0, 1): xorshift64*, which is plenty for spreading retries.
double xorshift_unit_random(uint64_t* state) {
  uint64_t x = *state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  *state = x;
  return static_cast<double>((x * 0x2545f4914f6cdd1dULL) >> 11) / 9007199254740992.0;
}

void sleep_seconds(double seconds) {
  if (seconds <= 0) return;
  struct timespec left;
  left.tv_sec = static_cast<time_t>(seconds);
  // Rounded up, so that no wait falls short of the schedule's gap.
  left.tv_nsec = static_cast<long>(ceil((seconds - static_cast<double>(left.tv_sec)) * 1e9));
  if (left.tv_nsec >= 1000000000L) {
    ++left.tv_sec;
    left.tv_nsec -= 1000000000L;
  }
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// The error that ended a non-blocking connect on `fd`. Taken from a peeking
// receive, which reports the socket's pending error as its own, rather than
// from SO_ERROR: qemu-user hands that value over without translating it to
// the target's errno numbers, which differ on MIPS.
int connect_error(int fd) {
  char byte;
  if (recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno != EAGAIN && errno != EWOULDBLOCK &&
      errno != EINTR && errno != ENOTCONN) {
    return errno;
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0) return err;
  return ECONNREFUSED;
}

// session_supervisor_deps::poll_connect. Writable means the connect has
// ended; whether it made a connection is known only from asking for the
// peer.
int poll_connect(int fd, int timeout_ms, int* err) {
  struct pollfd p = {fd, POLLOUT, 0};
  const int n = poll(&p, 1, timeout_ms);
  if (n < 0 && errno == EINTR) return 0;
  if (n < 0) {
    *err = errno;
    return -1;
  }
  if (n == 0) return 0;
  struct sockaddr_storage peer;
  socklen_t peer_len = sizeof peer;
  if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &peer_len) != 0) {
    *err = connect_error(fd);
    return -1;
  }
  return 1;
}

// session_supervisor_deps::peer_closed. The library takes a connection
// closed during a TLS handshake for one that is not ready yet, and would
// ask again at once until the attempt's time is up.
bool peer_closed(int fd) {
  char byte;
  const ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

void shut_down(int fd) { shutdown(fd, SHUT_RDWR); }

// What the daemon's session thread runs on: the library's own functions
// and the ones above.
const session_supervisor_deps kRealWorld = {
    monotonic_seconds,
    sleep_seconds,
    xorshift_unit_random,
    mosquitto_connect_async,
    mosquitto_socket,
    mosquitto_loop,
    mosquitto_reinitialise,
    mosquitto_connect_callback_set,
    mosquitto_disconnect_callback_set,
    mosquitto_log_callback_set,
    poll_connect,
    peer_closed,
    shut_down,
};

// The record of the daemon's one session thread.
session_supervisor the_supervisor;

int milliseconds_of(double seconds) {
  if (seconds <= 0) return 0;
  return static_cast<int>(seconds * 1000.0) + 1;
}

// --- Callbacks --------------------------------------------------------------

// The library hands every callback the client's user data: the session.
session_supervisor* supervisor_of(void* obj) { return static_cast<mqtt_session*>(obj)->supervisor; }

// Catches OpenSSL's reason for a failed handshake, which reaches the daemon
// only as a library log line. Set only while an attempt is under way: at
// other times the library would format a line for every packet.
void attempt_log_callback(struct mosquitto* mosq, void* obj, int level, const char* str) noexcept {
  my_log_callback(mosq, obj, level, str);
  if (level != MOSQ_LOG_ERR || str == nullptr) return;
  session_supervisor* sv = supervisor_of(obj);
  // The library's own check of the broker's host name fails the handshake
  // without a reason OpenSSL would name.
  if (strcmp(str, "Error: host name verification failed.") == 0) {
    sv->tls_host_mismatch = true;
    return;
  }
  if (strncmp(str, "OpenSSL Error", 13) != 0) return;
  // "OpenSSL Error[0]: error:...": the first error is the cause; for a
  // certificate not accepted, the verification's own reason follows it.
  const char* text = strstr(str, ": ");
  text = text != nullptr ? text + 2 : str;
  char reason[128];
  const bool verify = strstr(text, "certificate verify failed") != nullptr;
  if (verify && sv->tls_host_mismatch) {
    snprintf(reason, sizeof reason, "the certificate does not name %s", args_info.host_arg);
  } else if (!verify || !tls_verify_reason(mosq, reason, sizeof reason)) {
    reason[0] = '\0';
  }
  pthread_mutex_lock(&sv->lock);
  if (sv->tls_error[0] == '\0') {
    snprintf(sv->tls_error, sizeof sv->tls_error, "%s%s%s", text, reason[0] != '\0' ? ": " : "",
             reason);
  }
  pthread_mutex_unlock(&sv->lock);
}

void connect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept {
  supervisor_of(obj)->connack = rc;
  my_connect_callback(mosq, obj, rc);
}

void disconnect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept {
  const int err = errno;
  session_supervisor* sv = supervisor_of(obj);
  sv->end_reported = true;
  sv->end_errno = err;
  my_disconnect_callback(mosq, obj, rc);
  errno = err;
}

void set_attempt_logging(session_supervisor* sv, bool attempting) {
  pthread_mutex_lock(&sv->lock);
  sv->tls_error[0] = '\0';
  pthread_mutex_unlock(&sv->lock);
  sv->tls_host_mismatch = false;
  if (attempting) {
    sv->deps->log_callback_set(sv->mosq, attempt_log_callback);
  } else {
    sv->deps->log_callback_set(sv->mosq, session_wants_library_log() ? my_log_callback : nullptr);
  }
}

// --- Describing failures ---------------------------------------------------

void describe_errno(attempt_failure* failure, int err) {
  snprintf(failure->text, sizeof failure->text, "%s", diag_cause_text(err));
  failure->code = err;
}

// A failure from the library's result `rc` (errno `err`), with OpenSSL's
// reason in front when the library logged one during the attempt.
void describe_result(session_supervisor* sv, attempt_failure* failure, int rc, int err) {
  char tls_error[sizeof sv->tls_error];
  pthread_mutex_lock(&sv->lock);
  memcpy(tls_error, sv->tls_error, sizeof tls_error);
  pthread_mutex_unlock(&sv->lock);
  const int code = session_error_code(rc, err);
  if (tls_error[0] != '\0') {
    snprintf(failure->text, sizeof failure->text, "TLS: %s", tls_error);
  } else if (rc == MOSQ_ERR_EAI) {
    snprintf(failure->text, sizeof failure->text, "name not resolved: %s",
             session_error_text(rc, err));
  } else if (rc == MOSQ_ERR_TLS) {
    snprintf(failure->text, sizeof failure->text, "TLS: %s", session_error_text(rc, err));
  } else {
    snprintf(failure->text, sizeof failure->text, "%s", session_error_text(rc, err));
  }
  failure->code = code;
}

// Errors after which the library's own loop would have stopped for good.
bool library_gives_up_on(int rc, int err) {
  switch (rc) {
    case MOSQ_ERR_NOMEM:
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_NOT_FOUND:
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_NOT_SUPPORTED:
    case MOSQ_ERR_AUTH:
    case MOSQ_ERR_ACL_DENIED:
    case MOSQ_ERR_UNKNOWN:
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_PROXY:
      return true;
    default:
      return err == EPROTO;
  }
}

// --- One attempt -------------------------------------------------------------

// Ends what is left of a failed attempt's or an ended session's connection,
// so that nothing waits on it until the next attempt replaces it (the library
// closes the descriptor then).
void abandon_connection(session_supervisor* sv) {
  const int fd = sv->deps->socket(sv->mosq);
  if (fd >= 0) sv->deps->shut_down(fd);
}

void announce_reached(session_supervisor* sv) {
  pthread_mutex_lock(&sv->lock);
  if (!sv->reached) {
    sv->reached = true;
    pthread_cond_broadcast(&sv->reached_changed);
  }
  pthread_mutex_unlock(&sv->lock);
}

// Waits, up to kConnectTcpSeconds from `start`, for the TCP connection the
// library began.
bool wait_for_tcp(session_supervisor* sv, double start, attempt_failure* failure) {
  const int fd = sv->deps->socket(sv->mosq);
  if (fd < 0) {
    describe_result(sv, failure, MOSQ_ERR_NO_CONN, 0);
    return false;
  }
  for (;;) {
    const double left = start + kConnectTcpSeconds - sv->deps->now();
    if (left <= 0) {
      describe_errno(failure, ETIMEDOUT);
      return false;
    }
    int err = 0;
    const int made = sv->deps->poll_connect(fd, milliseconds_of(left), &err);
    if (made == 0) continue;
    if (made < 0) {
      describe_errno(failure, err);
      return false;
    }
    announce_reached(sv);
    return true;
  }
}

// Under MQTT 5, a broker that closes the connection after a CONNECT without
// any CONNACK (and without a TLS failure) is taken for one that does not
// speak MQTT 5: brokers of MQTT 3.1.1 only may close rather than answer.
void describe_no_mqtt5(attempt_failure* failure) {
  if (!mqtt5_protocol() || strncmp(failure->text, "TLS: ", 5) == 0) return;
  failure->refused = true;
  failure->code = kCodeInText;
  snprintf(failure->text, sizeof failure->text,
           "the broker at %s:%d does not accept MQTT 5 (try --protocol 3.1.1)", args_info.host_arg,
           args_info.port_arg);
}

// The broker's refusal in its CONNACK. Under MQTT 5 the reason code is
// named, with the broker's reason string when it gave one; a broker that
// does not speak MQTT 5 answers "unsupported protocol version" (or a
// CONNACK of MQTT 3.1.1, which the library reports as that).
void describe_refusal(session_supervisor* sv, attempt_failure* failure) {
  failure->refused = true;
  if (!mqtt5_protocol()) {
    snprintf(failure->text, sizeof failure->text, "connection refused: %s",
             mosquitto_connack_string(sv->connack));
    failure->code = sv->connack;
    return;
  }
  if (sv->connack == 0x84) {
    describe_no_mqtt5(failure);
    return;
  }
  char reason[sizeof sv->session->connack_reason + 32];
  snprintf(failure->text, sizeof failure->text, "connection refused: %s",
           session_connack_refusal(sv->session, sv->connack, reason, sizeof reason));
  failure->code = kCodeInText;
}

// True when the library's result `rc` (errno `err`) says the peer closed or
// reset the connection.
bool closed_by_peer(int rc, int err) {
  return rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NO_CONN ||
         (rc == MOSQ_ERR_ERRNO && (err == ECONNRESET || err == EPIPE));
}

// An attempt whose CONNECT got no answer since `start`.
void describe_no_connack(session_supervisor* sv, attempt_failure* failure, double start) {
  snprintf(failure->text, sizeof failure->text, "%s: no CONNACK after %.0f s",
           diag_cause_text(ETIMEDOUT), sv->deps->now() - start);
  failure->code = ETIMEDOUT;
}

// Runs the library's loop, up to kConnectAttemptSeconds from `start`, until
// the broker accepts or refuses the session.
bool wait_for_connack(session_supervisor* sv, double start, attempt_failure* failure) {
  for (;;) {
    if (sv->connack == 0) return true;
    if (sv->connack > 0) {
      describe_refusal(sv, failure);
      return false;
    }
    const double left = start + kConnectAttemptSeconds - sv->deps->now();
    if (left <= 0) {
      describe_no_connack(sv, failure, start);
      return false;
    }
    sv->end_reported = false;
    errno = 0;
    const int rc = sv->deps->loop(sv->mosq, milliseconds_of(left < 1.0 ? left : 1.0), 1);
    const int err = sv->end_reported ? sv->end_errno : errno;
    if (sv->connack >= 0) continue;
    if (rc == MOSQ_ERR_KEEPALIVE) {
      // The library gives a CONNECT one keepalive period to be answered.
      describe_no_connack(sv, failure, start);
      return false;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
      describe_result(sv, failure, rc, err);
      if (closed_by_peer(rc, err)) describe_no_mqtt5(failure);
      return false;
    }
    const int fd = sv->deps->socket(sv->mosq);
    if (fd < 0 || (sv->tls && sv->deps->peer_closed(fd))) {
      describe_result(sv, failure, MOSQ_ERR_CONN_LOST, 0);
      describe_no_mqtt5(failure);
      return false;
    }
  }
}

// One attempt: true when the broker accepted the session.
bool attempt(session_supervisor* sv, attempt_failure* failure) {
  set_attempt_logging(sv, true);
  sv->connack = -1;
  const double start = sv->deps->now();
  errno = 0;
  // Name resolution happens in here, bounded only by the resolver's own
  // time-outs (resolv.conf); an address as host needs none.
  const int rc = sv->deps->connect_async(sv->mosq, args_info.host_arg, args_info.port_arg,
                                         args_info.keepalive_arg);
  bool up = false;
  if (rc != MOSQ_ERR_SUCCESS) {
    describe_result(sv, failure, rc, errno);
  } else {
    up = wait_for_tcp(sv, start, failure) && wait_for_connack(sv, start, failure);
  }
  set_attempt_logging(sv, false);
  if (!up) abandon_connection(sv);
  return up;
}

// --- A session and the outage after it --------------------------------------

// Runs the library's loop while the session lasts; returns when it has ended,
// after the lines that say why.
void run_session(session_supervisor* sv) {
  for (;;) {
    sv->end_reported = false;
    errno = 0;
    const int rc = sv->deps->loop(sv->mosq, 1000, 1);
    session_tick(sv->session, false);
    if (rc == MOSQ_ERR_SUCCESS) continue;
    const int err = sv->end_reported ? sv->end_errno : errno;
    // Some of the loop's failures end the connection without telling the
    // disconnect callback (a failed TLS read during a renegotiation, a
    // descriptor the loop cannot wait on); the session is over all the same.
    if (session_up(sv->session)) {
      errno = err;
      my_disconnect_callback(sv->mosq, sv->session, rc);
    }
    // A PUBACK for QoS 2 has been said already, with what the daemon does
    // about it.
    if (library_gives_up_on(rc, err) && !sv->session->puback_for_qos2) {
      if (rc == MOSQ_ERR_PROTOCOL && args_info.qos_arg == 2) {
        diag_err(
            "session error: %s(%d); connecting again (a broker that answers QoS 2 "
            "publishes wrongly, with PUBACK, needs --qos 1)\n",
            session_error_text(rc, err), session_error_code(rc, err));
      } else {
        diag_err("session error: %s(%d); connecting again\n", session_error_text(rc, err),
                 session_error_code(rc, err));
      }
    }
    abandon_connection(sv);
    session_tick(sv->session, true);
    return;
  }
}

void outage_begins(outage_log* log, bool at_startup, double now) {
  log->at_startup = at_startup;
  log->began = now;
  log->last_line = log->began;
  log->attempts = 0;
  log->unreported = 0;
}

void report_failure(outage_log* log, const attempt_failure& failure, double now) {
  ++log->attempts;
  const bool refused = failure.refused;
  // Start-up says every one of its first attempts, as it always did.
  const bool say_each = log->at_startup && log->attempts <= kStartupFailuresSaid;
  if (say_each || log->attempts == 1) {
    if (refused && failure.code == kCodeInText) {
      diag_err("%s\n", failure.text);
    } else if (refused) {
      diag_err("%s(%d)\n", failure.text, failure.code);
    } else if (log->at_startup) {
      diag_err("mosquitto_connect failed: %s(%d)\n", failure.text, failure.code);
    } else {
      diag_warn("reconnect failed: %s(%d)\n", failure.text, failure.code);
    }
    log->last_line = now;
    log->unreported = 0;
    return;
  }
  ++log->unreported;
  if (now - log->last_line < outage_summary_interval(now - log->began)) return;
  if (failure.code == kCodeInText) {
    diag_warn(
        "still no session after %.0f s: %u attempts failed since the last line, the last: %s\n",
        now - log->began, log->unreported, failure.text);
  } else {
    diag_warn(
        "still no session after %.0f s: %u attempts failed since the last line, the last: "
        "%s(%d)\n",
        now - log->began, log->unreported, failure.text, failure.code);
  }
  log->last_line = now;
  log->unreported = 0;
}

// Tells the status why the attempt failed and how many have since the last
// session.
void note_failure(session_supervisor* sv, const attempt_failure& failure) {
  char text[sizeof failure.text + 16];
  if (failure.code == kCodeInText) {
    snprintf(text, sizeof text, "%s", failure.text);
  } else {
    snprintf(text, sizeof text, "%s(%d)", failure.text, failure.code);
  }
  session_report_failure(sv->session, text, sv->outage.attempts);
}

// The first session of the process is up after failed attempts: one line
// says how long start-up took and what was dropped meanwhile, as a session
// back after a loss does.
void report_up_after_startup_failures(session_supervisor* sv, double now) {
  if (!sv->outage.at_startup || sv->outage.attempts == 0) return;
  mqtt_session* s = sv->session;
  const unsigned datagrams = s->dropped_datagrams.exchange(0, std::memory_order_relaxed);
  const unsigned streams = s->dropped_stream_messages.exchange(0, std::memory_order_relaxed);
  diag_warn(
      "session up after %.1f s at start-up, %u attempts failed; dropped meanwhile: %u datagrams, "
      "%u stream messages\n",
      now - sv->outage.began, sv->outage.attempts, datagrams, streams);
}

// Takes over the connect and disconnect callbacks and the threaded mode,
// for a client new or started afresh.
void take_over_callbacks(session_supervisor* sv) {
  mosquitto_threaded_set(sv->mosq, true);
  sv->deps->connect_callback_set(sv->mosq, connect_callback);
  sv->deps->disconnect_callback_set(sv->mosq, disconnect_callback);
}

// Starts the client afresh, so that it forgets what it held rather than
// resending it after the next connect (the session has taken those messages
// back; they go out again from the queue, once). `ctx` is the record.
void start_client_afresh(void* ctx) {
  session_supervisor* sv = static_cast<session_supervisor*>(ctx);
  const int rc =
      sv->deps->reinitialise(sv->mosq, sv->id, args_info.clean_session_flag != 0, sv->session);
  if (rc != MOSQ_ERR_SUCCESS) {
    diag_err("MQTT client not started afresh: %s(%d)\n", mosquitto_strerror(rc), rc);
  } else {
    sv->setup(sv->mosq);
    take_over_callbacks(sv);
  }
}

void* session_thread(void* arg) {
  session_supervisor* sv = static_cast<session_supervisor*>(arg);
  for (;;) session_supervisor_turn(sv);
  return nullptr;
}

}  // namespace

void session_supervisor_init(session_supervisor* sv, mqtt_session* session, const char* id,
                             client_setup_fn setup, const session_supervisor_deps* deps) noexcept {
  sv->deps = deps;
  sv->session = session;
  sv->mosq = session->mosq;
  sv->id = id;
  sv->setup = setup;
  sv->tls = args_info.cafile_given && args_info.cert_given && args_info.key_given;
  session->supervisor = sv;
  const double now = deps->now();
  retry_startup(&sv->schedule, now);
  outage_begins(&sv->outage, true, now);
  take_over_callbacks(sv);
}

void session_supervisor_turn(session_supervisor* sv) noexcept {
  const session_supervisor_deps* deps = sv->deps;
  deps->sleep(retry_next_gap(sv->schedule, deps->now(), deps->unit_random(&sv->random_state)));
  // The schedule paces the starts of attempts, whatever each one then takes.
  retry_attempt_started(&sv->schedule, deps->now());
  attempt_failure failure{};
  if (!attempt(sv, &failure)) {
    report_failure(&sv->outage, failure, deps->now());
    note_failure(sv, failure);
    return;
  }
  const double up_since = deps->now();
  report_up_after_startup_failures(sv, up_since);
  run_session(sv);
  const double lasted = deps->now() - up_since;
  // Under the session's publish lock, so that no publish falls between
  // the taking back and the fresh start.
  session_take_back(sv->session, lasted < kShortSessionSeconds, start_client_afresh, sv);
  retry_session_ended(&sv->schedule, lasted, deps->now());
  outage_begins(&sv->outage, false, deps->now());
}

bool session_supervisor_start(mqtt_session* session, const char* id, client_setup_fn setup,
                              bool wait_for_tcp) noexcept {
  session_supervisor* sv = &the_supervisor;
  session_supervisor_init(sv, session, id, setup, &kRealWorld);
  sv->random_state = random_seed();

  // The session thread takes no signal: they are the main thread's (its
  // event loop reaps the scripts' children on SIGCHLD).
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t thread;
  const int rc = pthread_create(&thread, nullptr, session_thread, sv);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc != 0) {
    diag_err_errno(rc, "session thread not started");
    return false;
  }
  pthread_detach(thread);
  if (!wait_for_tcp) return true;

  pthread_mutex_lock(&sv->lock);
  while (!sv->reached) pthread_cond_wait(&sv->reached_changed, &sv->lock);
  pthread_mutex_unlock(&sv->lock);
  return true;
}
