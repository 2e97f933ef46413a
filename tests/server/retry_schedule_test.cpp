// When the daemon tries the broker again, and how often it reports an
// outage that goes on.
#include "server/retry_schedule.h"

#include <gtest/gtest.h>

namespace {

TEST(RetrySchedule, GapsAreQuickFirstThenDoubleUpToAMinuteWithJitter) {
  struct Row {
    unsigned failed;
    bool at_startup;
    double low, high;  // over every random draw
  };
  const Row rows[] = {
      // Start-up keeps its one attempt a second, the first after a second.
      {0, true, 1.0, 1.0},
      {9, true, 1.0, 1.0},
      // After a lost session: the first within a second, then 1 s +-20 %.
      {0, false, 0.0, 1.0},
      {1, false, 0.8, 1.2},
      {9, false, 0.8, 1.2},
      // Then doubling from 2 s, +-20 %, up to a minute, at start-up too.
      {10, false, 1.6, 2.4},
      {10, true, 1.6, 2.4},
      {11, false, 3.2, 4.8},
      {14, false, 25.6, 38.4},
      {15, false, 48.0, 72.0},
      {1000, false, 48.0, 72.0},
  };
  for (const Row& row : rows) {
    double lowest = 1e9, highest = -1;
    for (double r = 0; r < 1.0; r += 0.001) {
      const double gap = retry_gap_seconds(row.failed, row.at_startup, r);
      lowest = gap < lowest ? gap : lowest;
      highest = gap > highest ? gap : highest;
    }
    SCOPED_TRACE(::testing::Message() << row.failed << " failed, startup " << row.at_startup);
    EXPECT_GE(lowest, row.low - 1e-9);
    EXPECT_LE(highest, row.high + 1e-9);
    // Jitter spreads the gaps over most of their range: devices that lost
    // their broker together do not come back together.
    if (row.high > row.low) {
      EXPECT_GT(highest - lowest, 0.9 * (row.high - row.low));
    }
  }
}

TEST(RetrySchedule, OnlyASessionUpForThirtySecondsStartsTheScheduleAgain) {
  retry_state state;
  for (int i = 0; i < 12; ++i) retry_attempt_failed(&state);
  EXPECT_GE(retry_next_gap(state, 0.5), 4.0);

  // A broker that accepts and drops at once cannot bring back quick retries.
  retry_session_ended(&state, 2.0);
  EXPECT_EQ(state.failed, 13u);
  EXPECT_GE(retry_next_gap(state, 0.5), 8.0);

  retry_session_ended(&state, kStableSessionSeconds);
  EXPECT_EQ(state.failed, 0u);
  // Not start-up any more: the first attempt after the loss is within 1 s.
  EXPECT_LT(retry_next_gap(state, 0.99), 1.0);
  EXPECT_LT(retry_next_gap(state, 0.0), 0.01);
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

}  // namespace
