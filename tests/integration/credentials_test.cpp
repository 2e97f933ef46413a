// A broker that accepts only a user from its password file.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/local_socket.h"
#include "tests/support/relay_fixture.h"

namespace quorrel_test {
namespace {

const char kUser[] = "relayuser";
const char kPassword[] = "Corr3ct-h0rse-Pw";
const char kWrongPassword[] = "Wr0ng-b4ttery-Pw";

class PasswordBrokerFixture : public RelayFixture {
 protected:
  BrokerOptions broker_options() const override {
    BrokerOptions options;
    options.username = kUser;
    options.password = kPassword;
    return options;
  }
  MqttClientOptions subscriber_options() const override {
    MqttClientOptions options;
    options.username = kUser;
    options.password = kPassword;
    return options;
  }
};

TEST_F(PasswordBrokerFixture, RightPasswordRelaysAndIsNeverLogged) {
  ASSERT_NO_FATAL_FAILURE(start_daemon({"--username", kUser, "--password", kPassword, "-d", "7"}));
  ASSERT_TRUE(send_datagram(dgram_path_, "authenticated datagram"));
  EXPECT_EQ(next_message().payload, "authenticated datagram");
  ASSERT_TRUE(send_stream(stream_path_, "authenticated stream"));
  EXPECT_EQ(next_message().payload, "authenticated stream");

  const std::string output = daemon_->process().stderr_text();
  EXPECT_NE(output.find("DEBUG: "), std::string::npos) << "-d 7 writes DEBUG lines";
  EXPECT_EQ(output.find(kPassword), std::string::npos) << output;
}

TEST_F(PasswordBrokerFixture, WrongPasswordRelaysNothingAndLogsTheRefusal) {
  ASSERT_TRUE(
      daemon_->start(unique_daemon_name(test_tag()),
                     daemon_args({"--username", kUser, "--password", kWrongPassword, "-d", "7"})));
  ASSERT_TRUE(daemon_->process().wait_for_stderr("ERR: connection refused: ",
                                                 std::chrono::milliseconds(10000)))
      << daemon_->process().stderr_text();

  // The transport connects, so the sockets open; but whatever is sent, none
  // of it may reach the broker.
  ASSERT_TRUE(
      daemon_->wait_for_sockets(stream_path_, dgram_path_, std::chrono::milliseconds(5000)));
  EXPECT_FALSE(daemon_->wait_until_relaying(*sub_, dgram_path_, std::chrono::milliseconds(2500)));
  send_stream(stream_path_, "must not arrive");
  EXPECT_TRUE(nothing_more_arrives(std::chrono::milliseconds(500)));

  const std::string output = daemon_->process().stderr_text();
  EXPECT_NE(output.find("not authori"), std::string::npos) << "the ERR line names the refusal:\n"
                                                           << output;
  EXPECT_EQ(output.find(kWrongPassword), std::string::npos) << output;
  EXPECT_TRUE(daemon_->process().running()) << "the daemon keeps trying";
}

}  // namespace
}  // namespace quorrel_test
