#include "server/heap.h"

#include <stdlib.h>
#if defined(QUORREL_HAVE_MALLOPT) || defined(QUORREL_HAVE_MALLOC_TRIM)
#include <malloc.h>
#endif

void heap_configure(void) {
  // mallopt and its M_* parameters are glibc's; musl's allocator has no
  // knobs and already keeps one heap and maps large blocks on its own.
#if defined(QUORREL_HAVE_MALLOPT)
  // The session thread allocates little (packets it frees soon after); one
  // shared malloc arena spares it an arena of its own and the memory that
  // would sit idle there.
  mallopt(M_ARENA_MAX, 1);
  // A fixed threshold keeps every large block (a long stream message and the
  // library's copies of it) in its own mapping, given back when freed.
  // Otherwise malloc raises the threshold after the first such block and
  // keeps the next ones on the heap, where they stay after use.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
}

void heap_release_free(void) {
  // malloc_trim is glibc's; musl returns emptied pages to the system when
  // they are freed, so there is nothing left to hand back.
#if defined(QUORREL_HAVE_MALLOC_TRIM)
  // A burst the broker was slow to take leaves the freed messages scattered
  // through the heap, where glibc's malloc keeps them.
  malloc_trim(0);
#endif
}
