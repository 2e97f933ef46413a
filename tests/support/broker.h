// A private mosquitto broker on loopback ports chosen at run time.
#ifndef QUORREL_TESTS_SUPPORT_BROKER_H_
#define QUORREL_TESTS_SUPPORT_BROKER_H_

#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quorrel_test {

struct BrokerOptions {
  // When `username` is non-empty, a password file holding this one user is
  // made with mosquitto_passwd and anonymous clients are refused.
  std::string username;
  std::string password;
  // Adds a TLS listener that requires a client certificate signed by the
  // test CA (see certs.h).
  bool tls = false;
  // Logs errors and warnings only, not one line per packet (for load runs).
  bool quiet_log = false;
  // Never drops QoS 1 and 2 messages queued for a slow subscriber (by
  // default the broker keeps 1000 per client and drops the rest).
  bool unbounded_queues = false;
};

// Runs /usr/sbin/mosquitto as a child with its own configuration in its own
// temporary directory, listening on 127.0.0.1 only. The ports are chosen on
// the first start and kept across stop()/start(), so clients can reconnect.
// The destructor kills the broker by pid.
class MosquittoBroker {
 public:
  explicit MosquittoBroker(BrokerOptions options = BrokerOptions());
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // Starts the broker and waits (bounded) until every listener accepts
  // connections. Returns false with error() set when it does not come up.
  bool start();
  // Stops the broker (SIGTERM, then SIGKILL) and reaps it.
  void stop();
  bool restart() {
    stop();
    return start();
  }
  bool running();

  // Chooses the ports without starting, for tests that need a port on which
  // no broker listens yet. Called by start() when not done before.
  void reserve_ports();

  // The running broker's pid (-1 when none), for tests that freeze it.
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  int port() const { return port_; }
  int tls_port() const { return tls_port_; }
  const std::string& error() const { return error_; }
  // Everything the broker logged, over all its runs so far.
  std::string log() const;

 private:
  bool write_config();

  BrokerOptions options_;
  TempDir dir_;
  std::unique_ptr<Process> process_;
  std::string earlier_log_;  // log of the runs before the current one
  int port_ = 0;
  int tls_port_ = 0;
  std::string error_;
};

// Returns a loopback TCP port that was free a moment ago (bound to port 0,
// read back, closed), or 0 on failure.
int pick_free_port();

// True when a TCP connection to 127.0.0.1:`port` succeeds.
bool port_accepts(int port);

}  // namespace quorrel_test

#endif  // QUORREL_TESTS_SUPPORT_BROKER_H_
