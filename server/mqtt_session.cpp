#include "server/mqtt_session.h"

#include <errno.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include "common/log.h"
#include "server/daemon_exit.h"
#include "server/heap.h"
#include "server/log_throttle.h"
#include "server/mqtt5_reason.h"
#include "server/publish_count.h"
#include "server/script_command.h"
#include "server/settings.h"

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

// Reports a message over the broker's Maximum Packet Size, thinned out as
// publish failures are: a queue of them may meet a smaller limit at once.
void log_oversize(uint32_t len, unsigned limit) {
  static log_throttle throttle{kPublishFailureLogSeconds, 0.0, 0, false};
  unsigned held_back = 0;
  if (!log_throttle_admit(&throttle, monotonic_seconds(), &held_back)) return;
  if (held_back == 0) {
    diag_err(
        "message of %u bytes larger than the broker's maximum packet size of %u bytes, "
        "dropped\n",
        static_cast<unsigned>(len), limit);
  } else {
    diag_err(
        "message of %u bytes larger than the broker's maximum packet size of %u bytes, "
        "dropped (%u more not shown)\n",
        static_cast<unsigned>(len), limit, held_back);
  }
}

// The Message Expiry Interval for a message taken at `taken` (monotonic
// seconds) when `expiry` seconds is the setting: what is left of it, whole
// seconds rounded up, at least 1.
uint32_t expiry_left(uint32_t expiry, double taken) {
  const double age = monotonic_seconds() - taken;
  if (!(age > 0)) return expiry;
  if (age >= expiry) return 1;
  const double left = static_cast<double>(expiry) - age;
  const uint32_t whole = static_cast<uint32_t>(left);
  return whole < left ? whole + 1 : (whole == 0 ? 1 : whole);
}

// The PUBLISH properties under MQTT 5 that do not change from message to
// message: topic alias 1, the whole message expiry interval, or both. Made
// once and kept for the life of the process (the library copies the
// properties of each publish); null where the library could not make them.
struct fixed_properties {
  mosquitto_property* alias = nullptr;
  mosquitto_property* expiry = nullptr;
  mosquitto_property* alias_and_expiry = nullptr;
};

// Adds alias 1 (`alias`) and an expiry of `expiry` seconds (when not 0) to
// *props; false when the library could not (*props then freed).
bool add_publish_properties(mosquitto_property** props, bool alias, uint32_t expiry) {
  if ((alias && mosquitto_property_add_int16(props, MQTT_PROP_TOPIC_ALIAS, 1) != 0) ||
      (expiry != 0 &&
       mosquitto_property_add_int32(props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, expiry) != 0)) {
    mosquitto_property_free_all(props);
    return false;
  }
  return true;
}

// Made at the first publish or CONNACK that needs them, under the publish
// lock (which both hold); plain statics, so that no guard from the C++
// runtime is needed.
fixed_properties fixed_made;
bool fixed_ready = false;

// REQUIRES: the publish lock held.
const fixed_properties& publish_properties(uint32_t expiry) {
  if (!fixed_ready) {
    fixed_ready = true;
    add_publish_properties(&fixed_made.alias, true, 0);
    if (expiry != 0) {
      add_publish_properties(&fixed_made.expiry, false, expiry);
      add_publish_properties(&fixed_made.alias_and_expiry, true, expiry);
    }
  }
  return fixed_made;
}

// One PUBLISH of `len` bytes at `payload`, taken at `taken`, to the `topic`
// setting at the session's QoS, not retained. Under MQTT 5 with topic
// aliases granted, the session's first PUBLISH carries the topic with alias
// 1 and every later one the alias alone, with an empty topic; with a message
// expiry, each carries what is left of it. REQUIRES: s->publish_lock held.
int publish_locked(mqtt_session* s, struct mosquitto* mosq, int* mid, const void* payload, int len,
                   double taken) {
  const int qos = s->publish_qos.load(std::memory_order_relaxed);
  const bool alias = s->topic_alias != nullptr;
  const uint32_t expiry = s->message_expiry;
  if (!alias && expiry == 0) {
    return mosquitto_publish(mosq, mid, args_info.topic_arg, len, payload, qos, false);
  }
  const uint32_t left = expiry != 0 ? expiry_left(expiry, taken) : 0;
  const fixed_properties& fixed = publish_properties(expiry);
  const mosquitto_property* props = left != expiry ? nullptr
                                                   : (!alias        ? fixed.expiry
                                                      : expiry == 0 ? fixed.alias
                                                                    : fixed.alias_and_expiry);
  mosquitto_property* own = nullptr;
  if (props == nullptr) {
    // A message that waited: its own expiry (or the fixed ones could not be
    // made, and are tried again for it).
    if (!add_publish_properties(&own, alias, left)) return MOSQ_ERR_NOMEM;
    props = own;
  }
  const char* topic = alias && s->alias_topic_sent ? nullptr : args_info.topic_arg;
  const int rc = mosquitto_publish_v5(mosq, mid, topic, len, payload, qos, false, props);
  mosquitto_property_free_all(&own);
  if (rc == MOSQ_ERR_SUCCESS && alias) s->alias_topic_sent = true;
  return rc;
}

mqtt_session* session_of(void* obj) { return static_cast<mqtt_session*>(obj); }

void wake_main(const mqtt_session* s) {
  if (s->wake != nullptr) s->wake();
}

class publish_lock_held {
 public:
  explicit publish_lock_held(mqtt_session* s) : s_(s) { pthread_mutex_lock(&s_->publish_lock); }
  ~publish_lock_held() { pthread_mutex_unlock(&s_->publish_lock); }
  publish_lock_held(const publish_lock_held&) = delete;
  publish_lock_held& operator=(const publish_lock_held&) = delete;

 private:
  mqtt_session* s_;
};

// The line for a session that is back after a loss: how long it was down and
// what local data was dropped meanwhile.
void report_session_back(mqtt_session* s) {
  if (!s->lost) return;
  s->lost = false;
  const double down = monotonic_seconds() - s->lost_at;
  const unsigned datagrams = s->dropped_datagrams.exchange(0, std::memory_order_relaxed);
  const unsigned streams = s->dropped_stream_messages.exchange(0, std::memory_order_relaxed);
  diag_warn("session back after %.1f s down; dropped meanwhile: %u datagrams, %u stream messages\n",
            down, datagrams, streams);
}

// A refused subscription means that no message will ever arrive on it, so
// the library's refusal is an error worth seeing at the default level. The
// subscription's message id is kept so that its SUBACK is told apart (the
// library's ids start at 1).
void subscribe_subtopic(struct mosquitto* mosq, mqtt_session* s) {
  int mid = 0;
  const int rc = mosquitto_subscribe(mosq, &mid, args_info.subtopic_arg, s->subscribe_qos);
  if (rc != MOSQ_ERR_SUCCESS) {
    s->subscribe_mid = 0;
    diag_err("subscribe to %s failed: %s(%d)\n", args_info.subtopic_arg, mosquitto_strerror(rc),
             rc);
    return;
  }
  s->subscribe_mid = mid;
}

// Takes back what the library holds (session_take_back), under the publish
// lock. A message the broker will not take ends every session it is sent
// in, soon after the broker accepted it: after kPoisonStrikes such sessions
// in a row with it as the oldest unfinished, it is given up, so that the
// messages after it can flow.
void take_back_locked(mqtt_session* s, bool short_session) {
  held_list back{};
  if (args_info.qos_arg == 0 && !s->queue_enabled) {
    forget_unfinished_publishes(&s->records);
  } else {
    take_unfinished_publishes(&s->records, &back);
  }
  held_message* oldest = back.head;
  // A session the library ended over a PUBACK for QoS 2 says nothing
  // against the messages it held.
  if (s->puback_for_qos2) short_session = false;
  s->puback_for_qos2 = false;
  if (!short_session || oldest == nullptr) {
    s->suspect_seq = 0;
    s->suspect_strikes = 0;
  } else if (oldest->seq != s->suspect_seq) {
    s->suspect_seq = oldest->seq;
    s->suspect_strikes = 1;
  } else if (++s->suspect_strikes >= kPoisonStrikes) {
    diag_err(
        "message of %u bytes given up: the broker ended %d sessions in a row within %.0f s while "
        "it was the oldest unacknowledged\n",
        static_cast<unsigned>(oldest->len), s->suspect_strikes, kShortSessionSeconds);
    held_list_remove(&back, oldest);
    held_message_free(oldest);
    session_report_count(s, &session_report::given_up);
    s->suspect_seq = 0;
    s->suspect_strikes = 0;
  }
  if (back.count == 0) return;
  if (s->give_back != nullptr) {
    s->give_back(&back);
  } else {
    held_list_free_all(&back);
  }
}

}  // namespace

namespace {

// The broker has answered the CONNECT with `rc`.
void connack_received(struct mosquitto* mosq, mqtt_session* s, int rc) {
  diag_debug("connect callback: %d\n", rc);
  if (rc != 0) {
    // A refused session is not a session: nothing may be published on it.
    // The refusal is reported with the other failed attempts of the outage
    // (session_supervisor), so that a refusing broker does not flood the log.
    s->isconnect.store(0, std::memory_order_relaxed);
    wake_main(s);
    return;
  }
  s->session_qos = s->publish_qos.load(std::memory_order_relaxed);
  session_report_state(s, true);
  s->isconnect.store(1, std::memory_order_relaxed);
  report_session_back(s);
  // What waits in the queue goes out now.
  wake_main(s);
  if (args_info.subtopic_given && args_info.subtopic_arg != nullptr) {
    subscribe_subtopic(mosq, s);
  }
  if (args_info.onconnect_given && args_info.onconnect_arg != nullptr) {
    run_script_command(build_onconnect_command(args_info.onconnect_arg), "onconnect ");
  }
}

// The QoS to use for `wanted` when the broker takes QoS up to `max_qos`; one
// WARNING line, naming what (`doing`), when that is lower.
int qos_within(int wanted, int max_qos, const char* doing) {
  if (wanted <= max_qos) return wanted;
  diag_warn("the broker takes QoS up to %d; %s at QoS %d\n", max_qos, doing, max_qos);
  return max_qos;
}

}  // namespace

void my_connect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept {
  // Under MQTT 5, my_connect_v5_callback answers, once it has read the
  // CONNACK's properties: nothing may be published before the limits are
  // known.
  if (mqtt5_protocol()) return;
  mqtt_session* s = session_of(obj);
  if (rc == 0) {
    s->publish_qos.store(args_info.qos_arg < s->qos_ceiling ? args_info.qos_arg : s->qos_ceiling,
                         std::memory_order_relaxed);
  }
  connack_received(mosq, s, rc);
}

void my_disconnect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept {
  (void)mosq;
  mqtt_session* s = session_of(obj);
  // The library calls here right after the failed read or write.
  const int err = errno;
  const bool was_up = s->isconnect.exchange(0, std::memory_order_relaxed) != 0;
  // At QoS 0 the library discards its unsent packets with the connection;
  // without a queue they are lost. Otherwise the copies are taken back once
  // the session thread is done with the connection (session_take_back).
  const uint32_t unsent =
      args_info.qos_arg == 0 && !s->queue_enabled ? forget_unfinished_publishes(&s->records) : 0;
  diag_debug("disconnect callback: %d, reconnecting\n", rc);
  if (was_up) {
    s->lost = true;
    s->lost_at = monotonic_seconds();
    s->dropped_datagrams.store(0, std::memory_order_relaxed);
    s->dropped_stream_messages.store(0, std::memory_order_relaxed);
    // Under MQTT 5 a broker that ends the session says why, with a reason
    // code of 0x80 or above, which the library hands over as `rc` (its own
    // results are far below).
    char reason[160];
    if (mqtt5_protocol() && rc >= 0x80) {
      mqtt5_reason_text(rc, nullptr, reason, sizeof reason);
    } else {
      snprintf(reason, sizeof reason, "%s(%d)", session_error_text(rc, err),
               session_error_code(rc, err));
    }
    session_report_state(s, false);
    char failure[sizeof reason + 16];
    snprintf(failure, sizeof failure, "session lost: %s", reason);
    session_report_failure(s, failure, 0);
    if (unsent != 0) session_report_count(s, &session_report::dropped_unsent, unsent);
    if (unsent == 0) {
      diag_warn("session lost: %s, reconnecting\n", reason);
    } else {
      diag_warn("session lost: %s, reconnecting; %u unsent messages dropped with it\n", reason,
                static_cast<unsigned>(unsent));
    }
  }
  // Reading resumes: while the session is down local data is queued, or
  // dropped without a queue.
  wake_main(s);
}

namespace {

// The broker's answer to the subscription; `reason_string` (may be null) is
// the broker's own under MQTT 5.
void subscription_answered(mqtt_session* s, int mid, int qos_count, const int* granted_qos,
                           const char* reason_string) {
  diag_debug("subscribe callback: %d\n", mid);
  if (mid == 0 || mid != s->subscribe_mid || qos_count < 1 || granted_qos == nullptr) return;
  s->subscribe_mid = 0;
  const int granted = granted_qos[0];
  // Under MQTT 3.1.1 a refusal is 0x80; MQTT 5 reason codes of 0x80 and
  // above are refusals too, and are named.
  if (granted >= 0x80 && mqtt5_protocol()) {
    char reason[160];
    diag_err("subscription to %s refused by the broker: %s\n", args_info.subtopic_arg,
             mqtt5_reason_text(granted, reason_string, reason, sizeof reason));
  } else if (granted >= 0x80) {
    diag_err("subscription to %s refused by the broker (return code 0x%02x)\n",
             args_info.subtopic_arg, static_cast<unsigned>(granted));
  } else if (granted < s->subscribe_qos) {
    diag_warn("subscription to %s granted at QoS %d, lower than the %d asked for\n",
              args_info.subtopic_arg, granted, s->subscribe_qos);
  }
}

// The reason string among MQTT 5 `props`, copied into `out` (empty when
// there is none).
void read_reason_string(const mosquitto_property* props, char* out, size_t size) {
  out[0] = '\0';
  char* text = nullptr;
  if (mosquitto_property_read_string(props, MQTT_PROP_REASON_STRING, &text, false) == nullptr) {
    return;
  }
  if (text != nullptr) snprintf(out, size, "%s", text);
  free(text);
}

// Says how many messages the broker refused in the episode, and why, and
// ends it.
void report_refusals(mqtt_session* s) {
  if (s->refused_count == 0) return;
  char reason[sizeof s->refused_reason + 32];
  diag_err("the broker refused %u messages: %s\n", s->refused_count,
           mqtt5_reason_text(s->refused_code, s->refused_reason, reason, sizeof reason));
  s->refused_count = 0;
}

}  // namespace

void my_subscribe_callback(struct mosquitto* mosq, void* obj, int mid, int qos_count,
                           const int* granted_qos) noexcept {
  (void)mosq;
  subscription_answered(session_of(obj), mid, qos_count, granted_qos, nullptr);
}

void my_subscribe_v5_callback(struct mosquitto* mosq, void* obj, int mid, int qos_count,
                              const int* granted_qos, const mosquitto_property* props) noexcept {
  (void)mosq;
  char reason_string[128];
  read_reason_string(props, reason_string, sizeof reason_string);
  subscription_answered(session_of(obj), mid, qos_count, granted_qos, reason_string);
}

namespace {

// A new session under MQTT 5: its PUBLISHes use topic alias 1 when the
// broker grants aliases, the first of them carrying the topic.
void use_topic_alias(mqtt_session* s, bool granted) {
  publish_lock_held lock(s);
  s->alias_topic_sent = false;
  s->topic_alias = granted ? publish_properties(s->message_expiry).alias : nullptr;
}

// Sets the will again for the next connects after s->will_qos_max or
// s->will_retain_refused changed.
void set_will_again(struct mosquitto* mosq, mqtt_session* s) { session_set_will(mosq, s); }

// An accepted session's limits that the will exceeds: the broker took it
// this time, but is told no more than it says it takes from the next
// connect on. One WARNING line per change.
void limit_will(struct mosquitto* mosq, mqtt_session* s, int max_qos, bool retain_available) {
  if (!args_info.willtopic_given) return;
  bool changed = false;
  if (args_info.willqos_arg > max_qos && s->will_qos_max > max_qos) {
    s->will_qos_max = max_qos;
    diag_warn("the broker takes QoS up to %d; sending the will at QoS %d\n", max_qos, max_qos);
    changed = true;
  }
  if (args_info.willretain_arg != 0 && !retain_available && !s->will_retain_refused) {
    s->will_retain_refused = true;
    diag_warn("the broker takes no retained messages; sending the will without retain\n");
    changed = true;
  }
  if (changed) set_will_again(mosq, s);
}

// A CONNACK that refused the session for its will: QoS not supported
// (0x9B), which lowers the will's QoS by one for the next attempts, or
// retain not supported (0x9A), which drops its retain flag. One WARNING line
// each; the refusal itself is reported with the outage's attempts.
void will_refused(struct mosquitto* mosq, mqtt_session* s, int rc) {
  if (!args_info.willtopic_given) return;
  const int qos = args_info.willqos_arg < s->will_qos_max ? args_info.willqos_arg : s->will_qos_max;
  if (rc == MQTT_RC_QOS_NOT_SUPPORTED && qos > 0) {
    s->will_qos_max = qos - 1;
    diag_warn("the broker refused the will at QoS %d; sending it at QoS %d\n", qos, qos - 1);
    set_will_again(mosq, s);
  } else if (rc == MQTT_RC_RETAIN_NOT_SUPPORTED && args_info.willretain_arg != 0 &&
             !s->will_retain_refused) {
    s->will_retain_refused = true;
    diag_warn("the broker refused the will's retain flag; sending the will without retain\n");
    set_will_again(mosq, s);
  }
}

}  // namespace

void my_connect_v5_callback(struct mosquitto* mosq, void* obj, int rc, int flags,
                            const mosquitto_property* props) noexcept {
  (void)flags;
  mqtt_session* s = session_of(obj);
  read_reason_string(props, s->connack_reason, sizeof s->connack_reason);
  if (rc == 0) {
    // The broker's limits, for this session: absent, there are none but
    // MQTT's own.
    uint32_t max_packet = 0;
    mosquitto_property_read_int32(props, MQTT_PROP_MAXIMUM_PACKET_SIZE, &max_packet, false);
    uint8_t max_qos = 2;
    mosquitto_property_read_byte(props, MQTT_PROP_MAXIMUM_QOS, &max_qos, false);
    s->max_packet_size.store(max_packet, std::memory_order_relaxed);
    const int qos = args_info.qos_arg < s->qos_ceiling ? args_info.qos_arg : s->qos_ceiling;
    s->publish_qos.store(qos_within(qos, max_qos, "publishing"), std::memory_order_relaxed);
    if (args_info.subtopic_given && args_info.subtopic_arg != nullptr) {
      s->subscribe_qos = qos_within(args_info.subqos_arg, max_qos, "subscribing");
    }
    uint16_t alias_max = 0;
    mosquitto_property_read_int16(props, MQTT_PROP_TOPIC_ALIAS_MAXIMUM, &alias_max, false);
    use_topic_alias(s, alias_max != 0);
    uint8_t retain_available = 1;
    mosquitto_property_read_byte(props, MQTT_PROP_RETAIN_AVAILABLE, &retain_available, false);
    limit_will(mosq, s, max_qos, retain_available != 0);
  } else {
    will_refused(mosq, s, rc);
  }
  connack_received(mosq, s, rc);
}

namespace {

// The library is done with publish `mid`, delivered or refused.
void publish_done(struct mosquitto* mosq, mqtt_session* s, int mid) {
  (void)mosq;
  diag_debug("publish callback: %d\n", mid);
  bool crossed_low = false;
  // The end of a burst the broker was slow to take: hand the freed messages
  // back, so that the daemon shrinks again once the broker has caught up.
  if (publish_finished(&s->records, mid, &crossed_low)) heap_release_free();
  if (crossed_low) wake_main(s);
}

}  // namespace

void my_publish_v5_callback(struct mosquitto* mosq, void* obj, int mid, int reason_code,
                            const mosquitto_property* props) noexcept {
  mqtt_session* s = session_of(obj);
  if (reason_code >= 0x80) {
    // Refused: the library has forgotten the message, and so does the
    // daemon once the report below is counted; nothing sends it again.
    char reason_string[sizeof s->refused_reason];
    read_reason_string(props, reason_string, sizeof reason_string);
    if (s->refused_count != 0 &&
        (reason_code != s->refused_code || strcmp(reason_string, s->refused_reason) != 0)) {
      report_refusals(s);
    }
    s->refused_count += 1;
    s->refused_code = reason_code;
    s->refused_last = monotonic_seconds();
    memcpy(s->refused_reason, reason_string, sizeof s->refused_reason);
    session_report_count(s, &session_report::broker_refused);
    publish_done(mosq, s, mid);
    return;
  }
  my_publish_callback(mosq, obj, mid);
}

char* session_connack_refusal(const mqtt_session* s, int code, char* out, size_t size) noexcept {
  return mqtt5_reason_text(code, s->connack_reason, out, size);
}

void session_tick(mqtt_session* s, bool session_over) noexcept {
  if (s->refused_count == 0) return;
  if (session_over || monotonic_seconds() - s->refused_last >= kRefusalQuietSeconds) {
    report_refusals(s);
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
  run_script_command(build_script_command(args_info.script_arg, payload,
                                          static_cast<size_t>(message->payloadlen), sockpath),
                     "");
}

void my_publish_callback(struct mosquitto* mosq, void* obj, int mid) noexcept {
  publish_done(mosq, session_of(obj), mid);
}

namespace {

// The message id of the library's line for a PUBACK it received ("Client ID
// received PUBACK (Mid: N, RC:R)"), or 0 when `line` is not one. The last
// such words count: the client id comes first and may hold anything.
int puback_mid(const char* line) {
  static const char kWords[] = " received PUBACK (Mid: ";
  const char* at = nullptr;
  for (const char* p = strstr(line, kWords); p != nullptr; p = strstr(p + 1, kWords)) at = p;
  if (at == nullptr) return 0;
  char* end = nullptr;
  const long mid = strtol(at + sizeof kWords - 1, &end, 10);
  if (end == nullptr || *end != ',' || mid <= 0 || mid > 65535) return 0;
  return static_cast<int>(mid);
}

}  // namespace

void my_log_callback(struct mosquitto* mosq, void* obj, int level, const char* str) noexcept {
  if (str == nullptr) return;
  diag_debug("%s\n", str);
  mqtt_session* s = session_of(obj);
  if (s == nullptr || s->session_qos != 2 || level != MOSQ_LOG_DEBUG) return;
  const int mid = puback_mid(str);
  if (mid == 0) return;
  // The broker took the message at QoS 1: it is delivered, and nothing is
  // sent at QoS 2 again. The library ends the connection over it next.
  s->qos_ceiling = 1;
  s->session_qos = 1;
  s->publish_qos.store(1, std::memory_order_relaxed);
  s->puback_for_qos2 = true;
  diag_warn("the broker takes QoS up to 1; publishing at QoS 1\n");
  my_publish_callback(mosq, obj, mid);
}

bool session_wants_library_log() noexcept { return debug >= LOG_DEBUG || args_info.qos_arg == 2; }

bool session_set_will(struct mosquitto* mosq, const mqtt_session* s) noexcept {
  if (!args_info.willtopic_given) return true;
  const char* payload = args_info.willpayload_given ? args_info.willpayload_arg : nullptr;
  const int payload_len = payload != nullptr ? static_cast<int>(strlen(payload)) : 0;
  const int qos = args_info.willqos_arg < s->will_qos_max ? args_info.willqos_arg : s->will_qos_max;
  const bool retain = args_info.willretain_arg != 0 && !s->will_retain_refused;
  if (mosquitto_will_set(mosq, args_info.willtopic_arg, payload_len, payload, qos, retain) != 0) {
    diag_err("Error: mosquitto set will failed\n");
    return false;
  }
  return true;
}

int my_pw_callback(char* buf, int size, int rwflag, void* userdata) noexcept {
  (void)rwflag;
  (void)userdata;
  if (!args_info.keypassword_given || args_info.keypassword_arg == nullptr) return 0;
  const int len = static_cast<int>(strlen(args_info.keypassword_arg));
  if (len > size) {
    diag_err("key password too long: %d %d\n", len, size);
    daemon_exit(kExitKeyPassword);
  }
  memcpy(buf, args_info.keypassword_arg, static_cast<size_t>(len));
  return len;
}

void publish_msg(void* arg, const void* payload, int payloadlen) noexcept {
  struct mosquitto* mosq = static_cast<struct mosquitto*>(arg);
  mqtt_session* s = session_of(mosquitto_userdata(mosq));
  int rc;
  {
    publish_lock_held lock(s);
    if (!session_up(s)) return;
    int mid = 0;
    rc = publish_locked(s, mosq, &mid, payload, payloadlen, monotonic_seconds());
    if (rc == MOSQ_ERR_SUCCESS) {
      publish_taken(&s->records, mid, payloadlen > 0 ? static_cast<uint32_t>(payloadlen) : 0);
    }
  }
  diag_debug("Publish return: %d\n", rc);
  if (rc != MOSQ_ERR_SUCCESS) log_publish_failure(rc);
}

publish_outcome session_publish(mqtt_session* s, held_message* m, char* refusal,
                                size_t refusal_size) noexcept {
  // Asked first without the lock, which the session thread holds while it
  // starts the client afresh (TLS files are read then): a down session
  // need not wait for it.
  if (!session_up(s)) return kPublishSessionDown;
  int rc;
  {
    publish_lock_held lock(s);
    if (!session_up(s)) return kPublishSessionDown;
    int mid = 0;
    rc = publish_locked(s, s->mosq, &mid, m->bytes, static_cast<int>(m->len), m->taken);
    if (rc == MOSQ_ERR_SUCCESS) publish_taken_message(&s->records, mid, m);
  }
  diag_debug("Publish return: %d\n", rc);
  if (rc == MOSQ_ERR_SUCCESS) return kPublishTaken;
  // The connection ended before the session thread could say so: the
  // message is kept, as for a session known to be down.
  if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST) return kPublishSessionDown;
  if (rc == MOSQ_ERR_OVERSIZE_PACKET) {
    // Over the broker's Maximum Packet Size (MQTT 5): never sent, so it
    // neither wedges the session nor counts against it.
    const unsigned limit = s->max_packet_size.load(std::memory_order_relaxed);
    log_oversize(m->len, limit);
    session_report_count(s, &session_report::too_large);
    if (refusal != nullptr && refusal_size > 0) {
      snprintf(refusal, refusal_size,
               "message of %u bytes larger than the broker's maximum packet size of %u bytes",
               static_cast<unsigned>(m->len), limit);
    }
  } else {
    log_publish_failure(rc);
    session_report_count(s, &session_report::library_refused);
    if (refusal != nullptr && refusal_size > 0) {
      snprintf(refusal, refusal_size, "refused by the MQTT library: %s(%d)", mosquitto_strerror(rc),
               rc);
    }
  }
  held_message_free(m);
  return kPublishRefused;
}

void session_take_back(mqtt_session* s, bool short_session, void (*start_afresh)(void* ctx),
                       void* ctx) noexcept {
  publish_lock_held lock(s);
  take_back_locked(s, short_session);
  if (start_afresh != nullptr) start_afresh(ctx);
}

uint32_t session_stop(mqtt_session* s, held_list* unfinished) noexcept {
  // Never released: the process ends after the stop.
  pthread_mutex_lock(&s->publish_lock);
  return take_unfinished_publishes(&s->records, unfinished);
}

void session_drop_connection(mqtt_session* s) noexcept {
  const int fd = mosquitto_socket(s->mosq);
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

held_publishes session_held(mqtt_session* s) noexcept { return publishes_held(&s->records); }

water_level session_water_level(const mqtt_session* s) noexcept {
  return publish_water_level(&s->records);
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

uint32_t publish_payload_limit(size_t topic_len, int qos, bool mqtt5) noexcept {
  // Under MQTT 5: the properties' length, a topic alias and a message expiry
  // interval (1 + 3 + 5 bytes).
  const uint64_t overhead =
      2 + static_cast<uint64_t>(topic_len) + (qos > 0 ? 2 : 0) + (mqtt5 ? 9 : 0);
  if (overhead > kMqttMaxRemainingLength) return 0;
  return static_cast<uint32_t>(kMqttMaxRemainingLength - overhead);
}

void session_report_count(mqtt_session* s, uint64_t session_report::*field, uint64_t n) noexcept {
  pthread_mutex_lock(&s->report_lock);
  s->report.*field += n;
  pthread_mutex_unlock(&s->report_lock);
}

void session_report_state(mqtt_session* s, bool up) noexcept {
  const double mono = monotonic_seconds();
  const int64_t wall = static_cast<int64_t>(time(nullptr));
  pthread_mutex_lock(&s->report_lock);
  s->report.up = up;
  s->report.since_mono = mono;
  s->report.since_wall = wall;
  if (up) s->report.attempts = 0;
  pthread_mutex_unlock(&s->report_lock);
}

void session_report_failure(mqtt_session* s, const char* text, unsigned attempts) noexcept {
  pthread_mutex_lock(&s->report_lock);
  snprintf(s->report.last_error, sizeof s->report.last_error, "%s", text);
  s->report.attempts = attempts;
  pthread_mutex_unlock(&s->report_lock);
}

session_report session_report_copy(mqtt_session* s) noexcept {
  pthread_mutex_lock(&s->report_lock);
  const session_report copy = s->report;
  pthread_mutex_unlock(&s->report_lock);
  return copy;
}

uint64_t session_relayed(mqtt_session* s) noexcept {
  const uint64_t refused = session_report_copy(s).broker_refused;
  const uint64_t done = publishes_finished(&s->records);
  return done > refused ? done - refused : 0;
}
