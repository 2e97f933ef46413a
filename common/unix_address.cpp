#include "common/unix_address.h"

#include <stddef.h>
#include <string.h>

int unix_address(struct sockaddr_un* addr, const char* path) {
  const size_t len = strlen(path);
  if (len >= sizeof addr->sun_path) return -1;
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  memcpy(addr->sun_path, path, len + 1);
  return static_cast<int>(offsetof(struct sockaddr_un, sun_path) + len);
}
