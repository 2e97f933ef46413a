#include "tests/support/subscriber.h"

#include <mosquitto.h>

#include <algorithm>
#include <mutex>

namespace quorrel_test {
namespace {

void init_library_once() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

MqttSubscriber::MqttSubscriber() {
  init_library_once();
  mosq_ = mosquitto_new(nullptr, true, this);
  if (mosq_ == nullptr) return;
  mosquitto_connect_callback_set(mosq_, &MqttSubscriber::on_connect);
  mosquitto_disconnect_callback_set(mosq_, &MqttSubscriber::on_disconnect);
  mosquitto_subscribe_callback_set(mosq_, &MqttSubscriber::on_subscribe);
  mosquitto_publish_callback_set(mosq_, &MqttSubscriber::on_publish);
  mosquitto_message_callback_set(mosq_, &MqttSubscriber::on_message);
  // Reconnect quickly after a broker restart.
  mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
}

MqttSubscriber::~MqttSubscriber() {
  if (mosq_ == nullptr) return;
  if (loop_started_) {
    mosquitto_disconnect(mosq_);
    // The disconnect ends the network thread, also while it waits to
    // reconnect to a stopped broker.
    mosquitto_loop_stop(mosq_, false);
  }
  mosquitto_destroy(mosq_);
}

bool MqttSubscriber::connect(int port, const MqttClientOptions& options, milliseconds timeout) {
  if (mosq_ == nullptr) return false;
  if (!options.username.empty() &&
      mosquitto_username_pw_set(mosq_, options.username.c_str(), options.password.c_str()) !=
          MOSQ_ERR_SUCCESS) {
    return false;
  }
  if (!options.cafile.empty() && !options.certfile.empty() && !options.keyfile.empty() &&
      mosquitto_tls_set(mosq_, options.cafile.c_str(), nullptr, options.certfile.c_str(),
                        options.keyfile.c_str(), nullptr) != MOSQ_ERR_SUCCESS) {
    return false;
  }
  if (mosquitto_connect(mosq_, "127.0.0.1", port, 10) != MOSQ_ERR_SUCCESS) return false;
  if (mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) return false;
  loop_started_ = true;
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, timeout, [this] { return connack_ >= 0; });
  return connack_ == 0;
}

bool MqttSubscriber::subscribe(const std::string& topic, int qos, milliseconds timeout) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    subscriptions_.emplace_back(topic, qos);
  }
  int mid = 0;
  if (mosquitto_subscribe(mosq_, &mid, topic.c_str(), qos) != MOSQ_ERR_SUCCESS) return false;
  return wait_acked(mid, timeout);
}

bool MqttSubscriber::publish(const std::string& topic, const std::string& payload, int qos,
                             bool retain, milliseconds timeout) {
  int mid = 0;
  if (mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), qos, retain) != MOSQ_ERR_SUCCESS) {
    return false;
  }
  return wait_acked(mid, timeout);
}

bool MqttSubscriber::wait_acked(int mid, milliseconds timeout) {
  // Every acknowledged id is recorded, so an acknowledgement that came back
  // before this wait began is found as well.
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] {
    return std::find(acked_mids_.begin(), acked_mids_.end(), mid) != acked_mids_.end();
  });
}

std::vector<MqttMessage> MqttSubscriber::wait_for(size_t count, milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, timeout, [&] { return messages_.size() >= count; });
  return messages_;
}

std::vector<MqttMessage> MqttSubscriber::messages() const {
  std::lock_guard<std::mutex> lock(mu_);
  return messages_;
}

void MqttSubscriber::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  messages_.clear();
}

void MqttSubscriber::ignore_payload_prefix(const std::string& prefix) {
  std::lock_guard<std::mutex> lock(mu_);
  ignore_prefix_ = prefix;
}

size_t MqttSubscriber::ignored_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ignored_;
}

bool MqttSubscriber::connected() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connected_;
}

void MqttSubscriber::on_connect(struct mosquitto* mosq, void* self, int rc) {
  auto* sub = static_cast<MqttSubscriber*>(self);
  std::lock_guard<std::mutex> lock(sub->mu_);
  sub->connack_ = rc;
  sub->connected_ = rc == 0;
  if (rc == 0) {
    // A clean session forgets subscriptions: renew them after a reconnect.
    for (const auto& s : sub->subscriptions_) {
      mosquitto_subscribe(mosq, nullptr, s.first.c_str(), s.second);
    }
  }
  sub->cv_.notify_all();
}

void MqttSubscriber::on_disconnect(struct mosquitto*, void* self, int) {
  auto* sub = static_cast<MqttSubscriber*>(self);
  std::lock_guard<std::mutex> lock(sub->mu_);
  sub->connected_ = false;
  sub->cv_.notify_all();
}

void MqttSubscriber::on_subscribe(struct mosquitto*, void* self, int mid, int, const int*) {
  auto* sub = static_cast<MqttSubscriber*>(self);
  std::lock_guard<std::mutex> lock(sub->mu_);
  sub->acked_mids_.push_back(mid);
  sub->cv_.notify_all();
}

void MqttSubscriber::on_publish(struct mosquitto*, void* self, int mid) {
  auto* sub = static_cast<MqttSubscriber*>(self);
  std::lock_guard<std::mutex> lock(sub->mu_);
  sub->acked_mids_.push_back(mid);
  sub->cv_.notify_all();
}

void MqttSubscriber::on_message(struct mosquitto*, void* self, const mosquitto_message* msg) {
  auto* sub = static_cast<MqttSubscriber*>(self);
  MqttMessage m;
  m.topic = msg->topic != nullptr ? msg->topic : "";
  if (msg->payloadlen > 0) {
    m.payload.assign(static_cast<const char*>(msg->payload), static_cast<size_t>(msg->payloadlen));
  }
  m.qos = msg->qos;
  m.retain = msg->retain;
  std::lock_guard<std::mutex> lock(sub->mu_);
  if (!sub->ignore_prefix_.empty() &&
      m.payload.compare(0, sub->ignore_prefix_.size(), sub->ignore_prefix_) == 0) {
    ++sub->ignored_;
  } else {
    sub->messages_.push_back(std::move(m));
  }
  sub->cv_.notify_all();
}

}  // namespace quorrel_test
