#include "tests/support/broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include <sstream>

#include "tests/support/certs.h"

namespace quorrel_test {
namespace {

const char kMosquittoPath[] = "/usr/sbin/mosquitto";
const char kAedesScript[] = SOURCE_DIR "/tests/support/aedes_broker.mjs";

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

const char* broker_kind_name(BrokerKind kind) {
  switch (kind) {
    case BrokerKind::kMosquitto:
      return "mosquitto";
    case BrokerKind::kAedes:
      return "aedes";
  }
  return "unknown";
}

std::unique_ptr<Broker> make_broker(BrokerKind kind, BrokerOptions options) {
  if (kind == BrokerKind::kAedes) return std::make_unique<AedesBroker>(std::move(options));
  return std::make_unique<MosquittoBroker>(std::move(options));
}

Broker::Broker(BrokerOptions options) : options_(std::move(options)), dir_("qb") {}

Broker::~Broker() { stop(); }

void Broker::reserve_ports() {
  if (port_ == 0) port_ = pick_free_port();
  if (options_.tls && tls_port_ == 0) {
    do {
      tls_port_ = pick_free_port();
    } while (tls_port_ == port_);
  }
}

bool Broker::start() {
  if (running()) return true;
  const std::string name = broker_kind_name(kind());
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
    std::vector<std::string> argv;
    if (!prepare(&argv)) return false;
    if (process_) earlier_log_ += process_->stderr_text();
    process_ = std::make_unique<Process>();
    if (!process_->start(argv.front(), argv)) {
      error_ = "cannot start " + name;
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
    error_ = name + " did not come up: " + process_->stderr_text();
  }
  return false;
}

void Broker::stop() {
  if (process_) process_->stop(milliseconds(3000));
}

bool Broker::running() { return process_ && process_->running(); }

std::string Broker::log() const {
  return earlier_log_ + (process_ ? process_->stderr_text() : std::string());
}

MosquittoBroker::MosquittoBroker(BrokerOptions options) : Broker(std::move(options)) {}

bool MosquittoBroker::prepare(std::vector<std::string>* argv) {
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
  if (options_.max_packet_size != 0) conf << "max_packet_size " << options_.max_packet_size << "\n";
  if (!options_.retain_available) conf << "retain_available false\n";
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
  if (!options_.acl.empty()) {
    const std::string aclfile = dir_.file("acl");
    if (!write_file(aclfile, options_.acl + "\n")) {
      error_ = "acl file not written: " + aclfile;
      return false;
    }
    conf << "acl_file " << aclfile << "\n";
  }
  conf << "listener " << port_ << " 127.0.0.1\n";
  if (options_.max_qos != 2) conf << "max_qos " << options_.max_qos << "\n";
  if (options_.tls) {
    const TestCertificates& certs = test_certificates();
    if (!certs.ok) {
      error_ = "certificates: " + certs.error;
      return false;
    }
    conf << "listener " << tls_port_ << " 127.0.0.1\n"
         << "cafile " << certs.ca_cert << "\n"
         << "certfile " << (options_.server_cert.empty() ? certs.server_cert : options_.server_cert)
         << "\n"
         << "keyfile " << (options_.server_key.empty() ? certs.server_key : options_.server_key)
         << "\n"
         << "require_certificate true\n";
  }
  const std::string config = dir_.file("mosquitto.conf");
  if (!write_file(config, conf.str())) {
    error_ = "cannot write the broker configuration";
    return false;
  }
  *argv = {kMosquittoPath, "-c", config};
  return true;
}

std::string AedesBroker::install_dir() {
  const char* dir = getenv("QUORREL_AEDES_DIR");
  return dir != nullptr && dir[0] != '\0' ? dir : AEDES_DIR;
}

AedesBroker::AedesBroker(BrokerOptions options) : Broker(std::move(options)) {}

bool AedesBroker::prepare(std::vector<std::string>* argv) {
  const std::string install = install_dir();
  if (!path_exists(install + "/node_modules/aedes/package.json")) {
    error_ = "aedes is not installed in " + install +
             ": run scripts/aedes.sh (or set QUORREL_AEDES_DIR to an install of it)";
    return false;
  }
  *argv = {"node", kAedesScript, "--aedes", install, "--port", std::to_string(port_)};
  if (options_.tls) {
    const TestCertificates& certs = test_certificates();
    if (!certs.ok) {
      error_ = "certificates: " + certs.error;
      return false;
    }
    argv->insert(argv->end(), {"--tls-port", std::to_string(tls_port_), "--ca", certs.ca_cert,
                               "--cert", certs.server_cert, "--key", certs.server_key});
  }
  if (!options_.username.empty()) {
    argv->insert(argv->end(), {"--username", options_.username, "--password", options_.password});
  }
  return true;
}

}  // namespace quorrel_test
