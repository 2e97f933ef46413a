// The content of each stream connection reaches the broker as one message.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/local_socket.h"
#include "tests/support/relay_fixture.h"

namespace quorrel_test {
namespace {

using StreamRelayTest = SharedRelayFixture;

std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 3) & 0xff);
  return bytes;
}

TEST_F(StreamRelayTest, EachConnectionIsPublishedWholeAsOneMessage) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());

  // A connection closed without data is a message of length 0.
  ASSERT_TRUE(send_stream(stream_path_, ""));
  MqttMessage empty = next_message();
  EXPECT_EQ(empty.topic, topic_);
  EXPECT_EQ(empty.payload, "");

  ASSERT_TRUE(send_stream(stream_path_, "hello"));
  EXPECT_EQ(next_message().payload, "hello");

  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes.push_back(static_cast<char>(i));
  ASSERT_TRUE(send_stream(stream_path_, all_bytes + all_bytes));
  EXPECT_EQ(next_message().payload, all_bytes + all_bytes);

  EXPECT_TRUE(nothing_more_arrives(std::chrono::milliseconds(300)));
}

// A daemon on a small device must not keep the memory of one large message
// for the rest of its life.
TEST_F(StreamRelayTest, LargeMessagesLeaveNoMemoryBehind) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator keeps freed memory on purpose";
#endif
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  const pid_t pid = daemon_->process().pid();
  const long before = resident_kib(pid);
  ASSERT_GT(before, 0);
  const std::string large = pattern(24 << 20);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(send_stream(stream_path_, large));
    const MqttMessage m = next_message(std::chrono::milliseconds(20000));
    ASSERT_EQ(m.payload.size(), large.size());
    ASSERT_TRUE(m.payload == large);
  }
  const long after = resident_kib(pid);
  // Far below one message (24 MiB), and below the message plus the
  // library's copy that each relay needs for a moment.
  EXPECT_LT(after - before, 4 * 1024) << "before " << before << " KiB, after " << after << " KiB";
}

TEST_F(StreamRelayTest, MessageWrittenInPiecesIsPublishedOnceAfterShutdown) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  const std::string content = pattern(5000);
  StreamConnection conn;
  ASSERT_TRUE(conn.open(stream_path_));
  for (size_t off = 0; off < content.size(); off += 700) {
    ASSERT_TRUE(conn.write(content.substr(off, 700)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Nothing is published while the writer's side is still open.
  EXPECT_TRUE(nothing_more_arrives(std::chrono::milliseconds(300)));
  ASSERT_TRUE(conn.shutdown_write());

  MqttMessage m = next_message();
  EXPECT_EQ(m.payload.size(), content.size());
  EXPECT_TRUE(m.payload == content) << "payload differs from the bytes written";
  EXPECT_TRUE(conn.wait_peer_closed(5000)) << "the daemon keeps the connection open";
  EXPECT_TRUE(nothing_more_arrives(std::chrono::milliseconds(300)));
}

TEST_F(StreamRelayTest, OverlappingConnectionsArePublishedInTheOrderTheyEnd) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  StreamConnection first;
  StreamConnection second;
  ASSERT_TRUE(first.open(stream_path_));
  ASSERT_TRUE(first.write("opened first, "));
  ASSERT_TRUE(second.open(stream_path_));
  ASSERT_TRUE(second.write("opened second"));
  ASSERT_TRUE(first.write("written to while the second was open"));

  second.close();
  EXPECT_EQ(next_message().payload, "opened second");
  ASSERT_TRUE(first.write(", ended last"));
  first.close();
  EXPECT_EQ(next_message().payload,
            "opened first, written to while the second was open, ended last");
}

}  // namespace
}  // namespace quorrel_test

namespace quorrel_test {
namespace {

long resident_or_zero(pid_t pid) {
  const long kib = resident_kib(pid);
  return kib > 0 ? kib : 0;
}

// Each case starts a daemon of its own, whose memory is measured from its
// start.
class StreamMemoryTest : public RelayFixture {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps freed memory on purpose";
#endif
    RelayFixture::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    pid_ = daemon_->process().pid();
    idle_ = resident_or_zero(pid_);
    ASSERT_GT(idle_, 0);
  }
  pid_t pid_ = -1;
  long idle_ = 0;  // KiB, once relaying
};

// A storm of connections that each hold a little: once they are gone the
// daemon is back near its idle size within a few seconds.
TEST_F(StreamMemoryTest, ConnectionStormLeavesNoMemoryBehind) {
  const pid_t pid = pid_;
  const long idle = idle_;
  const int count = 700;
  std::vector<std::unique_ptr<StreamConnection>> open;
  for (int i = 0; i < count; ++i) {
    open.push_back(std::make_unique<StreamConnection>());
    ASSERT_TRUE(open.back()->open(stream_path_)) << i;
  }
  // A byte at a time, as slow writers do: each read grows a buffer among
  // the others, which scatters them through the heap.
  for (int round = 0; round < 5; ++round) {
    for (const std::unique_ptr<StreamConnection>& c : open) ASSERT_TRUE(c->write("b"));
    std::this_thread::sleep_for(milliseconds(50));
  }
  ASSERT_TRUE(wait_until([&] { return resident_or_zero(pid) > idle + 1024; }, milliseconds(10000)))
      << "the connections never grew the daemon: nothing to measure";
  open.clear();
  ASSERT_EQ(sub_->wait_for(count, milliseconds(20000)).size(), static_cast<size_t>(count));
  long after = 0;
  const bool back = wait_until(
      [&] {
        after = resident_or_zero(pid);
        return after <= idle + 512;
      },
      milliseconds(kUnderEmulator ? 15000 : 4000));
  if (!kUnderEmulator) {
    EXPECT_TRUE(back) << "idle " << idle << " KiB, after " << after << " KiB";
  }
}

// Four large writers at once: every message is relayed whole, while what
// the daemon buffers stays bounded.
TEST_F(StreamMemoryTest, ConcurrentLargeWritersAreRelayedWholeWithinBoundedMemory) {
  const pid_t pid = pid_;
  const long idle = idle_;
  const size_t size = kUnderEmulator ? (20u << 20) : (40u << 20);
  std::vector<std::string> payloads;
  for (int w = 0; w < 4; ++w) {
    std::string p = pattern(size);
    p[0] = static_cast<char>('A' + w);
    payloads.push_back(std::move(p));
  }
  std::vector<std::thread> writers;
  std::vector<int> sent(4, 0);
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] { sent[w] = send_stream(stream_path_, payloads[w]) ? 1 : 0; });
  }
  for (std::thread& t : writers) t.join();
  for (int w = 0; w < 4; ++w) EXPECT_EQ(sent[w], 1) << w;
  const std::vector<MqttMessage> got = sub_->wait_for(4, milliseconds(60000));
  ASSERT_EQ(got.size(), 4u);
  std::vector<bool> seen(4, false);
  for (const MqttMessage& m : got) {
    ASSERT_EQ(m.payload.size(), size);
    const int w = m.payload[0] - 'A';
    ASSERT_TRUE(w >= 0 && w < 4);
    EXPECT_TRUE(m.payload == payloads[w]) << "writer " << w;
    seen[w] = true;
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 4);
  if (!kUnderEmulator) {
    const long peak = peak_resident_kib(pid);
    EXPECT_LE(peak - idle, 120 * 1024) << "idle " << idle << " KiB, peak " << peak << " KiB";
  }
}

}  // namespace
}  // namespace quorrel_test
