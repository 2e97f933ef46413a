#include "bench/datagram_sender.h"

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

#include "tests/support/local_socket.h"

namespace quorrel_bench {

void make_payload(const std::string& prefix, size_t i, size_t size, std::string* payload) {
  payload->assign(size, '.');
  const std::string head = prefix + std::to_string(i);
  payload->replace(0, head.size(), head);
}

int connect_datagram(const std::string& path, int flags) {
  const int fd = quorrel_test::connect_local(path, SOCK_DGRAM | flags);
  if (fd < 0) throw std::runtime_error("connect " + path + ": " + strerror(errno));
  return fd;
}

Clock::time_point send_datagrams(const std::string& path, const std::string& prefix, size_t count,
                                 size_t size, double per_second) {
  const int fd = connect_datagram(path, 0);
  std::string payload;
  const Clock::time_point start = Clock::now();
  for (size_t i = 0; i < count; ++i) {
    make_payload(prefix, i, size, &payload);
    if (per_second > 0) {
      const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(static_cast<double>(i) /
                                                                 per_second));
      if (Clock::now() < due) std::this_thread::sleep_until(due);
    }
    ssize_t n;
    do {
      n = send(fd, payload.data(), payload.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(payload.size())) {
      const int err = errno;
      close(fd);
      throw std::runtime_error("datagram send: " + std::string(strerror(err)));
    }
  }
  close(fd);
  return start;
}

}  // namespace quorrel_bench
