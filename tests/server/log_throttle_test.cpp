// Thinning out a repeating log line, on a clock the test sets.
#include "server/log_throttle.h"

#include <gtest/gtest.h>

namespace {

TEST(LogThrottle, FirstLineAtOnceThenOnePerIntervalCountingThoseHeldBack) {
  log_throttle throttle{1.0, 0.0, 0, false};
  unsigned held_back = 99;
  // The first line is shown whatever the clock says, 0 included.
  ASSERT_TRUE(log_throttle_admit(&throttle, 0.0, &held_back));
  EXPECT_EQ(held_back, 0u);
  // Within the interval every line is held back and counted.
  EXPECT_FALSE(log_throttle_admit(&throttle, 0.1, &held_back));
  EXPECT_FALSE(log_throttle_admit(&throttle, 0.5, &held_back));
  EXPECT_FALSE(log_throttle_admit(&throttle, 0.999, &held_back));
  // One interval after the last line shown, the next is shown with the count.
  ASSERT_TRUE(log_throttle_admit(&throttle, 1.0, &held_back));
  EXPECT_EQ(held_back, 3u);
  // The interval runs from that line, and counting starts again.
  EXPECT_FALSE(log_throttle_admit(&throttle, 1.9, &held_back));
  ASSERT_TRUE(log_throttle_admit(&throttle, 2.0, &held_back));
  EXPECT_EQ(held_back, 1u);
  // After a quiet spell the next line is shown at once, with nothing held.
  ASSERT_TRUE(log_throttle_admit(&throttle, 60.0, &held_back));
  EXPECT_EQ(held_back, 0u);
}

TEST(LogThrottle, EachThrottleKeepsItsOwnInterval) {
  log_throttle fast{0.25, 0.0, 0, false};
  log_throttle slow{5.0, 0.0, 0, false};
  unsigned held_back = 0;
  ASSERT_TRUE(log_throttle_admit(&fast, 100.0, &held_back));
  ASSERT_TRUE(log_throttle_admit(&slow, 100.0, &held_back));
  EXPECT_FALSE(log_throttle_admit(&slow, 100.25, &held_back));
  EXPECT_TRUE(log_throttle_admit(&fast, 100.25, &held_back));
  EXPECT_EQ(held_back, 0u);
  EXPECT_FALSE(log_throttle_admit(&slow, 104.9, &held_back));
  ASSERT_TRUE(log_throttle_admit(&slow, 105.0, &held_back));
  EXPECT_EQ(held_back, 2u);
}

}  // namespace
