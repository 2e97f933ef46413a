// Thinning out a log line that may repeat for every message: at most one
// line per interval, and the line that is shown tells how many were held
// back before it.
//
// Thread: a throttle belongs to one thread (or to callers that serialise
// their use of it); it takes no lock.
#ifndef QUORREL_SERVER_LOG_THROTTLE_H_
#define QUORREL_SERVER_LOG_THROTTLE_H_

// One repeating line's state. Initialise with the interval and the rest zero,
// e.g. `log_throttle t{1.0, 0.0, 0, false};`: the first line is then shown at once.
struct log_throttle {
  double interval;    // least seconds between two lines shown
  double last_shown;  // when the last line was shown
  unsigned held;      // lines held back since then
  bool shown;         // a line has been shown
};

// Called once per line about to be written, with the time `now` in seconds
// on a monotonic clock. True when the line may be written: *held_back is
// then the number held back since the last line shown, and counting starts
// again. False when the line is to be held back (it is counted).
bool log_throttle_admit(log_throttle* throttle, double now, unsigned* held_back);

// Seconds on a clock that only moves forward: the `now` of
// log_throttle_admit, and the daemon's measure of how long things last.
double monotonic_seconds();

#endif  // QUORREL_SERVER_LOG_THROTTLE_H_
