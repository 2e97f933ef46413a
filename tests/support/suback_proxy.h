// A TCP proxy in front of a broker that changes what the broker answers to
// subscriptions, standing in for a broker that refuses or downgrades them
// (mosquitto under MQTT 3.1.1 grants every valid subscription).
#ifndef QUORREL_TESTS_SUPPORT_SUBACK_PROXY_H_
#define QUORREL_TESTS_SUPPORT_SUBACK_PROXY_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <thread>

namespace quorrel_test {

// SUBACK return code for a refused subscription (MQTT 3.1.1).
constexpr uint8_t kSubackFailure = 0x80;

// Listens on a 127.0.0.1 port chosen by the kernel and connects every client
// it accepts to 127.0.0.1:`broker_port`, passing bytes both ways unchanged,
// except that each return code of every SUBACK packet from the broker (fixed
// header 0x90) becomes `return_code`. One thread serves every connection;
// the destructor stops it and closes every socket.
class SubackProxy {
 public:
  SubackProxy(int broker_port, uint8_t return_code);
  ~SubackProxy();
  SubackProxy(const SubackProxy&) = delete;
  SubackProxy& operator=(const SubackProxy&) = delete;

  // Binds, listens and starts serving. False with error() set on failure.
  bool start();
  int port() const { return port_; }
  const std::string& error() const { return error_; }
  // SUBACK packets rewritten so far, over all connections.
  size_t subacks_rewritten() const { return rewritten_.load(); }

 private:
  void serve();

  int broker_port_;
  uint8_t return_code_;
  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};  // a pipe; the destructor writes to end serve()
  int port_ = 0;
  std::string error_;
  std::atomic<size_t> rewritten_{0};  // written by the proxy thread
  std::thread thread_;
};

}  // namespace quorrel_test

#endif  // QUORREL_TESTS_SUPPORT_SUBACK_PROXY_H_
