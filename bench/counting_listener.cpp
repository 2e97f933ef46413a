#include "bench/counting_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace quorrel_bench {

CountingListener::~CountingListener() {
  if (thread_.joinable()) stop();
  if (fd_ >= 0) close(fd_);
}

bool CountingListener::start(int port, milliseconds bind_timeout) {
  // Non-blocking, so that the accept thread can drain the queue until
  // EAGAIN and then look at its stop flag.
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) {
    error_ = std::string("socket: ") + strerror(errno);
    return false;
  }
  const int on = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const Clock::time_point end = Clock::now() + bind_timeout;
  for (;;) {
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) break;
    const int err = errno;
    if (err != EADDRINUSE || Clock::now() >= end) {
      error_ = "bind 127.0.0.1:" + std::to_string(port) + ": " + strerror(err);
      close(fd_);
      fd_ = -1;
      return false;
    }
    std::this_thread::sleep_for(milliseconds(1));
  }
  // The kernel caps the queue at net.core.somaxconn; a fleet's burst of
  // attempts must queue, not be refused uncounted.
  if (listen(fd_, 4096) != 0) {
    error_ = std::string("listen: ") + strerror(errno);
    close(fd_);
    fd_ = -1;
    return false;
  }
  accepted_.reserve(1 << 16);
  thread_ = std::thread(&CountingListener::accept_main, this);
  return true;
}

void CountingListener::accept_main() {
  for (;;) {
    // Read the flag before draining, so that whatever was queued when
    // stop() set it is still accepted and counted.
    const bool last_round = stopping_.load(std::memory_order_acquire);
    for (;;) {
      const int conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn >= 0) {
        accepted_.push_back(Clock::now());
        close(conn);
        continue;
      }
      // ECONNABORTED: the client gave up while queued; it made an attempt
      // all the same, but there is no connection left to count.
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;  // EAGAIN: the queue is empty (any other error: nothing to do)
    }
    if (last_round) return;
    struct pollfd p = {fd_, POLLIN, 0};
    poll(&p, 1, 20);
  }
}

std::vector<Clock::time_point> CountingListener::stop() {
  stopping_.store(true, std::memory_order_release);
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  return std::move(accepted_);
}

}  // namespace quorrel_bench
