#include "server/alloc.h"

#include <stdlib.h>
#include <string.h>

void* ss_malloc(size_t size) {
  // malloc(0) may legitimately return null; that is not exhaustion.
  void* block = malloc(size != 0 ? size : 1);
  if (block == nullptr) exit(1);
  memset(block, 0, size);
  return block;
}

void* ss_realloc(void* block, size_t size) {
  void* grown = realloc(block, size != 0 ? size : 1);
  if (grown == nullptr) {
    free(block);
    exit(1);
  }
  return grown;
}
