// The queue: local messages that could not be handed to the broker session
// when they arrived, oldest first. Three parts, read in this order:
//   - front: messages the session had taken but not finished when it was
//     lost, given back (in memory; at most the library's high-water mark);
//     with a directory, also written at once to its oldest file, so that
//     they outlive a crash or a power cut in their place;
//   - the spool: the queue directory's files, when there is one;
//   - memory: the queue itself without a directory, or, with one, the
//     messages that came while the disk could not take them (at most
//     kMemoryFallbackBytes, whatever the capacity).
// Sizes count records as stored: the record header and the payload.
// A message keeps its `taken` time through every part, the directory's
// files included (as seconds since the Unix epoch there, so that a message's
// age outlives a restart).
//
// Thread: main thread only.
#ifndef QUORREL_SERVER_MESSAGE_QUEUE_H_
#define QUORREL_SERVER_MESSAGE_QUEUE_H_

#include <stdint.h>

#include "server/held_message.h"
#include "server/queue_spool.h"

// How much a queue with a directory holds in memory while the disk fails.
constexpr uint64_t kMemoryFallbackBytes = 2 * 1024 * 1024;

// How long after a failed write the disk is tried again.
constexpr double kDiskRetrySeconds = 1.0;

struct message_queue {
  uint64_t capacity;  // bytes as stored; 0: no queue
  held_list front;
  // The directory's oldest file holds exactly the front's messages, in
  // order: taking one from the front marks its record read.
  bool front_on_disk;
  bool has_spool;
  spool disk;
  held_list memory;
  uint64_t memory_limit;  // bound of `memory`
  bool disk_failing;      // the current disk-trouble episode has been reported
  double disk_retry_at;   // monotonic time of the next try after a failure
  // Monotonic time of queue_open: when a message read from a record of
  // unknown time (format version 1) counts as taken.
  double opened;
};

// The stored size of a message of `len` payload bytes: the record header
// the directory's files are written with, and the payload. Files of an older
// version found at start count their own, smaller, headers.
inline uint64_t queue_record_bytes(uint32_t len) { return kSpoolRecordHeaderBytes + uint64_t{len}; }

// The time a record holds for a message taken at `taken` (monotonic
// seconds): seconds since the Unix epoch, with the monotonic and the wall
// clock (CLOCK_REALTIME) read now as `now_mono` and `now_wall`. Never 0,
// which a record reserves for an unknown time.
uint32_t queue_file_time(double taken, double now_mono, double now_wall);

// The `taken` (monotonic seconds) of a message whose record holds
// `file_time`, with the clocks read now as for queue_file_time: its age is
// how far the wall clock has gone since, and 0 should the wall clock now
// read earlier (it was set back). A `file_time` of 0 (unknown) gives
// `opened`.
double queue_taken_time(uint32_t file_time, double opened, double now_mono, double now_wall);

// Sets up a queue of `capacity` bytes, in memory, or in `dir` when not null:
// see spool_open for the directory and its results (0, 1 held by another
// process, -1 unusable). REQUIRES: `q` zero-initialised.
int queue_open(message_queue* q, uint64_t capacity, const char* dir);

// True when the queue has a capacity (queuesize above 0).
bool queue_enabled(const message_queue* q);

// True when the queue keeps its messages in a directory.
bool queue_on_disk(const message_queue* q);

// The largest stored record (queue_record_bytes) the queue could ever take
// as things stand: its capacity, or, while messages go to memory, the
// smaller bound of memory.
uint64_t queue_bound(const message_queue* q);

// Payload bytes a full queue must have room for again before the writers it
// holds back are read once more: an eighth of its bound, so that a full
// queue does not pause and resume the sockets per message.
uint32_t queue_resume_slack(const message_queue* q);

// True when the queue holds nothing.
bool queue_empty(const message_queue* q);

// Bytes and messages held, as stored.
uint64_t queue_stored_bytes(const message_queue* q);
uint32_t queue_count(const message_queue* q);

// When the oldest message waiting was taken (monotonic seconds), read from
// its record's header when it waits in a file; false when the queue is
// empty.
bool queue_oldest_taken(message_queue* q, double* taken);

// True when one more message of `len` bytes would not fit.
bool queue_full_for(const message_queue* q, uint32_t len);

// Adds `m` at the end, taking it over. Its bytes go to the directory when
// there is one and nothing waits in memory behind it; when the disk fails,
// to memory, with one ERR line per episode. Does not check the capacity
// (queue_full_for and queue_drop_oldest are the caller's).
void queue_push(message_queue* q, held_message* m, double now);

// Puts `list`'s messages before everything else, taking them over. With a
// directory, the front is written to a new oldest file there and synced
// (with the rest of a file partly read, so that nothing is read twice after
// a restart); when the disk cannot take it, it stays in memory, with the
// disk trouble episode's ERR line; `now` is the monotonic time.
void queue_push_front(message_queue* q, held_list* list, double now);

// Puts back `m`, which queue_pop just returned, as the oldest again, as
// queue_push_front does.
void queue_unpop(message_queue* q, held_message* m, double now);

// Removes and returns the oldest message (the caller owns it), or null when
// the queue is empty. A record the disk cannot give back is lost with an
// ERR line, and counted in *lost.
held_message* queue_pop(message_queue* q, uint32_t* lost);

// Drops the oldest messages (with a directory, the oldest file whole) to
// make room. Returns how many were dropped; 0 when the queue is empty.
uint32_t queue_drop_oldest(message_queue* q);

// Syncs the directory's files (see spool_sync); true when more is left to
// sync later. No-op without a directory.
bool queue_sync(message_queue* q);

// True when queue_sync has something to do.
bool queue_needs_sync(const message_queue* q);

// Frees what the queue holds in memory and closes its directory (the files
// stay). The queue is then as zero-initialised.
void queue_close(message_queue* q);

// At an orderly stop: writes `unfinished` (what the session had not
// finished), the front and the memory part to the directory, in order, and
// syncs. Returns how many messages could not be saved (with an ERR line).
// Without a directory, returns how many messages are held (all lost).
uint32_t queue_save_at_stop(message_queue* q, held_list* unfinished);

#endif  // QUORREL_SERVER_MESSAGE_QUEUE_H_
