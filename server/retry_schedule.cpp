#include "server/retry_schedule.h"

namespace {

// +-20 % around `seconds`.
double jittered(double seconds, double unit_random) { return seconds * (0.8 + 0.4 * unit_random); }

}  // namespace

double retry_gap_seconds(unsigned failed, bool at_startup, double unit_random) {
  if (unit_random < 0.0 || unit_random >= 1.0) unit_random = 0.5;
  if (failed < kQuickAttempts) {
    if (at_startup) return 1.0;
    return failed == 0 ? unit_random : jittered(1.0, unit_random);
  }
  double gap = 2.0;
  for (unsigned n = kQuickAttempts; n < failed && gap < kLongestRetryGapSeconds; ++n) gap *= 2.0;
  if (gap > kLongestRetryGapSeconds) gap = kLongestRetryGapSeconds;
  return jittered(gap, unit_random);
}

double outage_summary_interval(double outage_seconds) {
  if (outage_seconds < 3600.0) return 60.0;
  if (outage_seconds < 86400.0) return 600.0;
  return 3600.0;
}
