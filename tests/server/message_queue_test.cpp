// The queue's order across its parts: what a lost session gives back, the
// directory's files and memory; and an orderly stop that saves everything
// once.
#include "server/message_queue.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

using quorrel_test::TempDir;

held_message* message(const std::string& text) {
  return held_message_copy(text.data(), static_cast<uint32_t>(text.size()));
}

std::vector<std::string> pop_all(message_queue* q) {
  std::vector<std::string> out;
  uint32_t lost = 0;
  while (held_message* m = queue_pop(q, &lost)) {
    out.emplace_back(reinterpret_cast<char*>(m->bytes), m->len);
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

}  // namespace
