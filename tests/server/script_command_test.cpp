// Script command lines: shape, quoting that sh reads back verbatim, the
// length limit of one shell argument, and the ERR line of one not built.
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
std::string taken(script_command command) {
  if (command.status != kScriptCommandBuilt || command.text == nullptr) {
    ADD_FAILURE() << "no command was built, status " << command.status;
    free(command.text);
    return "";
  }
  EXPECT_EQ(strlen(command.text), command.length);
  std::string text(command.text, command.length);
  free(command.text);
  return text;
}

std::string script_command_text(const char* script, const char* payload, size_t payload_len,
                                const char* sockpath) {
  return taken(build_script_command(script, payload, payload_len, sockpath));
}

std::string onconnect_command(const char* onconnect) {
  return taken(build_onconnect_command(onconnect));
}

std::string quoted(const char* text, size_t len) {
  std::string out(shell_quoted_length(text, len), '\0');
  EXPECT_EQ(shell_quote(&out[0], text, len), out.size());
  return out;
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
    const script_command command =
        build_script_command(script_.c_str(), payload.data(), payload.size(), sockpath.c_str());
    ASSERT_EQ(command.status, kScriptCommandBuilt);
    const std::string text = command.text;
    run_script_command(command, "");
    ASSERT_TRUE(wait_for_file(dir_.file("arg1"), 5000)) << text;
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
  EXPECT_EQ(script_command_text("/etc/s.sh", "on", 2, "/tmp/q.sock"),
            "sh /etc/s.sh 'on' '/tmp/q.sock'");
  EXPECT_EQ(script_command_text("/etc/s.sh", "", 0, "/tmp/q.sock"),
            "sh /etc/s.sh '' '/tmp/q.sock'");
}

TEST(ScriptCommand, EmbeddedSingleQuoteIsClosedEscapedAndReopened) {
  EXPECT_EQ(script_command_text("/etc/s.sh", "it's", 4, "/tmp/q.sock"),
            "sh /etc/s.sh 'it'\\''s' '/tmp/q.sock'");
  EXPECT_EQ(quoted("''", 2), "''\\'''\\'''");
  EXPECT_EQ(quoted("", 0), "''");
}

TEST(ScriptCommand, PayloadEndsAtFirstNulOrLength) {
  const char payload[] = {'a', 'b', '\0', 'c', 'd'};
  EXPECT_EQ(script_command_text("s", payload, sizeof payload, "p"), "sh s 'ab' 'p'");
  EXPECT_EQ(script_command_text("s", "abcdef", 3, "p"), "sh s 'abc' 'p'");
}

TEST(ScriptCommand, OnconnectCommandRunsTheScript) {
  EXPECT_EQ(onconnect_command("/etc/c.sh"), "sh /etc/c.sh");
}

TEST(ScriptCommand, LimitIsOneShellArgumentIncludingNul) {
  // "sh " and the script: 3 characters more than the script's name.
  const std::string longest(kMaxScriptCommand - 1 - 3, 'x');
  EXPECT_EQ(onconnect_command(longest.c_str()).size(), kMaxScriptCommand - 1);
  const std::string one_more(kMaxScriptCommand - 3, 'x');
  const script_command refused = build_onconnect_command(one_more.c_str());
  EXPECT_EQ(refused.status, kScriptCommandTooLong);
  EXPECT_EQ(refused.length, kMaxScriptCommand);
  EXPECT_EQ(refused.text, nullptr);
  free(refused.text);
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
  const std::string empty_command = script_command_text(script_.c_str(), "", 0, "/s");
  const std::string payload(kMaxScriptCommand - 1 - empty_command.size(), 'z');
  const std::string command =
      script_command_text(script_.c_str(), payload.data(), payload.size(), "/s");
  ASSERT_EQ(command.size(), kMaxScriptCommand - 1);
  std::string arg1, arg2;
  run_and_collect(payload, "/s", &arg1, &arg2);
  EXPECT_EQ(arg1.size(), payload.size());
  EXPECT_EQ(arg1, payload);
}

TEST(ScriptCommand, CommandThatCannotRunIsNotBuilt) {
  const std::string payload(kMaxScriptCommand, '\'');  // each quote takes four bytes
  const script_command command =
      build_script_command("/etc/s.sh", payload.data(), payload.size(), "/s");
  EXPECT_EQ(command.status, kScriptCommandTooLong);
  EXPECT_EQ(command.text, nullptr);
  free(command.text);
  // The length it would have had, for the refusal's ERR line.
  EXPECT_EQ(command.length, std::string("sh /etc/s.sh ").size() + 2 + 4 * payload.size() + 5);

  const std::string onconnect(kMaxScriptCommand, 'x');
  const script_command on_connect = build_onconnect_command(onconnect.c_str());
  EXPECT_EQ(on_connect.status, kScriptCommandTooLong);
  EXPECT_EQ(on_connect.text, nullptr);
  free(on_connect.text);
  EXPECT_EQ(on_connect.length, onconnect.size() + 3);
}

// Running a command that was not built writes one ERR line with the reason.
TEST(ScriptCommand, CommandNotBuiltIsOneErrLineSayingWhy) {
  const int saved_debug = debug;
  debug = 3;
  const std::string onconnect(kMaxScriptCommand - 3, 'x');
  ::testing::internal::CaptureStderr();
  run_script_command(build_onconnect_command(onconnect.c_str()), "onconnect ");
  const std::string too_long = ::testing::internal::GetCapturedStderr();
  ::testing::internal::CaptureStderr();
  run_script_command({kScriptCommandOutOfMemory, nullptr, 20}, "onconnect ");
  run_script_command({kScriptCommandOutOfMemory, nullptr, 20}, "");
  const std::string no_memory = ::testing::internal::GetCapturedStderr();
  debug = saved_debug;
  EXPECT_NE(too_long.find("ERR: script command too long: 131072 bytes, not run\n"),
            std::string::npos)
      << too_long;
  EXPECT_EQ(too_long.find('\n'), too_long.size() - 1) << too_long;
  const size_t first = no_memory.find("ERR: out of memory, onconnect script not run\n");
  EXPECT_NE(first, std::string::npos) << no_memory;
  EXPECT_NE(no_memory.find("ERR: out of memory, script not run\n", first), std::string::npos)
      << no_memory;
}

}  // namespace
