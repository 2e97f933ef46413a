// Datagrams sent to the daemon's datagram socket reach the broker unchanged.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/local_socket.h"
#include "tests/support/relay_fixture.h"

namespace quorrel_test {
namespace {

std::string random_bytes(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(gen() & 0xff);
  return bytes;
}

std::string all_byte_values() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  return bytes;
}

using DatagramRelayTest = SharedRelayFixture;

TEST_F(DatagramRelayTest, DatagramsArePublishedByteExactInTheOrderSent) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  const std::vector<std::string> sent = {
      "hello",           std::string("\0", 1),     std::string("nul\0inside\0", 11),
      all_byte_values(), "line one\nline two\r\n", "x",
  };
  for (const std::string& d : sent) ASSERT_TRUE(send_datagram(dgram_path_, d));

  for (size_t i = 0; i < sent.size(); ++i) {
    MqttMessage m = next_message();
    EXPECT_EQ(m.topic, topic_) << "message " << i;
    EXPECT_EQ(m.payload, sent[i]) << "message " << i;
    EXPECT_EQ(m.qos, 0) << "the default QoS is 0";
    EXPECT_FALSE(m.retain);
  }
  EXPECT_TRUE(nothing_more_arrives(std::chrono::milliseconds(500)));
}

TEST_F(DatagramRelayTest, EmptyDatagramPublishesNothing) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  ASSERT_TRUE(send_datagram(dgram_path_, ""));
  ASSERT_TRUE(send_datagram(dgram_path_, "after the empty one"));
  // Datagrams are handled in the order sent, so a message for the empty one
  // would come first.
  EXPECT_EQ(next_message().payload, "after the empty one");
  EXPECT_TRUE(nothing_more_arrives(std::chrono::milliseconds(500)));
}

TEST_F(DatagramRelayTest, DatagramsLargerThan2048BytesArePublishedWhole) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  for (size_t size : {2048u, 2049u, 3000u, 100000u}) {
    SCOPED_TRACE("datagram of " + std::to_string(size) + " bytes");
    const std::string d = random_bytes(size, static_cast<unsigned>(size));
    ASSERT_TRUE(send_datagram(dgram_path_, d));
    MqttMessage m = next_message();
    EXPECT_EQ(m.payload.size(), size);
    EXPECT_TRUE(m.payload == d) << "payload differs from the datagram sent";
  }
  // A small datagram after the large ones is still published as it is.
  ASSERT_TRUE(send_datagram(dgram_path_, "small again"));
  EXPECT_EQ(next_message().payload, "small again");
}

}  // namespace
}  // namespace quorrel_test
