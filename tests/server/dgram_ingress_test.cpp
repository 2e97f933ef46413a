// Datagram ingress: socket creation, whole datagrams to the publish callback,
// and setnonblocking.
#include "server/dgram_ingress.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/log.h"
#include "tests/server/server_test_util.h"
#include "tests/support/local_socket.h"
#include "tests/support/temp_dir.h"

namespace {

using quorrel_test::is_socket;
using quorrel_test::send_datagram;
using quorrel_test::TempDir;
using quorrel_test::write_file;
using server_test::path_of_length;
using server_test::record_publish;

std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + 7) & 0xff);
  return bytes;
}

// A datagram socket opened as the daemon opens it, on a private libev loop
// that only one case runs; the others drive it by calling udp_recv_cb
// directly, as the loop would on a readiness report.
class DatagramServer : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_debug_ = debug;
    path_ = dir_.file("d.sock");
    loop_ = ev_loop_new(EVFLAG_AUTO);
    ASSERT_NE(loop_, nullptr);
    ASSERT_EQ(dgram_server_open(&server_, loop_, path_.c_str(), &published_, record_publish), 0);
  }
  void TearDown() override {
    debug = saved_debug_;
    ev_io_stop(loop_, &server_.io);
    ev_loop_destroy(loop_);
    release_dgram_server(&server_);
    close(server_.fd);
  }
  // One readiness report of the socket, as the loop would deliver it.
  void report_readable() { udp_recv_cb(nullptr, &server_.io, EV_READ); }

  TempDir dir_{"qd"};
  std::string path_;
  struct ev_loop* loop_ = nullptr;
  dgram_server server_{};
  std::vector<std::string> published_;
  int saved_debug_ = 0;
};

TEST_F(DatagramServer, SocketNotCreatedIsRefusedWithItsCause) {
  debug = 3;
  // Capturing needs a descriptor of its own, so it starts first.
  ::testing::internal::CaptureStderr();
  int rc;
  {
    server_test::NoFreeDescriptors none;
    ASSERT_TRUE(none.ok());
    dgram_server second{};
    rc = dgram_server_open(&second, loop_, dir_.file("second.sock").c_str(), &published_,
                           record_publish);
  }
  const std::string err = ::testing::internal::GetCapturedStderr();

  EXPECT_EQ(rc, -1);
  // The line as it always was, then its cause.
  const size_t line = err.find("ERR: Create udp socket faild\n");
  const size_t cause = err.find("ERR: socket: " + std::string(strerror(EMFILE)) + "(" +
                                std::to_string(EMFILE) + ")\n");
  EXPECT_NE(line, std::string::npos) << err;
  EXPECT_NE(cause, std::string::npos) << err;
  EXPECT_LT(line, cause) << err;
}

TEST(SetNonblocking, AddsNonblockAndKeepsOtherFlags) {
  TempDir dir("qn");
  const std::string file = dir.file("f");
  ASSERT_TRUE(write_file(file, "x"));
  const int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(setnonblocking(fd), 0);
  const int flags = fcntl(fd, F_GETFL);
  EXPECT_NE(flags & O_NONBLOCK, 0);
  EXPECT_NE(flags & O_APPEND, 0);
  EXPECT_EQ(setnonblocking(fd), 0);  // idempotent
  close(fd);
}

TEST(SetNonblocking, ClosedDescriptorFails) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(setnonblocking(fds[0]), -1);
}

TEST(CreateUdpserver, PathOf107CharactersIsBoundCloseOnExec) {
  TempDir dir("qd");
  const std::string path = path_of_length(dir, 107);
  const int fd = create_udpserver(path.c_str());
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(is_socket(path));
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  int type = 0;
  socklen_t len = sizeof type;
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len), 0);
  EXPECT_EQ(type, SOCK_DGRAM);
  EXPECT_TRUE(send_datagram(path, "reachable"));
  close(fd);
}

TEST(CreateUdpserverDeathTest, PathOf108CharactersOrMoreEndsWithStatus255) {
  TempDir dir("qd");
  const std::string path = path_of_length(dir, 108);
  debug = 3;
  EXPECT_EXIT(create_udpserver(path.c_str()), ::testing::ExitedWithCode(255),
              "ERR: " + path + " socket name too long");
  // The line names at most 255 characters of the path.
  const std::string longer = path_of_length(dir, 300);
  EXPECT_EXIT(create_udpserver(longer.c_str()), ::testing::ExitedWithCode(255),
              "ERR: " + longer.substr(0, 255) + " socket name too long");
  debug = 0;
}

TEST(CreateUdpserverDeathTest, UnbindablePathEndsWithStatus255) {
  debug = 3;
  EXPECT_EXIT(create_udpserver("/nonexistent-dir-q/d.sock"), ::testing::ExitedWithCode(255),
              "ERR: Could not bind udp socket: No such file or directory");
  debug = 0;
}

TEST(CreateUdpserver, StaleEntryAtPathIsReplaced) {
  TempDir dir("qd");
  const std::string path = dir.file("stale.sock");
  ASSERT_TRUE(write_file(path, "left over"));
  const int fd = create_udpserver(path.c_str());
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(is_socket(path));
  close(fd);
}

TEST_F(DatagramServer, SmallDatagramIsPublishedWithDebugLine) {
  debug = 7;
  ASSERT_TRUE(send_datagram(path_, "hello"));
  ::testing::internal::CaptureStderr();
  report_readable();
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_EQ(published_[0], "hello");
  EXPECT_NE(err.find("DEBUG: fd: " + std::to_string(server_.fd) + ", size: 5\n"), std::string::npos)
      << err;
}

TEST_F(DatagramServer, DatagramOver2048BytesIsPublishedWhole) {
  for (size_t size : {2049u, 3000u, 65536u, 200000u}) {
    SCOPED_TRACE(size);
    published_.clear();
    const std::string bytes = pattern(size);
    ASSERT_TRUE(send_datagram(path_, bytes));
    report_readable();
    ASSERT_EQ(published_.size(), 1u);
    EXPECT_EQ(published_[0].size(), size);
    EXPECT_TRUE(published_[0] == bytes);
  }
}

TEST_F(DatagramServer, LargestDatagramAnUnprivilegedSenderCanSendFits) {
  // The most a sender can make its send buffer is twice wmem_max, minus the
  // kernel's per-datagram overhead.
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  int request = 1 << 30;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &request, sizeof request);
  int sndbuf = 0;
  socklen_t len = sizeof sndbuf;
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, &len), 0);
  close(fd);
  const size_t ceiling = 8u * 1024u * 1024u;
  EXPECT_GE(dgram_area_size(), std::min(static_cast<size_t>(sndbuf), ceiling));
  EXPECT_GE(dgram_area_size(), 256u * 1024u);
}

TEST_F(DatagramServer, EmptyDatagramPublishesNothingAndLogsNothing) {
  debug = 7;
  ASSERT_TRUE(send_datagram(path_, ""));
  ::testing::internal::CaptureStderr();
  report_readable();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(published_.empty());
}

TEST_F(DatagramServer, NothingWaitingIsIgnored) {
  report_readable();
  EXPECT_TRUE(published_.empty());
}

TEST_F(DatagramServer, BackToBackDatagramsKeepOrderAndReuseOneArea) {
  ASSERT_TRUE(send_datagram(path_, "first"));
  report_readable();
  const unsigned char* area = server_.area;
  ASSERT_NE(area, nullptr);
  ASSERT_TRUE(send_datagram(path_, std::string("sec\0ond", 7)));
  report_readable();
  EXPECT_EQ(server_.area, area);
  ASSERT_EQ(published_.size(), 2u);
  EXPECT_EQ(published_[0], "first");
  EXPECT_EQ(published_[1], std::string("sec\0ond", 7));
}

TEST_F(DatagramServer, OneReadinessReportTakesEveryWaitingDatagramInOrder) {
  // Fewer than the kernel queues for one socket by default (10).
  const std::vector<std::string> sent = {"one",  "two", "",     "three", std::string("f\0ur", 4),
                                         "five", "six", "seven"};
  for (const std::string& d : sent) ASSERT_TRUE(send_datagram(path_, d));
  report_readable();
  const std::vector<std::string> expected = {"one",  "two", "three", std::string("f\0ur", 4),
                                             "five", "six", "seven"};
  EXPECT_EQ(published_, expected);
  report_readable();
  EXPECT_EQ(published_.size(), expected.size());
}

TEST_F(DatagramServer, DatagramLargerThanAreaIsDroppedNotCutAndAreaGrows) {
  // A small area stands in for a datagram beyond any preset size.
  server_.area = static_cast<unsigned char*>(malloc(4096));
  server_.area_size = 4096;
  const std::string big = pattern(5000);
  debug = 3;
  ASSERT_TRUE(send_datagram(path_, big));
  ::testing::internal::CaptureStderr();
  report_readable();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(published_.empty());
  EXPECT_NE(err.find("ERR: datagram of 5000 bytes larger than receive area of 4096 bytes"),
            std::string::npos)
      << err;
  EXPECT_GE(server_.area_size, 5000u);

  ASSERT_TRUE(send_datagram(path_, big));
  report_readable();
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_TRUE(published_[0] == big);
}

TEST_F(DatagramServer, DatagramsArriveThroughTheEventLoop) {
  ASSERT_TRUE(send_datagram(path_, "one"));
  ASSERT_TRUE(send_datagram(path_, pattern(10000)));
  ASSERT_TRUE(send_datagram(path_, "three"));
  for (int i = 0; i < 200 && published_.size() < 3; ++i) ev_run(loop_, EVRUN_NOWAIT);
  ASSERT_EQ(published_.size(), 3u);
  EXPECT_EQ(published_[0], "one");
  EXPECT_TRUE(published_[1] == pattern(10000));
  EXPECT_EQ(published_[2], "three");
}

}  // namespace
