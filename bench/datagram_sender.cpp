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
  const Clock::duration gap = per_second > 0 ? std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(1.0 / per_second))
                                             : Clock::duration::zero();
  const Clock::time_point start = Clock::now();
  Clock::time_point due = start;
  for (size_t i = 0; i < count; ++i) {
    make_payload(prefix, i, size, &payload);
    if (per_second > 0) {
      // A sender held up does not catch up in a burst: the next is due a
      // gap after the later of its due time and now.
      const Clock::time_point now = Clock::now();
      if (now < due) {
        std::this_thread::sleep_until(due);
      } else {
        due = now;
      }
      due += gap;
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
