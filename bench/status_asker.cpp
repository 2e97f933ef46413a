#include "bench/status_asker.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>

#include "common/status_query.h"
#include "common/unix_address.h"

namespace quorrel_bench {

namespace {

// One status request; true when a whole answer came back.
bool ask_once(const struct sockaddr_un& addr, int addr_len) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = bind_abstract_address(fd, kStatusAddressPrefix) == 0 &&
            connect(fd, reinterpret_cast<const struct sockaddr*>(&addr),
                    static_cast<socklen_t>(addr_len)) == 0 &&
            shutdown(fd, SHUT_WR) == 0;
  char answer[kStatusAnswerMax];
  size_t used = 0;
  while (ok && used < sizeof answer) {
    const ssize_t n = read(fd, answer + used, sizeof answer - used);
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  return ok && status_answer_valid(answer, used);
}

}  // namespace

void StatusAsker::start(const std::string& path, double per_second) {
  stop();
  stop_ = false;
  thread_ = std::thread([this, path, per_second] { run(path, per_second); });
}

void StatusAsker::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void StatusAsker::run(std::string path, double per_second) {
  struct sockaddr_un addr;
  const int addr_len = unix_address(&addr, path.c_str());
  if (addr_len < 0) return;
  const auto gap = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(1.0 / per_second));
  auto next = std::chrono::steady_clock::now();
  while (!stop_) {
    if (ask_once(addr, addr_len)) {
      ++answered_;
    } else {
      ++failed_;
    }
    next += gap;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace quorrel_bench
