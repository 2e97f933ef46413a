#include "common/verdict.h"

#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

bool verdict_requested(const void* addr, size_t len) noexcept {
  const size_t name_at = offsetof(struct sockaddr_un, sun_path);
  // The family, the leading NUL of an abstract name and the prefix.
  if (addr == nullptr || len < name_at + 1 + kVerdictAddressPrefixLength) return false;
  const struct sockaddr_un* un = static_cast<const struct sockaddr_un*>(addr);
  if (un->sun_family != AF_UNIX || un->sun_path[0] != '\0') return false;
  return memcmp(un->sun_path + 1, kVerdictAddressPrefix, kVerdictAddressPrefixLength) == 0;
}
