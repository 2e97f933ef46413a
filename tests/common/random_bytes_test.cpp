// Random bytes: one kept, close-on-exec descriptor of the device, and buffers
// filled whole.
#include "common/random_bytes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace {

// The daemon's later descriptors keep their numbers only while the device
// stays open, and scripts must not inherit it; threads share the one
// descriptor.
TEST(RandomBytes, DeviceIsOpenedOnceKeptAndCloseOnExec) {
  int fds[2] = {-1, -1};
  std::thread other([&] { fds[1] = random_device(); });
  fds[0] = random_device();
  other.join();
  ASSERT_GE(fds[0], 0);
  EXPECT_EQ(fds[1], fds[0]);
  EXPECT_EQ(random_device(), fds[0]);
  EXPECT_NE(fcntl(fds[0], F_GETFD) & FD_CLOEXEC, 0);
  char target[64] = {0};
  ASSERT_GT(
      readlink(("/proc/self/fd/" + std::to_string(fds[0])).c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, kRandomDevice);
}

// A large buffer is filled to its last byte, and two draws differ: a helper
// that stopped short, or read nothing, leaves zeros behind or repeats itself.
TEST(RandomBytes, FillsTheWholeBufferWithFreshBytes) {
  std::vector<unsigned char> first(1 << 20, 0);
  std::vector<unsigned char> second(first.size(), 0);
  ASSERT_EQ(random_bytes(first.data(), first.size()), 0);
  ASSERT_EQ(random_bytes(second.data(), second.size()), 0);
  EXPECT_NE(first, second);
  const std::vector<unsigned char> zeros(16, 0);
  EXPECT_FALSE(std::equal(zeros.begin(), zeros.end(), first.end() - 16));
  EXPECT_FALSE(std::equal(zeros.begin(), zeros.end(), second.end() - 16));
}

}  // namespace
