#include "tests/support/daemon.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "tests/support/local_socket.h"
#include "tests/support/temp_dir.h"

namespace quorrel_test {

const char kProbeMarker[] = "\x01quorrel-test-probe:";

std::string unique_daemon_name(const std::string& tag) {
  static std::atomic<int> counter{0};
  return "qd_" + tag.substr(0, 24) + "_" + std::to_string(getpid()) + "_" +
         std::to_string(counter++);
}

std::string lock_file_path(const std::string& name) {
  return "/var/run/quorrel_client_" + name + ".pid";
}

QuorreldProcess::~QuorreldProcess() {
  process_.stop();
  if (!name_.empty()) unlink(lock_file_path(name_).c_str());
}

bool QuorreldProcess::start(const std::string& name, const std::vector<std::string>& args,
                            const std::string& program) {
  name_ = name;
  std::vector<std::string> argv = {name};
  argv.insert(argv.end(), args.begin(), args.end());
  return process_.start(program, argv);
}

bool QuorreldProcess::wait_for_sockets(const std::string& stream_path,
                                       const std::string& dgram_path, milliseconds timeout) {
  return wait_until([&] { return is_socket(stream_path) && is_socket(dgram_path); }, timeout);
}

bool QuorreldProcess::wait_until_relaying(MqttSubscriber& subscriber, const std::string& dgram_path,
                                          milliseconds timeout) {
  subscriber.ignore_payload_prefix(kProbeMarker);
  const size_t before = subscriber.ignored_count();
  const Clock::time_point end = Clock::now() + timeout;
  for (int n = 0; Clock::now() < end; ++n) {
    if (!process_.running()) return false;
    send_datagram(dgram_path, kProbeMarker + std::to_string(n));
    if (wait_until([&] { return subscriber.ignored_count() > before; }, milliseconds(250))) {
      return true;
    }
  }
  return false;
}

}  // namespace quorrel_test
