// Scripts run by the daemon: per inbound message and per connect.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/local_socket.h"
#include "tests/support/relay_fixture.h"

namespace quorrel_test {
namespace {

using ScriptTest = RelayFixture;

// Number of lines in `path` (0 when it does not exist).
size_t line_count(const std::string& path) {
  std::string content;
  if (!read_file(path, &content)) return 0;
  size_t n = 0;
  for (char c : content) n += c == '\n';
  return n;
}

TEST_F(ScriptTest, SubtopicMessageRunsTheScriptWithPayloadAndSocketPath) {
  const std::string d = dir_->path();
  const std::string script = dir_->file("on_message.sh");
  // The arguments land in files that appear atomically, $1 last.
  ASSERT_TRUE(write_file(script,
                         "#!/bin/sh\n"
                         "echo run >> '" +
                             d +
                             "/runs'\n"
                             "printf '%s' \"$2\" > '" +
                             d +
                             "/arg2.tmp'\n"
                             "printf '%s' \"$1\" > '" +
                             d +
                             "/arg1.tmp'\n"
                             "mv '" +
                             d + "/arg2.tmp' '" + d +
                             "/arg2'\n"
                             "mv '" +
                             d + "/arg1.tmp' '" + d + "/arg1'\n",
                         0755));
  const std::string subtopic = topic_ + "/in";
  ASSERT_NO_FATAL_FAILURE(start_daemon({"--subtopic", subtopic, "--script", script}));

  const std::string pwned = dir_->file("pwned");
  const std::vector<std::string> payloads = {
      "on",
      "it's quoted",
      "'; touch " + pwned + "; echo '",
      "$(touch " + pwned + ")",
      "`touch " + pwned + "`",
      "a; touch " + pwned,
      "first line\ntouch " + pwned,
      "& touch " + pwned + " &",
      "| touch " + pwned,
      "\\' \" $HOME ${PATH} *",
  };

  // An empty message runs nothing; it goes first so that a run for it would
  // be counted below.
  ASSERT_TRUE(sub_->publish(subtopic, "", 1));
  for (const std::string& payload : payloads) {
    SCOPED_TRACE("payload: " + payload);
    ASSERT_TRUE(sub_->publish(subtopic, payload, 1));
    ASSERT_TRUE(wait_until([&] { return path_exists(dir_->file("arg1")); },
                           std::chrono::milliseconds(5000)))
        << "the script did not run; quorreld output:\n"
        << daemon_->process().stderr_text();
    std::string arg1;
    std::string arg2;
    ASSERT_TRUE(read_file(dir_->file("arg1"), &arg1));
    ASSERT_TRUE(read_file(dir_->file("arg2"), &arg2));
    EXPECT_EQ(arg1, payload);
    EXPECT_EQ(arg2, stream_path_);
    remove_tree(dir_->file("arg1"));
    remove_tree(dir_->file("arg2"));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(path_exists(pwned)) << "a payload ran a command of its own";
  EXPECT_EQ(line_count(dir_->file("runs")), payloads.size());
  // Messages on the subscription are not relayed to the publish topic.
  EXPECT_TRUE(nothing_more_arrives(std::chrono::milliseconds(200)));
}

TEST_F(ScriptTest, PayloadTooLongForACommandRunsNothingAndSaysSo) {
  const std::string script = dir_->file("on_message.sh");
  ASSERT_TRUE(write_file(script, "#!/bin/sh\necho run >> '" + dir_->file("runs") + "'\n", 0755));
  const std::string subtopic = topic_ + "/in";
  ASSERT_NO_FATAL_FAILURE(start_daemon({"--subtopic", subtopic, "--script", script}));

  // 1 MiB of quotes: a command of over 4 MiB, far past what sh -c takes.
  ASSERT_TRUE(sub_->publish(subtopic, std::string(1 << 20, '\''), 1));
  ASSERT_TRUE(daemon_->process().wait_for_stderr("ERR: script command too long: ",
                                                 std::chrono::milliseconds(5000)))
      << daemon_->process().stderr_text();
  // The daemon goes on: an ordinary message still runs the script.
  ASSERT_TRUE(sub_->publish(subtopic, "on", 1));
  ASSERT_TRUE(wait_until([&] { return line_count(dir_->file("runs")) == 1; },
                         std::chrono::milliseconds(5000)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(line_count(dir_->file("runs")), 1u);
}

TEST_F(ScriptTest, OnConnectScriptRunsAfterEveryConnect) {
  const std::string script = dir_->file("on_connect.sh");
  const std::string connects = dir_->file("connects");
  ASSERT_TRUE(write_file(script, "#!/bin/sh\necho connected >> '" + connects + "'\n", 0755));
  ASSERT_NO_FATAL_FAILURE(start_daemon({"--onconnect", script}));
  ASSERT_TRUE(
      wait_until([&] { return line_count(connects) >= 1; }, std::chrono::milliseconds(5000)));

  ASSERT_TRUE(broker_->restart()) << broker_->error();
  EXPECT_TRUE(
      wait_until([&] { return line_count(connects) >= 2; }, std::chrono::milliseconds(20000)))
      << "quorreld output:\n"
      << daemon_->process().stderr_text();
  ASSERT_TRUE(daemon_->wait_until_relaying(*sub_, dgram_path_, std::chrono::milliseconds(15000)));
  EXPECT_EQ(line_count(connects), 2u);
}

}  // namespace
}  // namespace quorrel_test
