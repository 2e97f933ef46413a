#include "common/unix_address.h"

#include <errno.h>
#include <inttypes.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "common/random_bytes.h"

int unix_address(struct sockaddr_un* addr, const char* path) {
  const size_t len = strlen(path);
  if (len >= sizeof addr->sun_path) return -1;
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  memcpy(addr->sun_path, path, len + 1);
  return static_cast<int>(offsetof(struct sockaddr_un, sun_path) + len);
}

bool abstract_peer_named(const void* addr, size_t len, const char* prefix,
                         size_t prefix_len) noexcept {
  const size_t name_at = offsetof(struct sockaddr_un, sun_path);
  // The family, the leading NUL of an abstract name and the prefix.
  if (addr == nullptr || len < name_at + 1 + prefix_len) return false;
  const struct sockaddr_un* un = static_cast<const struct sockaddr_un*>(addr);
  if (un->sun_family != AF_UNIX || un->sun_path[0] != '\0') return false;
  return memcmp(un->sun_path + 1, prefix, prefix_len) == 0;
}

namespace {

// Random part of an abstract address name. Where the kernel's random bytes
// cannot be read (a chroot without /dev, say), the clock, the pid and the
// attempt number still give each try and each process its own name.
uint64_t draw_name_suffix(unsigned attempt) {
  uint64_t value = 0;
  if (random_bytes(&value, sizeof value) == 0) return value;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  value = static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
  value ^= (static_cast<uint64_t>(getpid()) << 32) ^ attempt;
  // splitmix64's finaliser, so that close inputs give unrelated names.
  value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9u;
  value = (value ^ (value >> 27)) * 0x94d049bb133111ebu;
  return value ^ (value >> 31);
}

// Abstract names are global to the network namespace, so a name another
// socket holds is possible, if unlikely; a fresh draw settles it.
constexpr unsigned kBindTries = 3;

}  // namespace

int bind_abstract_address(int fd, const char* prefix) noexcept {
  for (unsigned attempt = 0; attempt < kBindTries; ++attempt) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    // sun_path[0] stays NUL: that makes the name abstract. The prefixes are
    // short, so the name is never cut short.
    const int name_length =
        snprintf(addr.sun_path + 1, sizeof(addr.sun_path) - 1, "%s%ld.%016" PRIx64, prefix,
                 static_cast<long>(getpid()), draw_name_suffix(attempt));
    // The length ends the name: its terminating NUL would be part of it.
    const socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 +
                                                 static_cast<size_t>(name_length));
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) == 0) return 0;
    if (errno != EADDRINUSE) return -1;
  }
  return -1;
}
