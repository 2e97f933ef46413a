// A TCP forwarder on a loopback port chosen at run time, placed between the
// daemon and its broker, that a test turns into the failures of a real
// network: a broker that accepts but never answers, a path that drops every
// packet, a broker that refuses everyone, and a peer that sends bytes MQTT
// does not allow.
#ifndef QUORREL_TESTS_SUPPORT_TCP_PROXY_H_
#define QUORREL_TESTS_SUPPORT_TCP_PROXY_H_

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"

namespace quorrel_test {

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
  // Sends `bytes` to every open client connection, as if from the broker.
  void inject_to_clients(const std::string& bytes);
  // When each connection was accepted, in order.
  std::vector<Clock::time_point> accept_times() const;

 private:
  struct Pair {
    int client;
    int broker;
  };
  void run();
  void close_pairs();
  void fill_queue();

  const int target_port_;
  int listen_fd_ = -1;
  int port_ = 0;
  int filler_fd_ = -1;  // the connection that keeps the queue full (kBlackhole)
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;  // guards mode_, inject_, accepted_
  Mode mode_ = Mode::kForward;
  std::vector<std::string> inject_;
  std::vector<Clock::time_point> accepted_;
  std::vector<Pair> pairs_;  // the proxy thread's own
  std::thread thread_;
};

}  // namespace quorrel_test

#endif  // QUORREL_TESTS_SUPPORT_TCP_PROXY_H_
