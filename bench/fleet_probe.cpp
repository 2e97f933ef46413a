#include "bench/fleet_probe.h"

#include <mosquitto.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace quorrel_bench {

FleetProbe::FleetProbe(std::string topic_prefix, std::vector<std::string> dgram_paths)
    : topic_prefix_(std::move(topic_prefix)), dgram_paths_(std::move(dgram_paths)) {
  mosquitto_lib_init();
  send_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (send_fd_ < 0) throw std::runtime_error(std::string("probe socket: ") + strerror(errno));
}

FleetProbe::~FleetProbe() {
  disconnect();
  close(send_fd_);
}

bool FleetProbe::connect(int port) {
  disconnect();
  {
    std::lock_guard<std::mutex> lock(mu_);
    connack_ = -1;
    subscribed_ = false;
  }
  mosq_ = mosquitto_new(nullptr, true, this);
  if (mosq_ == nullptr) return false;
  mosquitto_connect_callback_set(mosq_, &FleetProbe::on_connect);
  mosquitto_subscribe_callback_set(mosq_, &FleetProbe::on_subscribe);
  mosquitto_message_callback_set(mosq_, &FleetProbe::on_message);
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
  const std::string topic = topic_prefix_ + "#";
  if (mosquitto_subscribe(mosq_, nullptr, topic.c_str(), 0) != MOSQ_ERR_SUCCESS) return false;
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, milliseconds(5000), [this] { return subscribed_; });
}

void FleetProbe::disconnect() {
  if (mosq_ == nullptr) return;
  if (loop_started_) {
    mosquitto_disconnect(mosq_);
    // Not forced: the thread ends once the library has seen the disconnect,
    // and it reconnects on its own only when the session was lost, which
    // a broker that is still there does not do.
    mosquitto_loop_stop(mosq_, false);
    loop_started_ = false;
  }
  mosquitto_destroy(mosq_);
  mosq_ = nullptr;
}

std::vector<Clock::time_point> FleetProbe::run_round(milliseconds interval, milliseconds timeout) {
  const std::string payload = "fleet probe " + std::to_string(++round_number_);
  {
    std::lock_guard<std::mutex> lock(mu_);
    round_ = payload;
    arrived_.assign(dgram_paths_.size(), Clock::time_point());
    arrived_count_ = 0;
  }
  const Clock::time_point end = Clock::now() + timeout;
  std::vector<bool> pending(dgram_paths_.size(), true);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (size_t i = 0; i < pending.size(); ++i) pending[i] = arrived_[i] == Clock::time_point();
    }
    for (size_t i = 0; i < dgram_paths_.size(); ++i) {
      if (!pending[i]) continue;
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      strncpy(addr.sun_path, dgram_paths_[i].c_str(), sizeof addr.sun_path - 1);
      // MSG_DONTWAIT: a daemon whose queue is full (it is not reading, or
      // not yet) is skipped this time rather than holding up the others.
      // Every other failure is skipped as well: the round's result is only
      // what arrives.
      while (sendto(send_fd_, payload.data(), payload.size(), MSG_DONTWAIT,
                    reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 &&
             errno == EINTR) {
      }
    }
    std::unique_lock<std::mutex> lock(mu_);
    const Clock::time_point next = Clock::now() + interval;
    cv_.wait_until(lock, next < end ? next : end,
                   [this] { return arrived_count_ == arrived_.size(); });
    if (arrived_count_ == arrived_.size() || Clock::now() >= end) return arrived_;
  }
}

void FleetProbe::on_connect(struct mosquitto*, void* self, int rc) {
  FleetProbe* p = static_cast<FleetProbe*>(self);
  std::lock_guard<std::mutex> lock(p->mu_);
  p->connack_ = rc;
  p->cv_.notify_all();
}

void FleetProbe::on_subscribe(struct mosquitto*, void* self, int, int, const int*) {
  FleetProbe* p = static_cast<FleetProbe*>(self);
  std::lock_guard<std::mutex> lock(p->mu_);
  p->subscribed_ = true;
  p->cv_.notify_all();
}

void FleetProbe::on_message(struct mosquitto*, void* self, const mosquitto_message* msg) {
  const Clock::time_point now = Clock::now();
  FleetProbe* p = static_cast<FleetProbe*>(self);
  const char* topic = msg->topic;
  if (topic == nullptr || strncmp(topic, p->topic_prefix_.c_str(), p->topic_prefix_.size()) != 0) {
    return;
  }
  char* end = nullptr;
  const unsigned long index = strtoul(topic + p->topic_prefix_.size(), &end, 10);
  if (end == nullptr || *end != '\0') return;
  std::lock_guard<std::mutex> lock(p->mu_);
  const size_t len = static_cast<size_t>(msg->payloadlen);
  if (index >= p->arrived_.size() || len != p->round_.size() ||
      memcmp(msg->payload, p->round_.data(), len) != 0) {
    return;  // another daemon's, or a probe of an earlier round
  }
  if (p->arrived_[index] != Clock::time_point()) return;
  p->arrived_[index] = now;
  if (++p->arrived_count_ == p->arrived_.size()) p->cv_.notify_all();
}

}  // namespace quorrel_bench
