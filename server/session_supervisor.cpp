#include "server/session_supervisor.h"

#include <errno.h>
#include <fcntl.h>
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
#include "server/daemon_exit.h"
#include "server/log_throttle.h"
#include "server/mqtt_session.h"
#include "server/retry_schedule.h"
#include "server/settings.h"

namespace {

// Why one attempt did not end with a session: the text and number of the
// log lines.
struct attempt_failure {
  char text[320];
  int code;
  bool refused;  // the broker answered CONNACK with a refusal
};

// The session thread's state. `lock` guards `reached` and `tls_error`, which
// other threads touch: the main thread waits for `reached`, and the library
// may log a TLS error on whichever thread called it. The rest belongs to the
// session thread.
struct supervisor {
  mqtt_session* session = nullptr;
  struct mosquitto* mosq = nullptr;
  const char* id = nullptr;
  client_setup_fn setup = nullptr;
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t reached_changed = PTHREAD_COND_INITIALIZER;
  bool reached = false;      // an attempt has made a TCP connection
  char tls_error[256] = {};  // OpenSSL's reason for the current attempt, if any
  bool tls = false;          // TLS is configured
  // The current attempt's CONNACK result, -1 until one comes.
  int connack = -1;
  // errno as the library left it when it reported the connection's end.
  bool end_reported = false;
  int end_errno = 0;
  uint64_t random_state = 0;
};

supervisor sv;

// --- Randomness for the retry gaps -----------------------------------------

// Seeds the gaps' random draws from the kernel, so that devices started at
// the same instant (a power cut) still draw different gaps.
void seed_random() {
  uint64_t seed = 0;
  int fd;
  do {
    fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    ssize_t n;
    do {
      n = read(fd, &seed, sizeof seed);
    } while (n < 0 && errno == EINTR);
    close(fd);
  }
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  seed ^= static_cast<uint64_t>(now.tv_nsec) * 0x9e3779b97f4a7c15ULL ^
          static_cast<uint64_t>(getpid()) << 32;
  sv.random_state = seed != 0 ? seed : 0x2545f4914f6cdd1dULL;
}

// Uniform in [0, 1): xorshift64*, which is plenty for spreading retries.
double unit_random() {
  uint64_t x = sv.random_state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  sv.random_state = x;
  return static_cast<double>((x * 0x2545f4914f6cdd1dULL) >> 11) / 9007199254740992.0;
}

void sleep_seconds(double seconds) {
  if (seconds <= 0) return;
  struct timespec left;
  left.tv_sec = static_cast<time_t>(seconds);
  left.tv_nsec = static_cast<long>((seconds - static_cast<double>(left.tv_sec)) * 1e9);
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int milliseconds_of(double seconds) {
  if (seconds <= 0) return 0;
  return static_cast<int>(seconds * 1000.0) + 1;
}

// --- Callbacks --------------------------------------------------------------

// Catches OpenSSL's reason for a failed handshake, which reaches the daemon
// only as a library log line. Set only while an attempt is under way: at
// other times the library would format a line for every packet.
void attempt_log_callback(struct mosquitto* mosq, void* obj, int level, const char* str) noexcept {
  if (debug >= LOG_DEBUG) my_log_callback(mosq, obj, level, str);
  if (level != MOSQ_LOG_ERR || str == nullptr || strncmp(str, "OpenSSL Error", 13) != 0) return;
  // "OpenSSL Error[0]: error:...": the first error is the cause.
  const char* text = strstr(str, ": ");
  text = text != nullptr ? text + 2 : str;
  pthread_mutex_lock(&sv.lock);
  if (sv.tls_error[0] == '\0') snprintf(sv.tls_error, sizeof sv.tls_error, "%s", text);
  pthread_mutex_unlock(&sv.lock);
}

void connect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept {
  sv.connack = rc;
  my_connect_callback(mosq, obj, rc);
}

void disconnect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept {
  const int err = errno;
  sv.end_reported = true;
  sv.end_errno = err;
  my_disconnect_callback(mosq, obj, rc);
  errno = err;
}

void set_attempt_logging(bool attempting) {
  pthread_mutex_lock(&sv.lock);
  sv.tls_error[0] = '\0';
  pthread_mutex_unlock(&sv.lock);
  if (attempting) {
    mosquitto_log_callback_set(sv.mosq, attempt_log_callback);
  } else {
    mosquitto_log_callback_set(sv.mosq, debug >= LOG_DEBUG ? my_log_callback : nullptr);
  }
}

// --- Describing failures ---------------------------------------------------

void describe_errno(attempt_failure* failure, int err) {
  snprintf(failure->text, sizeof failure->text, "%s", diag_cause_text(err));
  failure->code = err;
}

// A failure from the library's result `rc` (errno `err`), with OpenSSL's
// reason in front when the library logged one during the attempt.
void describe_result(attempt_failure* failure, int rc, int err) {
  char tls_error[sizeof sv.tls_error];
  pthread_mutex_lock(&sv.lock);
  memcpy(tls_error, sv.tls_error, sizeof tls_error);
  pthread_mutex_unlock(&sv.lock);
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
void abandon_connection() {
  const int fd = mosquitto_socket(sv.mosq);
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void announce_reached() {
  pthread_mutex_lock(&sv.lock);
  if (!sv.reached) {
    sv.reached = true;
    pthread_cond_broadcast(&sv.reached_changed);
  }
  pthread_mutex_unlock(&sv.lock);
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

// Waits, up to kConnectTcpSeconds from `start`, for the TCP connection the
// library began.
bool wait_for_tcp(double start, attempt_failure* failure) {
  const int fd = mosquitto_socket(sv.mosq);
  if (fd < 0) {
    describe_result(failure, MOSQ_ERR_NO_CONN, 0);
    return false;
  }
  for (;;) {
    const double left = start + kConnectTcpSeconds - monotonic_seconds();
    if (left <= 0) {
      describe_errno(failure, ETIMEDOUT);
      return false;
    }
    struct pollfd p = {fd, POLLOUT, 0};
    const int n = poll(&p, 1, milliseconds_of(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      describe_errno(failure, errno);
      return false;
    }
    if (n == 0) continue;
    struct sockaddr_storage peer;
    socklen_t peer_len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &peer_len) != 0) {
      describe_errno(failure, connect_error(fd));
      return false;
    }
    announce_reached();
    return true;
  }
}

// True when the broker has closed the connection. Only asked during a TLS
// handshake: the library then takes a closed connection for one that is not
// ready yet, and would ask again at once until the attempt's time is up.
bool peer_closed(int fd) {
  char byte;
  const ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// An attempt whose CONNECT got no answer since `start`.
void describe_no_connack(attempt_failure* failure, double start) {
  snprintf(failure->text, sizeof failure->text, "%s: no CONNACK after %.0f s",
           diag_cause_text(ETIMEDOUT), monotonic_seconds() - start);
  failure->code = ETIMEDOUT;
}

// Runs the library's loop, up to kConnectAttemptSeconds from `start`, until
// the broker accepts or refuses the session.
bool wait_for_connack(double start, attempt_failure* failure) {
  for (;;) {
    if (sv.connack == 0) return true;
    if (sv.connack > 0) {
      snprintf(failure->text, sizeof failure->text, "connection refused: %s",
               mosquitto_connack_string(sv.connack));
      failure->code = sv.connack;
      failure->refused = true;
      return false;
    }
    const double left = start + kConnectAttemptSeconds - monotonic_seconds();
    if (left <= 0) {
      describe_no_connack(failure, start);
      return false;
    }
    sv.end_reported = false;
    errno = 0;
    const int rc = mosquitto_loop(sv.mosq, milliseconds_of(left < 1.0 ? left : 1.0), 1);
    const int err = sv.end_reported ? sv.end_errno : errno;
    if (sv.connack >= 0) continue;
    if (rc == MOSQ_ERR_KEEPALIVE) {
      // The library gives a CONNECT one keepalive period to be answered.
      describe_no_connack(failure, start);
      return false;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
      describe_result(failure, rc, err);
      return false;
    }
    const int fd = mosquitto_socket(sv.mosq);
    if (fd < 0 || (sv.tls && peer_closed(fd))) {
      describe_result(failure, MOSQ_ERR_CONN_LOST, 0);
      return false;
    }
  }
}

// One attempt: true when the broker accepted the session.
bool attempt(attempt_failure* failure) {
  set_attempt_logging(true);
  sv.connack = -1;
  const double start = monotonic_seconds();
  errno = 0;
  // Name resolution happens in here, bounded only by the resolver's own
  // time-outs (resolv.conf); an address as host needs none.
  const int rc = mosquitto_connect_async(sv.mosq, args_info.host_arg, args_info.port_arg,
                                         args_info.keepalive_arg);
  bool up = false;
  if (rc != MOSQ_ERR_SUCCESS) {
    describe_result(failure, rc, errno);
  } else {
    up = wait_for_tcp(start, failure) && wait_for_connack(start, failure);
  }
  set_attempt_logging(false);
  if (!up) abandon_connection();
  return up;
}

// --- A session and the outage after it --------------------------------------

// Runs the library's loop while the session lasts; returns when it has ended,
// after the lines that say why.
void run_session() {
  for (;;) {
    sv.end_reported = false;
    errno = 0;
    const int rc = mosquitto_loop(sv.mosq, 1000, 1);
    if (rc == MOSQ_ERR_SUCCESS) continue;
    const int err = sv.end_reported ? sv.end_errno : errno;
    // Some of the loop's failures end the connection without telling the
    // disconnect callback (a failed TLS read during a renegotiation, a
    // descriptor the loop cannot wait on); the session is over all the same.
    if (session_up(sv.session)) {
      errno = err;
      my_disconnect_callback(sv.mosq, sv.session, rc);
    }
    if (library_gives_up_on(rc, err)) {
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
    abandon_connection();
    return;
  }
}

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

void outage_begins(outage_log* log, bool at_startup) {
  log->at_startup = at_startup;
  log->began = monotonic_seconds();
  log->last_line = log->began;
  log->attempts = 0;
  log->unreported = 0;
}

void report_failure(outage_log* log, const attempt_failure& failure) {
  const double now = monotonic_seconds();
  ++log->attempts;
  const bool refused = failure.refused;
  // Start-up says every one of its first attempts, as it always did.
  const bool say_each = log->at_startup && log->attempts <= kQuickAttempts;
  if (say_each || log->attempts == 1) {
    if (refused) {
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
  diag_warn(
      "still no session after %.0f s: %u attempts failed since the last line, the last: "
      "%s(%d)\n",
      now - log->began, log->unreported, failure.text, failure.code);
  log->last_line = now;
  log->unreported = 0;
}

// Takes over the connect and disconnect callbacks and the threaded mode,
// for a client new or started afresh.
void take_over_callbacks() {
  mosquitto_threaded_set(sv.mosq, true);
  mosquitto_connect_callback_set(sv.mosq, connect_callback);
  mosquitto_disconnect_callback_set(sv.mosq, disconnect_callback);
}

// Starts the client afresh, so that it forgets what it held rather than
// resending it after the next connect (the session has taken those messages
// back; they go out again from the queue, once).
void start_client_afresh(void*) {
  const int rc =
      mosquitto_reinitialise(sv.mosq, sv.id, args_info.clean_session_flag != 0, sv.session);
  if (rc != MOSQ_ERR_SUCCESS) {
    diag_err("MQTT client not started afresh: %s(%d)\n", mosquitto_strerror(rc), rc);
  } else {
    sv.setup(sv.mosq);
    take_over_callbacks();
  }
}

void* session_thread(void*) {
  retry_state schedule;
  outage_log outage;
  outage_begins(&outage, true);
  for (;;) {
    sleep_seconds(retry_next_gap(schedule, unit_random()));
    attempt_failure failure{};
    if (!attempt(&failure)) {
      retry_attempt_failed(&schedule);
      report_failure(&outage, failure);
      continue;
    }
    const double up_since = monotonic_seconds();
    run_session();
    const double lasted = monotonic_seconds() - up_since;
    // Under the session's publish lock, so that no publish falls between
    // the taking back and the fresh start.
    session_take_back(sv.session, lasted < kShortSessionSeconds, start_client_afresh, nullptr);
    retry_session_ended(&schedule, lasted);
    outage_begins(&outage, false);
  }
  return nullptr;
}

}  // namespace

bool session_supervisor_start(mqtt_session* session, const char* id, client_setup_fn setup,
                              bool wait_for_tcp) noexcept {
  sv.session = session;
  sv.mosq = session->mosq;
  sv.id = id;
  sv.setup = setup;
  sv.tls = args_info.cafile_given && args_info.cert_given && args_info.key_given;
  seed_random();
  take_over_callbacks();

  // The session thread takes no signal: they are the main thread's (its
  // event loop reaps the scripts' children on SIGCHLD).
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  daemon_exit_second_thread();
  pthread_t thread;
  const int rc = pthread_create(&thread, nullptr, session_thread, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc != 0) {
    diag_err_errno(rc, "session thread not started");
    return false;
  }
  pthread_detach(thread);
  if (!wait_for_tcp) return true;

  pthread_mutex_lock(&sv.lock);
  while (!sv.reached) pthread_cond_wait(&sv.reached_changed, &sv.lock);
  pthread_mutex_unlock(&sv.lock);
  return true;
}
