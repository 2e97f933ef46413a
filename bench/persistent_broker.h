// A private mosquitto for the queue figure: it keeps its clients' sessions
// across a restart (persistence in its own directory), so that a subscriber
// with a kept session misses nothing the daemon publishes while it is away,
// and it logs each connection, stamped when the line arrives, so that the
// figure can tell when the broker accepted the daemon's session.
#ifndef QUORREL_BENCH_PERSISTENT_BROKER_H_
#define QUORREL_BENCH_PERSISTENT_BROKER_H_

#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quorrel_bench {

using quorrel_test::Clock;
using quorrel_test::milliseconds;

// Runs /usr/sbin/mosquitto on 127.0.0.1 at a port chosen on construction
// and kept across restarts, with its configuration and its persistence file
// in a temporary directory of its own. Never drops messages queued for a
// subscriber. The destructor stops it.
class PersistentBroker {
 public:
  // Chooses the port; throws std::runtime_error when none is free.
  PersistentBroker();
  ~PersistentBroker();
  PersistentBroker(const PersistentBroker&) = delete;
  PersistentBroker& operator=(const PersistentBroker&) = delete;

  int port() const { return port_; }

  // Starts the broker (a no-op when it runs) and waits, at most 10 s, until
  // it accepts connections. Throws std::runtime_error when it does not.
  void start();
  // Stops it with SIGTERM, so that it writes its persistence file, and reaps
  // it (SIGKILL after 5 s).
  void stop();

  // When the current run logged that a client whose id begins with `id`
  // connected (the daemon adds digits to the id it is given; the broker
  // sends its CONNACK right after the line), the first time at or after
  // `after`;
  // waits up to `timeout` for it. A default time_point when it did not.
  Clock::time_point connected_at(const std::string& id, Clock::time_point after,
                                 milliseconds timeout) const;
  // What the current run logged, for error messages.
  std::string log() const { return process_ ? process_->stderr_text() : std::string(); }

 private:
  quorrel_test::TempDir dir_;
  int port_ = 0;
  std::unique_ptr<quorrel_test::Process> process_;
};

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_PERSISTENT_BROKER_H_
