// Script command lines: shape, quoting that sh reads back verbatim, and the
// length limit of one shell argument.
#include <ev.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "server/script_command.h"
#include "server/script_runner.h"
#include "tests/server/server_test_util.h"
#include "tests/support/temp_dir.h"

namespace {

using quorrel_test::path_exists;
using quorrel_test::read_file;
using quorrel_test::TempDir;
using server_test::sleep_ms;
using server_test::wait_for_file;
using server_test::write_recording_script;

// A built command as a string, freed; checks the length reported against
// the NUL written.
std::string taken(char* command, size_t length) {
  if (command == nullptr) {
    ADD_FAILURE() << "no command was built";
    return "";
  }
  EXPECT_EQ(strlen(command), length);
  std::string text(command, length);
  free(command);
  return text;
}

std::string script_command(const char* script, const char* payload, size_t payload_len,
                           const char* sockpath) {
  size_t length = 0;
  char* command = build_script_command(script, payload, payload_len, sockpath, &length);
  return taken(command, length);
}

std::string onconnect_command(const char* onconnect) {
  size_t length = 0;
  char* command = build_onconnect_command(onconnect, &length);
  return taken(command, length);
}

std::string quoted(const char* text, size_t len) {
  std::string out(shell_quoted_length(text, len), '\0');
  EXPECT_EQ(shell_quote(&out[0], text, len), out.size());
  return out;
}

int run_command_text(const std::string& command) {
  return run_script_command(strdup(command.c_str()), command.size());
}

// A directory with a script that records its two arguments, and the script
// runner reaping on the default loop (which wait_for_file runs).
class RecordingScript : public ::testing::Test {
 protected:
  void SetUp() override {
    script_ = write_recording_script(dir_);
    ASSERT_FALSE(script_.empty());
    saved_debug_ = debug;
    script_runner_start(ev_default_loop(0));
  }
  void TearDown() override { debug = saved_debug_; }

  // Runs the command built for `payload` and returns what the script saw.
  void run_and_collect(const std::string& payload, const std::string& sockpath, std::string* arg1,
                       std::string* arg2) {
    remove_entry("arg1");
    remove_entry("arg2");
    const std::string command =
        script_command(script_.c_str(), payload.data(), payload.size(), sockpath.c_str());
    ASSERT_EQ(run_command_text(command), 0);
    ASSERT_TRUE(wait_for_file(dir_.file("arg1"), 5000)) << command;
    ASSERT_TRUE(read_file(dir_.file("arg1"), arg1));
    ASSERT_TRUE(read_file(dir_.file("arg2"), arg2));
  }
  void remove_entry(const char* name) { unlink(dir_.file(name).c_str()); }
  std::string pwned() const { return dir_.file("pwned"); }

  TempDir dir_{"qs"};
  std::string script_;
  int saved_debug_ = 0;
};

TEST(ScriptCommand, OrdinaryPayloadKeepsTheFamiliarShape) {
  EXPECT_EQ(script_command("/etc/s.sh", "on", 2, "/tmp/q.sock"), "sh /etc/s.sh 'on' '/tmp/q.sock'");
  EXPECT_EQ(script_command("/etc/s.sh", "", 0, "/tmp/q.sock"), "sh /etc/s.sh '' '/tmp/q.sock'");
}

TEST(ScriptCommand, EmbeddedSingleQuoteIsClosedEscapedAndReopened) {
  EXPECT_EQ(script_command("/etc/s.sh", "it's", 4, "/tmp/q.sock"),
            "sh /etc/s.sh 'it'\\''s' '/tmp/q.sock'");
  EXPECT_EQ(quoted("''", 2), "''\\'''\\'''");
  EXPECT_EQ(quoted("", 0), "''");
}

TEST(ScriptCommand, PayloadEndsAtFirstNulOrLength) {
  const char payload[] = {'a', 'b', '\0', 'c', 'd'};
  EXPECT_EQ(script_command("s", payload, sizeof payload, "p"), "sh s 'ab' 'p'");
  EXPECT_EQ(script_command("s", "abcdef", 3, "p"), "sh s 'abc' 'p'");
}

TEST(ScriptCommand, OnconnectCommandRunsTheScript) {
  EXPECT_EQ(onconnect_command("/etc/c.sh"), "sh /etc/c.sh");
}

TEST(ScriptCommand, LimitIsOneShellArgumentIncludingNul) {
  EXPECT_TRUE(script_command_fits(0));
  EXPECT_TRUE(script_command_fits(kMaxScriptCommand - 1));
  EXPECT_FALSE(script_command_fits(kMaxScriptCommand));
  EXPECT_FALSE(script_command_fits(10 * kMaxScriptCommand));
}

TEST_F(RecordingScript, OrdinaryPayloadReachesScriptAsFirstArgument) {
  std::string arg1, arg2;
  run_and_collect("on", "/tmp/q.sock", &arg1, &arg2);
  EXPECT_EQ(arg1, "on");
  EXPECT_EQ(arg2, "/tmp/q.sock");
}

TEST_F(RecordingScript, HostilePayloadsArriveVerbatimAndRunNothing) {
  const std::string p = pwned();
  const std::vector<std::string> payloads = {
      "it's",
      "'; touch " + p + "; echo '",
      "$(touch " + p + ")",
      "`touch " + p + "`",
      "a; touch " + p,
      "a\ntouch " + p + "\n",
      "'$(touch " + p + ")'",
      "\\'; touch " + p + " #",
      "a & touch " + p + " &",
      "| touch " + p,
      "'\"'\"'",
      "* ? [a-z] ~ $HOME ${PATH} \t tab",
      "\xff\xfe high bytes \x01\x7f",
      "'",
      "''",
  };
  for (const std::string& payload : payloads) {
    SCOPED_TRACE(payload);
    std::string arg1, arg2;
    run_and_collect(payload, "/tmp/q.sock", &arg1, &arg2);
    EXPECT_EQ(arg1, payload);
    EXPECT_EQ(arg2, "/tmp/q.sock");
  }
  // Anything a broken quoting let loose would have run before or beside the
  // script; give stragglers a moment.
  sleep_ms(200);
  EXPECT_FALSE(path_exists(p));
}

TEST_F(RecordingScript, SocketPathWithQuoteArrivesVerbatim) {
  std::string arg1, arg2;
  const std::string sockpath = "/tmp/it's $(touch " + pwned() + ").sock";
  run_and_collect("x", sockpath, &arg1, &arg2);
  EXPECT_EQ(arg1, "x");
  EXPECT_EQ(arg2, sockpath);
  EXPECT_FALSE(path_exists(pwned()));
}

TEST_F(RecordingScript, LongestAcceptedCommandRunsWhole) {
  const std::string empty_command = script_command(script_.c_str(), "", 0, "/s");
  const std::string payload(kMaxScriptCommand - 1 - empty_command.size(), 'z');
  const std::string command = script_command(script_.c_str(), payload.data(), payload.size(), "/s");
  ASSERT_EQ(command.size(), kMaxScriptCommand - 1);
  std::string arg1, arg2;
  run_and_collect(payload, "/s", &arg1, &arg2);
  EXPECT_EQ(arg1.size(), payload.size());
  EXPECT_EQ(arg1, payload);
}

TEST(ScriptCommand, CommandThatCannotRunIsNotBuilt) {
  const std::string payload(kMaxScriptCommand, '\'');  // each quote takes four bytes
  size_t length = 0;
  char* command = build_script_command("/etc/s.sh", payload.data(), payload.size(), "/s", &length);
  EXPECT_EQ(command, nullptr);
  free(command);
  // The length it would have had, for the refusal's ERR line.
  EXPECT_EQ(length, std::string("sh /etc/s.sh ").size() + 2 + 4 * payload.size() + 5);
  EXPECT_FALSE(script_command_fits(length));

  const std::string onconnect(kMaxScriptCommand, 'x');
  command = build_onconnect_command(onconnect.c_str(), &length);
  EXPECT_EQ(command, nullptr);
  free(command);
  EXPECT_EQ(length, onconnect.size() + 3);
}

TEST_F(RecordingScript, OverLongCommandIsRefusedWithErrLine) {
  const std::string ran = dir_.file("ran");
  std::string command = "touch " + ran + " #";
  command.append(kMaxScriptCommand - command.size(), 'x');
  ASSERT_EQ(command.size(), kMaxScriptCommand);
  debug = 3;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run_command_text(command), 1);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ERR: script command too long: 131072 bytes, not run"), std::string::npos)
      << err;
  sleep_ms(100);
  EXPECT_FALSE(path_exists(ran));
}

}  // namespace
