#include "client/sender.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/status_query.h"
#include "common/verdict.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using quorrel_test::CommandResult;
using quorrel_test::milliseconds;
using quorrel_test::run_command;
using quorrel_test::TempDir;

TEST(SendAll, DeliversEveryByteThroughShortWrites) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  int small = 4096;  // forces many partial sends for 3 MiB
  setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  std::string data(3 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);

  std::string received;
  std::thread reader([&] {
    char buf[1000];
    ssize_t n;
    while ((n = read(sv[1], buf, sizeof(buf))) > 0) received.append(buf, static_cast<size_t>(n));
  });
  EXPECT_EQ(send_all(sv[0], data.data(), data.size()), 0);
  close(sv[0]);
  reader.join();
  close(sv[1]);
  EXPECT_TRUE(received == data);
}

TEST(SendAll, ClosedPeerIsAnErrorNotASignal) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  close(sv[1]);
  errno = 0;
  EXPECT_EQ(send_all(sv[0], "abc", 3), -1);  // the test would die of SIGPIPE otherwise
  EXPECT_EQ(errno, EPIPE);
  close(sv[0]);
}

// A listener standing in for the daemon at a temporary path. For each run
// of the client it takes one connection, reads at most `read_limit` bytes of
// it (by default all, up to the end of stream), writes a scripted reply and
// closes.
class FakeDaemonTest : public ::testing::Test {
 protected:
  // What one run of the client did, as the listener saw it.
  struct Exchange {
    CommandResult result;
    bool connected = false;
    bool asked_for_verdict = false;  // the client's address asks for one
    bool asked_for_status = false;
    std::string received;
  };

  void SetUp() override {
    lfd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(lfd_, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", sock_path_.c_str());
    ASSERT_EQ(bind(lfd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(lfd_, 4), 0);
  }
  void TearDown() override {
    if (lfd_ >= 0) close(lfd_);
  }

  Exchange Run(std::vector<std::string> args, const std::string& reply,
               size_t read_limit = std::string::npos) {
    Exchange x;
    std::atomic<bool> served{false};
    std::atomic<bool> give_up{false};
    // Waits for the connection only until the test gives up, so that a
    // client that never connects fails the test instead of hanging it.
    std::thread listener([&] {
      struct pollfd p {};
      p.fd = lfd_;
      p.events = POLLIN;
      while (!give_up.load()) {
        if (poll(&p, 1, 100) != 1) continue;
        struct sockaddr_un peer {};
        socklen_t len = sizeof(peer);
        const int c = accept(lfd_, reinterpret_cast<struct sockaddr*>(&peer), &len);
        if (c < 0) return;
        x.connected = true;
        x.asked_for_verdict = verdict_requested(&peer, len);
        x.asked_for_status = status_requested(&peer, len);
        char buf[4096];
        while (x.received.size() < read_limit) {
          const ssize_t n = read(c, buf, std::min(sizeof(buf), read_limit - x.received.size()));
          if (n <= 0) break;
          x.received.append(buf, static_cast<size_t>(n));
        }
        (void)send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        close(c);
        served.store(true);
        return;
      }
    });
    args.insert(args.begin(), {QUORREL_CLIENT_PATH, "--unixsock", sock_path_});
    x.result = run_command(args, milliseconds(20000));
    // A detached client (--daemon) connects after its parent has exited.
    quorrel_test::wait_until([&] { return served.load(); }, milliseconds(5000));
    give_up.store(true);
    listener.join();
    return x;
  }

  TempDir dir_{"snd"};
  const std::string sock_path_ = dir_.file("s");
  int lfd_ = -1;
};

const std::string kNoVerdict = std::string(QUORREL_CLIENT_PATH) +
                               ": no verdict: the daemon stopped, or the peer is not quorreld\n";

// The status and the one line on standard error follow the daemon's verdict,
// as the daemon's encoder writes it, up to the longest reason; a peer that is
// not quorreld (it answers nothing, or anything but exactly one verdict line)
// gives no verdict; a detached client asks for none.
TEST_F(FakeDaemonTest, StatusAndStandardErrorFollowTheVerdict) {
  const std::string file = dir_.file("f");
  ASSERT_TRUE(quorrel_test::write_file(file, std::string(5000, 'f')));
  char line[kVerdictLineMax];
  message_verdict verdict{};
  verdict.accepted = true;
  const std::string accepted(line, verdict_encode(verdict, line));
  const std::string longest(kVerdictReasonMax, 'r');
  verdict.accepted = false;
  memcpy(verdict.reason, longest.c_str(), longest.size() + 1);
  const std::string refused(line, verdict_encode(verdict, line));
  struct Case {
    std::vector<std::string> args;
    std::string reply;
    int status;
    std::string err;
    std::string received;
  };
  const std::string prog = QUORREL_CLIENT_PATH;
  const Case cases[] = {
      {{"-D", "hello"}, "0\n", 0, "", "hello"},
      {{"-D", "hello"}, "1 some reason\n", 1, prog + ": some reason\n", "hello"},
      {{"-f", file}, "1 some reason\n", 1, prog + ": some reason\n", std::string(5000, 'f')},
      {{"-D", "hello"}, accepted, 0, "", "hello"},
      {{"-D", "hello"}, refused, 1, prog + ": " + longest + "\n", "hello"},
      // The end of an empty message is the shutdown alone: no byte to wait for.
      {{"-D", ""}, "0\n", 0, "", ""},
      {{"-D", "hello"}, "", 1, kNoVerdict, "hello"},
      {{"-D", "hello"}, "0 fine\n", 1, kNoVerdict, "hello"},
      {{"-D", "hello"}, "1 some reason", 1, kNoVerdict, "hello"},
      {{"-D", "hello"}, "0\n1 late\n", 1, kNoVerdict, "hello"},
      {{"-D", "hello"}, std::string("1 some\0reason\n", 14), 1, kNoVerdict, "hello"},
      {{"-D", "hello"}, "1 \n", 1, kNoVerdict, "hello"},
      {{"-D", "hello"}, "1 " + longest + "r\n", 1, kNoVerdict, "hello"},
      {{"--daemon", "-D", "hello"}, "", 0, "", "hello"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back() + ", reply \"" + c.reply + "\"");
    const Exchange x = Run(c.args, c.reply);
    ASSERT_TRUE(x.result.finished);
    EXPECT_EQ(x.result.exit_code, c.status);
    EXPECT_EQ(x.result.err, c.err);
    ASSERT_TRUE(x.connected);
    EXPECT_EQ(x.asked_for_verdict, c.args[0] != "--daemon");
    EXPECT_TRUE(x.received == c.received) << x.received.size() << " bytes received";
  }
}

// --status sends nothing and prints what the daemon answers, exactly, when it
// is a status; anything else from the peer is no status, status 1.
TEST_F(FakeDaemonTest, StatusIsPrintedOnlyWhenThePeerAnswersOne) {
  const std::string no_status = std::string(QUORREL_CLIENT_PATH) +
                                ": no status: the daemon stopped, or the peer is not quorreld\n";
  const std::string answer = "session: up\nqueue_messages: 0\n";
  struct Case {
    std::string reply;
    int status;
  };
  const Case cases[] = {
      {answer, 0},
      {"", 1},
      {"0\n", 1},                                                    // a verdict
      {"session: up", 1},                                            // cut short
      {"queue_messages: 0\nsession: up\n", 1},                       // not the first key
      {std::string("session: up\0\n", 13), 1},                       // a NUL
      {"session: " + std::string(kStatusAnswerMax, 'x') + "\n", 1},  // too long
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("reply \"" + c.reply.substr(0, 40) + "\"");
    const Exchange x = Run({"--status"}, c.reply);
    ASSERT_TRUE(x.result.finished);
    EXPECT_EQ(x.result.exit_code, c.status);
    EXPECT_EQ(x.result.out, c.status == 0 ? c.reply : "");
    EXPECT_EQ(x.result.err, c.status == 0 ? "" : no_status);
    EXPECT_TRUE(x.asked_for_status);
    EXPECT_FALSE(x.asked_for_verdict);
    EXPECT_EQ(x.received, "");
  }
}

// A daemon refuses an over-long message as it arrives: it writes its verdict
// and closes without reading the rest, and the client's send fails. The
// failure is reported, and so is the reason when there is one.
TEST_F(FakeDaemonTest, SendCutShortReportsTheRefusalOrNoVerdict) {
  const std::string file = dir_.file("big");
  ASSERT_TRUE(quorrel_test::write_file(file, std::string(8 << 20, 'b')));
  const std::string too_long = "message longer than the daemon's limit of 10 bytes";
  struct Case {
    size_t read_limit;
    std::string reply;
    std::string last_line;
  };
  const Case cases[] = {
      {10, "1 " + too_long + "\n", std::string(QUORREL_CLIENT_PATH) + ": " + too_long + "\n"},
      // Closed at once, as a daemon that goes away mid-message would.
      {0, "", kNoVerdict},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("reply \"" + c.reply + "\"");
    const Exchange x = Run({"-f", file}, c.reply, c.read_limit);
    ASSERT_TRUE(x.result.finished);
    EXPECT_EQ(x.result.exit_code, 1);
    const std::string& err = x.result.err;
    EXPECT_NE(err.find("ERR: Send File:" + file + " Failed: "), std::string::npos) << err;
    ASSERT_GE(err.size(), c.last_line.size());
    EXPECT_EQ(err.substr(err.size() - c.last_line.size()), c.last_line) << err;
  }
}

}  // namespace
