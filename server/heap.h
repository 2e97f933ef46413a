// The daemon's use of the C library's allocator: how it is tuned at start-up
// and how freed memory is handed back to the system. The only place where the
// daemon's behaviour depends on which C library it is built against.
#ifndef QUORREL_SERVER_HEAP_H_
#define QUORREL_SERVER_HEAP_H_

// Tunes the allocator for a long-lived daemon with one busy thread and one
// mostly idle one. Call once, first thing in the main thread, before any
// other thread exists. Does nothing where the C library offers no such knobs.
void heap_configure(void);

// Hands memory the allocator holds free back to the system. Called on the
// session thread at the end of a burst; safe on any thread.
void heap_release_free(void);

#endif  // QUORREL_SERVER_HEAP_H_
