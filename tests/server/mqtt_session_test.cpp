// MQTT session callbacks: connection state, scripts started from callbacks,
// key password, dropping local data while the session is down, refused
// publishes and subscriptions, and the longest payload one publish carries.
#include "server/mqtt_session.h"

#include <ev.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "common/log.h"
#include "server/publish_count.h"
#include "server/script_runner.h"
#include "server/settings.h"
#include "tests/server/server_test_util.h"
#include "tests/support/temp_dir.h"

namespace {

using quorrel_test::path_exists;
using quorrel_test::read_file;
using quorrel_test::TempDir;
using quorrel_test::write_file;
using server_test::sleep_ms;
using server_test::wait_for_file;
using server_test::write_recording_script;

// Restores the settings and `debug` after each case, gives each a session, and offers
// a script that records its first two arguments and one that marks its run;
// the script runner reaps on the default loop (which wait_for_file runs).
class SessionCallbacks : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_settings_ = args_info;
    saved_debug_ = debug;
    record_ = write_recording_script(dir_);
    ASSERT_FALSE(record_.empty());
    mark_ = dir_.file("mark.sh");
    ASSERT_TRUE(write_file(mark_, "touch " + dir_.file("marked") + "\n", 0755));
    script_runner_start(ev_default_loop(0));
  }
  void TearDown() override {
    args_info = saved_settings_;
    debug = saved_debug_;
  }
  static void set(uint32_t* given, char** arg, const std::string& value) {
    *given = 1;
    *arg = const_cast<char*>(value.c_str());
  }
  // `payload` must outlive the returned record.
  static mosquitto_message message(const char* topic, const std::string& payload) {
    mosquitto_message msg;
    memset(&msg, 0, sizeof msg);
    msg.topic = const_cast<char*>(topic);
    msg.payload = const_cast<char*>(payload.c_str());
    msg.payloadlen = static_cast<int>(payload.size());
    return msg;
  }

  TempDir dir_{"qm"};
  std::string record_;
  std::string mark_;
  std::string sock_ = "/tmp/q.sock";
  mqtt_session session_;

 private:
  args_info_t saved_settings_;
  int saved_debug_ = 0;
};

TEST_F(SessionCallbacks, MessageRunsScriptWithPayloadAndSocketPath) {
  set(&args_info.script_given, &args_info.script_arg, record_);
  set(&args_info.unixsock_given, &args_info.unixsock_arg, sock_);
  const std::string payload = "on";
  const mosquitto_message msg = message("cmd/in", payload);
  my_message_callback(nullptr, nullptr, &msg);
  ASSERT_TRUE(wait_for_file(dir_.file("arg1"), 5000));
  std::string arg1, arg2;
  ASSERT_TRUE(read_file(dir_.file("arg1"), &arg1));
  ASSERT_TRUE(read_file(dir_.file("arg2"), &arg2));
  EXPECT_EQ(arg1, "on");
  EXPECT_EQ(arg2, sock_);
}

TEST_F(SessionCallbacks, HostileMessageReachesScriptVerbatim) {
  set(&args_info.script_given, &args_info.script_arg, record_);
  set(&args_info.unixsock_given, &args_info.unixsock_arg, sock_);
  const std::string payload = "x'; touch " + dir_.file("pwned") + "; echo '$(id)`id`";
  const mosquitto_message msg = message("cmd/in", payload);
  my_message_callback(nullptr, nullptr, &msg);
  ASSERT_TRUE(wait_for_file(dir_.file("arg1"), 5000));
  std::string arg1;
  ASSERT_TRUE(read_file(dir_.file("arg1"), &arg1));
  EXPECT_EQ(arg1, payload);
  EXPECT_FALSE(path_exists(dir_.file("pwned")));
}

TEST_F(SessionCallbacks, EmptyMessageOrNoScriptRunsNothingAndLogsNothing) {
  set(&args_info.script_given, &args_info.script_arg, mark_);
  debug = 7;
  const std::string nothing;
  const mosquitto_message empty = message("cmd/in", nothing);
  ::testing::internal::CaptureStderr();
  my_message_callback(nullptr, nullptr, &empty);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

  args_info.script_given = 0;
  const std::string hello = "hello";
  const mosquitto_message text = message("cmd/in", hello);
  ::testing::internal::CaptureStderr();
  my_message_callback(nullptr, nullptr, &text);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("DEBUG: cmd/in hello\n"), std::string::npos) << err;
  sleep_ms(200);
  EXPECT_FALSE(path_exists(dir_.file("marked")));
}

TEST_F(SessionCallbacks, AcceptedConnectMarksSessionUpAndRunsOnconnect) {
  session_.isconnect.store(0);
  set(&args_info.onconnect_given, &args_info.onconnect_arg, mark_);
  args_info.subtopic_given = 0;
  my_connect_callback(nullptr, &session_, 0);
  EXPECT_EQ(session_.isconnect.load(), 1);
  EXPECT_TRUE(wait_for_file(dir_.file("marked"), 5000));

  my_disconnect_callback(nullptr, &session_, 7);
  EXPECT_EQ(session_.isconnect.load(), 0);
}

TEST_F(SessionCallbacks, RefusedConnectIsNotAConnection) {
  session_.isconnect.store(0);
  set(&args_info.onconnect_given, &args_info.onconnect_arg, mark_);
  my_connect_callback(nullptr, &session_, 5);
  EXPECT_EQ(session_.isconnect.load(), 0);
  sleep_ms(200);
  EXPECT_FALSE(path_exists(dir_.file("marked")));
}

// A subscription that the library will not send leaves the daemon deaf on
// its subtopic for good: one ERR line says so, with the library's reason.
TEST_F(SessionCallbacks, SubscriptionTheLibraryRefusesIsAnErrLineWithTopicAndReason) {
  mosquitto_lib_init();
  struct mosquitto* mosq = mosquitto_new("qtest-unconnected", true, &session_);
  ASSERT_NE(mosq, nullptr);
  const std::string subtopic = "cmd/in";
  set(&args_info.subtopic_given, &args_info.subtopic_arg, subtopic);
  args_info.onconnect_given = 0;
  debug = 4;
  ::testing::internal::CaptureStderr();
  my_connect_callback(mosq, &session_, 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ERR: subscribe to cmd/in failed: " +
                     std::string(mosquitto_strerror(MOSQ_ERR_NO_CONN)) + "(" +
                     std::to_string(MOSQ_ERR_NO_CONN) + ")\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  mosquitto_destroy(mosq);
  mosquitto_lib_cleanup();
}

TEST_F(SessionCallbacks, PublishIsDroppedWhileSessionIsDown) {
  mosquitto_lib_init();
  struct mosquitto* mosq = mosquitto_new("qtest-unconnected", true, &session_);
  ASSERT_NE(mosq, nullptr);
  const std::string topic = "t";
  set(&args_info.topic_given, &args_info.topic_arg, topic);
  debug = 7;

  session_.isconnect.store(0);
  ::testing::internal::CaptureStderr();
  publish_msg(mosq, "abc", 3);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

  // Marked up but never connected: the library is asked and says so.
  session_.isconnect.store(1);
  ::testing::internal::CaptureStderr();
  publish_msg(mosq, "abc", 3);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("DEBUG: Publish return: " + std::to_string(MOSQ_ERR_NO_CONN) + "\n"),
            std::string::npos)
      << err;
  // The loss is an error worth seeing at the default level, but a refusal
  // that repeats for every message is thinned out (log_throttle_test.cpp
  // tests the interval and the count of lines held back).
  const std::string refused = std::string("ERR: publish failed: ") +
                              mosquitto_strerror(MOSQ_ERR_NO_CONN) + "(" +
                              std::to_string(MOSQ_ERR_NO_CONN) + ")";
  EXPECT_NE(err.find(refused + "\n"), std::string::npos) << err;
  debug = 4;
  ::testing::internal::CaptureStderr();
  publish_msg(mosq, "abc", 3);
  publish_msg(mosq, "abc", 3);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  mosquitto_destroy(mosq);
  mosquitto_lib_cleanup();
}

// The PUBLISH packet holds the topic with its 2-byte length and, above QoS
// 0, a 2-byte packet id, all within MQTT's largest remaining length.
TEST(PublishPayloadLimit, IsWhatThePacketLeavesForThePayload) {
  struct Case {
    size_t topic_len;
    int qos;
    bool mqtt5;  // nine more bytes: the properties' length, a topic alias, an expiry
    uint32_t limit;
  };
  const Case cases[] = {
      {0, 0, false, 268435453u},  {9, 0, false, 268435444u},     {9, 1, false, 268435442u},
      {9, 2, false, 268435442u},  {65535, 1, false, 268369916u}, {268435452u, 0, false, 1u},
      {268435453u, 0, false, 0u}, {268435451u, 1, false, 0u},    {4294967295u, 2, false, 0u},
      {9, 1, true, 268435433u},   {268435444u, 0, true, 0u},     {268435443u, 0, true, 1u},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(publish_payload_limit(c.topic_len, c.qos, c.mqtt5), c.limit)
        << "topic of " << c.topic_len << " bytes at QoS " << c.qos << (c.mqtt5 ? ", MQTT 5" : "");
  }
}

TEST_F(SessionCallbacks, KeyPasswordIsCopiedWithoutNul) {
  args_info.keypassword_given = 0;
  char buf[16];
  EXPECT_EQ(my_pw_callback(buf, sizeof buf, 0, nullptr), 0);

  const std::string password = "secret";
  set(&args_info.keypassword_given, &args_info.keypassword_arg, password);
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(my_pw_callback(buf, sizeof buf, 0, nullptr), 6);
  EXPECT_EQ(std::string(buf, 7), "secretx");

  // A password exactly as long as the buffer fits.
  char exact[6];
  EXPECT_EQ(my_pw_callback(exact, sizeof exact, 1, nullptr), 6);
  EXPECT_EQ(std::string(exact, 6), "secret");
}

TEST_F(SessionCallbacks, KeyPasswordLongerThanBufferEndsWithStatus255) {
  const std::string password = "secret!";
  set(&args_info.keypassword_given, &args_info.keypassword_arg, password);
  debug = 3;
  char buf[6];
  EXPECT_EXIT(my_pw_callback(buf, sizeof buf, 0, nullptr), ::testing::ExitedWithCode(255),
              "ERR: key password too long: 7 6");
}

}  // namespace
