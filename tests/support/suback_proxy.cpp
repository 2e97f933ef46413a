#include "tests/support/suback_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace quorrel_test {
namespace {

// MQTT 3.1.1 fixed header of a SUBACK: packet type 9, no flags.
constexpr uint8_t kSubackHeader = 0x90;

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
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

// Reads what `fd` has; false at end of stream or on an error.
bool read_some(int fd, std::string* into) {
  char buffer[16384];
  ssize_t n;
  do {
    n = read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  into->assign(buffer, static_cast<size_t>(n));
  return true;
}

// One client and the broker connection made for it.
struct ProxiedConnection {
  int client;
  int broker;
  std::string pending;  // broker bytes not yet forwarded: an incomplete packet
};

// Takes the whole MQTT packets at the front of `pending` (bytes from the
// broker, in order), sets every return code of each SUBACK among them to
// `return_code`, and returns how many bytes they span, now ready to forward;
// the rest is an incomplete packet that needs more bytes. Adds the SUBACKs
// changed to `*rewritten`. Returns std::string::npos when the bytes are not
// MQTT (a remaining length of more than 4 bytes).
size_t rewrite_subacks(std::string* pending, uint8_t return_code, size_t* rewritten) {
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
    // After the fixed header, a SUBACK holds its 2-byte packet id and then one
    // return code per topic filter.
    if (static_cast<uint8_t>((*pending)[pos]) == kSubackHeader && remaining >= 2) {
      for (size_t i = pos + header + 2; i < pos + header + remaining; ++i) {
        (*pending)[i] = static_cast<char>(return_code);
      }
      ++*rewritten;
    }
    pos += header + remaining;
  }
}

}  // namespace

SubackProxy::SubackProxy(int broker_port, uint8_t return_code)
    : broker_port_(broker_port), return_code_(return_code) {}

SubackProxy::~SubackProxy() {
  if (thread_.joinable()) {
    const char stop = 's';
    ssize_t written;
    do {
      written = write(wake_fds_[1], &stop, 1);
    } while (written < 0 && errno == EINTR);
    thread_.join();
  }
  for (int fd : {listen_fd_, wake_fds_[0], wake_fds_[1]}) {
    if (fd >= 0) close(fd);
  }
}

bool SubackProxy::start() {
  if (pipe2(wake_fds_, O_CLOEXEC) != 0) {
    error_ = std::string("pipe2: ") + strerror(errno);
    return false;
  }
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) {
    error_ = std::string("socket: ") + strerror(errno);
    return false;
  }
  // Bound to port 0 and kept: the port is ours from the start, no other
  // process can take it between choosing and listening.
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 16) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    error_ = std::string("listen: ") + strerror(errno);
    return false;
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread(&SubackProxy::serve, this);
  return true;
}

void SubackProxy::serve() {
  std::vector<ProxiedConnection> connections;
  for (;;) {
    std::vector<pollfd> fds = {{wake_fds_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    for (const ProxiedConnection& c : connections) {
      fds.push_back({c.client, POLLIN, 0});
      fds.push_back({c.broker, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;

    // Connections polled this round; one accepted below is polled next round.
    const size_t polled = connections.size();
    std::vector<bool> closed(polled, false);
    for (size_t i = 0; i < polled; ++i) {
      ProxiedConnection& c = connections[i];
      std::string bytes;
      if (fds[2 + 2 * i].revents != 0) {
        closed[i] =
            !read_some(c.client, &bytes) || !write_all(c.broker, bytes.data(), bytes.size());
      }
      if (!closed[i] && fds[3 + 2 * i].revents != 0) {
        closed[i] = !read_some(c.broker, &bytes);
        if (!closed[i]) {
          c.pending += bytes;
          size_t changed = 0;
          const size_t ready = rewrite_subacks(&c.pending, return_code_, &changed);
          rewritten_ += changed;
          closed[i] = ready == std::string::npos || !write_all(c.client, c.pending.data(), ready);
          if (!closed[i]) c.pending.erase(0, ready);
        }
      }
    }
    for (size_t i = polled; i-- > 0;) {
      if (!closed[i]) continue;
      close(connections[i].client);
      close(connections[i].broker);
      connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
    }

    if (fds[1].revents != 0) {
      const int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      const int broker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const sockaddr_in addr = loopback(broker_port_);
      if (broker < 0 ||
          connect(broker, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        // The client sees the broker as down.
        if (broker >= 0) close(broker);
        close(client);
        continue;
      }
      connections.push_back({client, broker, std::string()});
    }
  }
  for (const ProxiedConnection& c : connections) {
    close(c.client);
    close(c.broker);
  }
}

}  // namespace quorrel_test
