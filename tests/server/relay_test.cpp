// The relay between the local sockets and the session: what becomes of a
// message when the session is down, with and without a queue; what a lost
// session gives back (from the session thread) going first; and the gate
// that holds writers back while the session is up and the queue is full.
#include "server/relay.h"

#include <ev.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "server/byte_buffer.h"
#include "server/mqtt_session.h"
#include "server/settings.h"
#include "tests/support/temp_dir.h"

namespace {

using quorrel_test::TempDir;

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mosquitto_lib_init();
    mosq_ = mosquitto_new("relay-test", true, &session_);
    ASSERT_NE(mosq_, nullptr);
    session_.mosq = mosq_;
    saved_topic_ = args_info.topic_arg;
    args_info.topic_arg = const_cast<char*>("t");
    session_.isconnect.store(0);
    loop_ = ev_default_loop(0);
  }
  void TearDown() override {
    relay_close();
    if (stream_.fd > 0) {
      ev_io_stop(loop_, &stream_.io);
      close(stream_.fd);
    }
    if (dgram_.fd > 0) {
      ev_io_stop(loop_, &dgram_.io);
      close(dgram_.fd);
    }
    release_dgram_server(&dgram_);
    session_.isconnect.store(0);
    args_info.topic_arg = saved_topic_;
    mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
  }

  // A relay with a queue of `kib` KiB (0: none), in memory.
  void start(uint32_t kib) {
    if (kib != 0) {
      ASSERT_EQ(relay_open_queue(kib, nullptr), 0);
    }
    ASSERT_EQ(
        stream_server_open(&stream_, loop_, dir_.file("s").c_str(), mosq_, relay_stream_message),
        0);
    ASSERT_EQ(dgram_server_open(&dgram_, loop_, dir_.file("u").c_str(), mosq_, relay_datagram), 0);
    relay_start(loop_, &stream_, &dgram_, &session_);
  }

  message_verdict offer(const std::string& text) {
    byte_buffer buf{};
    balloc(&buf, 16);
    bconcat(&buf, text.data(), static_cast<uint32_t>(text.size()));
    message_verdict verdict{};
    relay_stream_message(mosq_, &buf, &verdict);
    bfree(&buf);
    return verdict;
  }

  // What the queue holds, oldest first, taken out of it.
  std::vector<std::string> drain_queue() {
    std::vector<std::string> out;
    uint32_t lost = 0;
    while (held_message* m = queue_pop(relay_queue(), &lost)) {
      out.emplace_back(reinterpret_cast<char*>(m->bytes), m->len);
      held_message_free(m);
    }
    return out;
  }

  void run_loop_once() {
    for (int i = 0; i < 5; ++i) ev_run(loop_, EVRUN_NOWAIT);
  }

  TempDir dir_{"rl"};
  mqtt_session session_;
  struct mosquitto* mosq_ = nullptr;
  struct ev_loop* loop_ = nullptr;
  stream_server stream_{};
  dgram_server dgram_{};
  char* saved_topic_ = nullptr;
};

TEST_F(RelayTest, WithoutAQueueADownSessionDropsAndCounts) {
  start(0);
  const unsigned streams = session_.dropped_stream_messages.load();
  const unsigned datagrams = session_.dropped_datagrams.load();
  const message_verdict verdict = offer("lost");
  EXPECT_FALSE(verdict.accepted);
  EXPECT_STREQ(verdict.reason, "dropped: the broker session is down and no queue is set");
  relay_datagram(mosq_, "gone", 4);
  EXPECT_EQ(session_.dropped_stream_messages.load(), streams + 1);
  EXPECT_EQ(session_.dropped_datagrams.load(), datagrams + 1);
  EXPECT_FALSE(stream_.reading_paused);
}

TEST_F(RelayTest, GivenBackMessagesGoBeforeEverythingQueued) {
  start(64);
  EXPECT_TRUE(offer("queued-1").accepted);
  std::thread session_thread([] {
    held_list back{};
    held_list_push_back(&back, held_message_copy("back-1", 6));
    held_list_push_back(&back, held_message_copy("back-2", 6));
    relay_give_back(&back);
  });
  session_thread.join();
  EXPECT_TRUE(offer("queued-2").accepted);
  EXPECT_EQ(drain_queue(), (std::vector<std::string>{"back-1", "back-2", "queued-1", "queued-2"}));
}

TEST_F(RelayTest, FullQueueGivesWayWhileDownAndHoldsWritersWhileUp) {
  start(1);  // 1 KiB: nine records of 100 bytes
  const std::string pad(98, '.');
  for (int i = 0; i < 12; ++i) EXPECT_TRUE(offer(std::to_string(10 + i) + pad).accepted);
  EXPECT_EQ(queue_count(relay_queue()), 9u);
  EXPECT_FALSE(stream_.reading_paused) << "writers held back while the session is down";
  const message_verdict big = offer(std::string(2000, 'b'));
  EXPECT_FALSE(big.accepted);
  EXPECT_STREQ(big.reason, "message of 2000 bytes larger than the whole queue (1 KiB)");

  // Up, but the library cannot take them yet (never connected): nothing
  // gives way now; the message that fills the queue is taken and the
  // writers wait.
  session_.isconnect.store(1);
  relay_wake();
  run_loop_once();
  EXPECT_FALSE(stream_.reading_paused);
  EXPECT_EQ(queue_count(relay_queue()), 9u) << "a message the library could not take was lost";
  EXPECT_TRUE(offer("22" + pad).accepted);
  EXPECT_TRUE(stream_.reading_paused);
  session_.isconnect.store(0);
  relay_wake();
  run_loop_once();
  EXPECT_FALSE(stream_.reading_paused);
  const std::vector<std::string> kept = drain_queue();
  ASSERT_EQ(kept.size(), 10u);
  EXPECT_EQ(kept.front(), "13" + pad);
  EXPECT_EQ(kept.back(), "22" + pad);
}

}  // namespace
