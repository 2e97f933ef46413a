// A TCP forwarder on a loopback port chosen at run time, placed between the
// daemon and its broker, that a test turns into the failures of a real
// network and the answers of other brokers: a broker that accepts but never
// answers, a path that drops every packet, a broker that refuses everyone, a
// peer that sends bytes MQTT does not allow, and a broker that refuses or
// downgrades subscriptions (mosquitto under MQTT 3.1.1 grants every valid
// one).
#ifndef QUORREL_TESTS_SUPPORT_TCP_PROXY_H_
#define QUORREL_TESTS_SUPPORT_TCP_PROXY_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"

namespace quorrel_test {

// SUBACK return code for a refused subscription (MQTT 3.1.1).
constexpr uint8_t kSubackFailure = 0x80;

class TcpProxy {
 public:
  enum class Mode {
    // Accepts and forwards both ways.
    kForward,
    // Accepts (the TCP handshake completes) but forwards nothing either way,
    // also on connections already open: a broker that never answers CONNECT,
    // or a path that stopped carrying packets.
    kSilent,
    // As kSilent for open connections; new ones get no answer to their SYN
    // (the listening queue is kept full and never accepted): a blackhole.
    kBlackhole,
    // Closes open connections, and accepts and at once closes new ones:
    // a broker that is gone, where every attempt can be counted.
    kReject,
  };

  // Forwards to 127.0.0.1:`target_port`.
  explicit TcpProxy(int target_port);
  ~TcpProxy();
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;

  // Listens on a free loopback port and starts forwarding (kForward).
  // False when it cannot listen.
  bool start();
  int port() const { return port_; }

  void set_mode(Mode mode);
  // From now on every return code of every SUBACK the broker sends (fixed
  // header 0x90) reaches the client as `return_code`; `mqtt5`: the SUBACKs
  // are MQTT 5's, whose properties come before the codes.
  void rewrite_subacks(uint8_t return_code, bool mqtt5 = false);
  // From now on every PUBREC the broker sends reaches the client as a
  // PUBACK: a broker that takes QoS 2 publishes at QoS 1.
  void rewrite_pubrecs_as_pubacks();
  // SUBACK (and PUBREC) packets rewritten so far, over all connections.
  size_t subacks_rewritten() const { return rewritten_.load(); }
  // Bytes forwarded from clients to the broker so far, over all connections.
  size_t bytes_from_clients() const { return client_bytes_.load(); }
  // Sends `bytes` to every open client connection, as if from the broker.
  void inject_to_clients(const std::string& bytes);
  // When each connection was accepted, in order.
  std::vector<Clock::time_point> accept_times() const;

 private:
  struct Pair {
    int client;
    int broker;
    std::string pending;  // broker bytes held back: an incomplete packet
  };
  void run();
  void close_pairs();
  void fill_queue();

  const int target_port_;
  int listen_fd_ = -1;
  int port_ = 0;
  int filler_fd_ = -1;  // the connection that keeps the queue full (kBlackhole)
  std::atomic<bool> stop_{false};
  std::atomic<int> suback_code_{-1};  // -1: SUBACKs pass unchanged
  std::atomic<bool> suback_mqtt5_{false};
  std::atomic<bool> pubrec_as_puback_{false};
  std::atomic<size_t> rewritten_{0};     // written by the proxy thread
  std::atomic<size_t> client_bytes_{0};  // written by the proxy thread
  mutable std::mutex mutex_;             // guards mode_, inject_, accepted_
  Mode mode_ = Mode::kForward;
  std::vector<std::string> inject_;
  std::vector<Clock::time_point> accepted_;
  std::vector<Pair> pairs_;  // the proxy thread's own
  std::thread thread_;
};

}  // namespace quorrel_test

#endif  // QUORREL_TESTS_SUPPORT_TCP_PROXY_H_
