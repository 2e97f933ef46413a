#include "bench/native_publisher.h"

#include <mosquitto.h>

namespace quorrel_bench {

NativePublisher::NativePublisher() {
  mosquitto_lib_init();
  mosq_ = mosquitto_new(nullptr, true, this);
  if (mosq_ == nullptr) return;
  mosquitto_connect_callback_set(mosq_, &NativePublisher::on_connect);
  mosquitto_publish_callback_set(mosq_, &NativePublisher::on_publish);
}

NativePublisher::~NativePublisher() {
  if (mosq_ == nullptr) return;
  if (loop_started_) {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
  }
  mosquitto_destroy(mosq_);
}

bool NativePublisher::start(int port) {
  if (mosq_ == nullptr) return false;
  if (mosquitto_connect(mosq_, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS) return false;
  if (mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) return false;
  loop_started_ = true;
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, milliseconds(5000), [this] { return connack_ >= 0; }) && connack_ == 0;
}

void NativePublisher::begin_run(size_t count) {
  std::lock_guard<std::mutex> lock(mu_);
  reported_ = 0;
  target_ = count;
}

bool NativePublisher::publish_one(const std::string& topic, int qos, const std::string& payload) {
  return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                           payload.data(), qos, false) == MOSQ_ERR_SUCCESS;
}

size_t NativePublisher::wait_reported(size_t count, milliseconds idle) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (reported_ >= count) break;
    const size_t before = reported_;
    cv_.wait_for(lock, idle, [&] { return reported_ >= count; });
    if (reported_ == before) break;
  }
  return reported_;
}

void NativePublisher::on_connect(struct mosquitto*, void* self, int rc) {
  auto* pub = static_cast<NativePublisher*>(self);
  std::lock_guard<std::mutex> lock(pub->mu_);
  pub->connack_ = rc;
  pub->cv_.notify_all();
}

void NativePublisher::on_publish(struct mosquitto*, void* self, int) {
  auto* pub = static_cast<NativePublisher*>(self);
  std::lock_guard<std::mutex> lock(pub->mu_);
  ++pub->reported_;
  // Waking the waiting bench thread for every message would slow this side.
  if ((pub->reported_ & 1023) == 0 || pub->reported_ == pub->target_) pub->cv_.notify_all();
}

}  // namespace quorrel_bench
