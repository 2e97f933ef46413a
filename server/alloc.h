// The daemon's one rule for memory: an allocation never fails where it is
// asked for. When memory runs out the process ends at once with status 1,
// after one line on standard error ("quorreld: out of memory, exiting",
// written without allocating), since nothing it could still do would be of
// use.
//
// Thread: any; each call is one malloc or realloc.
#ifndef QUORREL_SERVER_ALLOC_H_
#define QUORREL_SERVER_ALLOC_H_

#include <stddef.h>

// malloc(size), zero-filled. Never returns null: on exhaustion the process
// ends at once with status 1 after its line. Caller frees with free().
void* ss_malloc(size_t size);

// realloc(block, size). Never returns null: on exhaustion `block` is freed and
// the process ends with status 1 after its line. New bytes are not zeroed.
void* ss_realloc(void* block, size_t size);

#endif  // QUORREL_SERVER_ALLOC_H_
