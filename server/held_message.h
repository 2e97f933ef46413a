// One local message the daemon holds: waiting in the queue, or handed to
// the MQTT library and not yet reported written (QoS 0) or acknowledged
// (QoS 1 and 2). libmosquitto offers no way to list or take back what it
// holds, so the daemon keeps its own copy until the library is done with it.
//
// Thread: a message belongs to one owner at a time (the queue or the
// publish records); it is handed between threads only under the publish
// records' lock.
#ifndef QUORREL_SERVER_HELD_MESSAGE_H_
#define QUORREL_SERVER_HELD_MESSAGE_H_

#include <stdint.h>

struct held_message {
  held_message* next;  // neighbours in whichever list holds it
  held_message* prev;
  unsigned char* bytes;  // the payload (malloc'd, owned; may be null when len is 0)
  uint32_t len;
  uint64_t seq;  // arrival number: the same message across sessions
  // monotonic_seconds() when the daemon took the message: set when it is
  // made, kept by the queue, also through its directory's files. Its age
  // decides whether it has expired (the `messageexpiry` setting).
  double taken;
};

// A message holding a copy of `len` bytes at `data`, taken now. Never
// fails (memory exhaustion ends the process, as every allocation of the
// daemon does).
held_message* held_message_copy(const void* data, uint32_t len);

// A message that takes over `bytes` (malloc'd, `len` bytes used), shrunk to
// fit, taken now; `bytes` must not be used by the caller afterwards.
held_message* held_message_adopt(unsigned char* bytes, uint32_t len);

// Frees the message and its payload. Null is ignored.
void held_message_free(held_message* m);

// A list of messages in order, oldest first; owns them.
struct held_list {
  held_message* head;
  held_message* tail;
  uint32_t count;
  uint64_t bytes;  // payload bytes
};

void held_list_push_back(held_list* list, held_message* m);
// Takes `front` whole and puts it before `list`'s messages; `front` is left empty.
void held_list_splice_front(held_list* list, held_list* front);
// Removes and returns the oldest, or null.
held_message* held_list_pop_front(held_list* list);
void held_list_remove(held_list* list, held_message* m);
// Frees every message; returns how many there were.
uint32_t held_list_free_all(held_list* list);

#endif  // QUORREL_SERVER_HELD_MESSAGE_H_
