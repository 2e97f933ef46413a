#include "tests/support/tcp_proxy.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorrel_test {
namespace {

constexpr int kForwardBacklog = 16;

int loopback_socket() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

struct sockaddr_in loopback(int port) {
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// MQTT 3.1.1 fixed header of a SUBACK: packet type 9, no flags.
constexpr uint8_t kSubackHeader = 0x90;

// MQTT fixed headers of a PUBREC and a PUBACK.
constexpr uint8_t kPubrecHeader = 0x50;
constexpr uint8_t kPubackHeader = 0x40;

// Takes the whole MQTT packets at the front of `pending` (bytes from the
// broker, in order), sets every return code of each SUBACK among them to
// `return_code` (when 0 or more), turns each PUBREC into a PUBACK (when
// `pubrec_as_puback`; the two have the same body), and returns how many
// bytes they span, now ready to forward;
// the rest is an incomplete packet that needs more bytes. Adds the SUBACKs
// changed to `*rewritten`. Returns std::string::npos when the bytes are not
// MQTT (a remaining length of more than 4 bytes).
size_t rewrite_in(std::string* pending, int return_code, bool mqtt5, bool pubrec_as_puback,
                  size_t* rewritten) {
  const size_t size = pending->size();
  size_t pos = 0;
  for (;;) {
    // The remaining length: 1 to 4 bytes of 7 bits each after the first byte.
    size_t remaining = 0;
    size_t header = 1;
    for (;;) {
      if (pos + header >= size) return pos;
      const uint8_t byte = static_cast<uint8_t>((*pending)[pos + header]);
      remaining |= static_cast<size_t>(byte & 0x7f) << (7 * (header - 1));
      ++header;
      if ((byte & 0x80) == 0) break;
      if (header == 5) return std::string::npos;
    }
    if (size - pos < header + remaining) return pos;
    // After the fixed header, a SUBACK holds its 2-byte packet id, under
    // MQTT 5 its properties (their length first, 7 bits a byte), and then
    // one return code per topic filter.
    if (pubrec_as_puback && static_cast<uint8_t>((*pending)[pos]) == kPubrecHeader) {
      (*pending)[pos] = static_cast<char>(kPubackHeader);
      ++*rewritten;
    }
    if (return_code >= 0 && static_cast<uint8_t>((*pending)[pos]) == kSubackHeader &&
        remaining >= 2) {
      size_t codes = pos + header + 2;
      if (mqtt5) {
        size_t properties = 0;
        int shift = 0;
        uint8_t byte = 0x80;
        while ((byte & 0x80) != 0 && codes < pos + header + remaining) {
          byte = static_cast<uint8_t>((*pending)[codes++]);
          properties |= static_cast<size_t>(byte & 0x7f) << shift;
          shift += 7;
        }
        codes += properties;
      }
      for (size_t i = codes; i < pos + header + remaining; ++i) {
        (*pending)[i] = static_cast<char>(return_code);
      }
      ++*rewritten;
    }
    pos += header + remaining;
  }
}

}  // namespace

TcpProxy::TcpProxy(int target_port) : target_port_(target_port) {}

TcpProxy::~TcpProxy() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  close_pairs();
  if (filler_fd_ >= 0) close(filler_fd_);
  if (listen_fd_ >= 0) close(listen_fd_);
}

bool TcpProxy::start() {
  listen_fd_ = loopback_socket();
  if (listen_fd_ < 0) return false;
  struct sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  if (bind(listen_fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, kForwardBacklog) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
    return false;
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { run(); });
  return true;
}

void TcpProxy::set_mode(Mode mode) {
  std::lock_guard<std::mutex> hold(mutex_);
  mode_ = mode;
}

void TcpProxy::rewrite_subacks(uint8_t return_code, bool mqtt5) {
  suback_mqtt5_ = mqtt5;
  suback_code_ = return_code;
}

void TcpProxy::rewrite_pubrecs_as_pubacks() { pubrec_as_puback_ = true; }

void TcpProxy::inject_to_clients(const std::string& bytes) {
  std::lock_guard<std::mutex> hold(mutex_);
  inject_.push_back(bytes);
}

std::vector<Clock::time_point> TcpProxy::accept_times() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return accepted_;
}

void TcpProxy::close_pairs() {
  for (const Pair& pair : pairs_) {
    close(pair.client);
    close(pair.broker);
  }
  pairs_.clear();
}

// With a backlog of 0 the kernel queues one connection and drops the SYNs of
// any other while that one waits: the proxy connects to itself once and
// never accepts it.
void TcpProxy::fill_queue() {
  listen(listen_fd_, 0);
  filler_fd_ = loopback_socket();
  struct sockaddr_in addr = loopback(port_);
  connect(filler_fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
}

void TcpProxy::run() {
  Mode current = Mode::kForward;
  while (!stop_) {
    Mode mode;
    std::vector<std::string> inject;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      mode = mode_;
      inject.swap(inject_);
    }
    if (mode != current) {
      if (current == Mode::kBlackhole) {
        // Lifted: the queue takes connections again; the filler goes.
        listen(listen_fd_, kForwardBacklog);
        close(filler_fd_);
        filler_fd_ = -1;
      }
      if (mode == Mode::kBlackhole) fill_queue();
      if (mode == Mode::kReject) close_pairs();
      current = mode;
    }
    for (const std::string& bytes : inject) {
      for (const Pair& pair : pairs_) write_all(pair.client, bytes.data(), bytes.size());
    }

    std::vector<struct pollfd> fds;
    if (mode != Mode::kBlackhole) fds.push_back({listen_fd_, POLLIN, 0});
    const size_t first_pair = fds.size();
    if (mode == Mode::kForward) {
      for (const Pair& pair : pairs_) {
        fds.push_back({pair.client, POLLIN, 0});
        fds.push_back({pair.broker, POLLIN, 0});
      }
    }
    if (poll(fds.data(), fds.size(), 20) <= 0) continue;

    if (first_pair == 1 && (fds[0].revents & POLLIN) != 0) {
      const int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        {
          std::lock_guard<std::mutex> hold(mutex_);
          accepted_.push_back(Clock::now());
        }
        int broker = -1;
        if (mode != Mode::kReject) {
          broker = loopback_socket();
          struct sockaddr_in addr = loopback(target_port_);
          if (broker >= 0 &&
              connect(broker, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
            close(broker);
            broker = -1;
          }
        }
        if (broker < 0) {
          close(client);
        } else {
          pairs_.push_back({client, broker, std::string()});
        }
      }
    }
    if (mode != Mode::kForward) continue;
    // Forward what is waiting; a pair whose either end closed goes whole.
    std::vector<Pair> kept;
    const int suback_code = suback_code_;
    const bool pubrec_as_puback = pubrec_as_puback_;
    for (size_t i = 0; i < pairs_.size(); ++i) {
      Pair& pair = pairs_[i];
      bool open = true;
      for (int side = 0; side < 2 && open; ++side) {
        const size_t at = first_pair + 2 * i + static_cast<size_t>(side);
        if (at >= fds.size() || fds[at].revents == 0) continue;
        const int from = side == 0 ? pair.client : pair.broker;
        const int to = side == 0 ? pair.broker : pair.client;
        char buf[65536];
        const ssize_t n = recv(from, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          open = false;
        } else if (side == 0 || (suback_code < 0 && !pubrec_as_puback)) {
          if (side == 0) client_bytes_ += static_cast<size_t>(n);
          open = write_all(to, buf, static_cast<size_t>(n));
        } else {
          pair.pending.append(buf, static_cast<size_t>(n));
          size_t changed = 0;
          const size_t ready = rewrite_in(&pair.pending, suback_code, suback_mqtt5_.load(),
                                          pubrec_as_puback, &changed);
          rewritten_ += changed;
          open = ready != std::string::npos && write_all(to, pair.pending.data(), ready);
          if (open) pair.pending.erase(0, ready);
        }
      }
      if (open) {
        kept.push_back(pair);
      } else {
        close(pair.client);
        close(pair.broker);
      }
    }
    pairs_.swap(kept);
  }
}

}  // namespace quorrel_test
