// Start-up: single instance, waiting for the broker, socket files.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/local_socket.h"
#include "tests/support/log_line.h"
#include "tests/support/relay_fixture.h"

namespace quorrel_test {
namespace {

class StartupTest : public RelayFixture {
 protected:
  // Sends `label` through each socket and expects it at the broker.
  void expect_both_sockets_relay(const std::string& label) {
    ASSERT_TRUE(send_stream(stream_path_, label + " stream"));
    EXPECT_EQ(next_message().payload, label + " stream");
    ASSERT_TRUE(send_datagram(dgram_path_, label + " datagram"));
    EXPECT_EQ(next_message().payload, label + " datagram");
  }
};
using std::chrono::duration_cast;

// Pids of the processes one of whose arguments is exactly `name`: argv[0]
// natively, a later one when an emulator runs the program (its command line
// then begins with the emulator's own path).
std::vector<pid_t> pids_named(const std::string& name) {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  while (struct dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream cmdline("/proc/" + std::string(entry->d_name) + "/cmdline", std::ios::binary);
    std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    std::istringstream fields(args);
    for (std::string arg; std::getline(fields, arg, '\0');) {
      if (arg == name) {
        pids.push_back(pid);
        break;
      }
    }
  }
  closedir(proc);
  return pids;
}

// Kills, by pid, the detached daemon that a test started under `name`.
struct DetachedDaemonKiller {
  std::string name;
  ~DetachedDaemonKiller() {
    for (pid_t pid : pids_named(name)) kill(pid, SIGKILL);
  }
};

TEST_F(StartupTest, DetachedDaemonKeepsItsLockAndRelays) {
  const std::string name = unique_daemon_name(test_tag());
  DetachedDaemonKiller killer{name};
  ASSERT_TRUE(daemon_->start(name, daemon_args({"--daemon"})));
  // The process we started returns at once; its detached child goes on.
  ASSERT_TRUE(daemon_->process().wait_exit(std::chrono::milliseconds(5000)));
  EXPECT_EQ(daemon_->process().exit_code(), 0);
  EXPECT_EQ(daemon_->process().stderr_text(), "");
  ASSERT_TRUE(
      daemon_->wait_for_sockets(stream_path_, dgram_path_, std::chrono::milliseconds(10000)));
  // Probe until the session is up (the started process is gone, so the
  // fixture's own wait, which watches it, does not apply).
  sub_->ignore_payload_prefix(kProbeMarker);
  const size_t before = sub_->ignored_count();
  ASSERT_TRUE(wait_until(
      [&] {
        send_datagram(dgram_path_, std::string(kProbeMarker) + "detached");
        return wait_until([&] { return sub_->ignored_count() > before; },
                          std::chrono::milliseconds(250));
      },
      std::chrono::milliseconds(10000)));
  ASSERT_TRUE(send_stream(stream_path_, "from the detached daemon"));
  EXPECT_EQ(next_message().payload, "from the detached daemon");
  ASSERT_EQ(pids_named(name).size(), 1u);

  // The lock went with the detached process: a second instance gives up.
  QuorreldProcess second;
  ASSERT_TRUE(second.start(name, daemon_args()));
  ASSERT_TRUE(second.process().wait_exit(std::chrono::milliseconds(5000)));
  EXPECT_EQ(second.process().exit_code(), 1);
}

TEST_F(StartupTest, SecondInstanceWithTheSameNameWarnsAndExitsWithStatusOne) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  QuorreldProcess second;
  ASSERT_TRUE(second.start(daemon_->name(), daemon_args()));
  ASSERT_TRUE(second.process().wait_exit(std::chrono::milliseconds(5000)));
  EXPECT_EQ(second.process().exit_code(), 1);
  second.process().wait_output_closed(std::chrono::milliseconds(2000));
  std::vector<LogLine> warnings = log_lines_starting(second.process(), "WARNING: ");
  ASSERT_EQ(warnings.size(), 1u) << second.process().stderr_text();
  EXPECT_EQ(warnings[0].text, "WARNING: another " + daemon_->name() + " running");

  // The first instance is undisturbed.
  EXPECT_TRUE(daemon_->process().running());
  ASSERT_TRUE(send_datagram(dgram_path_, "first still relays"));
  EXPECT_EQ(next_message().payload, "first still relays");
}

TEST_F(StartupTest, WaitsForTheBrokerRetryingEverySecondWithoutOpeningSockets) {
  broker_->stop();
  ASSERT_TRUE(daemon_->start(unique_daemon_name(test_tag()), daemon_args()));
  Process& proc = daemon_->process();
  // Whole lines are counted: a line may reach the pipe in pieces.
  std::vector<LogLine> failures;
  ASSERT_TRUE(wait_until(
      [&] {
        failures = log_lines_starting(proc, "ERR: mosquitto_connect failed: ");
        return failures.size() >= 3;
      },
      std::chrono::milliseconds(8000)))
      << proc.stderr_text();
  EXPECT_FALSE(path_exists(stream_path_));
  EXPECT_FALSE(path_exists(dgram_path_));
  for (const LogLine& line : failures) {
    // "<strerror text>(<errno>)"
    const size_t open = line.text.rfind('(');
    ASSERT_NE(open, std::string::npos) << line.text;
    EXPECT_EQ(line.text.back(), ')') << line.text;
    EXPECT_TRUE(
        is_decimal_of_1_to_10_digits(line.text.substr(open + 1, line.text.size() - open - 2)))
        << line.text;
  }
  for (size_t i = 1; i < failures.size(); ++i) {
    auto gap =
        duration_cast<std::chrono::milliseconds>(failures[i].when - failures[i - 1].when).count();
    EXPECT_GE(gap, 800) << "attempts " << i - 1 << " and " << i;
    EXPECT_LE(gap, 2500) << "attempts " << i - 1 << " and " << i;
  }

  // Once the broker comes up the daemon connects, opens its sockets and
  // relays.
  ASSERT_TRUE(broker_->start()) << broker_->error();
  ASSERT_TRUE(
      daemon_->wait_for_sockets(stream_path_, dgram_path_, std::chrono::milliseconds(10000)))
      << proc.stderr_text();
  ASSERT_TRUE(daemon_->wait_until_relaying(*sub_, dgram_path_, std::chrono::milliseconds(10000)))
      << proc.stderr_text();
  ASSERT_TRUE(send_stream(stream_path_, "after the broker came up"));
  EXPECT_EQ(next_message().payload, "after the broker came up");

  // A broker restart interrupts relaying only for a while.
  ASSERT_TRUE(broker_->restart()) << broker_->error();
  ASSERT_TRUE(daemon_->wait_until_relaying(*sub_, dgram_path_, std::chrono::milliseconds(15000)))
      << proc.stderr_text();
  ASSERT_TRUE(send_stream(stream_path_, "after the restart"));
  EXPECT_EQ(next_message().payload, "after the restart");
}

// The example configuration that installations ship is complete enough to
// run: only the broker and the socket paths (which point into /run) come
// from the command line; the topic is the example's own.
TEST_F(StartupTest, ExampleConfigurationRelaysWithBrokerAndSocketsFromTheCommandLine) {
  const std::string conf = std::string(SOURCE_DIR) + "/etc/quorreld.conf";
  std::string text;
  ASSERT_TRUE(read_file(conf, &text));
  const size_t entry = text.find("\ntopic ");
  ASSERT_NE(entry, std::string::npos) << "the example sets no topic";
  const size_t from = entry + 7;
  const std::string example_topic = text.substr(from, text.find('\n', from) - from);
  ASSERT_TRUE(sub_->subscribe(example_topic, 1));

  ASSERT_TRUE(
      daemon_->start(unique_daemon_name(test_tag()),
                     {"-c", conf, "--host", "127.0.0.1", "-p", std::to_string(broker_->port()),
                      "--unixsock", stream_path_, "-u", dgram_path_}));
  ASSERT_TRUE(
      daemon_->wait_for_sockets(stream_path_, dgram_path_, std::chrono::milliseconds(15000)))
      << daemon_->process().stderr_text();
  ASSERT_TRUE(daemon_->wait_until_relaying(*sub_, dgram_path_, std::chrono::milliseconds(10000)))
      << daemon_->process().stderr_text();

  const CommandResult sent =
      run_command({QUORREL_CLIENT_PATH, "--unixsock", stream_path_, "-D", "example relays"});
  ASSERT_EQ(sent.exit_code, 0) << sent.err;
  const MqttMessage got = next_message();
  EXPECT_EQ(got.topic, example_topic);
  EXPECT_EQ(got.payload, "example relays");
  // At the example's log level a healthy start is silent.
  EXPECT_EQ(daemon_->process().stderr_text(), "");
}

TEST_F(StartupTest, StaleFilesAtTheSocketPathsAreReplaced) {
  ASSERT_TRUE(write_file(stream_path_, "left over"));
  ASSERT_TRUE(write_file(dgram_path_, "left over"));
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  expect_both_sockets_relay("through the new");
}

TEST_F(StartupTest, SocketPathsOf107CharactersAreUsed) {
  stream_path_ = path_of_length("s", 107);
  dgram_path_ = path_of_length("d", 107);
  ASSERT_EQ(stream_path_.size(), 107u);
  ASSERT_EQ(dgram_path_.size(), 107u);
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  expect_both_sockets_relay("107");
}

TEST_F(StartupTest, StreamSocketPathOf108CharactersEndsWithStatusOne) {
  stream_path_ = path_of_length("s", 108);
  ASSERT_EQ(stream_path_.size(), 108u);
  ASSERT_TRUE(daemon_->start(unique_daemon_name(test_tag()), daemon_args()));
  Process& proc = daemon_->process();
  ASSERT_TRUE(proc.wait_exit(std::chrono::milliseconds(10000))) << proc.stderr_text();
  EXPECT_EQ(proc.exit_code(), 1);
  proc.wait_output_closed(std::chrono::milliseconds(2000));
  const std::string out = proc.stderr_text();
  const size_t too_long = out.find("ERR: " + stream_path_ + " socket name too long\n");
  const size_t bind_error = out.find("ERR: tcp bind error\n");
  EXPECT_NE(too_long, std::string::npos) << out;
  EXPECT_NE(bind_error, std::string::npos) << out;
  EXPECT_LT(too_long, bind_error) << out;
  EXPECT_FALSE(path_exists(dgram_path_)) << "the datagram socket comes after the stream socket";
}

TEST_F(StartupTest, DatagramSocketPathOf108CharactersEndsWithStatus255) {
  dgram_path_ = path_of_length("d", 108);
  ASSERT_EQ(dgram_path_.size(), 108u);
  ASSERT_TRUE(daemon_->start(unique_daemon_name(test_tag()), daemon_args()));
  Process& proc = daemon_->process();
  ASSERT_TRUE(proc.wait_exit(std::chrono::milliseconds(10000))) << proc.stderr_text();
  EXPECT_EQ(proc.exit_code(), 255);
  proc.wait_output_closed(std::chrono::milliseconds(2000));
  EXPECT_NE(proc.stderr_text().find("ERR: " + dgram_path_ + " socket name too long\n"),
            std::string::npos)
      << proc.stderr_text();
}

}  // namespace
}  // namespace quorrel_test
