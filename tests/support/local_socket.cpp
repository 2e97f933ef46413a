#include "tests/support/local_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorrel_test {
namespace {

bool make_address(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

void set_send_timeout(int fd) {
  timeval tv{};
  tv.tv_sec = 5;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

bool send_datagram(const std::string& path, const std::string& bytes) {
  sockaddr_un addr;
  if (!make_address(path, &addr)) return false;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  set_send_timeout(fd);
  // The default send buffer may be smaller than a large test datagram.
  int size = static_cast<int>(bytes.size()) * 2 + 4096;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  ssize_t n;
  do {
    n = sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (n < 0 && errno == EINTR);
  int saved = errno;
  ::close(fd);
  errno = saved;
  return n == static_cast<ssize_t>(bytes.size());
}

int connect_local(const std::string& path, int type) {
  sockaddr_un addr;
  if (!make_address(path, &addr)) return -1;
  const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

bool send_stream(const std::string& path, const std::string& bytes) {
  StreamConnection conn;
  return conn.open(path) && conn.write(bytes);
}

StreamConnection::~StreamConnection() { close(); }

bool StreamConnection::open(const std::string& path) {
  close();
  sockaddr_un addr;
  if (!make_address(path, &addr)) return false;
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  set_send_timeout(fd_);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int saved = errno;
    close();
    errno = saved;
    return false;
  }
  return true;
}

bool StreamConnection::write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool StreamConnection::shutdown_write() { return shutdown(fd_, SHUT_WR) == 0; }

bool StreamConnection::wait_peer_closed(int timeout_ms) {
  struct pollfd p = {fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char c;
  return recv(fd_, &c, 1, MSG_DONTWAIT) == 0;
}

void StreamConnection::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace quorrel_test
