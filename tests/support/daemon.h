// Running quorreld as a black box.
#ifndef QUORREL_TESTS_SUPPORT_DAEMON_H_
#define QUORREL_TESTS_SUPPORT_DAEMON_H_

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/subscriber.h"

namespace quorrel_test {

// Payloads beginning with this marker are readiness probes (see
// QuorreldProcess::wait_until_relaying), never test data.
extern const char kProbeMarker[];

// A program name for one daemon, unique per test process and call and free
// of slashes ("qd_<tag>_<pid>_<n>"), so that its single-instance lock file
// belongs to this test alone.
std::string unique_daemon_name(const std::string& tag);

// The lock file a daemon started as `name` takes.
std::string lock_file_path(const std::string& name);

// One quorreld child. The destructor stops it (SIGTERM, then SIGKILL) and
// removes its lock file.
class QuorreldProcess {
 public:
  QuorreldProcess() = default;
  ~QuorreldProcess();
  QuorreldProcess(const QuorreldProcess&) = delete;
  QuorreldProcess& operator=(const QuorreldProcess&) = delete;

  // Executes `program` (QUORRELD_PATH by default) with argv[0] = `name`
  // followed by `args`.
  // REQUIRES: `name` holds no slash (the lock path is built from it).
  bool start(const std::string& name, const std::vector<std::string>& args,
             const std::string& program = QUORRELD_PATH);

  Process& process() { return process_; }
  const std::string& name() const { return name_; }

  // Waits at most `timeout` until both paths exist as sockets.
  bool wait_for_sockets(const std::string& stream_path, const std::string& dgram_path,
                        milliseconds timeout);

  // The daemon opens its sockets before its MQTT session is acknowledged,
  // and drops local data until then. Sends a probe datagram to `dgram_path`
  // every 250 ms until `subscriber` receives one or `timeout` passes. Makes
  // `subscriber` ignore probes from now on. True when a probe arrived.
  bool wait_until_relaying(MqttSubscriber& subscriber, const std::string& dgram_path,
                           milliseconds timeout);

 private:
  Process process_;
  std::string name_;
};

}  // namespace quorrel_test

#endif  // QUORREL_TESTS_SUPPORT_DAEMON_H_
