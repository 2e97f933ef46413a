#include "tests/support/broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

#include "tests/support/certs.h"

namespace quorrel_test {
namespace {

const char kMosquittoPath[] = "/usr/sbin/mosquitto";

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

}  // namespace

int pick_free_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

bool port_accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr = loopback(port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

MosquittoBroker::MosquittoBroker(BrokerOptions options)
    : options_(std::move(options)), dir_("qb") {}

MosquittoBroker::~MosquittoBroker() { stop(); }

void MosquittoBroker::reserve_ports() {
  if (port_ == 0) port_ = pick_free_port();
  if (options_.tls && tls_port_ == 0) {
    do {
      tls_port_ = pick_free_port();
    } while (tls_port_ == port_);
  }
}

bool MosquittoBroker::write_config() {
  std::ostringstream conf;
  conf << "per_listener_settings false\n"
       << "persistence false\n"
       // Started as root, mosquitto would drop to the user mosquitto, which
       // cannot read the files in our private directory.
       << "user root\n"
       << "log_dest stderr\n";
  if (options_.quiet_log) {
    conf << "log_type error\nlog_type warning\n";
  } else {
    conf << "log_type all\n";
  }
  if (options_.unbounded_queues) conf << "max_queued_messages 0\n";
  if (!options_.username.empty()) {
    const std::string pwfile = dir_.file("passwd");
    CommandResult r =
        run_command({"mosquitto_passwd", "-b", "-c", pwfile, options_.username, options_.password});
    if (!r.finished || r.exit_code != 0) {
      error_ = "mosquitto_passwd failed: " + r.err + r.out;
      return false;
    }
    conf << "allow_anonymous false\n"
         << "password_file " << pwfile << "\n";
  } else {
    conf << "allow_anonymous true\n";
  }
  conf << "listener " << port_ << " 127.0.0.1\n";
  if (options_.tls) {
    const TestCertificates& certs = test_certificates();
    if (!certs.ok) {
      error_ = "certificates: " + certs.error;
      return false;
    }
    conf << "listener " << tls_port_ << " 127.0.0.1\n"
         << "cafile " << certs.ca_cert << "\n"
         << "certfile " << certs.server_cert << "\n"
         << "keyfile " << certs.server_key << "\n"
         << "require_certificate true\n";
  }
  if (!write_file(dir_.file("mosquitto.conf"), conf.str())) {
    error_ = "cannot write the broker configuration";
    return false;
  }
  return true;
}

bool MosquittoBroker::start() {
  if (running()) return true;
  // A port chosen by pick_free_port can be taken by someone else before the
  // broker binds it; on the first start, try again with fresh ports.
  const bool ports_fixed = port_ != 0;
  for (int attempt = 0; attempt < (ports_fixed ? 1 : 3); ++attempt) {
    if (!ports_fixed && attempt > 0) port_ = tls_port_ = 0;
    reserve_ports();
    if (port_ == 0 || (options_.tls && tls_port_ == 0)) {
      error_ = "no free port";
      return false;
    }
    if (!write_config()) return false;
    if (process_) earlier_log_ += process_->stderr_text();
    process_ = std::make_unique<Process>();
    if (!process_->start(kMosquittoPath, {"mosquitto", "-c", dir_.file("mosquitto.conf")})) {
      error_ = "cannot start mosquitto";
      return false;
    }
    bool up = wait_until(
        [this] {
          return !process_->running() ||
                 (port_accepts(port_) && (!options_.tls || port_accepts(tls_port_)));
        },
        milliseconds(10000));
    if (up && process_->running()) return true;
    process_->stop();
    error_ = "mosquitto did not come up: " + process_->stderr_text();
  }
  return false;
}

void MosquittoBroker::stop() {
  if (process_) process_->stop(milliseconds(3000));
}

bool MosquittoBroker::running() { return process_ && process_->running(); }

std::string MosquittoBroker::log() const {
  return earlier_log_ + (process_ ? process_->stderr_text() : std::string());
}

}  // namespace quorrel_test
