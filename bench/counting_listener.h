// Stands in for a broker that is down while its port still answers: accepts
// every TCP connection on a loopback port, notes when, and closes it at once,
// so that each connection attempt a client makes is counted and fails.
#ifndef QUORREL_BENCH_COUNTING_LISTENER_H_
#define QUORREL_BENCH_COUNTING_LISTENER_H_

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"

namespace quorrel_bench {

using quorrel_test::Clock;
using quorrel_test::milliseconds;

// One listening socket and the thread that accepts on it. The destructor
// stops the thread and closes the socket.
class CountingListener {
 public:
  CountingListener() = default;
  ~CountingListener();
  CountingListener(const CountingListener&) = delete;
  CountingListener& operator=(const CountingListener&) = delete;

  // Binds 127.0.0.1:`port` (SO_REUSEADDR, so that the connections a killed
  // broker left in TIME_WAIT do not stand in the way), listens and starts
  // accepting. A bind refused with EADDRINUSE is retried every millisecond
  // for up to `bind_timeout`, since the previous owner of the port may still
  // be exiting. False with error() set when it cannot; nothing is left open.
  // REQUIRES: not started before. Bench thread.
  bool start(int port, milliseconds bind_timeout);

  // Stops accepting (connections already queued are accepted first), closes
  // the socket and returns the time of each accepted connection in order.
  // Bench thread; once, after a successful start().
  std::vector<Clock::time_point> stop();

  const std::string& error() const { return error_; }

 private:
  void accept_main();

  int fd_ = -1;
  std::string error_;
  // Written by the bench thread in stop(), read by the accept thread, which
  // then drains the queue once more and ends; join() orders everything else.
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  // The accept thread's own until stop() joins it.
  std::vector<Clock::time_point> accepted_;
};

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_COUNTING_LISTENER_H_
