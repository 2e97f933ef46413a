// The session under MQTT 5 (--protocol 5): it relays, also after the client
// starts afresh; the broker's reasons reach the log (a publish its access
// rules deny, a DISCONNECT); its limits hold; sessions and messages expire;
// a broker that does not speak MQTT 5 is named.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/local_socket.h"
#include "tests/support/relay_fixture.h"
#include "tests/support/tcp_proxy.h"

namespace quorrel_test {
namespace {

const std::string kClient = QUORREL_CLIENT_PATH;

class Mqtt5Test : public RelayFixture {
 protected:
  void SetUp() override {
    RelayFixture::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_NO_FATAL_FAILURE(start_proxy());
  }

  // Starts the daemon under MQTT 5 through the proxy, without waiting for
  // its session.
  void launch(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"--protocol", "5"};
    args.insert(args.end(), extra.begin(), extra.end());
    daemon_ = std::make_unique<QuorreldProcess>();
    ASSERT_TRUE(daemon_->start(unique_daemon_name(test_tag()), daemon_args(args, proxy_->port())));
  }
};

// Every connect speaks MQTT 5: the first, and the one after a lost session,
// which starts the client afresh.
TEST_F(Mqtt5Test, RelaysUnderMqtt5AlsoAfterAFreshStartOfTheClient) {
  ASSERT_NO_FATAL_FAILURE(
      start_daemon({"--protocol", "5", "--qos", "1", "--keepalive", "5"}, proxy_->port()));
  proxy_->set_mode(TcpProxy::Mode::kReject);
  ASSERT_TRUE(daemon_->process().wait_for_stderr("WARNING: session lost: ", milliseconds(10000)))
      << daemon_->process().stderr_text();
  proxy_->set_mode(TcpProxy::Mode::kForward);
  ASSERT_TRUE(daemon_->wait_until_relaying(*sub_, dgram_path_, milliseconds(20000)))
      << daemon_->process().stderr_text();
  // mosquitto names each client's protocol as it connects: p5 for MQTT 5.
  EXPECT_GE(count_occurrences(broker_->log(), "(p5, c1, k5)"), 2u) << broker_->log();
}

// A DISCONNECT from the broker says why the session ended.
TEST_F(Mqtt5Test, BrokersDisconnectReasonIsInTheSessionLostLine) {
  ASSERT_NO_FATAL_FAILURE(start_daemon({"--protocol", "5"}, proxy_->port()));
  proxy_->inject_to_clients(std::string("\xE0\x01\x8E", 3));
  ASSERT_TRUE(daemon_->process().wait_for_stderr(
      "WARNING: session lost: session taken over (0x8E), reconnecting\n", milliseconds(10000)))
      << daemon_->process().stderr_text();
  ASSERT_TRUE(daemon_->wait_until_relaying(*sub_, dgram_path_, milliseconds(20000)))
      << daemon_->process().stderr_text();
}

// With topic aliases granted, every PUBLISH after the session's first
// carries alias 1 instead of the topic: 108 bytes on the wire for a QoS 0
// message of 100 bytes, whatever the topic's length.
TEST_F(Mqtt5Test, TopicAliasesMakeEachPublishShort) {
  ASSERT_NO_FATAL_FAILURE(start_daemon({"--protocol", "5"}, proxy_->port()));
  // The start's last readiness probes may still be on their way.
  nothing_more_arrives(milliseconds(300));
  const size_t before = proxy_->bytes_from_clients();
  const std::string payload(100, 'a');
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(send_datagram(dgram_path_, payload));
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(next_message(milliseconds(10000)).payload, payload)
        << daemon_->process().stderr_text();
  }
  // Fixed header 2, empty topic 2, properties 1 + 3 (alias), payload 100;
  // a PINGREQ (2 bytes) may fall in between.
  const size_t sent = proxy_->bytes_from_clients() - before;
  EXPECT_GE(sent, 10u * 108u);
  EXPECT_LE(sent, 10u * 108u + 2u);
}

// A message that waited longer than --messageexpiry is not sent, counted in
// one WARNING line; every PUBLISH carries what is left of the interval (5
// bytes of properties more than without).
TEST_F(Mqtt5Test, MessagesExpireInTheQueueAndCarryTheirExpiry) {
  ASSERT_NO_FATAL_FAILURE(start_daemon(
      {"--protocol", "5", "--messageexpiry", "2", "--queuesize", "64"}, proxy_->port()));
  // The start's last readiness probes may still be on their way.
  nothing_more_arrives(milliseconds(300));
  const size_t before = proxy_->bytes_from_clients();
  const std::string payload(100, 'e');
  ASSERT_TRUE(send_datagram(dgram_path_, payload));
  ASSERT_EQ(next_message(milliseconds(10000)).payload, payload);
  // Fixed header 2, empty topic 2, properties 1 + 3 (alias) + 5 (expiry),
  // payload 100; a PINGREQ (2 bytes) may fall in between.
  const size_t sent = proxy_->bytes_from_clients() - before;
  EXPECT_GE(sent, 113u);
  EXPECT_LE(sent, 115u);

  proxy_->set_mode(TcpProxy::Mode::kReject);
  ASSERT_TRUE(daemon_->process().wait_for_stderr("WARNING: session lost: ", milliseconds(10000)))
      << daemon_->process().stderr_text();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(send_datagram(dgram_path_, "old" + std::to_string(i)));
  std::this_thread::sleep_for(milliseconds(2500));
  proxy_->set_mode(TcpProxy::Mode::kForward);
  ASSERT_TRUE(daemon_->process().wait_for_stderr("WARNING: 3 messages expired in the queue\n",
                                                 milliseconds(20000)))
      << daemon_->process().stderr_text();
  ASSERT_TRUE(send_datagram(dgram_path_, "fresh"));
  EXPECT_EQ(next_message(milliseconds(10000)).payload, "fresh");
  EXPECT_TRUE(nothing_more_arrives(milliseconds(500)));
}

// Under either protocol a broker that answers a QoS 2 PUBLISH with PUBACK
// has taken it at QoS 1: that message is not sent again, one WARNING says so
// and everything after it goes at QoS 1 (the proxy stands in for such a
// broker).
TEST_F(Mqtt5Test, PubackForQos2LowersThePublishQosForGood) {
  proxy_->rewrite_pubrecs_as_pubacks();
  ASSERT_NO_FATAL_FAILURE(start_daemon({"--qos", "2", "--queuesize", "64"}, proxy_->port()));
  for (int i = 0; i < 4; ++i) {
    const CommandResult r =
        run_command({kClient, "--unixsock", stream_path_, "-D", "q" + std::to_string(i)});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  ASSERT_TRUE(daemon_->process().wait_for_stderr(
      "WARNING: the broker takes QoS up to 1; publishing at QoS 1\n", milliseconds(10000)))
      << daemon_->process().stderr_text();
  // The probe that started the daemon met the first PUBACK; every message
  // after it arrives once, at QoS 1.
  std::vector<std::string> got;
  for (int i = 0; i < 4; ++i) got.push_back(next_message(milliseconds(15000)).payload);
  EXPECT_EQ(got, (std::vector<std::string>{"q0", "q1", "q2", "q3"}))
      << daemon_->process().stderr_text();
  EXPECT_TRUE(nothing_more_arrives(milliseconds(1000)));
  EXPECT_EQ(daemon_->process().count_in_stderr("publishing at QoS 1"), 1u)
      << daemon_->process().stderr_text();
  EXPECT_EQ(daemon_->process().count_in_stderr("given up"), 0u) << daemon_->process().stderr_text();
  EXPECT_NE(broker_->log().find("(d0, q1, r0, m"), std::string::npos) << broker_->log();
}

// Under MQTT 5 a persistent session lasts --sessionexpiry seconds after its
// connection ends: within them, what was published meanwhile reaches the
// script after a restart; after them the broker has forgotten the session.
TEST_F(Mqtt5Test, PersistentSessionLastsItsExpiryInterval) {
  const std::string id = "qd-expiry-" + std::to_string(getpid());
  const std::string subtopic = topic_ + "/in";
  const std::string script = dir_->file("on_message.sh");
  const std::string runs = dir_->file("runs");
  ASSERT_TRUE(write_file(script, "printf '%s\\n' \"$1\" >> '" + runs + "'\n"));
  auto script_saw = [&](const std::string& expected, milliseconds within) {
    std::string content;
    wait_until([&] { return read_file(runs, &content) && content == expected; }, within);
    return content;
  };
  const std::vector<std::string> args = {"--protocol", "5",          "--clean_session",
                                         "-i",         id,           "--sessionexpiry",
                                         "3",          "--subtopic", subtopic,
                                         "--subqos",   "1",          "--script",
                                         script,       "-d",         "7"};
  auto restart = [&] {
    daemon_ = std::make_unique<QuorreldProcess>();
    ASSERT_NO_FATAL_FAILURE(start_daemon(args));
    ASSERT_TRUE(daemon_->process().wait_for_stderr(" received SUBACK", milliseconds(10000)))
        << daemon_->process().stderr_text();
  };
  ASSERT_NO_FATAL_FAILURE(restart());
  ASSERT_TRUE(sub_->publish(subtopic, "before", 1));
  ASSERT_EQ(script_saw("before\n", milliseconds(10000)), "before\n");

  daemon_->process().kill_now();
  ASSERT_TRUE(sub_->publish(subtopic, "within", 1));
  ASSERT_NO_FATAL_FAILURE(restart());
  ASSERT_EQ(script_saw("before\nwithin\n", milliseconds(10000)), "before\nwithin\n");

  daemon_->process().kill_now();
  ASSERT_TRUE(wait_until(
      [&] {
        return broker_->log().find("Expiring client " + id + " due to timeout") !=
               std::string::npos;
      },
      milliseconds(10000)))
      << broker_->log();
  ASSERT_TRUE(sub_->publish(subtopic, "after", 1));
  ASSERT_NO_FATAL_FAILURE(restart());
  EXPECT_EQ(script_saw("never", milliseconds(1500)), "before\nwithin\n");
}

class Mqtt5DeniedTest : public Mqtt5Test {
 protected:
  BrokerOptions broker_options() const override {
    BrokerOptions options;
    // Anonymous clients may subscribe to everything and publish nothing.
    options.acl = "topic read #";
    return options;
  }
};

// A publish the broker's access rules deny is refused in its PUBACK: counted
// in one ERR line with the reason, and never sent again. A subscription the
// broker refuses (mosquitto checks none at subscribe time: the proxy stands
// in) is refused with its reason.
TEST_F(Mqtt5DeniedTest, RefusedPublishesAndSubscriptionSayWhyAndAreNotSentAgain) {
  proxy_->rewrite_subacks(0x87, true);
  ASSERT_NO_FATAL_FAILURE(launch({"--qos", "1", "--subtopic", "denied/in"}));
  ASSERT_TRUE(wait_until([&] { return count_occurrences(broker_->log(), "(p5, c1, k10)") != 0; },
                         milliseconds(10000)))
      << daemon_->process().stderr_text() << broker_->log();
  for (int i = 0; i < 3; ++i) {
    const CommandResult r =
        run_command({kClient, "--unixsock", stream_path_, "-D", "denied" + std::to_string(i)});
    ASSERT_TRUE(r.finished && r.exit_code == 0) << r.err << daemon_->process().stderr_text();
  }
  ASSERT_TRUE(daemon_->process().wait_for_stderr(
      "ERR: the broker refused 3 messages: not authorized (0x87)\n", milliseconds(10000)))
      << daemon_->process().stderr_text();
  EXPECT_TRUE(nothing_more_arrives(milliseconds(2000)));
  EXPECT_EQ(count_occurrences(broker_->log(), "Denied PUBLISH"), 3u) << broker_->log();
  EXPECT_EQ(daemon_->process().count_in_stderr("the broker refused"), 1u)
      << daemon_->process().stderr_text();
  EXPECT_EQ(daemon_->process().count_in_stderr(
                "ERR: subscription to denied/in refused by the broker: not authorized (0x87)\n"),
            1u)
      << daemon_->process().stderr_text();
}

class Mqtt5LimitsTest : public Mqtt5Test {
 protected:
  BrokerOptions broker_options() const override {
    BrokerOptions options;
    options.max_packet_size = 2000;
    options.max_qos = 1;
    options.retain_available = false;
    return options;
  }
};

// The broker's limits from its CONNACK hold before anything is sent: a
// message over its Maximum Packet Size is refused at once, with the reason
// for the writer, and the messages after it flow; publishes and the
// subscription go at its Maximum QoS, said once each.
TEST_F(Mqtt5LimitsTest, BrokersMaximumPacketSizeAndQosHoldBeforeSending) {
  // mosquitto refuses a retained will (0x9A) and then one above its Maximum
  // QoS (0x9B) in the CONNACK: the will goes without retain and at a lower
  // QoS from the next attempts on.
  ASSERT_NO_FATAL_FAILURE(
      start_daemon({"--protocol", "5", "--qos", "2", "--subtopic", topic_ + "/in", "--subqos", "2",
                    "--willtopic", topic_ + "/will", "--willqos", "2", "--willretain", "1"},
                   proxy_->port()));
  const CommandResult big =
      run_command({kClient, "--unixsock", stream_path_, "-D", std::string(5000, 'b')});
  EXPECT_EQ(big.exit_code, 1);
  EXPECT_NE(big.err.find(": message of 5000 bytes larger than the broker's maximum packet size "
                         "of 2000 bytes\n"),
            std::string::npos)
      << big.err;
  EXPECT_EQ(daemon_->process().count_in_stderr(
                "ERR: message of 5000 bytes larger than the broker's maximum packet size of 2000 "
                "bytes, dropped\n"),
            1u)
      << daemon_->process().stderr_text();
  const CommandResult after =
      run_command({kClient, "--unixsock", stream_path_, "-D", "after the big one"});
  EXPECT_EQ(after.exit_code, 0) << after.err;
  EXPECT_EQ(next_message(milliseconds(10000)).payload, "after the big one");
  for (const char* line :
       {"WARNING: the broker takes QoS up to 1; publishing at QoS 1\n",
        "WARNING: the broker takes QoS up to 1; subscribing at QoS 1\n",
        "WARNING: the broker refused the will at QoS 2; sending it at QoS 1\n",
        "WARNING: the broker refused the will's retain flag; sending the will without retain\n"}) {
    EXPECT_EQ(daemon_->process().count_in_stderr(line), 1u) << daemon_->process().stderr_text();
  }
  EXPECT_EQ(daemon_->process().count_in_stderr("session lost"), 0u)
      << daemon_->process().stderr_text();
  EXPECT_NE(broker_->log().find("(d0, q1, r0, m"), std::string::npos) << broker_->log();
}

class Mqtt5PasswordTest : public Mqtt5Test {
 protected:
  BrokerOptions broker_options() const override {
    BrokerOptions options;
    options.username = "dev";
    options.password = "right";
    return options;
  }
  MqttClientOptions subscriber_options() const override {
    MqttClientOptions options;
    options.username = "dev";
    options.password = "right";
    return options;
  }
};

// A refused session names the broker's MQTT 5 reason (mosquitto answers a
// wrong password with "not authorized").
TEST_F(Mqtt5PasswordTest, RefusedSessionNamesTheReasonCode) {
  ASSERT_NO_FATAL_FAILURE(launch({"--username", "dev", "--password", "wrong"}));
  ASSERT_TRUE(daemon_->process().wait_for_stderr("ERR: connection refused: not authorized (0x87)\n",
                                                 milliseconds(10000)))
      << daemon_->process().stderr_text();
}

class Mqtt5AedesTest : public Mqtt5Test {
 protected:
  BrokerKind broker_kind() const override { return BrokerKind::kAedes; }
};

// A broker of MQTT 3.1.1 only is named at the first attempt, and the daemon
// goes on trying.
TEST_F(Mqtt5AedesTest, BrokerThatDoesNotSpeakMqtt5IsNamed) {
  ASSERT_NO_FATAL_FAILURE(launch({}));
  ASSERT_TRUE(daemon_->process().wait_for_stderr(
      "ERR: the broker at 127.0.0.1:" + std::to_string(proxy_->port()) +
          " does not accept MQTT 5 (try --protocol 3.1.1)\n",
      milliseconds(15000)))
      << daemon_->process().stderr_text();
  EXPECT_TRUE(daemon_->process().running());
}

}  // namespace
}  // namespace quorrel_test
