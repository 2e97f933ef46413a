#include "server/alloc.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "server/daemon_exit.h"

namespace {

// Says why the daemon ends, with write(2): nothing that could allocate.
[[noreturn]] void out_of_memory() {
  static const char kLine[] = "quorreld: out of memory, exiting\n";
  ssize_t n;
  do {
    n = write(STDERR_FILENO, kLine, sizeof kLine - 1);
  } while (n < 0 && errno == EINTR);
  daemon_exit(kExitOutOfMemory);
}

}  // namespace

void* ss_malloc(size_t size) {
  // malloc(0) may legitimately return null; that is not exhaustion.
  void* block = malloc(size != 0 ? size : 1);
  if (block == nullptr) out_of_memory();
  memset(block, 0, size);
  return block;
}

void* ss_realloc(void* block, size_t size) {
  void* grown = realloc(block, size != 0 ? size : 1);
  if (grown == nullptr) {
    free(block);
    out_of_memory();
  }
  return grown;
}
