// When the daemon tries the broker again after a failed attempt or a lost
// session, and how often it reports an outage that goes on. Pure functions of
// times on the session thread's monotonic clock and a random draw, so that
// the pacing can be checked without waiting for it.
//
// The rule: an outage's age is the time since the schedule last started
// again (start-up, or the end of a session that stayed up
// kStableSessionSeconds). The first attempt of an outage comes 1 s after
// start-up, or a random 0-1 s after a lost session. After that, an attempt
// that started when the outage was `age` old is followed by the next one a
// random fraction between one half and the whole of min(age,
// kLongestRetryGapSeconds) later, start to start, and never less than
// kLeastRetryGapSeconds later. An attempt that takes longer than that (a
// connect waits up to 4 s, a CONNACK up to 10 s) is followed by the next one
// at once. What this gives:
//   - attempts start at least 1 s apart, whatever the draws;
//   - at most 11 of them start in any 60 s: each gap is at least half the
//     outage's age, so their starts grow at least geometrically;
//   - after the broker's return a device tries it again within as long as
//     the outage had lasted (or once an attempt under way has ended), and
//     within a minute after a long outage;
//   - devices that lost their broker together spread out, since every gap
//     is drawn afresh over a range as wide as half of it.
//
// Thread: no shared state; a retry_state belongs to the session's own thread.
#ifndef QUORREL_SERVER_RETRY_SCHEDULE_H_
#define QUORREL_SERVER_RETRY_SCHEDULE_H_

// The least time between the starts of two attempts: a broker that counts
// CONNECTs per client id (one a second, at AWS IoT) never sees two closer.
constexpr double kLeastRetryGapSeconds = 1.0;
// The longest gap between the starts of two attempts; gaps stop growing once
// the outage is this old.
constexpr double kLongestRetryGapSeconds = 60.0;
// A session must stay up this long before the schedule starts again: a
// broker that accepts the session and then drops it (a duplicate client id,
// a message it refuses) must not hold the daemon in a loop of quick attempts.
// A shorter session is taken for an attempt that failed when it ended.
constexpr double kStableSessionSeconds = 30.0;

// Seconds between the start of an attempt made when the outage was
// `age_seconds` old and the start of the next one: between half and all of
// min(age_seconds, kLongestRetryGapSeconds), at least kLeastRetryGapSeconds.
// `unit_random` is uniform in [0, 1) and picks the point in that range.
double retry_interval_seconds(double age_seconds, double unit_random);

// Seconds from the start of an outage to its first attempt: 1 s at
// start-up (`at_startup`: no session was ever up), as the daemon always
// waited before its first attempt; `unit_random` (uniform in [0, 1)) seconds
// after a lost session, so that a fleet that lost its broker at one instant
// does not come back in step.
double retry_first_gap_seconds(bool at_startup, double unit_random);

// The least time between two summary lines of an outage that has lasted
// `outage_seconds`: a minute in its first hour, ten minutes in its first day,
// an hour after that: a week-long outage writes about 340 lines, not 10,000.
double outage_summary_interval(double outage_seconds);

// The schedule's record, kept by the session's thread. Times are seconds on
// that thread's monotonic clock.
struct retry_state {
  double began = 0;        // when the schedule last started again
  double last_start = 0;   // when the last attempt started, once `attempted`
  bool attempted = false;  // an attempt has started since `began`
  bool ever_up = false;    // a session has been up since the process started
};

// Starts the schedule of the start-up outage at `now`. Call once, before the
// first attempt.
inline void retry_startup(retry_state* state, double now) {
  *state = retry_state();
  state->began = now;
}

// An attempt starts at `now`.
inline void retry_attempt_started(retry_state* state, double now) {
  state->attempted = true;
  state->last_start = now;
}

// A session that was up for `up_seconds` has ended at `now`: a stable one
// starts the schedule again there, a short one leaves it as it was, which
// makes the session the attempt that failed last.
inline void retry_session_ended(retry_state* state, double up_seconds, double now) {
  state->ever_up = true;
  if (up_seconds >= kStableSessionSeconds) {
    state->began = now;
    state->attempted = false;
  }
}

// Seconds to wait at `now` (after the last attempt or session has ended)
// before the next attempt starts; 0 when it is due already.
inline double retry_next_gap(const retry_state& state, double now, double unit_random) {
  if (!state.attempted) {
    const double wait = state.began + retry_first_gap_seconds(!state.ever_up, unit_random) - now;
    return wait > 0 ? wait : 0;
  }
  const double due =
      state.last_start + retry_interval_seconds(state.last_start - state.began, unit_random);
  return due > now ? due - now : 0;
}

#endif  // QUORREL_SERVER_RETRY_SCHEDULE_H_
