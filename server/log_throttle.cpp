#include "server/log_throttle.h"

#include <limits.h>

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
