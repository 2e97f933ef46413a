#include "server/mqtt_session.h"

#include <errno.h>
#include <mosquitto.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>

#include "common/log.h"
#include "server/heap.h"
#include "server/ingress_gate.h"
#include "server/log_throttle.h"
#include "server/publish_count.h"
#include "server/script_command.h"
#include "server/settings.h"

std::atomic<int> isconnect{0};
std::atomic<unsigned> dropped_datagrams{0};
std::atomic<unsigned> dropped_stream_messages{0};

namespace {

// Reports a publish the library refused. A refusal tends to repeat for every
// message (a topic the library will not publish to, say), so the lines are
// thinned out rather than one per message. Main thread only, like
// publish_msg, so the throttle needs no lock.
void log_publish_failure(int rc) {
  static log_throttle throttle{kPublishFailureLogSeconds, 0.0, 0, false};
  unsigned held_back = 0;
  if (!log_throttle_admit(&throttle, monotonic_seconds(), &held_back)) return;
  if (held_back == 0) {
    diag_err("publish failed: %s(%d)\n", mosquitto_strerror(rc), rc);
  } else {
    diag_err("publish failed: %s(%d) (%u more not shown)\n", mosquitto_strerror(rc), rc, held_back);
  }
}

// When the session was lost, for the line on its return; session thread
// only (the connect and disconnect callbacks).
bool session_lost = false;
double session_lost_at = 0.0;

// The line for a session that is back after a loss: how long it was down and
// what local data was dropped meanwhile.
void report_session_back() {
  if (!session_lost) return;
  session_lost = false;
  const double down = monotonic_seconds() - session_lost_at;
  const unsigned datagrams = dropped_datagrams.exchange(0, std::memory_order_relaxed);
  const unsigned streams = dropped_stream_messages.exchange(0, std::memory_order_relaxed);
  diag_warn("session back after %.1f s down; dropped meanwhile: %u datagrams, %u stream messages\n",
            down, datagrams, streams);
}

// Message id of the subscription sent at the last connect, so that its
// SUBACK is told apart; 0 while none is awaited (the library's ids start at
// 1). Session thread only (the connect and subscribe callbacks): the SUBACK
// is read by the same thread, after the connect callback has returned.
int subscribe_mid = 0;

// A refused subscription means that no message will ever arrive on it, so
// the library's refusal is an error worth seeing at the default level.
void subscribe_subtopic(struct mosquitto* mosq) {
  int mid = 0;
  const int rc = mosquitto_subscribe(mosq, &mid, args_info.subtopic_arg, args_info.subqos_arg);
  if (rc != MOSQ_ERR_SUCCESS) {
    subscribe_mid = 0;
    diag_err("subscribe to %s failed: %s(%d)\n", args_info.subtopic_arg, mosquitto_strerror(rc),
             rc);
    return;
  }
  subscribe_mid = mid;
}

}  // namespace

void my_connect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept {
  (void)obj;
  diag_debug("connect callback: %d\n", rc);
  if (rc != 0) {
    // A refused session is not a session: nothing may be published on it.
    // The refusal is reported with the other failed attempts of the outage
    // (session_supervisor), so that a refusing broker does not flood the log.
    isconnect.store(0, std::memory_order_relaxed);
    ingress_gate_wake();
    return;
  }
  isconnect.store(1, std::memory_order_relaxed);
  report_session_back();
  // A backlog the library resends may still be above the high-water mark.
  ingress_gate_wake();
  if (args_info.subtopic_given && args_info.subtopic_arg != nullptr) subscribe_subtopic(mosq);
  if (args_info.onconnect_given && args_info.onconnect_arg != nullptr) {
    size_t length = 0;
    char* command = build_onconnect_command(args_info.onconnect_arg, &length);
    run_and_free_command(command, length, "onconnect ");
  }
}

void my_disconnect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept {
  (void)mosq;
  (void)obj;
  // The library calls here right after the failed read or write.
  const int err = errno;
  const bool was_up = isconnect.exchange(0, std::memory_order_relaxed) != 0;
  // At QoS 0 the library discards its unsent packets with the connection;
  // at QoS 1 and 2 it keeps its messages and resends them, and their reports
  // still come (ending the burst of the resend).
  const uint32_t unsent = args_info.qos_arg == 0 ? forget_unfinished_publishes() : 0;
  diag_debug("disconnect callback: %d, reconnecting\n", rc);
  if (was_up) {
    session_lost = true;
    session_lost_at = monotonic_seconds();
    dropped_datagrams.store(0, std::memory_order_relaxed);
    dropped_stream_messages.store(0, std::memory_order_relaxed);
    const char* reason = session_error_text(rc, err);
    const int code = session_error_code(rc, err);
    if (unsent == 0) {
      diag_warn("session lost: %s(%d), reconnecting\n", reason, code);
    } else {
      diag_warn("session lost: %s(%d), reconnecting; %u unsent messages dropped with it\n", reason,
                code, static_cast<unsigned>(unsent));
    }
  }
  // Reading resumes: while the session is down local data is dropped.
  ingress_gate_wake();
}

void my_subscribe_callback(struct mosquitto* mosq, void* obj, int mid, int qos_count,
                           const int* granted_qos) noexcept {
  (void)mosq;
  (void)obj;
  diag_debug("subscribe callback: %d\n", mid);
  if (mid == 0 || mid != subscribe_mid || qos_count < 1 || granted_qos == nullptr) return;
  subscribe_mid = 0;
  const int granted = granted_qos[0];
  // Under MQTT 3.1.1 a refusal is 0x80; MQTT 5 reason codes of 0x80 and
  // above are refusals too.
  if (granted >= 0x80) {
    diag_err("subscription to %s refused by the broker (return code 0x%02x)\n",
             args_info.subtopic_arg, static_cast<unsigned>(granted));
  } else if (granted < args_info.subqos_arg) {
    diag_warn("subscription to %s granted at QoS %d, lower than the %d asked for\n",
              args_info.subtopic_arg, granted, args_info.subqos_arg);
  }
}

void my_message_callback(struct mosquitto* mosq, void* obj,
                         const struct mosquitto_message* message) noexcept {
  (void)mosq;
  (void)obj;
  if (message->payloadlen <= 0 || message->payload == nullptr) return;
  const char* payload = static_cast<const char*>(message->payload);
  // libmosquitto stores a NUL after every payload, so it prints as text.
  diag_debug("%s %s\n", message->topic, payload);
  if (!args_info.script_given || args_info.script_arg == nullptr) return;
  const char* sockpath = args_info.unixsock_arg != nullptr ? args_info.unixsock_arg : "";
  size_t length = 0;
  char* command = build_script_command(args_info.script_arg, payload,
                                       static_cast<size_t>(message->payloadlen), sockpath, &length);
  run_and_free_command(command, length, "");
}

void my_publish_callback(struct mosquitto* mosq, void* obj, int mid) noexcept {
  (void)mosq;
  (void)obj;
  diag_debug("publish callback: %d\n", mid);
  bool crossed_low = false;
  // The end of a burst the broker was slow to take: hand the freed messages
  // back, so that the daemon shrinks again once the broker has caught up.
  if (publish_finished(mid, &crossed_low)) heap_release_free();
  if (crossed_low) ingress_gate_wake();
}

void my_log_callback(struct mosquitto* mosq, void* obj, int level, const char* str) noexcept {
  (void)mosq;
  (void)obj;
  (void)level;
  diag_debug("%s\n", str);
}

int my_pw_callback(char* buf, int size, int rwflag, void* userdata) noexcept {
  (void)rwflag;
  (void)userdata;
  if (!args_info.keypassword_given || args_info.keypassword_arg == nullptr) return 0;
  const int len = static_cast<int>(strlen(args_info.keypassword_arg));
  if (len > size) {
    diag_err("key password too long: %d %d\n", len, size);
    exit(-1);
  }
  memcpy(buf, args_info.keypassword_arg, static_cast<size_t>(len));
  return len;
}

void publish_msg(void* arg, const void* payload, int payloadlen) noexcept {
  if (isconnect.load(std::memory_order_relaxed) == 0) return;
  int mid = 0;
  const int rc = mosquitto_publish(static_cast<struct mosquitto*>(arg), &mid, args_info.topic_arg,
                                   payloadlen, payload, args_info.qos_arg, false);
  diag_debug("Publish return: %d\n", rc);
  if (rc != MOSQ_ERR_SUCCESS) {
    log_publish_failure(rc);
    return;
  }
  publish_taken(mid, payloadlen > 0 ? static_cast<uint32_t>(payloadlen) : 0);
}

bool publish_local(void* arg, const void* payload, int payloadlen) noexcept {
  // Checked here too, so that a message dropped for a down session is told
  // apart; publish_msg checks again (the session may drop in between, and
  // the message then goes uncounted).
  if (isconnect.load(std::memory_order_relaxed) == 0) return false;
  publish_msg(arg, payload, payloadlen);
  return true;
}

const char* session_error_text(int rc, int err) noexcept {
  switch (rc) {
    case MOSQ_ERR_ERRNO:
      return strerror(err);
    case MOSQ_ERR_EAI:
      return gai_strerror(err);
    case MOSQ_ERR_KEEPALIVE:
      return "keepalive timeout, the broker stopped answering";
    default:
      return mosquitto_strerror(rc);
  }
}

int session_error_code(int rc, int err) noexcept { return rc == MOSQ_ERR_ERRNO ? err : rc; }

uint32_t publish_payload_limit(size_t topic_len, int qos) noexcept {
  const uint64_t overhead = 2 + static_cast<uint64_t>(topic_len) + (qos > 0 ? 2 : 0);
  if (overhead > kMqttMaxRemainingLength) return 0;
  return static_cast<uint32_t>(kMqttMaxRemainingLength - overhead);
}
