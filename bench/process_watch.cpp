#include "bench/process_watch.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace quorrel_bench {

long long storage_write_bytes(pid_t pid) {
  std::string io;
  if (!quorrel_test::read_file("/proc/" + std::to_string(pid) + "/io", &io)) return -1;
  // "write_bytes:" alone: "cancelled_write_bytes:" ends with the same words.
  const size_t at = io.find("\nwrite_bytes:");
  if (at == std::string::npos) return -1;
  return strtoll(io.c_str() + at + strlen("\nwrite_bytes:"), nullptr, 10);
}

void RssSampler::start(pid_t pid, milliseconds interval) {
  stopping_.store(false);
  peak_kib_.store(-1);
  samples_.store(0);
  thread_ = std::thread(&RssSampler::sample_main, this, pid, interval);
}

void RssSampler::stop() {
  if (!thread_.joinable()) return;
  stopping_.store(true);
  thread_.join();
}

void RssSampler::sample_main(pid_t pid, milliseconds interval) {
  Clock::time_point next = Clock::now();
  while (!stopping_.load()) {
    const long kib = quorrel_test::resident_kib(pid);
    if (kib >= 0) {
      samples_.fetch_add(1, std::memory_order_relaxed);
      if (kib > peak_kib_.load(std::memory_order_relaxed)) {
        peak_kib_.store(kib, std::memory_order_relaxed);
      }
    }
    next += interval;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace quorrel_bench
