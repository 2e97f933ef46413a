#include "bench/persistent_broker.h"

#include <sstream>
#include <stdexcept>
#include <vector>

#include "tests/support/broker.h"

namespace quorrel_bench {

PersistentBroker::PersistentBroker() : dir_("qpb"), port_(quorrel_test::pick_free_port()) {
  if (port_ == 0) throw std::runtime_error("no free port for the broker");
}

PersistentBroker::~PersistentBroker() { stop(); }

void PersistentBroker::start() {
  if (process_ && process_->running()) return;
  std::ostringstream conf;
  conf << "per_listener_settings false\n"
       << "persistence true\n"
       << "persistence_location " << dir_.path() << "/\n"
       << "user root\n"
       << "log_dest stderr\n"
       << "log_type error\nlog_type warning\nlog_type notice\n"
       // Every message for a subscriber that is away, however many.
       << "max_queued_messages 0\n"
       << "allow_anonymous true\n"
       << "listener " << port_ << " 127.0.0.1\n";
  const std::string config = dir_.file("mosquitto.conf");
  if (!quorrel_test::write_file(config, conf.str())) {
    throw std::runtime_error("cannot write " + config);
  }
  process_ = std::make_unique<quorrel_test::Process>();
  const std::vector<std::string> argv = {"/usr/sbin/mosquitto", "-c", config};
  if (!process_->start(argv[0], argv)) throw std::runtime_error("cannot start mosquitto");
  const bool up = quorrel_test::wait_until(
      [this] { return !process_->running() || quorrel_test::port_accepts(port_); },
      milliseconds(10000));
  if (!up || !process_->running()) {
    throw std::runtime_error("mosquitto did not come up: " + process_->stderr_text());
  }
}

void PersistentBroker::stop() {
  if (process_) process_->stop(milliseconds(5000));
}

Clock::time_point PersistentBroker::connected_at(const std::string& id, Clock::time_point after,
                                                 milliseconds timeout) const {
  // mosquitto: "New client connected from 127.0.0.1:PORT as ID (p2, c1, k10)."
  const std::string needle = " as " + id;
  auto names_client = [&](const std::string& text) {
    const size_t at = text.find(needle);
    if (at == std::string::npos) return false;
    const size_t end = text.find(' ', at + needle.size());
    return end != std::string::npos && text.compare(end, 2, " (") == 0;
  };
  Clock::time_point found;
  if (!process_) return found;
  quorrel_test::wait_until(
      [&] {
        for (const quorrel_test::OutputLine& line : process_->stderr_lines()) {
          if (line.when >= after && line.text.find("New client connected") != std::string::npos &&
              names_client(line.text)) {
            found = line.when;
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

}  // namespace quorrel_bench
