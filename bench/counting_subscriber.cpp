#include "bench/counting_subscriber.h"

#include <mosquitto.h>
#include <string.h>

namespace quorrel_bench {

CountingSubscriber::CountingSubscriber() : CountingSubscriber(std::string()) {}

CountingSubscriber::CountingSubscriber(const std::string& id) {
  mosquitto_lib_init();
  mosq_ = id.empty() ? mosquitto_new(nullptr, true, this) : mosquitto_new(id.c_str(), false, this);
  if (mosq_ == nullptr) return;
  mosquitto_connect_callback_set(mosq_, &CountingSubscriber::on_connect);
  mosquitto_subscribe_callback_set(mosq_, &CountingSubscriber::on_subscribe);
  mosquitto_message_callback_set(mosq_, &CountingSubscriber::on_message);
}

CountingSubscriber::~CountingSubscriber() {
  if (mosq_ == nullptr) return;
  if (loop_started_) {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
  }
  mosquitto_destroy(mosq_);
}

bool CountingSubscriber::start(int port, const std::string& topic, int qos) {
  if (mosq_ == nullptr) return false;
  if (mosquitto_connect(mosq_, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS) return false;
  if (mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) return false;
  loop_started_ = true;
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, milliseconds(5000), [this] { return connack_ >= 0; }) ||
        connack_ != 0) {
      return false;
    }
  }
  if (mosquitto_subscribe(mosq_, nullptr, topic.c_str(), qos) != MOSQ_ERR_SUCCESS) return false;
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, milliseconds(5000), [this] { return subscribed_; });
}

void CountingSubscriber::expect_sequence(const std::string& prefix, size_t count,
                                         size_t complete_after) {
  std::lock_guard<std::mutex> lock(mu_);
  prefix_ = prefix;
  exact_ = nullptr;
  seen_.assign(count, false);
  complete_after_ = complete_after != 0 && complete_after < count ? complete_after : count;
  highest_ = 0;
  tally_ = Delivery();
  tally_.last = Clock::now();
}

void CountingSubscriber::expect_exact(const std::string* payload) {
  std::lock_guard<std::mutex> lock(mu_);
  prefix_.clear();
  exact_ = payload;
  seen_.assign(1, false);
  complete_after_ = 1;
  tally_ = Delivery();
  tally_.last = Clock::now();
}

Delivery CountingSubscriber::wait(milliseconds idle) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (tally_.delivered >= complete_after_) break;
    const size_t before = tally_.delivered;
    cv_.wait_for(lock, idle, [&] { return tally_.delivered != before; });
    if (tally_.delivered == before) break;  // nothing new for `idle`
  }
  return tally_;
}

void CountingSubscriber::count_message(const char* payload, size_t len) {
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(mu_);
  size_t index = 0;
  bool expected = false;
  if (exact_ != nullptr) {
    expected = len == exact_->size() && memcmp(payload, exact_->data(), len) == 0;
  } else if (!seen_.empty() && len > prefix_.size() &&
             memcmp(payload, prefix_.data(), prefix_.size()) == 0) {
    size_t i = prefix_.size();
    expected = payload[i] >= '0' && payload[i] <= '9';
    for (; i < len && payload[i] >= '0' && payload[i] <= '9'; ++i) {
      index = index * 10 + static_cast<size_t>(payload[i] - '0');
      if (index >= seen_.size()) {
        expected = false;
        break;
      }
    }
  }
  if (!expected) {
    ++tally_.foreign;
    return;
  }
  if (seen_[index]) {
    ++tally_.duplicates;
    return;
  }
  seen_[index] = true;
  if (tally_.delivered == 0) {
    tally_.first = now;
    tally_.lowest = index;
  } else {
    if (index < highest_) ++tally_.out_of_order;
    if (index < tally_.lowest) tally_.lowest = index;
  }
  if (index > highest_) highest_ = index;
  ++tally_.delivered;
  tally_.last = now;
  if (tally_.delivered == complete_after_) cv_.notify_all();
  // Progress is also reported now and then, so that wait() sees the stream
  // is alive without being woken for every message.
  else if ((tally_.delivered & 1023) == 0)
    cv_.notify_all();
}

void CountingSubscriber::on_connect(struct mosquitto*, void* self, int rc) {
  auto* sub = static_cast<CountingSubscriber*>(self);
  std::lock_guard<std::mutex> lock(sub->mu_);
  sub->connack_ = rc;
  sub->cv_.notify_all();
}

void CountingSubscriber::on_subscribe(struct mosquitto*, void* self, int, int, const int*) {
  auto* sub = static_cast<CountingSubscriber*>(self);
  std::lock_guard<std::mutex> lock(sub->mu_);
  sub->subscribed_ = true;
  sub->cv_.notify_all();
}

void CountingSubscriber::on_message(struct mosquitto*, void* self, const mosquitto_message* msg) {
  if (msg->payloadlen <= 0) return;
  static_cast<CountingSubscriber*>(self)->count_message(static_cast<const char*>(msg->payload),
                                                        static_cast<size_t>(msg->payloadlen));
}

}  // namespace quorrel_bench
