// Private MQTT brokers (mosquitto, aedes) on loopback ports chosen at run time.
#ifndef QUORREL_TESTS_SUPPORT_BROKER_H_
#define QUORREL_TESTS_SUPPORT_BROKER_H_

#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quorrel_test {

struct BrokerOptions {
  // When `username` is non-empty, only this user with `password` may
  // connect and anonymous clients are refused (mosquitto: a password file
  // made with mosquitto_passwd).
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
  // The largest packet the broker takes (mosquitto's max_packet_size); it
  // closes the connection of a client that sends a larger one. 0: MQTT's own.
  unsigned max_packet_size = 0;
  // The highest QoS the plain listener takes (mosquitto's max_qos, which
  // MQTT 5 clients learn from the CONNACK).
  int max_qos = 2;
  // False: the broker takes no retained messages (mosquitto's
  // retain_available), and refuses a session whose will is retained.
  bool retain_available = true;
  // The TLS listener's certificate and key (with `tls`); empty: the test
  // CA's server certificate.
  std::string server_cert;
  std::string server_key;
  // The access rules for anonymous clients, as lines of mosquitto's
  // acl_file (e.g. "topic read #"); empty: every client may do anything.
  std::string acl;
};

// The brokers the tests can run: the reference broker and a second,
// independent implementation, so that what the daemon relies on is MQTT and
// not one broker's habits.
enum class BrokerKind { kMosquitto, kAedes };

// "mosquitto" or "aedes", for test names and messages.
const char* broker_kind_name(BrokerKind kind);

// A private broker run as a child with its own files in its own temporary
// directory, listening on 127.0.0.1 only. The ports are chosen on the first
// start and kept across stop()/start(), so clients can reconnect. The
// destructor kills the broker by pid. Subclasses say how to run one kind.
class Broker {
 public:
  virtual ~Broker();
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  virtual BrokerKind kind() const = 0;

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

 protected:
  explicit Broker(BrokerOptions options);

  // Writes what one run needs into dir_ (ports chosen) and sets `argv` to
  // the command that runs the broker in the foreground, argv[0] being the
  // program. False with error_ set when it cannot.
  virtual bool prepare(std::vector<std::string>* argv) = 0;

  BrokerOptions options_;
  TempDir dir_;
  int port_ = 0;
  int tls_port_ = 0;
  std::string error_;

 private:
  std::unique_ptr<Process> process_;
  std::string earlier_log_;  // log of the runs before the current one
};

// Runs /usr/sbin/mosquitto with a configuration file of its own.
class MosquittoBroker : public Broker {
 public:
  explicit MosquittoBroker(BrokerOptions options = BrokerOptions());
  BrokerKind kind() const override { return BrokerKind::kMosquitto; }

 private:
  bool prepare(std::vector<std::string>* argv) override;
};

// Runs aedes (an MQTT broker written for node) through
// tests/support/aedes_broker.mjs, from the npm install that scripts/aedes.sh
// makes: AEDES_DIR, or the directory in the environment variable
// QUORREL_AEDES_DIR. start() fails, saying so, when there is none. Its log is
// one line per connect, disconnect, refusal, subscription and publish.
// `quiet_log` and `unbounded_queues` have no effect on it.
class AedesBroker : public Broker {
 public:
  explicit AedesBroker(BrokerOptions options = BrokerOptions());
  BrokerKind kind() const override { return BrokerKind::kAedes; }

  // The aedes install the broker runs from.
  static std::string install_dir();

 private:
  bool prepare(std::vector<std::string>* argv) override;
};

// A broker of `kind`, not started.
std::unique_ptr<Broker> make_broker(BrokerKind kind, BrokerOptions options = BrokerOptions());

// Returns a loopback TCP port that was free a moment ago (bound to port 0,
// read back, closed), or 0 on failure.
int pick_free_port();

// True when a TCP connection to 127.0.0.1:`port` succeeds.
bool port_accepts(int port);

}  // namespace quorrel_test

#endif  // QUORREL_TESTS_SUPPORT_BROKER_H_
