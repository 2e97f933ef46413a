#include "common/random_bytes.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>

namespace {

// The kept descriptor of the device, -1 until a call opens it. Written once
// by that call, read by every later one, on any thread; it guards no other
// data, so relaxed ordering suffices.
std::atomic<int> device{-1};

}  // namespace

int random_device() noexcept {
  int fd = device.load(std::memory_order_relaxed);
  if (fd >= 0) return fd;
  do {
    fd = open(kRandomDevice, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  int kept = -1;
  if (!device.compare_exchange_strong(kept, fd, std::memory_order_relaxed)) {
    // Another thread opened it meanwhile: one descriptor is kept, not two.
    close(fd);
    return kept;
  }
  return fd;
}

int random_bytes(void* buffer, size_t length) noexcept {
  const int fd = random_device();
  if (fd < 0) return errno;
  unsigned char* at = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const ssize_t n = read(fd, at, length);
    if (n > 0) {
      at += n;
      length -= static_cast<size_t>(n);
    } else if (n == 0) {
      return EIO;
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}
