// The queue's files: messages that have to wait for the broker, kept in a
// directory so that they outlive a restart, a crash and a power cut.
//
// The directory holds segment files, oldest first by name; queue_record.h
// gives their format. Files are appended to and deleted whole, never
// rewritten in place: flash wears by the block rewritten. A file found at
// start is never appended to; so every file this process writes has
// kSpoolFormatVersion, while a file found at start may have an older one.
//
// Sync policy: records are written with write(2) as they come, so that a
// crash of the daemon loses none; the files written to and the directory
// are synced by spool_sync, which the owner calls at most once a second
// while anything is dirty. A power cut thus loses at most the last second.
//
// Thread: main thread only.
#ifndef QUORREL_SERVER_QUEUE_SPOOL_H_
#define QUORREL_SERVER_QUEUE_SPOOL_H_

#include <stddef.h>
#include <stdint.h>

#include "server/queue_record.h"

// Largest and smallest segment a spool starts a new file after.
constexpr uint64_t kSpoolMaxSegmentBytes = 1024 * 1024;
constexpr uint64_t kSpoolMinSegmentBytes = 4 * 1024;

// Descriptors a spool may hold open at once: the directory (which also
// holds the lock), the segment being read and the segment being written.
constexpr int kSpoolDescriptors = 3;

// One segment file known to the spool, oldest first in spool::segments.
struct spool_segment {
  uint64_t seq;  // the file's sequence number (its name)
  // The file's format version, which fixes its record header size
  // (record_header_bytes): the counts below are in its own records' sizes.
  uint8_t version;
  uint64_t bytes;    // bytes of whole records in it (file header excluded)
  uint32_t records;  // whole records in it
  // Of those, the ones spool_pop has handed out and their bytes. Kept per
  // segment because spool_prepend can put a new head before a segment
  // partly read.
  uint32_t read_records;
  uint64_t read_bytes;
  // File offset of the next record to read.
  uint64_t next_offset;
  // The damaged stretches the start-up read skipped, in file order, which
  // reading jumps over (owned; null for a file this process wrote), and the
  // index of the first not yet passed.
  record_gap* gaps;
  uint32_t gap_count;
  uint32_t next_gap;
  // Written to and closed since the last spool_sync, which still owes it a
  // sync: a segment that fills is not synced at once, so that a fast fill
  // still syncs only once a second.
  bool unsynced;
  spool_segment* next;
};

// The directory and its segments. Owns its descriptors and segment list.
struct spool {
  int dir_fd;               // the directory, locked; -1 when closed
  char* dir;                // the directory's path (owned)
  uint64_t segment_target;  // a new segment is started once one reaches it
  spool_segment* head;      // oldest segment, read next; null when empty
  spool_segment* tail;      // newest segment
  uint64_t stored_bytes;    // record bytes (headers and payloads) not yet read
  uint32_t stored_records;  // records not yet read, in all segments
  uint64_t next_seq;        // name of the next segment started after the tail
  uint64_t lowest_seq;      // smallest name seen in the directory; prepending goes below
  // Reading: the head segment's descriptor; -1 when not open.
  int read_fd;
  // Writing: the tail segment's descriptor when it was created by this
  // process and may be appended to; -1 otherwise.
  int write_fd;
  uint64_t write_size;  // its size, file header included
  // The write segment written to since the last spool_sync. It is the only
  // file that can be: one given up as the write segment is synced then.
  bool dirty;
  bool dir_dirty;  // a file created or deleted since the last spool_sync
};

// Creates `dir` when missing (mode 0700, not its parents), opens and locks
// it, and reads every segment through (scan_segment_file): a damaged record
// (a header cut short, a length past the end of the file, a checksum that
// fails) costs only itself, the whole records after it are kept, and a
// damaged file gives one WARNING line that says how many bytes were
// skipped. Files without a whole record are deleted. `segment_target` bytes
// make a segment.
// Returns 0; 1 after an ERR line when another process holds the lock
// ("queue directory %s is in use by another quorreld"); -1 after an ERR
// line when the directory cannot be created, opened, locked or read.
// REQUIRES: `s` zero-initialised.
int spool_open(spool* s, const char* dir, uint64_t segment_target);

// Appends one record of `len` bytes at `data`, taken at `taken` (seconds
// since the Unix epoch, 0 for unknown). Returns 0, or an errno value when
// it could not be written whole (ENOSPC, EDQUOT, EFBIG, EIO, EMFILE, ...);
// nothing then counts as stored, and a partly written record is not left to
// be read back (the segment it was to go to takes no further records). Logs
// nothing: the caller reports the episode.
int spool_append(spool* s, const void* data, uint32_t len, uint32_t taken);

// Writes `count` records (`datas[i]`, `lens[i]`, taken at `takens[i]` as
// for spool_append) into a new segment before the head, so that they are
// read before anything else: what the broker had not acknowledged, saved at
// an orderly stop. Returns 0 or an errno value (nothing then counts as
// stored).
int spool_prepend(spool* s, const void* const* datas, const uint32_t* lens, const uint32_t* takens,
                  uint32_t count);

// Reads the oldest record into a buffer allocated with malloc, which the
// caller then owns. Returns 1 with *data, *len and *taken (seconds since the
// Unix epoch; 0 when unknown, as in every version 1 record) set; 0 when the
// spool is empty; -1 after an ERR line when the head segment cannot be read
// (it is then given up: deleted, its remaining records counted in *lost). A
// segment is deleted once its last record has been read.
int spool_pop(spool* s, unsigned char** data, uint32_t* len, uint32_t* taken, uint32_t* lost);

// Length of the oldest record without reading it; false when empty.
bool spool_peek_length(spool* s, uint32_t* len);

// The time the oldest record's message was taken, as its header has it (0:
// not known, or the header cannot be read), without reading the record;
// false when empty.
bool spool_peek_taken(spool* s, uint32_t* taken);

// Counts the oldest record as read without reading it, for a caller that
// holds a copy of it: the counts change and a segment is deleted once its
// last record is read, as for spool_pop.
// REQUIRES: the oldest record is `len` payload bytes long and lies in a
// segment this process wrote (spool_append or spool_prepend).
void spool_skip(spool* s, uint32_t len);

// Deletes the oldest segment whole, to make room. Returns the number of
// records it held (those not yet read), 0 when the spool is empty.
uint32_t spool_drop_oldest(spool* s);

// Syncs every file written since the last call, then the directory when a
// file was created or deleted. Returns 0, or an errno value after which the
// next call tries again.
int spool_sync(spool* s);

// True when spool_sync has something to do.
bool spool_needs_sync(const spool* s);

// Closes every descriptor (the lock goes with the directory's) and frees
// the segment list. The files stay. Does nothing to a spool that is not
// open (zero-initialised, failed to open, or closed already).
void spool_close(spool* s);

#endif  // QUORREL_SERVER_QUEUE_SPOOL_H_
