// The records of what the MQTT library holds for the daemon, shared by the
// main thread (publishes) and the session thread (reports, lost sessions).
#include "server/publish_count.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "common/log.h"
#include "server/mqtt_session.h"
#include "server/settings.h"

namespace {

// The records of what the library holds: back-pressure and the end of a
// burst, which hands its memory back, are decided from them.
class PublishCount : public ::testing::Test {
 protected:
  void SetUp() override { forget_unfinished_publishes(r()); }
  void TearDown() override {
    forget_unfinished_publishes(r());
    args_info.qos_arg = 0;
    session_.isconnect.store(0);
  }
  // The library's ids run from 1 to 65535 and wrap.
  static int mid_of(int i) { return 1 + i % 65535; }
  publish_records* r() { return &session_.records; }

  mqtt_session session_;
};

TEST_F(PublishCount, DrainedBurstAsksForATrimOnceAtItsEnd) {
  const int burst = static_cast<int>(kTrimAfterPublishes);
  for (int i = 0; i < burst; ++i) publish_taken(r(), mid_of(i), 10);
  for (int i = 0; i + 1 < burst; ++i) {
    ASSERT_FALSE(publish_finished(r(), mid_of(i), nullptr)) << "asked early, at " << i;
  }
  EXPECT_TRUE(publish_finished(r(), mid_of(burst - 1), nullptr));
  EXPECT_EQ(publishes_held(r()).messages, 0u);
  EXPECT_EQ(publishes_held(r()).bytes, 0u);
  // Ordinary traffic afterwards does not ask again.
  publish_taken(r(), mid_of(burst), 10);
  EXPECT_FALSE(publish_finished(r(), mid_of(burst), nullptr));
}

TEST_F(PublishCount, FewLargeMessagesAreABurstToo) {
  for (int i = 0; i < 3; ++i) publish_taken(r(), mid_of(i), kTrimAfterBytes / 2);
  EXPECT_FALSE(publish_finished(r(), mid_of(0), nullptr));
  EXPECT_FALSE(publish_finished(r(), mid_of(1), nullptr));
  EXPECT_TRUE(publish_finished(r(), mid_of(2), nullptr));
}

TEST_F(PublishCount, SteadyTrafficNeverAsks) {
  // Many messages in all, ids wrapping, but never many waiting at once.
  for (int i = 0; i < 70000; i += 2) {
    publish_taken(r(), mid_of(i), 100);
    publish_taken(r(), mid_of(i + 1), 100);
    ASSERT_FALSE(publish_finished(r(), mid_of(i), nullptr));
    ASSERT_FALSE(publish_finished(r(), mid_of(i + 1), nullptr));
  }
  EXPECT_EQ(publishes_held(r()).messages, 0u);
}

TEST_F(PublishCount, ReportBeforeTheRecordCancelsIt) {
  // The session thread may report a publish before mosquitto_publish has
  // returned its id to the main thread.
  EXPECT_FALSE(publish_finished(r(), 7, nullptr));
  publish_taken(r(), 7, 100);
  EXPECT_EQ(publishes_held(r()).messages, 0u);
  EXPECT_EQ(publishes_held(r()).bytes, 0u);
  // The id is free for its next use.
  publish_taken(r(), 7, 100);
  EXPECT_EQ(publishes_held(r()).messages, 1u);
}

TEST_F(PublishCount, ReportsInAnyOrderFindTheirOwnBytes) {
  // Acknowledgements may come out of order, and records move within the
  // table as others leave: every report must still remove exactly its own.
  std::vector<int> mids;
  uint64_t bytes = 0;
  for (int i = 0; i < 3000; ++i) {
    const int mid = mid_of(60000 + i * 7);  // wraps past 65535
    mids.push_back(mid);
    publish_taken(r(), mid, static_cast<uint32_t>(mid));
    bytes += static_cast<uint64_t>(mid);
  }
  std::mt19937 shuffle_seed(11);
  std::shuffle(mids.begin(), mids.end(), shuffle_seed);
  for (size_t i = 0; i < mids.size(); ++i) {
    publish_finished(r(), mids[i], nullptr);
    bytes -= static_cast<uint64_t>(mids[i]);
    ASSERT_EQ(publishes_held(r()).messages, mids.size() - i - 1) << "after " << i;
    ASSERT_EQ(publishes_held(r()).bytes, bytes) << "after " << i;
  }
}

TEST_F(PublishCount, ReadingResumesOnceAtTheLowWaterMark) {
  const int count = static_cast<int>(kHighWaterMessages) + 1;
  for (int i = 0; i < count; ++i) publish_taken(r(), mid_of(i), 1);
  EXPECT_TRUE(above_high_water(publishes_held(r())));
  EXPECT_EQ(publish_water_level(r()), kAboveHighWater);
  int crossings = 0;
  for (int i = 0; i < count; ++i) {
    bool crossed = false;
    publish_finished(r(), mid_of(i), &crossed);
    if (crossed) {
      ++crossings;
      EXPECT_EQ(publishes_held(r()).messages, kLowWaterMessages);
    }
    const uint32_t left = publishes_held(r()).messages;
    ASSERT_EQ(publish_water_level(r()), left > kHighWaterMessages  ? kAboveHighWater
                                        : left > kLowWaterMessages ? kBetweenMarks
                                                                   : kAtOrBelowLowWater)
        << left << " held";
  }
  EXPECT_EQ(crossings, 1);
  // Bytes count as well as messages.
  EXPECT_TRUE(above_high_water(held_publishes{1, kHighWaterBytes + 1}));
  EXPECT_FALSE(at_or_below_low_water(held_publishes{1, kLowWaterBytes + 1}));
}

TEST_F(PublishCount, CopiesStayUntilDoneAndAreTakenBackInPublishOrder) {
  const std::string texts[] = {"first", "second", "third"};
  for (int i = 0; i < 3; ++i) {
    publish_taken_message(
        r(), mid_of(i), held_message_copy(texts[i].data(), static_cast<uint32_t>(texts[i].size())));
  }
  EXPECT_NE(oldest_unfinished_publish(r()), 0u);
  publish_finished(r(), mid_of(1), nullptr);
  held_list back{};
  EXPECT_EQ(take_unfinished_publishes(r(), &back), 2u);
  ASSERT_EQ(back.count, 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back.head->bytes), back.head->len), "first");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back.tail->bytes), back.tail->len), "third");
  EXPECT_EQ(publishes_held(r()).messages, 0u);
  EXPECT_EQ(oldest_unfinished_publish(r()), 0u);
  held_list_free_all(&back);
}

// The race once suspected: the session thread forgets the records (a lost
// QoS 0 session) between mosquitto_publish returning an id and the main
// thread recording it, or a report comes after the forgetting. Either
// leaves a record or an early-report mark behind. The session thread takes
// everything back under the publish lock once the session has ended, before
// the client starts afresh and hands out ids from 1 again: nothing is left
// to hold a slot or to cancel the next session's record of the same id.
TEST_F(PublishCount, WhatALostSessionLeftBehindIsGoneBeforeTheNextSession) {
  publish_taken(r(), mid_of(0), 10);
  forget_unfinished_publishes(r());  // disconnect callback, QoS 0
  publish_taken_message(r(), mid_of(1), held_message_copy("late", 4));  // recorded after it
  EXPECT_FALSE(publish_finished(r(), mid_of(2), nullptr));              // reported after it
  EXPECT_EQ(publishes_held(r()).messages, 1u);
  session_take_back(&session_, false, nullptr, nullptr);
  EXPECT_EQ(publishes_held(r()).messages, 0u);
  // The next session's publish under the id of the stale report counts.
  publish_taken(r(), mid_of(2), 10);
  EXPECT_EQ(publishes_held(r()).messages, 1u);
}

// What the disconnect callback does with the records.
TEST_F(PublishCount, LostSessionForgetsAtQos0AndKeepsTheResendAtQos1) {
  const int burst = static_cast<int>(kTrimAfterPublishes);
  // QoS 0: the library drops its unsent packets with the connection.
  for (int i = 0; i < burst; ++i) publish_taken(r(), mid_of(i), 10);
  session_.isconnect.store(1);
  const int saved_debug = debug;
  debug = 4;
  ::testing::internal::CaptureStderr();
  my_disconnect_callback(nullptr, &session_, 7);
  const std::string err = ::testing::internal::GetCapturedStderr();
  debug = saved_debug;
  EXPECT_NE(err.find("WARNING: session lost: The connection was lost.(7), reconnecting; " +
                     std::to_string(burst) + " unsent messages dropped with it\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(publishes_held(r()).messages, 0u);
  // QoS 1: it resends its messages after the reconnect and reports each;
  // the end of that backlog is the end of a burst.
  args_info.qos_arg = 1;
  for (int i = 0; i < burst; ++i) publish_taken(r(), mid_of(i), 10);
  session_.isconnect.store(1);
  my_disconnect_callback(nullptr, &session_, 7);
  EXPECT_EQ(publishes_held(r()).messages, static_cast<uint32_t>(burst));
  for (int i = 0; i + 1 < burst; ++i) ASSERT_FALSE(publish_finished(r(), mid_of(i), nullptr));
  EXPECT_TRUE(publish_finished(r(), mid_of(burst - 1), nullptr));
}

}  // namespace
