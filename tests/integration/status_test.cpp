// `quorrel_client --status`: what the daemon is doing, asked on its stream
// socket and never published.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/local_socket.h"
#include "tests/support/log_line.h"
#include "tests/support/relay_fixture.h"
#include "tests/support/tcp_proxy.h"

namespace quorrel_test {
namespace {

const std::string kClient = QUORREL_CLIENT_PATH;

// The keys of the answer, in order: a contract with the scripts that read it.
const std::vector<std::string> kKeys = {
    "session",
    "session_since",
    "session_seconds",
    "broker",
    "protocol",
    "tls",
    "attempts",
    "last_error",
    "queue_messages",
    "queue_bytes",
    "queue_capacity",
    "queue_store",
    "queue_oldest_seconds",
    "relayed",
    "dropped_session_down",
    "dropped_connection_lost",
    "dropped_queue_full",
    "dropped_too_large",
    "dropped_larger_than_queue",
    "dropped_given_up",
    "dropped_library_refused",
    "dropped_broker_refused",
    "dropped_expired",
    "dropped_unreadable",
    "scripts_run",
    "scripts_not_run",
    "pid",
    "started",
    "version",
};

class StatusTest : public RelayFixture {
 protected:
  void SetUp() override {
    RelayFixture::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_NO_FATAL_FAILURE(start_proxy());
  }

  // Asks the daemon; a test failure unless the client prints a status with
  // every key in order, and nothing on standard error.
  std::map<std::string, std::string> status() {
    const CommandResult r =
        run_command({kClient, "--unixsock", stream_path_, "--status"}, milliseconds(10000));
    EXPECT_TRUE(r.finished && r.exit_code == 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::map<std::string, std::string> values;
    size_t at = 0;
    for (const std::string& key : kKeys) {
      const size_t end = r.out.find('\n', at);
      if (end == std::string::npos || r.out.compare(at, key.size() + 2, key + ": ") != 0) {
        ADD_FAILURE() << "no line for " << key << " in:\n" << r.out;
        return values;
      }
      values[key] = r.out.substr(at + key.size() + 2, end - at - key.size() - 2);
      at = end + 1;
    }
    EXPECT_EQ(at, r.out.size()) << r.out;
    return values;
  }

  static long number(const std::string& text) { return strtol(text.c_str(), nullptr, 10); }
};

// The status while up, while an outage fills the queue (the counts and the
// oldest message's age move), and after the broker is back.
TEST_F(StatusTest, TellsTheSessionAndTheQueueAsTheyChange) {
  ASSERT_NO_FATAL_FAILURE(start_daemon({"--queuesize", "64"}, proxy_->port()));
  std::map<std::string, std::string> s = status();
  EXPECT_EQ(s["session"], "up");
  EXPECT_EQ(s["broker"], "127.0.0.1:" + std::to_string(proxy_->port()));
  EXPECT_EQ(s["protocol"], "3.1.1");
  EXPECT_EQ(s["tls"], "off");
  EXPECT_EQ(s["queue_store"], "memory");
  EXPECT_EQ(s["queue_capacity"], "65536");
  EXPECT_EQ(s["queue_messages"], "0");
  EXPECT_EQ(s["pid"], std::to_string(daemon_->process().pid()));
  EXPECT_EQ(s["version"].empty(), false);
  EXPECT_EQ(s["session_since"].size(), 20u) << s["session_since"];  // 2026-12-10T16:20:00Z
  const long relayed = number(s["relayed"]);
  EXPECT_GE(relayed, 1) << "the readiness probes";

  proxy_->set_mode(TcpProxy::Mode::kReject);
  ASSERT_TRUE(daemon_->process().wait_for_stderr("WARNING: session lost: ", milliseconds(10000)))
      << daemon_->process().stderr_text();
  for (const char* text : {"one", "two", "three"}) {
    const CommandResult r = run_command({kClient, "--unixsock", stream_path_, "-D", text});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  s = status();
  EXPECT_EQ(s["session"], "down");
  EXPECT_EQ(s["queue_messages"], "3");
  EXPECT_EQ(s["queue_bytes"], std::to_string(3 * 12 + 3 + 3 + 5));
  EXPECT_EQ(s["last_error"].rfind("session lost: ", 0), 0u) << s["last_error"];
  std::this_thread::sleep_for(milliseconds(1200));
  s = status();
  EXPECT_GE(number(s["queue_oldest_seconds"]), 1);
  EXPECT_GE(number(s["session_seconds"]), 1);

  proxy_->set_mode(TcpProxy::Mode::kForward);
  for (const char* text : {"one", "two", "three"}) {
    EXPECT_EQ(next_message(milliseconds(20000)).payload, text);
  }
  ASSERT_TRUE(wait_until([&] { return status()["queue_messages"] == "0"; }, milliseconds(5000)));
  s = status();
  EXPECT_EQ(s["session"], "up");
  EXPECT_EQ(s["attempts"], "0");
  EXPECT_GE(number(s["relayed"]), relayed + 3);
  EXPECT_EQ(s["queue_oldest_seconds"], "0");
  EXPECT_EQ(s["dropped_session_down"], "0");
}

// A plain writer's messages are relayed while status requests come and go,
// and no status request is ever published.
TEST_F(StatusTest, PlainWritersAreRelayedWhileStatusRequestsComeAndGo) {
  ASSERT_NO_FATAL_FAILURE(start_daemon({}, proxy_->port()));
  std::atomic<bool> done{false};
  std::atomic<int> answered{0};
  std::thread asker([&] {
    while (!done) {
      const CommandResult r = run_command({kClient, "--unixsock", stream_path_, "--status"});
      if (r.exit_code == 0) ++answered;
    }
  });
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(send_stream(stream_path_, "plain " + std::to_string(i)));
    ASSERT_EQ(next_message(milliseconds(10000)).payload, "plain " + std::to_string(i));
  }
  done = true;
  asker.join();
  EXPECT_GT(answered.load(), 0);
  EXPECT_TRUE(nothing_more_arrives(milliseconds(500)));
}

// No daemon at the socket, and the bad combination: one line on standard
// error and status 1.
TEST(StatusCli, NoDaemonAndMessageOptionsAreRefused) {
  const CommandResult none =
      run_command({kClient, "--unixsock", "/nonexistent/q.sock", "--status"});
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_NE(none.err.find("ERR: Could not bind connect socket: No such file or directory\n"),
            std::string::npos)
      << none.err;
  for (const char* option : {"-D", "-f"}) {
    const CommandResult r =
        run_command({kClient, "--unixsock", "/nonexistent/q.sock", "--status", option, "x"});
    EXPECT_EQ(r.exit_code, 1);
    LogLine line;
    ASSERT_TRUE(!r.err.empty() && r.err.find('\n') == r.err.size() - 1 &&
                parse_log_line(r.err.substr(0, r.err.size() - 1), &line))
        << r.err;
    EXPECT_EQ(line.text, "ERR: --status sends no message: drop -D/-f");
  }
}

}  // namespace
}  // namespace quorrel_test
