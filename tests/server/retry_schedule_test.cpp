// When the daemon tries the broker again, and how often it reports an
// outage that goes on: the schedule's rule, what it guarantees one daemon
// over many random draws, and what it does to a fleet of 200 daemons that
// lose their broker at one instant, simulated on a clock of the test's own.
#include "server/retry_schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

TEST(RetrySchedule, IntervalIsHalfToAllOfTheOutagesAgeAtLeastASecondAtMostAMinute) {
  struct Row {
    double age;
    double low, high;  // over every random draw
  };
  const Row rows[] = {
      {-5, 1.0, 1.0},  // a clock read before the outage's start
      {0, 1.0, 1.0},    {1.5, 1.0, 1.5},  {2, 1.0, 2.0},     {10, 5.0, 10.0},
      {59, 29.5, 59.0}, {60, 30.0, 60.0}, {600, 30.0, 60.0}, {1e7, 30.0, 60.0},
  };
  for (const Row& row : rows) {
    double lowest = 1e9, highest = -1;
    for (double r = 0; r < 1.0; r += 0.001) {
      const double gap = retry_interval_seconds(row.age, r);
      lowest = std::min(lowest, gap);
      highest = std::max(highest, gap);
    }
    SCOPED_TRACE(::testing::Message() << "age " << row.age);
    EXPECT_GE(lowest, row.low - 1e-9);
    EXPECT_LE(highest, row.high + 1e-9);
    // The draws spread the gaps over most of their range: devices that lost
    // their broker together do not come back together.
    if (row.high > row.low) {
      EXPECT_GT(highest - lowest, 0.9 * (row.high - row.low));
    }
  }
  // A broken random source cannot take a gap out of its range.
  EXPECT_EQ(retry_interval_seconds(10, 7.0), 7.5);
  EXPECT_EQ(retry_interval_seconds(10, -1.0), 7.5);

  // The first attempt: a second after start-up, within a second of a loss.
  EXPECT_EQ(retry_first_gap_seconds(true, 0.0), 1.0);
  EXPECT_EQ(retry_first_gap_seconds(true, 0.99), 1.0);
  EXPECT_EQ(retry_first_gap_seconds(false, 0.0), 0.0);
  EXPECT_EQ(retry_first_gap_seconds(false, 0.99), 0.99);
}

TEST(RetrySchedule, OnlyASessionUpForThirtySecondsStartsTheScheduleAgain) {
  retry_state state;
  retry_startup(&state, 100);
  EXPECT_NEAR(retry_next_gap(state, 100, 0.5), 1.0, 1e-9);
  // An attempt at age 40 that failed at once: the next one 20-40 s after its
  // start; one that took 45 s is followed by the next at once.
  retry_attempt_started(&state, 140);
  EXPECT_NEAR(retry_next_gap(state, 140, 0.5), 30.0, 1e-9);
  EXPECT_NEAR(retry_next_gap(state, 150, 0.0), 10.0, 1e-9);
  EXPECT_NEAR(retry_next_gap(state, 185, 0.99), 0.0, 1e-9);

  // A broker that accepts and drops at once cannot bring back quick retries:
  // the session counts as that attempt, failed when it ended.
  retry_session_ended(&state, 2.0, 142);
  EXPECT_NEAR(retry_next_gap(state, 142, 0.5), 28.0, 1e-9);

  retry_attempt_started(&state, 170);
  retry_session_ended(&state, kStableSessionSeconds, 200);
  // Not start-up any more: the first attempt after the loss is within 1 s,
  // and the next ones a second apart, as early in an outage.
  EXPECT_NEAR(retry_next_gap(state, 200, 0.99), 0.99, 1e-9);
  EXPECT_NEAR(retry_next_gap(state, 200, 0.0), 0.0, 1e-9);
  retry_attempt_started(&state, 200.5);
  EXPECT_NEAR(retry_next_gap(state, 200.5, 0.99), 1.0, 1e-9);
}

TEST(RetrySchedule, OutageSummariesGrowRarerAsTheOutageAges) {
  EXPECT_EQ(outage_summary_interval(0), 60.0);
  EXPECT_EQ(outage_summary_interval(3599), 60.0);
  EXPECT_EQ(outage_summary_interval(3600), 600.0);
  EXPECT_EQ(outage_summary_interval(86399), 600.0);
  EXPECT_EQ(outage_summary_interval(86400), 3600.0);
  // A week-long outage: a few hundred lines, not one per attempt.
  double t = 0, lines = 0;
  while (t < 7 * 86400.0) {
    t += outage_summary_interval(t);
    ++lines;
  }
  EXPECT_LT(lines, 400);
}

// --- Simulated daemons -------------------------------------------------------

double draw(std::mt19937_64* rng) { return std::uniform_real_distribution<double>(0, 1)(*rng); }

// One daemon whose broker goes at time 0 (with its stable session, or
// `at_startup` before any was up) and accepts again from `back` on. Each
// failed attempt takes up to `longest_attempt` seconds, and with
// `short_session_chance` is a session that the broker drops within 30 s.
// Returns when its attempts started, up to `until` or up to the first at or
// after `back` (which makes the session). With `rng` null every draw is 0
// and every attempt is over at once: the closest attempts the schedule
// allows.
std::vector<double> attempt_starts(std::mt19937_64* rng, bool at_startup, double back, double until,
                                   double longest_attempt, double short_session_chance) {
  retry_state state;
  if (at_startup) {
    retry_startup(&state, 0);
  } else {
    retry_startup(&state, -100);
    retry_attempt_started(&state, -100);
    retry_session_ended(&state, 100, 0);
  }
  std::vector<double> starts;
  double now = 0;
  for (;;) {
    now += retry_next_gap(state, now, rng != nullptr ? draw(rng) : 0.0);
    if (now >= until) return starts;
    retry_attempt_started(&state, now);
    starts.push_back(now);
    if (now >= back) return starts;
    if (rng == nullptr) continue;
    if (draw(rng) < short_session_chance) {
      const double up = (kStableSessionSeconds - 0.01) * draw(rng);
      now += up;
      retry_session_ended(&state, up, now);
    } else {
      now += longest_attempt * draw(rng);
    }
  }
}

// The most of sorted `times` in any `window` seconds.
size_t most_in_window(const std::vector<double>& times, double window) {
  size_t most = 0;
  for (size_t i = 0, j = 0; i < times.size(); ++i) {
    while (times[i] - times[j] >= window) ++j;
    most = std::max(most, i - j + 1);
  }
  return most;
}

// Over thousands of outages of a quarter of an hour, at start-up and after a
// lost session, with attempts taking up to 10 s (a CONNACK's time limit) and
// brokers that drop sessions, and for the closest attempts the draws can
// give: no two attempts start less than a second apart, and no more than 12
// start in any minute (AWS IoT takes one CONNECT a second per client id;
// EMQX bans a client at about 15 in a minute).
TEST(RetrySchedule, ADaemonNeverStartsAttemptsUnderASecondApartNorTwelveInAMinute) {
  std::mt19937_64 rng(20240611);
  double least_gap = 1e9;
  size_t most_in_a_minute = 0;
  for (int run = 0; run <= 4000; ++run) {
    const std::vector<double> starts =
        run == 4000 ? attempt_starts(nullptr, false, 1e9, 900, 0, 0)
                    : attempt_starts(&rng, run % 2 == 0, 1e9, 900, 10.0, run % 4 < 2 ? 0.2 : 0);
    ASSERT_GE(starts.size(), 15u);
    for (size_t i = 1; i < starts.size(); ++i) {
      least_gap = std::min(least_gap, starts[i] - starts[i - 1]);
    }
    most_in_a_minute = std::max(most_in_a_minute, most_in_window(starts, 60));
  }
  EXPECT_GE(least_gap, kLeastRetryGapSeconds - 1e-9);
  EXPECT_LE(most_in_a_minute, 12u);
  // The rule's own bound, reached by the closest attempts.
  EXPECT_EQ(most_in_a_minute, 11u);
}

// 200 daemons lose their broker at one instant; their failed attempts take
// up to a second each. While the broker is away they knock at most 50 times
// in any second from the 11th on, and at most 20 from the 60th on (the
// first seconds are the fleet's quick attempts); once it is back, the last of
// them is back within 5 s after an outage of 5 s, within 10 s after one of
// 10 s, and within 75 s after one of 2 or 10 minutes.
TEST(RetrySchedule, AFleetThatLostItsBrokerAtOnceKnocksGentlyAndIsBackSoon) {
  constexpr int kDaemons = 200;
  std::mt19937_64 rng(7);
  std::vector<size_t> per_second(900, 0);
  for (int d = 0; d < kDaemons; ++d) {
    for (const double t : attempt_starts(&rng, false, 1e9, 900, 1.0, 0)) {
      ++per_second[static_cast<size_t>(t)];
    }
  }
  EXPECT_EQ(per_second[0], static_cast<size_t>(kDaemons));
  EXPECT_LE(*std::max_element(per_second.begin() + 10, per_second.end()), 50u);
  EXPECT_LE(*std::max_element(per_second.begin() + 59, per_second.end()), 20u);

  const struct { double outage, back_within; } outages[] = {{5, 5}, {10, 10}, {120, 75}, {600, 75}};
  for (const auto& o : outages) {
    double slowest = 0;
    for (int d = 0; d < kDaemons; ++d) {
      const std::vector<double> starts = attempt_starts(&rng, false, o.outage, 1e9, 1.0, 0);
      slowest = std::max(slowest, starts.back() - o.outage);
    }
    EXPECT_LE(slowest, o.back_within) << "after an outage of " << o.outage << " s";
  }
}

}  // namespace
