#include "server/log_throttle.h"

#include <limits.h>
#include <time.h>

bool log_throttle_admit(log_throttle* throttle, double now, unsigned* held_back) {
  if (throttle->shown && now - throttle->last_shown < throttle->interval) {
    if (throttle->held < UINT_MAX) ++throttle->held;
    return false;
  }
  *held_back = throttle->held;
  throttle->held = 0;
  throttle->last_shown = now;
  throttle->shown = true;
  return true;
}

double monotonic_seconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
