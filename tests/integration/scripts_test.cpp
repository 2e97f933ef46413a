// Scripts run by the daemon: per inbound message and per connect.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/local_socket.h"
#include "tests/support/relay_fixture.h"

namespace quorrel_test {
namespace {

using ScriptTest = RelayFixture;

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

TEST_F(ScriptTest, ScriptsInheritNoSocketOfTheDaemon) {
  // Each script lists what its descriptors above 2 refer to into `name`.
  auto lister = [&](const std::string& name) {
    const std::string tmp = dir_->file(name + ".tmp");
    return ": > '" + tmp +
           "'\nfor f in /proc/$$/fd/*; do [ \"${f##*/}\" -gt 2 ] && readlink \"$f\" >> '" + tmp +
           "'; done\nmv '" + tmp + "' '" + dir_->file(name) + "'\n";
  };
  const std::string script = dir_->file("on_message.sh");
  const std::string onconnect = dir_->file("on_connect.sh");
  ASSERT_TRUE(write_file(script, lister("message_fds")));
  ASSERT_TRUE(write_file(onconnect, lister("connect_fds")));
  const std::string subtopic = topic_ + "/in";
  ASSERT_NO_FATAL_FAILURE(
      start_daemon({"--subtopic", subtopic, "--script", script, "--onconnect", onconnect}));
  // Sent again until a script has run: the daemon's subscription, made at
  // its connect, may not be in place yet when the first one is published
  // (slowly, under an emulator).
  const bool ran = wait_until(
      [&] {
        if (path_exists(dir_->file("message_fds"))) return true;
        sub_->publish(subtopic, "on", 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return path_exists(dir_->file("message_fds"));
      },
      std::chrono::milliseconds(15000));
  ASSERT_TRUE(ran) << daemon_->process().stderr_text();
  for (const char* name : {"message_fds", "connect_fds"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(
        wait_until([&] { return path_exists(dir_->file(name)); }, std::chrono::milliseconds(15000)))
        << daemon_->process().stderr_text();
    std::string fds;
    ASSERT_TRUE(read_file(dir_->file(name), &fds));
    // The shell keeps its script file open; no socket, pipe or event
    // descriptor of the daemon may be there.
    for (const char* kind : {"socket:", "pipe:", "anon_inode:"}) {
      EXPECT_EQ(fds.find(kind), std::string::npos) << fds;
    }
  }
}

TEST_F(ScriptTest, ScriptsStartWithDefaultSignals) {
  const std::string script = dir_->file("on_connect.sh");
  const std::string out = dir_->file("signals");
  // A reader that goes away ends `yes` by SIGPIPE, silently, as in any shell.
  // grep reads its own mask, which it has from the script: the shell's own
  // ($$) is all blocked for a moment around each command it starts.
  ASSERT_TRUE(write_file(script, "grep -E '^Sig(Ign|Blk)' /proc/self/status > '" + out +
                                     ".tmp'\nyes 2>> '" + out + ".tmp' | head -n1 > /dev/null\n" +
                                     "mv '" + out + ".tmp' '" + out + "'\n"));
  ASSERT_NO_FATAL_FAILURE(start_daemon({"--onconnect", script}));
  ASSERT_TRUE(wait_until([&] { return path_exists(out); }, std::chrono::milliseconds(5000)))
      << daemon_->process().stderr_text();
  std::string signals;
  ASSERT_TRUE(read_file(out, &signals));
  EXPECT_EQ(signals, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST_F(ScriptTest, FloodRunsAtMost16ScriptsAtOnceAndQueuesTheNext256) {
  const std::string runs = dir_->file("runs");
  const std::string gate = dir_->file("gate");
  const std::string script = dir_->file("on_message.sh");
  // Each run marks its start and end; it waits for the gate to open, 30 s
  // at most.
  ASSERT_TRUE(write_file(gate, ""));
  ASSERT_TRUE(write_file(script, "echo s >> '" + runs + "'\ni=0\nwhile [ -e '" + gate +
                                     "' ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done\n" +
                                     "echo e >> '" + runs + "'\n"));
  const std::string subtopic = topic_ + "/in";
  ASSERT_NO_FATAL_FAILURE(start_daemon({"--subtopic", subtopic, "--script", script, "-d", "7"}));
  const unsigned sent = 300;
  const unsigned admitted = 16 + 256;
  for (unsigned i = 0; i < sent; ++i)
    ASSERT_TRUE(sub_->publish(subtopic, "m" + std::to_string(i), 1));
  // Every message has reached the daemon's message callback.
  ASSERT_TRUE(daemon_->process().wait_for_stderr(subtopic + " m" + std::to_string(sent - 1) + "\n",
                                                 std::chrono::milliseconds(15000)));
  auto count = [&](char mark) {
    std::string content;
    read_file(runs, &content);
    size_t n = 0;
    for (size_t i = 0; i < content.size(); i += 2) n += content[i] == mark;
    return n;
  };
  wait_until([&] { return count('s') >= 16; }, std::chrono::milliseconds(10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(count('s'), 16u);
  EXPECT_NE(daemon_->process().stderr_text().find("ERR: script queue full, script not run"),
            std::string::npos);

  remove_tree(gate);
  wait_until([&] { return count('e') >= admitted; }, std::chrono::milliseconds(30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(count('s'), admitted);
  EXPECT_EQ(count('e'), admitted);
  std::string order;
  ASSERT_TRUE(read_file(runs, &order));
  size_t running = 0;
  size_t most = 0;
  for (size_t i = 0; i < order.size(); i += 2) {
    running = order[i] == 's' ? running + 1 : running - 1;
    most = std::max(most, running);
  }
  EXPECT_EQ(most, 16u);
  // Every child has been reaped: no zombie is left.
  const pid_t pid = daemon_->process().pid();
  EXPECT_TRUE(
      wait_until([&] { return child_states(pid).empty(); }, std::chrono::milliseconds(5000)))
      << child_states(pid);
}

// A flood that stops at once, while every slot is taken and the queue is
// full, still ends with one line giving the number of scripts not run: the
// lines during the flood are thinned out, and none follows it.
TEST_F(ScriptTest, FloodThatStopsAtOnceEndsWithTheTotalNotRun) {
  const std::string runs = dir_->file("runs");
  const std::string gate = dir_->file("gate");
  const std::string script = dir_->file("on_message.sh");
  // Each run counts itself, then waits for the gate to open, 30 s at most.
  ASSERT_TRUE(write_file(gate, ""));
  ASSERT_TRUE(write_file(script, "echo run >> '" + runs + "'\ni=0\nwhile [ -e '" + gate +
                                     "' ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done\n"));
  const std::string subtopic = topic_ + "/in";
  ASSERT_NO_FATAL_FAILURE(start_daemon({"--subtopic", subtopic, "--script", script}));
  const unsigned sent = 2000;
  for (unsigned i = 0; i < sent; ++i) ASSERT_TRUE(sub_->publish(subtopic, "m", 1));

  const std::string ended = "ERR: script queue overflow ended, scripts not run: ";
  ASSERT_TRUE(daemon_->process().wait_for_stderr(ended, std::chrono::milliseconds(15000)))
      << daemon_->process().stderr_text();
  remove_tree(gate);
  // Every end line counts: a daemon that paused for a second mid-flood (as
  // under an emulator) ended one overflow and began another, whose line
  // may still be to come. The queued scripts start as running ones end.
  // A line is counted once it is whole: its number may still be on the way.
  std::string err;
  unsigned not_run = 0;
  wait_until(
      [&] {
        err = daemon_->process().stderr_text();
        not_run = 0;
        for (size_t at = err.find(ended); at != std::string::npos; at = err.find(ended, at + 1)) {
          const size_t number = at + ended.size();
          const size_t end = err.find('\n', number);
          if (end == std::string::npos) return false;
          not_run +=
              static_cast<unsigned>(strtoul(err.substr(number, end - number).c_str(), nullptr, 10));
        }
        return not_run + line_count(runs) >= sent;
      },
      std::chrono::milliseconds(20000));
  const pid_t pid = daemon_->process().pid();
  EXPECT_TRUE(
      wait_until([&] { return child_states(pid).empty(); }, std::chrono::milliseconds(15000)))
      << child_states(pid);
  EXPECT_EQ(not_run + line_count(runs), sent) << err;
  EXPECT_EQ(line_count(runs), 16u + 256u);
}

}  // namespace
}  // namespace quorrel_test
