#include "client/sender.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using quorrel_test::CommandResult;
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

// A listener that takes one connection and closes it at once, as a daemon
// that goes away mid-message would.
TEST(SenderProgram, FailedSendInFileModeIsReportedWithStatus1) {
  TempDir dir("snd");
  std::string sock_path = dir.file("s");
  int lfd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(lfd, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", sock_path.c_str());
  ASSERT_EQ(bind(lfd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(lfd, 1), 0);
  // Waits for the connection only while the sender runs, so that a sender
  // that never connects fails the test instead of hanging it.
  std::atomic<bool> sender_done{false};
  std::thread closer([lfd, &sender_done] {
    struct pollfd p {};
    p.fd = lfd;
    p.events = POLLIN;
    while (!sender_done.load()) {
      if (poll(&p, 1, 100) == 1) {
        int c = accept(lfd, nullptr, nullptr);
        if (c >= 0) close(c);
        return;
      }
    }
  });

  std::string file = dir.file("big");
  ASSERT_TRUE(quorrel_test::write_file(file, std::string(8 << 20, 'b')));
  CommandResult r = run_command({QUORREL_CLIENT_PATH, "--unixsock", sock_path, "-f", file},
                                std::chrono::milliseconds(20000));
  sender_done.store(true);
  closer.join();
  close(lfd);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("ERR: Send File:" + file + " Failed: "), std::string::npos) << r.err;
}

}  // namespace
