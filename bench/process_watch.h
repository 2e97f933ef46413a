// What the harness reads of a running daemon in /proc: the bytes it has
// sent to storage, and its resident set sampled while a figure runs.
#ifndef QUORREL_BENCH_PROCESS_WATCH_H_
#define QUORREL_BENCH_PROCESS_WATCH_H_

#include <sys/types.h>

#include <atomic>
#include <thread>

#include "tests/support/process.h"

namespace quorrel_bench {

using quorrel_test::Clock;
using quorrel_test::milliseconds;

// The bytes process `pid` has caused to be sent to storage so far
// (write_bytes in /proc/PID/io: counted as it dirties page-cache pages, so a
// byte rewritten before writeback counts once, one appended to a page
// already written back counts its page again); -1 when unreadable.
long long storage_write_bytes(pid_t pid);

// Samples the resident set (VmRSS) of one process at a fixed interval on a
// thread of its own, keeping the largest sample.
class RssSampler {
 public:
  RssSampler() = default;
  ~RssSampler() { stop(); }
  RssSampler(const RssSampler&) = delete;
  RssSampler& operator=(const RssSampler&) = delete;

  // Takes a first sample at once, then one every `interval`.
  // REQUIRES: not running. Bench thread.
  void start(pid_t pid, milliseconds interval);
  // Ends the sampling (a no-op when not running). Bench thread.
  void stop();

  // The largest sample in KiB (-1 before any) and the number taken. Read
  // after stop(), or while running as a snapshot.
  long peak_kib() const { return peak_kib_.load(std::memory_order_relaxed); }
  long samples() const { return samples_.load(std::memory_order_relaxed); }

 private:
  void sample_main(pid_t pid, milliseconds interval);

  std::thread thread_;
  // Written by the bench thread; the sampler thread ends once it sees it.
  std::atomic<bool> stopping_{false};
  // Written by the sampler thread, read by the bench thread; nothing else
  // depends on them, so relaxed ordering suffices.
  std::atomic<long> peak_kib_{-1};
  std::atomic<long> samples_{0};
};

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_PROCESS_WATCH_H_
