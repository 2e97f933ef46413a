#include "server/daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "common/log.h"
#include "server/client_id.h"
#include "server/daemon_exit.h"
#include "server/daemon_status.h"
#include "server/heap.h"
#include "server/mqtt_session.h"
#include "server/relay.h"
#include "server/script_runner.h"
#include "server/session_supervisor.h"
#include "server/settings.h"
#include "server/tls_setup.h"

namespace {

// Owns the MQTT client on the paths where start-up gives up; the library is
// cleaned up after the client is destroyed.
struct mosquitto_session_deleter {
  void operator()(struct mosquitto* mosq) const {
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
  }
};
using mosquitto_ptr = std::unique_ptr<struct mosquitto, mosquitto_session_deleter>;

bool given_nonempty(uint32_t given, const char* value) {
  return given != 0 && value != nullptr && value[0] != '\0';
}

// The MQTT client for the identifier `id`, with `session` as its user data,
// or null after an ERR line (when the library gave a reason) with the
// library cleaned up again.
mosquitto_ptr new_client(const char* id, mqtt_session* session) {
  errno = 0;
  mosquitto_ptr mosq(mosquitto_new(id, args_info.clean_session_flag != 0, session));
  if (!mosq) {
    const int err = errno;
    if (err == ENOMEM) {
      diag_err("Error: Out of memory.\n");
    } else if (err == EINVAL) {
      diag_err("Error: Invalid id.\n");
    }
    mosquitto_lib_cleanup();
  }
  return mosq;
}

// Sets the will on a client of the daemon's session, as far as the broker
// takes it.
bool set_will(struct mosquitto* mosq) {
  return session_set_will(mosq, static_cast<const mqtt_session*>(mosquitto_userdata(mosq)));
}

// The CONNECT's properties under MQTT 5: the session expiry interval.
// libmosquitto keeps a client's CONNECT properties from
// mosquitto_connect_bind_v5 on and sends them with every later connect,
// the asynchronous ones the session thread makes included, until the client
// is started afresh (and set up again here). Given no host, it keeps them
// and connects nowhere: it looks at the host only after keeping them, and
// then answers MOSQ_ERR_INVAL. False after an ERR line when the library
// will not keep them.
bool set_connect_properties(struct mosquitto* mosq) {
  // A clean session ends with its connection (an interval of 0, MQTT 5's
  // default); a persistent one lasts the `sessionexpiry` setting, or for
  // ever when that is 0, as under MQTT 3.1.1.
  if (args_info.clean_session_flag != 0) return true;
  const uint32_t expiry = session_expiry_setting();
  const uint32_t interval = expiry != 0 ? expiry : UINT32_MAX;
  mosquitto_property* props = nullptr;
  int rc = mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, interval);
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_property_check_all(CMD_CONNECT, props);
  if (rc == MOSQ_ERR_SUCCESS) {
    rc = mosquitto_connect_bind_v5(mosq, nullptr, args_info.port_arg, args_info.keepalive_arg,
                                   nullptr, props);
    if (rc == MOSQ_ERR_INVAL) rc = MOSQ_ERR_SUCCESS;
  }
  mosquitto_property_free_all(&props);
  if (rc != MOSQ_ERR_SUCCESS) {
    diag_err("session expiry not set: %s(%d)\n", mosquitto_strerror(rc), rc);
    return false;
  }
  return true;
}

// Start-up is over: a client started afresh after a lost session is set up
// again without repeating start-up's lines.
bool set_up_before = false;

// Configures callbacks, credentials and TLS. Returns false after an ERR line
// when the credentials are refused, or at start-up when the TLS engine cannot
// give the key.
bool configure_client(struct mosquitto* mosq) {
  const bool at_startup = !set_up_before;
  set_up_before = true;
  // The library formats every log line (one per packet) for a log callback
  // before the callback can decide to drop it; below the DEBUG level they
  // are asked for only to watch QoS 2 publishes.
  if (session_wants_library_log()) mosquitto_log_callback_set(mosq, my_log_callback);
  mosquitto_connect_callback_set(mosq, my_connect_callback);
  mosquitto_disconnect_callback_set(mosq, my_disconnect_callback);
  mosquitto_message_callback_set(mosq, my_message_callback);
  if (mqtt5_protocol()) {
    // Every connect of this client, the first and those after a fresh
    // start, speaks MQTT 5; its callbacks carry the broker's reason codes.
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    if (!set_connect_properties(mosq)) return false;
    mosquitto_connect_v5_callback_set(mosq, my_connect_v5_callback);
    mosquitto_publish_v5_callback_set(mosq, my_publish_v5_callback);
    mosquitto_subscribe_v5_callback_set(mosq, my_subscribe_v5_callback);
  } else {
    mosquitto_publish_callback_set(mosq, my_publish_callback);
    mosquitto_subscribe_callback_set(mosq, my_subscribe_callback);
  }

  if (given_nonempty(args_info.username_given, args_info.username_arg) &&
      given_nonempty(args_info.password_given, args_info.password_arg)) {
    // The password stays out of the logs, which may leave the device.
    if (at_startup) diag_debug("set username: %s\n", args_info.username_arg);
    if (mosquitto_username_pw_set(mosq, args_info.username_arg, args_info.password_arg) != 0) {
      diag_err("set username password failed\n");
      return false;
    }
  }

  return tls_configure(mosq, at_startup);
}

// Sets up a client started afresh by the session thread: will, callbacks,
// credentials and TLS, as at start-up.
bool set_up_again(struct mosquitto* mosq) { return set_will(mosq) && configure_client(mosq); }

// One integer setting and whether its value is one the daemon can work with.
struct setting_check {
  const char* name;
  int value;
  bool usable;
  const char* accepted;  // the usable values, in words
};

// uint32_setting for the setting `name`; false after its ERR line when its
// text is not a number from 0 to 4294967295.
bool uint32_usable(const char* name, uint32_t given, const char* orig, uint32_t* value) {
  if (uint32_setting(given, orig, value)) return true;
  diag_err("invalid %s: %s (must be 0 to 4294967295)\n", name, orig);
  return false;
}

// False after one ERR line per integer setting that the broker session
// cannot use: libmosquitto would refuse it on every connect or publish, or
// subscribe to nothing, while the daemon looked as if it ran.
bool settings_usable() {
  const int port = args_info.port_arg;
  const int keepalive = args_info.keepalive_arg;
  const int qos = args_info.qos_arg;
  const int subqos = args_info.subqos_arg;
  const int queuesize = args_info.queuesize_arg;
  const setting_check checks[] = {
      {"port", port, port >= 1 && port <= 65535, "1 to 65535"},
      // mosquitto_connect takes 0 (no keepalive) or 5 s and more, up to 16 bits.
      {"keepalive", keepalive, keepalive == 0 || (keepalive >= 5 && keepalive <= 65535),
       "0 or 5 to 65535"},
      {"qos", qos, qos >= 0 && qos <= 2, "0, 1 or 2"},
      {"subqos", subqos, subqos >= 0 && subqos <= 2, "0, 1 or 2"},
      // KiB: the largest keeps the queue's size in bytes within 32 bits of KiB.
      {"queuesize", queuesize, queuesize >= 0 && queuesize <= kMaxQueueKib, "0 to 4194303"},
  };
  bool usable = true;
  for (const setting_check& check : checks) {
    if (check.usable) continue;
    diag_err("invalid %s: %d (must be %s)\n", check.name, check.value, check.accepted);
    usable = false;
  }
  if (args_info.queuedir_given && queuesize <= 0) {
    diag_err("queuedir needs a queuesize above 0\n");
    usable = false;
  }
  const char* protocol = args_info.protocol_arg;
  if (args_info.protocol_given && protocol != nullptr && strcmp(protocol, "3.1.1") != 0 &&
      strcmp(protocol, "5") != 0) {
    diag_err("invalid protocol: %s (must be 3.1.1 or 5)\n", protocol);
    usable = false;
  }
  uint32_t expiry = 0;
  if (!uint32_usable("sessionexpiry", args_info.sessionexpiry_given, args_info.sessionexpiry_orig,
                     &expiry)) {
    usable = false;
  } else if (expiry != 0 && !mqtt5_protocol()) {
    // MQTT 3.1.1 has no session expiry: a persistent session lives on.
    diag_err("sessionexpiry needs --protocol 5\n");
    usable = false;
  }
  const char* alpn = args_info.alpn_arg;
  if (args_info.alpn_given && !tls_configured()) {
    diag_err("alpn needs TLS (--cafile)\n");
    usable = false;
  } else if (args_info.alpn_given && (alpn == nullptr || alpn[0] == '\0' || strlen(alpn) > 254)) {
    // An ALPN protocol name is 1 to 255 bytes; the library takes 254.
    diag_err("invalid alpn: %s (must be 1 to 254 characters)\n", alpn != nullptr ? alpn : "");
    usable = false;
  }
  const char* keyform = args_info.keyform_arg;
  if (args_info.keyform_given && keyform != nullptr && strcmp(keyform, "pem") != 0 &&
      strcmp(keyform, "engine") != 0) {
    diag_err("invalid keyform: %s (must be pem or engine)\n", keyform);
    usable = false;
  } else if (engine_keyform() &&
             !given_nonempty(args_info.tlsengine_given, args_info.tlsengine_arg)) {
    diag_err("keyform engine needs --tlsengine\n");
    usable = false;
  }
  if (!uint32_usable("messageexpiry", args_info.messageexpiry_given, args_info.messageexpiry_orig,
                     &expiry)) {
    usable = false;
  }
  return usable;
}

// Opens both local sockets on `loop`, their messages going to the relay.
// Returns 0, or the status to end with after the ERR lines:
// kExitStartupFailed for the stream socket, kExitDatagramSocket for the
// datagram socket.
int open_local_sockets(struct ev_loop* loop, stream_server* stream, dgram_server* dgram,
                       bool queue_files) {
  // A stream message is only refused once it outgrows what one PUBLISH can
  // carry for this topic and QoS, so that the library is never handed one it
  // cannot send. Datagrams need no such check: the largest a Unix socket
  // takes is far below it.
  stream->max_message =
      publish_payload_limit(strlen(args_info.topic_arg), args_info.qos_arg, mqtt5_protocol());
  // The queue's files need descriptors of their own.
  if (queue_files) stream->extra_fd_reserve = kSpoolDescriptors;
  if (stream_server_open(stream, loop, args_info.unixsock_arg, nullptr, relay_stream_message) !=
      0) {
    return kExitStartupFailed;
  }
  if (dgram_server_open(dgram, loop, args_info.unixudpsock_arg, nullptr, relay_datagram) != 0) {
    return kExitDatagramSocket;
  }
  return 0;
}

// --- The orderly stop ---------------------------------------------------------

// The orderly stop's watchers: SIGTERM and SIGINT, then the checks of
// whether the relay is done and its deadline.
struct stop_watchers {
  ev_signal signals[2];
  ev_timer check;
  ev_timer deadline;
  bool stopping;
};

stop_watchers stop{};

[[noreturn]] void finish_stop() {
  relay_finish_stop(kStopSeconds);
  // The session thread is not joined; the process ends here.
  daemon_exit(kExitStopped);
}

void stop_check_cb(struct ev_loop* loop, ev_timer* w, int revents) noexcept {
  (void)loop;
  (void)w;
  (void)revents;
  if (relay_stop_done()) finish_stop();
}

void stop_deadline_cb(struct ev_loop* loop, ev_timer* w, int revents) noexcept {
  (void)loop;
  (void)w;
  (void)revents;
  finish_stop();
}

void stop_signal_cb(struct ev_loop* loop, ev_signal* w, int revents) noexcept {
  (void)revents;
  if (stop.stopping) return;
  stop.stopping = true;
  diag_debug("signal %d: stopping\n", w->signum);
  relay_stop_reading();
  // Checked a few times a second: connections end and the broker
  // acknowledges without telling this loop.
  ev_timer_init(&stop.check, stop_check_cb, 0., 0.05);
  ev_timer_start(loop, &stop.check);
  ev_timer_init(&stop.deadline, stop_deadline_cb, kStopSeconds, 0.);
  ev_timer_start(loop, &stop.deadline);
}

// Watches SIGTERM and SIGINT on `loop` for the orderly stop.
void watch_stop_signals(struct ev_loop* loop) {
  const int signals[2] = {SIGTERM, SIGINT};
  for (int i = 0; i < 2; ++i) {
    ev_signal_init(&stop.signals[i], stop_signal_cb, signals[i]);
    ev_signal_start(loop, &stop.signals[i]);
  }
}

// The session: daemon_main's, for the life of the process (the session
// thread, which is never joined, uses it until the process ends).
mqtt_session daemon_session;

}  // namespace

void one_instance(const char* prog) {
  char path[256];
  snprintf(path, sizeof path, "/var/run/quorrel_client_%s.pid", prog);
  int fd;
  do {
    fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  // A lock file that cannot be opened is passed over: flock on -1 fails with
  // EBADF and start-up goes on without a lock.
  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 && errno == EWOULDBLOCK) {
    diag_warn("another %s running\n", prog);
    daemon_exit(kExitStartupFailed);
  }
  // On success fd is deliberately kept open: the lock lasts until exit.
}

namespace {

// Start-up and the loop; returns the status to end with (see daemon_main).
int run_daemon(int argc, char** argv) {
  const int64_t started = static_cast<int64_t>(time(nullptr));
  heap_configure();
  // A queue file that reaches the file-size limit must fail its write
  // (EFBIG), so that the queue goes on in memory, not end the daemon.
  signal(SIGXFSZ, SIG_IGN);
  proc_args(argc, argv);
  if (!settings_usable() || !client_id_usable()) return kExitStartupFailed;
  one_instance(argv[0]);
  // The queue directory is locked before any broker connection, so that two
  // daemons never send the same queue, and before detaching, so that a
  // directory in use or unusable ends start-up with a status the caller sees
  // (the lock stays with the detached process, which keeps the descriptor).
  const bool queueing = args_info.queuesize_arg > 0;
  const char* queue_dir = args_info.queuedir_given ? args_info.queuedir_arg : nullptr;
  if (queueing &&
      relay_open_queue(static_cast<uint32_t>(args_info.queuesize_arg), queue_dir) != 0) {
    return kExitStartupFailed;
  }

  if (daemon_mode && daemon(1, 0) != 0) {
    const int err = errno;
    diag_err_errno(err, "daemon failed");
    return kExitStartupFailed;
  }

  // Kept for the life of the process (libmosquitto copies it as well); held
  // in a static so that it stays reachable until exit.
  // Assigned, not initialised, so that no guard from the C++ runtime is needed.
  static char* id;
  id = session_client_id();
  if (id == nullptr) return kExitStartupFailed;

  mosquitto_lib_init();
  mosquitto_ptr mosq = new_client(id, &daemon_session);
  if (!mosq) return kExitStartupFailed;
  daemon_session.mosq = mosq.get();
  if (!set_will(mosq.get())) return kExitWill;
  if (!configure_client(mosq.get())) return kExitStartupFailed;
  // The onconnect script may start as soon as the session thread runs, so the
  // loop that reaps the scripts' children exists before it.
  struct ev_loop* loop = ev_default_loop(0);
  script_runner_start(loop);

  daemon_session.wake = relay_wake;
  daemon_session.give_back = relay_give_back;
  daemon_session.queue_enabled = queueing;
  // Under MQTT 5 each CONNACK may lower them (the broker's Maximum QoS).
  daemon_session.publish_qos.store(args_info.qos_arg, std::memory_order_relaxed);
  daemon_session.subscribe_qos = args_info.subqos_arg;
  daemon_session.message_expiry = mqtt5_protocol() ? message_expiry_setting() : 0;

  // Both socket contexts live in this frame, which lasts as long as the loop.
  stream_server stream{};
  dgram_server dgram{};
  // The status answers from the first connection on: down since the start.
  session_report_state(&daemon_session, false);
  daemon_status_init(&daemon_session, &stream, started);
  stream.status = daemon_status;
  // Without a queue, local data is read only once the broker is reachable,
  // as it always was; with one, the sockets open first, so that a device
  // that boots without its uplink queues from the start.
  if (queueing) {
    const int status = open_local_sockets(loop, &stream, &dgram, queue_dir != nullptr);
    if (status != 0) return status;
  }
  diag_debug("mosquitto thread start\n");
  // From here on a second thread runs: the process ends without exit
  // handlers, which it could race.
  daemon_exit_second_thread();
  if (!session_supervisor_start(&daemon_session, id, set_up_again, !queueing))
    return kExitStartupFailed;
  // The client belongs to the session thread from here on.
  mosq.release();
  if (!queueing) {
    const int status = open_local_sockets(loop, &stream, &dgram, false);
    if (status != 0) return status;
  }
  relay_set_message_expiry(message_expiry_setting());
  relay_start(loop, &stream, &dgram, &daemon_session);
  watch_stop_signals(loop);

  ev_run(loop, 0);

  release_dgram_server(&dgram);
  return kExitStopped;
}

}  // namespace

int daemon_main(int argc, char** argv) { daemon_exit(run_daemon(argc, argv)); }
