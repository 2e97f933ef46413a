// Single-instance lock: one daemon per program name, none for a name that
// cannot name a lock file.
#include "server/daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include "common/log.h"

namespace {

// A program name unique to this test process and case, and its lock file,
// removed afterwards.
class InstanceLock : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_debug_ = debug;
    debug = 4;
    name_ = "qd_unit_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    path_ = "/var/run/quorrel_client_" + name_ + ".pid";
  }
  void TearDown() override {
    debug = saved_debug_;
    unlink(path_.c_str());
  }

  std::string name_;
  std::string path_;
  int saved_debug_ = 0;
};

// In a child: true when the lock file at `path` is locked by someone else.
bool locked_elsewhere(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

// In a child: true when some open descriptor names `path` and is close-on-exec.
bool lock_descriptor_is_cloexec(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);  // /var/run is often a link
  if (resolved == nullptr) return false;
  const std::string target = resolved;
  free(resolved);
  for (int fd = 3; fd < 1024; ++fd) {
    char link[512];
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(proc.c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    if (std::string(link, static_cast<size_t>(n)) == target) {
      return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
    }
  }
  return false;
}

TEST_F(InstanceLock, FirstInstanceTakesAndKeepsTheLock) {
  if (access("/var/run", W_OK) != 0) GTEST_SKIP() << "/var/run not writable";
  EXPECT_EXIT(
      {
        one_instance(name_.c_str());
        exit(locked_elsewhere(path_) && lock_descriptor_is_cloexec(path_) ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "^$");
}

TEST_F(InstanceLock, SecondInstanceWarnsAndEndsWithStatusOne) {
  if (access("/var/run", W_OK) != 0) GTEST_SKIP() << "/var/run not writable";
  const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  EXPECT_EXIT(one_instance(name_.c_str()), ::testing::ExitedWithCode(1),
              "WARNING: another " + name_ + " running\n");
  close(fd);
}

TEST_F(InstanceLock, NameWithSlashRunsWithoutLockAndSilently) {
  const std::string name = "/nonexistent-q/" + name_;
  EXPECT_EXIT(
      {
        one_instance(name.c_str());
        one_instance(name.c_str());  // nothing held, so a second call passes too
        exit(0);
      },
      ::testing::ExitedWithCode(0), "^$");
}

}  // namespace
