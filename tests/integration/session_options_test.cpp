// Options that shape the daemon's MQTT session: QoS, client identifier, will.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/local_socket.h"
#include "tests/support/log_line.h"
#include "tests/support/relay_fixture.h"

namespace quorrel_test {
namespace {

using SessionOptionsTest = RelayFixture;

// The identifier from the "DEBUG: id: %s" line, or "" when there is none.
std::string logged_identifier(const Process& daemon) {
  std::vector<LogLine> lines = log_lines_starting(daemon, "DEBUG: id: ");
  return lines.empty() ? std::string() : lines.front().text.substr(11);
}

TEST_F(SessionOptionsTest, QosOneIsUsedForBothIngressPaths) {
  ASSERT_NO_FATAL_FAILURE(start_daemon({"-q", "1"}));
  ASSERT_TRUE(send_datagram(dgram_path_, "datagram at qos 1"));
  MqttMessage d = next_message();
  EXPECT_EQ(d.payload, "datagram at qos 1");
  // The subscription is at QoS 1, so the delivery QoS is the publisher's.
  EXPECT_EQ(d.qos, 1);

  ASSERT_TRUE(send_stream(stream_path_, "stream at qos 1"));
  MqttMessage s = next_message();
  EXPECT_EQ(s.payload, "stream at qos 1");
  EXPECT_EQ(s.qos, 1);
}

TEST_F(SessionOptionsTest, ClientIdentifierIsThePrefixFollowedByDigits) {
  ASSERT_NO_FATAL_FAILURE(start_daemon({"-i", "qtest-", "-d", "7"}));
  const std::string id = logged_identifier(daemon_->process());
  EXPECT_TRUE(id.compare(0, 6, "qtest-") == 0 && is_decimal_of_1_to_10_digits(id.substr(6)))
      << "identifier: '" << id << "'\n"
      << daemon_->process().stderr_text();
  // The broker saw the same identifier.
  EXPECT_NE(broker_->log().find(" as " + id + " "), std::string::npos) << broker_->log();

  // Without a prefix the identifier is the digits alone, and it is new for
  // each start.
  daemon_.reset();
  daemon_ = std::make_unique<QuorreldProcess>();
  ASSERT_NO_FATAL_FAILURE(start_daemon({"-d", "7"}));
  const std::string bare = logged_identifier(daemon_->process());
  EXPECT_TRUE(is_decimal_of_1_to_10_digits(bare)) << "identifier: '" << bare << "'\n"
                                                  << daemon_->process().stderr_text();
  EXPECT_NE(id.substr(6), bare);
}

TEST_F(SessionOptionsTest, WillIsPublishedWhenTheDaemonIsKilled) {
  const std::string will_topic = topic_ + "/will";
  ASSERT_TRUE(sub_->subscribe(will_topic, 1));
  ASSERT_NO_FATAL_FAILURE(
      start_daemon({"--willtopic", will_topic, "--willpayload", "relay gone", "--willqos", "1"}));
  ASSERT_TRUE(send_datagram(dgram_path_, "alive"));
  MqttMessage alive = next_message();
  EXPECT_EQ(alive.topic, topic_);
  EXPECT_EQ(alive.payload, "alive");
  EXPECT_TRUE(nothing_more_arrives(std::chrono::milliseconds(300)))
      << "a will was delivered while the daemon runs";

  daemon_->process().kill_now();
  MqttMessage will = next_message(std::chrono::milliseconds(10000));
  EXPECT_EQ(will.topic, will_topic);
  EXPECT_EQ(will.payload, "relay gone");
  EXPECT_EQ(will.qos, 1);
}

// A stream message is refused as soon as it outgrows what one PUBLISH can
// carry for the daemon's topic and QoS, so the library never gets (and never
// keeps) one it cannot send; the daemon is as small afterwards as before.
TEST_F(SessionOptionsTest, StreamMessageLongerThanOnePublishCarriesIsDroppedWithTheLimit) {
  ASSERT_TRUE(sub_->subscribe(topic_ + "/#", 1));
  topic_ += "/" + std::string(1000, 'L');
  ASSERT_NO_FATAL_FAILURE(start_daemon({"-q", "1"}));
  const uint32_t limit = 268435455u - 2u - static_cast<uint32_t>(topic_.size()) - 2u;
  const long before = resident_kib(daemon_->process().pid());
  ASSERT_GT(before, 0);

  StreamConnection conn;
  ASSERT_TRUE(conn.open(stream_path_));
  const std::string chunk(1 << 20, 'x');
  uint64_t left = static_cast<uint64_t>(limit) + 1;
  while (left > 0) {
    const size_t n = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
    ASSERT_TRUE(conn.write(chunk.substr(0, n))) << left << " bytes left";
    left -= n;
  }
  EXPECT_TRUE(conn.wait_peer_closed(20000));
  conn.close();
  Process& proc = daemon_->process();
  EXPECT_TRUE(proc.wait_for_stderr("longer than " + std::to_string(limit) + " bytes, dropped\n",
                                   std::chrono::milliseconds(5000)))
      << proc.stderr_text();
  EXPECT_TRUE(nothing_more_arrives(std::chrono::milliseconds(300)));
  EXPECT_EQ(proc.stderr_text().find("publish failed"), std::string::npos) << proc.stderr_text();

  ASSERT_TRUE(send_stream(stream_path_, "after the long one"));
  EXPECT_EQ(next_message().payload, "after the long one");
#if !defined(__SANITIZE_ADDRESS__)  // its allocator keeps freed memory on purpose
  // Under qemu-user the resident set is the emulator's too, and its
  // translation caches grow by a few MiB on the daemon's first long message;
  // a kept copy of the message would still be 256 MiB.
  const long bound_kib = kUnderEmulator ? 64 * 1024 : 4 * 1024;
  const long after = resident_kib(proc.pid());
  EXPECT_LT(after - before, bound_kib) << "before " << before << " KiB, after " << after << " KiB";
#endif
}

}  // namespace
}  // namespace quorrel_test
