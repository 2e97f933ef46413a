#include "server/retry_schedule.h"

namespace {

// A draw outside [0, 1) (a broken random source) is taken as the middle one,
// so that no draw can break the schedule's bounds.
double checked(double unit_random) {
  return unit_random >= 0.0 && unit_random < 1.0 ? unit_random : 0.5;
}

}  // namespace

double retry_interval_seconds(double age_seconds, double unit_random) {
  double span = age_seconds < kLongestRetryGapSeconds ? age_seconds : kLongestRetryGapSeconds;
  if (span < 0) span = 0;  // a clock read before the outage's start
  // The upper half only: a gap of at least half the age is what bounds the
  // attempts in a minute, and one of at most the whole age what bounds the
  // wait after the broker's return.
  const double gap = span * (0.5 + 0.5 * checked(unit_random));
  return gap > kLeastRetryGapSeconds ? gap : kLeastRetryGapSeconds;
}

double retry_first_gap_seconds(bool at_startup, double unit_random) {
  return at_startup ? 1.0 : checked(unit_random);
}

double outage_summary_interval(double outage_seconds) {
  if (outage_seconds < 3600.0) return 60.0;
  if (outage_seconds < 86400.0) return 600.0;
  return 3600.0;
}
