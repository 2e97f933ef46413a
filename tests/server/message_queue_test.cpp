// The queue's order across its parts: what a lost session gives back, the
// directory's files and memory; an orderly stop that saves everything once;
// and the time each message was taken, kept through the files.
#include "server/message_queue.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "server/log_throttle.h"
#include "tests/support/temp_dir.h"

namespace {

using quorrel_test::TempDir;

held_message* message(const std::string& text) {
  return held_message_copy(text.data(), static_cast<uint32_t>(text.size()));
}

// `m`, as taken at `taken` (monotonic seconds; before the boot too).
held_message* taken_at(held_message* m, double taken) {
  m->taken = taken;
  return m;
}

// Pops until the queue is empty; each message's taken time goes to `takens`
// when not null.
std::vector<std::string> pop_all(message_queue* q, std::vector<double>* takens = nullptr) {
  std::vector<std::string> out;
  uint32_t lost = 0;
  while (held_message* m = queue_pop(q, &lost)) {
    out.emplace_back(reinterpret_cast<char*>(m->bytes), m->len);
    if (takens != nullptr) takens->push_back(m->taken);
    held_message_free(m);
  }
  return out;
}

std::vector<std::string> numbered(int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i < to; ++i) out.push_back("m" + std::to_string(i));
  return out;
}

// A stop while the oldest file is being drained: what was handed to the
// session (and not finished) and the file's unread rest are saved once
// each, in order, and the restart reads nothing twice.
TEST(MessageQueue, StopDuringADrainSavesEveryMessageOnceInOrder) {
  TempDir dir("mq");
  const std::string path = dir.file("queue");
  {
    message_queue q{};
    ASSERT_EQ(queue_open(&q, 1024 * 1024, path.c_str()), 0);
    for (const std::string& text : numbered(0, 10)) queue_push(&q, message(text), 0.0);
    uint32_t lost = 0;
    held_list unfinished{};
    for (int i = 0; i < 3; ++i) held_list_push_back(&unfinished, queue_pop(&q, &lost));
    // Messages that came while the disk failed wait in memory, after it.
    held_list_push_back(&q.memory, message("m10"));
    EXPECT_EQ(queue_save_at_stop(&q, &unfinished), 0u);
    spool_close(&q.disk);
  }
  message_queue q{};
  ASSERT_EQ(queue_open(&q, 1024 * 1024, path.c_str()), 0);
  const std::vector<std::string> expected = numbered(0, 11);
  EXPECT_EQ(pop_all(&q), expected);
  spool_close(&q.disk);
}

// While the session is down and the queue full, the oldest give way: the
// given-back ones first, then the oldest file whole.
TEST(MessageQueue, OldestGiveWayFirst) {
  TempDir dir("mq");
  message_queue q{};
  // 4 KiB files: about 37 records of 100 bytes each.
  ASSERT_EQ(queue_open(&q, 64 * 1024, dir.file("queue").c_str()), 0);
  const std::string pad(96, '.');
  for (int i = 0; i < 80; ++i) queue_push(&q, message(std::to_string(1000 + i) + pad), 0.0);
  held_list back{};
  held_list_push_back(&back, message("given back"));
  queue_push_front(&q, &back, 0.0);
  EXPECT_EQ(queue_drop_oldest(&q), 1u);
  const uint32_t first_file = queue_drop_oldest(&q);
  EXPECT_GT(first_file, 10u);
  uint32_t lost = 0;
  held_message* m = queue_pop(&q, &lost);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m->bytes), m->len),
            std::to_string(1000 + first_file) + pad);
  held_message_free(m);
  EXPECT_EQ(queue_count(&q), 80u - first_file - 1);
  pop_all(&q);
  spool_close(&q.disk);
}

// A message's age goes to a record as the wall-clock second it was taken,
// and comes back as the same age on the monotonic clock; a wall clock set
// back in between gives age 0, and an unknown time (0) the queue's opening.
TEST(MessageQueue, TakenTimesConvertToAndFromTheFilesWallClockSeconds) {
  const double wall = 1700000000.25;
  EXPECT_EQ(queue_file_time(100.0, 1000.0, wall), 1700000000u - 900);
  EXPECT_EQ(queue_taken_time(1700000000u - 900, 5.0, 2000.0, wall + 50), 2000.0 - 950.25);
  EXPECT_EQ(queue_taken_time(1700000000u, 5.0, 2000.0, wall - 10), 2000.0) << "clock set back";
  EXPECT_EQ(queue_taken_time(0, 5.0, 2000.0, wall), 5.0) << "unknown";
  // Never 0, which would read back as unknown, and never past 32 bits.
  EXPECT_EQ(queue_file_time(0.0, 1000.0, 20.0), 1u);
  EXPECT_EQ(queue_file_time(1000.0, 1000.0, 0.0), 1u);
  EXPECT_EQ(queue_file_time(1000.0, 1000.0, 1e10), UINT32_MAX);
}

// Every message keeps the time it was taken across a stop and a restart,
// whichever way it reached the files: pushed, given back after a pop (and
// the rest of the file partly read rewritten with it), in memory or
// unfinished at the stop.
TEST(MessageQueue, MessagesKeepTheirTakenTimeThroughTheFilesAcrossARestart) {
  TempDir dir("mq");
  const std::string path = dir.file("queue");
  const double hour_ago = monotonic_seconds() - 3600;
  std::vector<double> expected;
  {
    message_queue q{};
    ASSERT_EQ(queue_open(&q, 1024 * 1024, path.c_str()), 0);
    queue_push(&q, taken_at(message("a"), hour_ago), 0.0);
    queue_push(&q, taken_at(message("b"), hour_ago + 100), 0.0);
    const double now = monotonic_seconds();
    queue_push(&q, message("c"), 0.0);
    uint32_t lost = 0;
    held_message* a = queue_pop(&q, &lost);
    ASSERT_NE(a, nullptr);
    EXPECT_NEAR(a->taken, hour_ago, 1.0);
    queue_unpop(&q, a, 0.0);
    held_list_push_back(&q.memory, taken_at(message("d"), hour_ago + 200));
    held_list unfinished{};
    held_list_push_back(&unfinished, taken_at(message("e"), hour_ago - 100));
    EXPECT_EQ(queue_save_at_stop(&q, &unfinished), 0u);
    spool_close(&q.disk);
    expected = {hour_ago - 100, hour_ago, hour_ago + 100, now, hour_ago + 200};
  }
  message_queue q{};
  ASSERT_EQ(queue_open(&q, 1024 * 1024, path.c_str()), 0);
  std::vector<double> takens;
  const std::vector<std::string> order = {"e", "a", "b", "c", "d"};
  EXPECT_EQ(pop_all(&q, &takens), order);
  ASSERT_EQ(takens.size(), expected.size());
  for (size_t i = 0; i < takens.size(); ++i) EXPECT_NEAR(takens[i], expected[i], 1.0) << order[i];
  spool_close(&q.disk);
}

// A directory an earlier quorreld left in format version 1: its messages
// come first, in order, as taken when the queue was opened, each counted at
// its own 8-byte record header; what comes next follows them.
TEST(MessageQueue, AVersion1FileIsReadInOrderAsTakenWhenTheQueueOpened) {
  TempDir dir("mq");
  std::string v1("QRLQ\x01\0\0\0", 8);
  for (const std::string& text : numbered(0, 3)) {
    unsigned char h[8];
    put_le32(static_cast<uint32_t>(text.size()), h);
    put_le32(crc32c(crc32c(0, h, 4), text.data(), text.size()), h + 4);
    v1.append(reinterpret_cast<const char*>(h), sizeof h).append(text);
  }
  const std::string path = dir.file("queue");
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  ASSERT_TRUE(quorrel_test::write_file(path + "/0000010000000000.q", v1));

  message_queue q{};
  ASSERT_EQ(queue_open(&q, 1024 * 1024, path.c_str()), 0);
  EXPECT_EQ(queue_count(&q), 3u);
  EXPECT_EQ(queue_stored_bytes(&q), 3u * (8 + 2));
  const double earlier = q.opened - 3600;
  queue_push(&q, taken_at(message("m3"), earlier), 0.0);
  EXPECT_EQ(queue_stored_bytes(&q), 3u * (8 + 2) + queue_record_bytes(2));
  std::vector<double> takens;
  EXPECT_EQ(pop_all(&q, &takens), numbered(0, 4));
  ASSERT_EQ(takens.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(takens[i], q.opened) << i;
  EXPECT_NEAR(takens[3], earlier, 1.0);
  EXPECT_EQ(queue_stored_bytes(&q), 0u);
  spool_close(&q.disk);
}

}  // namespace
