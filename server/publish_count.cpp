#include "server/publish_count.h"

std::atomic<int> unfinished_publishes{0};

namespace {

// Most publishes waiting at once since the last trim. Raised by the main
// thread, cleared by the network thread; a lost update only moves a trim.
std::atomic<int> unfinished_peak{0};

}  // namespace

void publish_started() noexcept {
  const int now = unfinished_publishes.fetch_add(1, std::memory_order_relaxed) + 1;
  if (now > unfinished_peak.load(std::memory_order_relaxed)) {
    unfinished_peak.store(now, std::memory_order_relaxed);
  }
}

void publish_not_taken() noexcept { unfinished_publishes.fetch_sub(1, std::memory_order_relaxed); }

bool publish_finished() noexcept {
  int left = unfinished_publishes.fetch_sub(1, std::memory_order_relaxed) - 1;
  if (left < 0) {
    // Reports for publishes counted before the session dropped.
    unfinished_publishes.store(0, std::memory_order_relaxed);
    left = 0;
  }
  if (left != 0 || unfinished_peak.load(std::memory_order_relaxed) < kTrimAfterPublishes) {
    return false;
  }
  unfinished_peak.store(0, std::memory_order_relaxed);
  return true;
}

void forget_unfinished_publishes() noexcept {
  unfinished_publishes.store(0, std::memory_order_relaxed);
  unfinished_peak.store(0, std::memory_order_relaxed);
}
