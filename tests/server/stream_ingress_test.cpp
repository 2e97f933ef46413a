// Stream ingress: one connection is one message, collected through a real
// libev loop and handed whole to the take callback, whose verdict goes back
// to a writer that asked for one.
#include "server/stream_ingress.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/verdict.h"
#include "tests/server/server_test_util.h"
#include "tests/support/local_socket.h"
#include "tests/support/temp_dir.h"

namespace {

using quorrel_test::is_socket;
using quorrel_test::StreamConnection;
using quorrel_test::TempDir;
using quorrel_test::write_file;
using server_test::path_of_length;
using server_test::record_publish;

// The listener's take_fn here: records a copy of the message, as the
// datagram tests' record_publish does, and accepts it.
void record_take(void* arg, byte_buffer* buf, message_verdict* verdict) {
  record_publish(arg, buf->bytes, static_cast<int>(buf->length));
  verdict->accepted = true;
}

// A connected, blocking client socket; -1 on failure. With `verdict`, bound
// first to an address that asks the daemon for a verdict.
int connect_to(const std::string& path, bool verdict = false) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  if (verdict) {
    addr.sun_family = AF_UNIX;
    const std::string name = std::string(kVerdictAddressPrefix) + std::to_string(getpid());
    memcpy(addr.sun_path + 1, name.data(), name.size());
    const socklen_t len =
        static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + name.size());
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) != 0) {
      close(fd);
      return -1;
    }
    memset(&addr, 0, sizeof addr);
  }
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A listener opened as the daemon opens it, on a private libev loop, with a
// recording take callback.
class StreamListener : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_debug_ = debug;
    path_ = dir_.file("s.sock");
    loop_ = ev_loop_new(EVFLAG_AUTO);
    ASSERT_NE(loop_, nullptr);
    ASSERT_EQ(stream_server_open(&server_, loop_, path_.c_str(), &published_, record_take), 0);
    // Bounds every blocking pass of the loop.
    ev_timer_init(
        &tick_, [](struct ev_loop*, ev_timer*, int) {}, 0.02, 0.02);
    ev_timer_start(loop_, &tick_);
  }
  void TearDown() override {
    debug = saved_debug_;
    ev_timer_stop(loop_, &tick_);
    ev_io_stop(loop_, &server_.io);
    ev_timer_stop(loop_, &server_.accept_pause);
    ev_loop_destroy(loop_);
    close(server_.fd);
  }
  // Runs the loop until `done` or about five seconds have passed.
  bool run_until(const std::function<bool()>& done) {
    for (int i = 0; i < 250; ++i) {
      if (done()) return true;
      ev_run(loop_, EVRUN_ONCE);
    }
    return done();
  }
  // A few non-blocking passes: lets pending accepts and reads happen.
  void pump() {
    for (int i = 0; i < 10; ++i) ev_run(loop_, EVRUN_NOWAIT);
  }
  bool run_until_published(size_t count) {
    return run_until([&] { return published_.size() >= count; });
  }

  TempDir dir_{"qt"};
  std::string path_;
  struct ev_loop* loop_ = nullptr;
  stream_server server_{};
  ev_timer tick_;
  std::vector<std::string> published_;
  int saved_debug_ = 0;
};

TEST(CreateAndBind, PathOf107CharactersIsBoundCloseOnExec) {
  TempDir dir("qt");
  const std::string path = path_of_length(dir, 107);
  const int fd = create_and_bind(path.c_str());
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(is_socket(path));
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  close(fd);
}

TEST(CreateAndBind, PathOf108CharactersIsRefusedWithErrLine) {
  TempDir dir("qt");
  const std::string path = path_of_length(dir, 108);
  const int saved = debug;
  debug = 3;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(create_and_bind(path.c_str()), -1);
  const std::string err = ::testing::internal::GetCapturedStderr();
  debug = saved;
  EXPECT_NE(err.find("ERR: " + path + " socket name too long\n"), std::string::npos) << err;
}

TEST(CreateAndBind, UnbindablePathIsRefusedWithReason) {
  const int saved = debug;
  debug = 3;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(create_and_bind("/nonexistent-dir-q/s.sock"), -1);
  const std::string err = ::testing::internal::GetCapturedStderr();
  debug = saved;
  EXPECT_NE(err.find("ERR: Could not bind control socket: No such file or directory\n"),
            std::string::npos)
      << err;
}

TEST(CreateAndBind, StaleEntryAtPathIsReplaced) {
  TempDir dir("qt");
  const std::string path = dir.file("stale.sock");
  ASSERT_TRUE(write_file(path, "left over"));
  const int fd = create_and_bind(path.c_str());
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(is_socket(path));
  close(fd);
}

TEST(HexDump, TwentyBytesShowOneFullLineAndOneShort) {
  byte_buffer buf{};
  balloc(&buf, 32);
  for (int i = 0; i < 20; ++i) {
    const unsigned char b = static_cast<unsigned char>(i == 19 ? 0xab : i);
    bconcat(&buf, &b, 1);
  }
  const int saved = daemon_mode;
  daemon_mode = 0;
  ::testing::internal::CaptureStderr();
  dump_stream_buffer(&buf);
  const std::string out = ::testing::internal::GetCapturedStderr();
  daemon_mode = saved;
  bfree(&buf);
  EXPECT_EQ(out,
            "vexel pkt:\n"
            "00 01 02 03 04 05 06 07    08 09 0a 0b 0c 0d 0e 0f    \n"
            "10 11 12 ab \n");
}

TEST(HexDump, SixteenBytesEndWithAnEmptyLine) {
  byte_buffer buf{};
  balloc(&buf, 16);
  const std::string data(16, '\xff');
  bconcat(&buf, data.data(), 16);
  ::testing::internal::CaptureStderr();
  dump_stream_buffer(&buf);
  const std::string out = ::testing::internal::GetCapturedStderr();
  bfree(&buf);
  EXPECT_EQ(out,
            "vexel pkt:\n"
            "ff ff ff ff ff ff ff ff    ff ff ff ff ff ff ff ff    \n"
            "\n");
}

TEST_F(StreamListener, FiveBytesThenCloseIsOneMessage) {
  debug = 7;
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(quorrel_test::send_stream(path_, "hello"));
  const bool done = run_until_published(1);
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(done);
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_EQ(published_[0], "hello");
  EXPECT_NE(err.find("DEBUG: Accepted connection on socket " + std::to_string(server_.fd) + "\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("vexel pkt:\n68 65 6c 6c 6f \n"), std::string::npos) << err;
  EXPECT_NE(err.find("DEBUG: close and free fd: "), std::string::npos) << err;
}

TEST_F(StreamListener, ManyWritesThenShutdownIsOneMessage) {
  std::string data(5000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  StreamConnection conn;
  ASSERT_TRUE(conn.open(path_));
  ASSERT_TRUE(conn.write(data.substr(0, 2047)));
  pump();
  ASSERT_TRUE(conn.write(data.substr(2047, 2047)));
  ASSERT_TRUE(conn.write(data.substr(4094)));
  ASSERT_TRUE(conn.shutdown_write());
  ASSERT_TRUE(run_until_published(1));
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_EQ(published_[0].size(), 5000u);
  EXPECT_TRUE(published_[0] == data);
  EXPECT_TRUE(conn.wait_peer_closed(2000));
}

TEST_F(StreamListener, OneReadinessReportReadsABoundedNumberOfChunks) {
  StreamConnection conn;
  ASSERT_TRUE(conn.open(path_));
  ev_run(loop_, EVRUN_NOWAIT);  // accepts the connection
  std::string data(100 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 % 256);
  ASSERT_TRUE(conn.write(data));

  debug = 7;
  ::testing::internal::CaptureStderr();
  ev_run(loop_, EVRUN_NOWAIT);  // one readiness report of the connection
  const std::string first_pass = ::testing::internal::GetCapturedStderr();
  size_t reads = 0;
  for (size_t at = first_pass.find(", size: 2048\n"); at != std::string::npos;
       at = first_pass.find(", size: 2048\n", at + 1)) {
    ++reads;
  }
  EXPECT_EQ(reads, static_cast<size_t>(kReadChunksPerTurn)) << first_pass.substr(0, 2000);
  debug = saved_debug_;

  // The rest follows on later passes; the message is whole and exact.
  ASSERT_TRUE(conn.shutdown_write());
  ASSERT_TRUE(run_until_published(1));
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_EQ(published_[0].size(), data.size());
  EXPECT_TRUE(published_[0] == data);
}

// Bytes written on `fd` that the peer has not read yet; -1 on failure.
int unread_by_peer(int fd) {
  int pending = -1;
  return ioctl(fd, SIOCOUTQ, &pending) == 0 ? pending : -1;
}

TEST_F(StreamListener, BelowDebugLevelOneReportTakesAllThatIsWaiting) {
  debug = 4;
  const int fd = connect_to(path_);
  ASSERT_GE(fd, 0);
  ev_run(loop_, EVRUN_NOWAIT);  // accepts the connection
  std::string data(100 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 % 256);
  ASSERT_EQ(send(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
  ASSERT_GT(unread_by_peer(fd), 0);
  ev_run(loop_, EVRUN_NOWAIT);  // one readiness report of the connection
  EXPECT_EQ(unread_by_peer(fd), 0);
  close(fd);
  ASSERT_TRUE(run_until_published(1));
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_TRUE(published_[0] == data);
}

TEST_F(StreamListener, EmptyConnectionIsAnEmptyMessage) {
  const int fd = connect_to(path_);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_TRUE(run_until_published(1));
  EXPECT_EQ(published_[0], "");
}

TEST_F(StreamListener, EveryByteValueIsPublishedUnchanged) {
  std::string data;
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<char>(i));
  data += std::string("\0\0\0", 3);
  ASSERT_TRUE(quorrel_test::send_stream(path_, data));
  ASSERT_TRUE(run_until_published(1));
  EXPECT_TRUE(published_[0] == data);
}

TEST_F(StreamListener, MessagesFollowTheOrderStreamsEnd) {
  const int first = connect_to(path_);
  const int second = connect_to(path_);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  ASSERT_EQ(send(first, "first", 5, 0), 5);
  ASSERT_EQ(send(second, "second", 6, 0), 6);
  pump();  // both accepted and partly read
  close(second);
  ASSERT_TRUE(run_until_published(1));
  close(first);
  ASSERT_TRUE(run_until_published(2));
  EXPECT_EQ(published_[0], "second");
  EXPECT_EQ(published_[1], "first");
}

TEST_F(StreamListener, MessageOverLimitIsDroppedAndConnectionClosed) {
  server_.max_message = 100;
  debug = 3;
  // A writer that asked for a verdict is told why, before the close.
  for (const bool verdict : {false, true}) {
    const int fd = connect_to(path_, verdict);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, std::string(60, 'a').data(), 60, 0), 60);
    pump();
    ASSERT_EQ(send(fd, std::string(41, 'b').data(), 41, 0), 41);
    ::testing::internal::CaptureStderr();
    std::string reply;
    const bool closed = run_until([&] {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 0) <= 0) return false;
      char buf[256];
      const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) reply.append(buf, static_cast<size_t>(n));
      return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    });
    const std::string err = ::testing::internal::GetCapturedStderr();
    close(fd);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(published_.empty());
    EXPECT_NE(err.find("longer than 100 bytes, dropped\n"), std::string::npos) << err;
    EXPECT_EQ(reply, verdict ? "1 message longer than the daemon's limit of 100 bytes\n" : "");
  }
}

TEST_F(StreamListener, MessageExactlyAtLimitIsPublished) {
  server_.max_message = 100;
  // A writer that asked for a verdict is told the take callback's.
  for (const bool verdict : {false, true}) {
    const int fd = connect_to(path_, verdict);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, std::string(100, 'x').data(), 100, 0), 100);
    ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
    const size_t count = published_.size() + 1;
    const bool published = run_until_published(count);
    // The verdict is written just before the close, in the same callback.
    char reply[kVerdictLineMax];
    const ssize_t n = recv(fd, reply, sizeof reply, MSG_DONTWAIT);
    close(fd);
    ASSERT_TRUE(published);
    EXPECT_EQ(published_.back(), std::string(100, 'x'));
    EXPECT_EQ(std::string(reply, n > 0 ? static_cast<size_t>(n) : 0), verdict ? "0\n" : "");
  }
  EXPECT_EQ(kMaxStreamMessage, 268435455u);
}

TEST_F(StreamListener, AcceptedSocketIsNonblockingAndCloseOnExec) {
  const int fd = connect_to(path_);
  ASSERT_GE(fd, 0);
  // The accepted socket takes the lowest free descriptor number.
  const int probe = dup(0);
  ASSERT_GE(probe, 0);
  close(probe);
  accept_cb(loop_, &server_.io, EV_READ);
  EXPECT_NE(fcntl(probe, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(fcntl(probe, F_GETFL) & O_NONBLOCK, 0);
  close(fd);
  ASSERT_TRUE(run_until_published(1));
}

TEST_F(StreamListener, ResetConnectionPublishesNothingAndIsFreed) {
  debug = 3;
  const int fd = connect_to(path_);
  ASSERT_GE(fd, 0);
  const int probe = dup(0);
  ASSERT_GE(probe, 0);
  close(probe);
  accept_cb(loop_, &server_.io, EV_READ);  // takes `probe`'s number
  ASSERT_EQ(send(fd, "partial", 7, 0), 7);
  pump();
  // Unread data in the closing side's queue makes the kernel reset the peer.
  ASSERT_EQ(send(probe, "x", 1, MSG_DONTWAIT), 1);
  close(fd);
  ::testing::internal::CaptureStderr();
  const bool freed = run_until([&] { return fcntl(probe, F_GETFD) == -1; });
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(freed);
  EXPECT_TRUE(published_.empty());
  EXPECT_NE(err.find("ERR: recv failed: " + std::string(strerror(ECONNRESET)) + "(" +
                     std::to_string(ECONNRESET) + ")\n"),
            std::string::npos)
      << err;
}

TEST_F(StreamListener, RunningOutOfDescriptorsPausesAcceptingThenResumes) {
  debug = 3;
  const int fd = connect_to(path_);
  ASSERT_GE(fd, 0);

  // Capturing needs a descriptor of its own, so it starts first.
  ::testing::internal::CaptureStderr();
  bool paused;
  {
    server_test::NoFreeDescriptors none;
    ASSERT_TRUE(none.ok());
    accept_cb(loop_, &server_.io, EV_READ);
    // While paused the loop must not spin on the waiting connection.
    for (int i = 0; i < 5; ++i) ev_run(loop_, EVRUN_NOWAIT);
    paused = !ev_is_active(&server_.io) && ev_is_active(&server_.accept_pause);
  }
  const std::string err = ::testing::internal::GetCapturedStderr();

  EXPECT_TRUE(paused);
  const std::string line =
      "ERR: accept failed: " + std::string(strerror(EMFILE)) + "(" + std::to_string(EMFILE) + ")\n";
  const size_t first = err.find(line);
  EXPECT_NE(first, std::string::npos) << err;
  EXPECT_EQ(err.find(line, first + 1), std::string::npos) << "logged more than once per pause";

  close(fd);
  ASSERT_TRUE(run_until_published(1));
  EXPECT_TRUE(ev_is_active(&server_.io));
  EXPECT_EQ(published_[0], "");
}

}  // namespace
