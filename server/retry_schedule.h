// When the daemon tries the broker again after a failed attempt or a lost
// session, and how often it reports an outage that goes on. Pure functions of
// counts, durations and a random draw, so that the pacing can be checked
// without waiting for it.
//
// Thread: no shared state; a retry_state belongs to the session's own thread.
#ifndef QUORREL_SERVER_RETRY_SCHEDULE_H_
#define QUORREL_SERVER_RETRY_SCHEDULE_H_

// Attempts of an outage made about a second apart before the gaps double.
constexpr unsigned kQuickAttempts = 10;
// The longest gap between two attempts.
constexpr double kLongestRetryGapSeconds = 60.0;
// A session must stay up this long before the schedule starts again from
// its quick attempts: a broker that accepts the session and then drops it
// (a duplicate client id, a message it refuses) must not hold the daemon in
// a loop of one attempt a second.
constexpr double kStableSessionSeconds = 30.0;

// Seconds to wait before the next attempt, when `failed` attempts (and
// sessions that ended before kStableSessionSeconds) have failed since the
// schedule last started again. `at_startup`: no session was ever up.
// `unit_random` is uniform in [0, 1).
//   - At start-up, the first kQuickAttempts come 1 s apart, the first after
//     1 s, as the daemon always waited before its first attempt.
//   - After a lost session the first attempt comes after a random 0-1 s and
//     the next ones up to the kQuickAttempts-th 1 s +-20 % apart, so that a
//     fleet that lost its broker at one instant does not come back in step.
//   - Then the gap doubles from 2 s up to kLongestRetryGapSeconds, each gap
//     +-20 %.
double retry_gap_seconds(unsigned failed, bool at_startup, double unit_random);

// The least time between two summary lines of an outage that has lasted
// `outage_seconds`: a minute in its first hour, ten minutes in its first day,
// an hour after that: a week-long outage writes about 340 lines, not 10,000.
double outage_summary_interval(double outage_seconds);

// The schedule's count, kept by the session's thread.
struct retry_state {
  unsigned failed = 0;   // failed attempts since the schedule started again
  bool ever_up = false;  // a session has been up since the process started
};

// An attempt that did not end with a session.
inline void retry_attempt_failed(retry_state* state) {
  if (state->failed < 1000000) ++state->failed;
}

// A session that was up for `up_seconds` has ended: a stable one starts the
// schedule again, a short one counts as a failed attempt.
inline void retry_session_ended(retry_state* state, double up_seconds) {
  state->ever_up = true;
  if (up_seconds >= kStableSessionSeconds) {
    state->failed = 0;
  } else {
    retry_attempt_failed(state);
  }
}

// The gap before the next attempt for `state`.
inline double retry_next_gap(const retry_state& state, double unit_random) {
  return retry_gap_seconds(state.failed, !state.ever_up, unit_random);
}

#endif  // QUORREL_SERVER_RETRY_SCHEDULE_H_
