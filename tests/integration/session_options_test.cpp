// Options that shape the daemon's MQTT session (QoS, client identifier,
// persistent session, subscription, will), and how the session rides out a
// broker that goes away or stalls.
#include <errno.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/local_socket.h"
#include "tests/support/log_line.h"
#include "tests/support/relay_fixture.h"
#include "tests/support/tcp_proxy.h"

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

// With clean session off the identifier is the id alone, so a restarted
// daemon finds the session the broker kept, with what was published to the
// subscription meanwhile.
TEST_F(SessionOptionsTest, PersistentSessionDeliversWhatArrivedWhileTheDaemonWasDown) {
  const std::string id = "qd-persist-" + std::to_string(getpid());
  const std::string subtopic = topic_ + "/in";
  const std::string script = dir_->file("on_message.sh");
  const std::string runs = dir_->file("runs");
  ASSERT_TRUE(write_file(script, "printf '%s\\n' \"$1\" >> '" + runs + "'\n"));
  auto script_saw = [&](const std::string& expected) {
    return wait_until(
        [&] {
          std::string content;
          return read_file(runs, &content) && content == expected;
        },
        std::chrono::milliseconds(10000));
  };
  const std::vector<std::string> args = {
      "--clean_session", "-i",   id,   "--subtopic", subtopic, "--subqos", "1",
      "--script",        script, "-d", "7"};
  ASSERT_NO_FATAL_FAILURE(start_daemon(args));
  // The relay works before the broker has answered the subscription: a
  // message published earlier would find no subscriber yet.
  ASSERT_TRUE(daemon_->process().wait_for_stderr(" received SUBACK", milliseconds(10000)))
      << daemon_->process().stderr_text();
  // A message that runs the script shows the subscription in place.
  ASSERT_TRUE(sub_->publish(subtopic, "before", 1));
  ASSERT_TRUE(script_saw("before\n")) << daemon_->process().stderr_text();
  // The broker saw the identifier exactly.
  EXPECT_NE(broker_->log().find(" as " + id + " "), std::string::npos) << broker_->log();

  daemon_->process().kill_now();
  ASSERT_TRUE(sub_->publish(subtopic, "while down", 1));
  daemon_ = std::make_unique<QuorreldProcess>();
  ASSERT_NO_FATAL_FAILURE(start_daemon(args));
  EXPECT_TRUE(script_saw("before\nwhile down\n")) << daemon_->process().stderr_text();
}

// What becomes of the subscription made at connect is logged at its level:
// a subscription the library will not send and one the broker refuses as
// errors, one granted below the QoS asked for as a warning, and one granted
// as asked not at all. A proxy in front of the broker stands in for a broker
// that refuses or downgrades.
TEST_F(SessionOptionsTest, SubscriptionOutcomeIsLoggedAtItsLevel) {
  const std::string subtopic = topic_ + "/in";
  struct Case {
    std::string subtopic;
    int subqos;
    int suback;        // what the proxy puts in the SUBACK; -1: no proxy
    std::string line;  // the only ERR or WARNING line, after its prefix; "": none
  };
  const std::vector<Case> cases = {
      {subtopic, 1, -1, ""},
      {subtopic, 1, kSubackFailure,
       "ERR: subscription to " + subtopic + " refused by the broker (return code 0x80)"},
      {subtopic, 2, 1,
       "WARNING: subscription to " + subtopic + " granted at QoS 1, lower than the 2 asked for"},
      {subtopic, 1, 1, ""},
      {"a/#/b", 0, -1,
       std::string("ERR: subscribe to a/#/b failed: ") + mosquitto_strerror(MOSQ_ERR_INVAL) + "(" +
           std::to_string(MOSQ_ERR_INVAL) + ")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subtopic + " at QoS " + std::to_string(c.subqos) + ", SUBACK " +
                 std::to_string(c.suback));
    std::unique_ptr<TcpProxy> proxy;
    if (c.suback >= 0) {
      proxy = std::make_unique<TcpProxy>(broker_->port());
      proxy->rewrite_subacks(static_cast<uint8_t>(c.suback));
      ASSERT_TRUE(proxy->start());
    }
    daemon_ = std::make_unique<QuorreldProcess>();
    ASSERT_NO_FATAL_FAILURE(
        start_daemon({"--subtopic", c.subtopic, "--subqos", std::to_string(c.subqos), "-d", "7"},
                     proxy ? proxy->port() : 0));
    Process& proc = daemon_->process();
    // Waits for the expected line or, when none is expected, for the
    // library's own line about the SUBACK, which comes before the daemon's;
    // then a moment more for a line that should not come.
    ASSERT_TRUE(proc.wait_for_stderr(c.line.empty() ? std::string(" received SUBACK") : c.line,
                                     std::chrono::milliseconds(10000)))
        << proc.stderr_text();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (proxy) {
      EXPECT_EQ(proxy->subacks_rewritten(), 1u);
    }
    std::vector<std::string> lines;
    for (const char* level : {"ERR: ", "WARNING: "}) {
      for (const LogLine& line : log_lines_starting(proc, level)) lines.push_back(line.text);
    }
    EXPECT_EQ(lines, c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line})
        << proc.stderr_text();
  }
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

// Resumes a frozen broker however the test ends.
struct FrozenBroker {
  explicit FrozenBroker(pid_t broker_pid) : pid(broker_pid) { kill(pid, SIGSTOP); }
  ~FrozenBroker() { thaw(); }
  void thaw() {
    if (pid > 0) kill(pid, SIGCONT);
    pid = -1;
  }
  pid_t pid;
};

// A lost session and its return are visible at the default level, with what
// was dropped meanwhile counted by path.
TEST_F(SessionOptionsTest, OutageIsLoggedWithItsLengthAndTheDropsByPath) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  Process& proc = daemon_->process();
  broker_->stop();
  ASSERT_TRUE(proc.wait_for_stderr("WARNING: session lost: ", std::chrono::milliseconds(10000)))
      << proc.stderr_text();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(send_datagram(dgram_path_, "while down"));
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(send_stream(stream_path_, "while down"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(broker_->start()) << broker_->error();
  // The whole line is waited for: its start may be read before its end.
  EXPECT_TRUE(proc.wait_for_stderr(" s down; dropped meanwhile: 3 datagrams, 2 stream messages\n",
                                   std::chrono::milliseconds(20000)))
      << proc.stderr_text();
  EXPECT_NE(proc.stderr_text().find("WARNING: session back after "), std::string::npos)
      << proc.stderr_text();
  EXPECT_EQ(proc.count_in_stderr("WARNING: session lost: "), 1u) << proc.stderr_text();
  EXPECT_NE(proc.stderr_text().find("WARNING: session lost: The connection was lost.(7)"),
            std::string::npos)
      << proc.stderr_text();
}

// A broker that takes nothing (frozen) holds the local senders back once the
// library holds its high-water mark; the daemon does not grow with what they
// send, and nothing is lost once the broker takes data again.
TEST_F(SessionOptionsTest, FrozenBrokerHoldsSendersBackNotMemory) {
  ASSERT_NO_FATAL_FAILURE(start_daemon({"--keepalive", "60"}));
  Process& proc = daemon_->process();
  const long before = resident_kib(proc.pid());
  ASSERT_GT(before, 0);
  const int sender = connect_local(dgram_path_, SOCK_DGRAM | SOCK_NONBLOCK);
  ASSERT_GE(sender, 0) << strerror(errno);
  const int sndbuf = 256 * 1024;
  setsockopt(sender, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);

  // 48 MiB offered: far more than the kernel's socket buffers between the
  // daemon and the broker take.
  const int offered = 1536;
  const std::string filler(32 * 1024 - 16, 'f');
  int sent = 0;
  {
    FrozenBroker frozen(broker_->pid());
    while (sent < offered) {
      const std::string payload = std::to_string(sent) + ":" + filler;
      // Held back when the daemon has not taken the datagram in 1 s.
      bool taken = false;
      for (int tries = 0; tries < 100 && !taken; ++tries) {
        taken = send(sender, payload.data(), payload.size(), MSG_DONTWAIT) >= 0;
        if (!taken) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (!taken) break;
      ++sent;
    }
    const long during = resident_kib(proc.pid());
    RecordProperty("datagrams_taken", sent);
    RecordProperty("rss_growth_kib", static_cast<int>(during - before));
    EXPECT_LT(sent, offered) << "the daemon took everything from its senders";
#if !defined(__SANITIZE_ADDRESS__)  // its allocator keeps freed memory on purpose
    // The high-water mark and the library's copies of it, with room for
    // qemu-user's own caches when emulated.
    const long bound_kib = kUnderEmulator ? 24 * 1024 : 8 * 1024;
    EXPECT_LT(during - before, bound_kib) << "before " << before << " KiB, during " << during
                                          << " KiB, " << sent << " datagrams taken";
#endif
  }
  close(sender);
  // Every datagram the daemon took arrives, in order.
  for (int i = 0; i < sent; ++i) {
    const MqttMessage m = next_message(std::chrono::milliseconds(20000));
    ASSERT_EQ(m.payload.substr(0, m.payload.find(':')), std::to_string(i)) << "of " << sent;
  }
  EXPECT_EQ(proc.stderr_text().find("ERR"), std::string::npos) << proc.stderr_text();
}

// Local writers holding connections cannot take the descriptors the broker
// connection needs: the listener keeps a reserve, so that the session comes
// back after a broker restart while they hold on, and their messages are
// relayed once they end.
TEST_F(SessionOptionsTest, HeldConnectionsLeaveDescriptorsForTheSession) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  Process& proc = daemon_->process();
  struct rlimit limit;
  ASSERT_EQ(prlimit(proc.pid(), RLIMIT_NOFILE, nullptr, &limit), 0) << strerror(errno);
  limit.rlim_cur = 64;
  ASSERT_EQ(prlimit(proc.pid(), RLIMIT_NOFILE, &limit, nullptr), 0) << strerror(errno);

  // As many connections as the daemon and its backlog take, each holding
  // the first part of a message.
  std::vector<int> held;
  while (held.size() < 80) {
    const int fd = connect_local(stream_path_, SOCK_STREAM | SOCK_NONBLOCK);
    if (fd < 0) break;
    const std::string part = "held " + std::to_string(held.size());
    ASSERT_EQ(write(fd, part.data(), part.size()), static_cast<ssize_t>(part.size()));
    held.push_back(fd);
    // Let the daemon accept it before the next one.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  RecordProperty("connections_held", static_cast<int>(held.size()));
  EXPECT_TRUE(proc.wait_for_stderr("descriptors left: stream connections wait until others end\n",
                                   std::chrono::milliseconds(5000)))
      << proc.stderr_text();

  ASSERT_TRUE(broker_->restart()) << broker_->error();
  EXPECT_TRUE(daemon_->wait_until_relaying(*sub_, dgram_path_, std::chrono::milliseconds(20000)))
      << "no session while " << held.size() << " connections were held\n"
      << proc.stderr_text();

  for (int fd : held) close(fd);
  std::vector<std::string> got;
  for (size_t i = 0; i < held.size(); ++i) {
    const MqttMessage m = next_message(std::chrono::milliseconds(10000));
    if (m.payload.empty()) break;
    got.push_back(m.payload);
  }
  EXPECT_EQ(got.size(), held.size()) << proc.stderr_text();
  EXPECT_EQ(proc.count_in_stderr("descriptors left"), 1u) << proc.stderr_text();
}

}  // namespace
}  // namespace quorrel_test
