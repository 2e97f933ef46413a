#include "server/queue_spool.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include "common/log.h"
#include "server/alloc.h"

namespace {

// The first segment of an empty directory: room below it for prepending.
constexpr uint64_t kFirstSeq = uint64_t{1} << 40;

// ---- System calls -------------------------------------------------------

int open_at(int dir_fd, const char* name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = openat(dir_fd, name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Writes every byte `iov` describes; short writes are continued. Returns 0
// or an errno value. Modifies `iov`.
int writev_all(int fd, struct iovec* iov, int count) {
  while (count > 0) {
    const ssize_t n = writev(fd, iov, count);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      return err;
    }
    // A regular file takes at least one byte or fails; zero would loop.
    if (n == 0) return EIO;
    size_t done = static_cast<size_t>(n);
    while (count > 0 && done >= iov->iov_len) {
      done -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + done;
      iov->iov_len -= done;
    }
  }
  return 0;
}

// Writes `count` records, header and payload each, in as few writev calls as
// the smallest IOV_MAX that POSIX allows (16) and ssize_t on 32 bits permit.
// Returns 0 or an errno value; a failure may leave part of a record written.
int write_records(int fd, const void* const* datas, const uint32_t* lens, const uint32_t* takens,
                  uint32_t count) {
  constexpr uint32_t kBatchRecords = 8;
  constexpr uint64_t kBatchBytes = uint64_t{1} << 30;
  unsigned char headers[kBatchRecords][kSpoolRecordHeaderBytes];
  struct iovec iov[2 * kBatchRecords];
  uint32_t done = 0;
  while (done < count) {
    uint32_t n = 0;
    uint64_t bytes = 0;
    while (done + n < count && n < kBatchRecords &&
           (n == 0 || bytes + kSpoolRecordHeaderBytes + lens[done + n] <= kBatchBytes)) {
      const void* data = datas[done + n];
      const uint32_t len = lens[done + n];
      spool_encode_record_header(data, len, takens[done + n], headers[n]);
      iov[2 * n].iov_base = headers[n];
      iov[2 * n].iov_len = kSpoolRecordHeaderBytes;
      iov[2 * n + 1].iov_base = const_cast<void*>(data);
      iov[2 * n + 1].iov_len = len;
      bytes += kSpoolRecordHeaderBytes + uint64_t{len};
      ++n;
    }
    const int err = writev_all(fd, iov, static_cast<int>(2 * n));
    if (err != 0) return err;
    done += n;
  }
  return 0;
}

int sync_data(int fd) {
  while (fdatasync(fd) != 0) {
    const int err = errno;
    if (err != EINTR) return err;
  }
  return 0;
}

// Syncs the directory, which makes files created or deleted in it durable.
int sync_dir(spool* s) {
  while (fsync(s->dir_fd) != 0) {
    const int err = errno;
    if (err == EINTR) continue;
    // Some file systems cannot sync a directory at all; nothing more can be
    // done there, and retrying every second would only repeat the error.
    if (err == EINVAL) break;
    return err;
  }
  s->dir_dirty = false;
  return 0;
}

// ---- The directory ------------------------------------------------------

// qsort's order for sequence numbers.
int compare_seq(const void* a, const void* b) {
  const uint64_t x = *static_cast<const uint64_t*>(a);
  const uint64_t y = *static_cast<const uint64_t*>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

// The sequence numbers of the directory's segment files, sorted, in an array
// the caller frees. False, with errno set, when the directory cannot be read.
bool list_segments(int dir_fd, uint64_t** seqs, size_t* count) {
  *seqs = nullptr;
  *count = 0;
  const int fd = open_at(dir_fd, ".", O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    const int err = errno;
    close(fd);
    errno = err;
    return false;
  }
  size_t capacity = 0;
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(d);
    if (entry == nullptr) {
      const int err = errno;
      closedir(d);
      if (err != 0) {
        free(*seqs);
        *seqs = nullptr;
        *count = 0;
        errno = err;
        return false;
      }
      break;
    }
    uint64_t seq;
    if (!parse_segment_name(entry->d_name, &seq)) continue;
    if (*count == capacity) {
      capacity = capacity == 0 ? 16 : 2 * capacity;
      *seqs = static_cast<uint64_t*>(ss_realloc(*seqs, capacity * sizeof **seqs));
    }
    (*seqs)[(*count)++] = seq;
  }
  if (*count > 1) qsort(*seqs, *count, sizeof **seqs, compare_seq);
  return true;
}

// ---- Segments -----------------------------------------------------------

void link_tail(spool* s, spool_segment* seg) {
  if (s->tail != nullptr) {
    s->tail->next = seg;
  } else {
    s->head = seg;
  }
  s->tail = seg;
}

// Moves `seg`'s next record past the damaged stretch that begins where it
// would, so that reading goes on at the next whole record.
void pass_gaps(spool_segment* seg) {
  while (seg->next_gap < seg->gap_count && seg->gaps[seg->next_gap].offset == seg->next_offset) {
    seg->next_offset += seg->gaps[seg->next_gap].bytes;
    ++seg->next_gap;
  }
}

// A segment of format `version` with `records` whole records, `bytes`
// bytes, and the damaged stretches `gaps` (taken over; null for none) among
// them.
spool_segment* new_segment(uint64_t seq, uint8_t version, uint64_t bytes, uint32_t records,
                           record_gap* gaps, uint32_t gap_count) {
  spool_segment* seg = static_cast<spool_segment*>(ss_malloc(sizeof *seg));
  seg->seq = seq;
  seg->version = version;
  seg->bytes = bytes;
  seg->records = records;
  seg->next_offset = kSpoolFileHeaderBytes;
  seg->gaps = gaps;
  seg->gap_count = gap_count;
  seg->unsynced = false;
  pass_gaps(seg);
  return seg;
}

// Frees `seg` and its list of damaged stretches.
void free_segment(spool_segment* seg) {
  free(seg->gaps);
  free(seg);
}

// Deletes segment `seq`. Returns 0 or an errno value (ENOENT counts as
// deleted).
int unlink_segment(spool* s, uint64_t seq) {
  char name[kSegmentNameBytes];
  segment_name(seq, name);
  s->dir_dirty = true;
  if (unlinkat(s->dir_fd, name, 0) == 0) return 0;
  const int err = errno;
  return err == ENOENT ? 0 : err;
}

// Deletes a segment whose records are done with, saying when it stays.
void delete_segment(spool* s, uint64_t seq) {
  const int err = unlink_segment(s, seq);
  if (err != 0) {
    char name[kSegmentNameBytes];
    segment_name(seq, name);
    diag_err("queue file %s/%s not deleted: " QUORREL_CAUSE_TEXT
             "; its messages are read again at the next start\n",
             s->dir, name, diag_cause_text(err));
  }
}

// Creates segment `seq` with its file header. Returns 0 with *fd open for
// writing, or an errno value with nothing left behind.
int create_segment(spool* s, uint64_t seq, int* fd) {
  char name[kSegmentNameBytes];
  segment_name(seq, name);
  *fd = open_at(s->dir_fd, name, O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (*fd < 0) return errno;
  // The name is taken from here on, even should deleting it fail below.
  if (seq >= s->next_seq) s->next_seq = seq + 1;
  if (seq < s->lowest_seq) s->lowest_seq = seq;
  s->dir_dirty = true;
  unsigned char header[kSpoolFileHeaderBytes];
  segment_file_header(header);
  struct iovec iov = {header, sizeof header};
  const int err = writev_all(*fd, &iov, 1);
  if (err != 0) {
    close(*fd);
    *fd = -1;
    unlink_segment(s, seq);
  }
  return err;
}

// Stops appending to the write segment. What it holds unsynced is synced by
// the next spool_sync, which opens it again by name: syncing here would
// sync once per segment under a fast fill.
int retire_write_segment(spool* s) {
  if (s->dirty) s->tail->unsynced = true;
  close(s->write_fd);
  s->write_fd = -1;
  s->dirty = false;
  return 0;
}

// Syncs the closed segments that still owe a sync, oldest first.
int sync_retired_segments(spool* s) {
  for (spool_segment* seg = s->head; seg != nullptr; seg = seg->next) {
    if (!seg->unsynced) continue;
    char name[kSegmentNameBytes];
    segment_name(seg->seq, name);
    const int fd = open_at(s->dir_fd, name, O_RDONLY);
    if (fd < 0) return errno;
    const int err = sync_data(fd);
    close(fd);
    if (err != 0) return err;
    seg->unsynced = false;
  }
  return 0;
}

bool any_retired_unsynced(const spool* s) {
  for (const spool_segment* seg = s->head; seg != nullptr; seg = seg->next) {
    if (seg->unsynced) return true;
  }
  return false;
}

// Deletes the head segment and forgets it. Its records must have been taken
// off the counts already.
void remove_head(spool* s) {
  spool_segment* seg = s->head;
  if (s->read_fd >= 0) {
    close(s->read_fd);
    s->read_fd = -1;
  }
  if (seg == s->tail && s->write_fd >= 0) {
    // Nothing to sync in a file about to go.
    close(s->write_fd);
    s->write_fd = -1;
    s->dirty = false;
  }
  delete_segment(s, seg->seq);
  s->head = seg->next;
  if (s->head == nullptr) s->tail = nullptr;
  free_segment(seg);
}

// Counts the head segment's next record, of `len` payload bytes, as read,
// and deletes the segment when that was its last.
void mark_read(spool* s, uint32_t len) {
  spool_segment* seg = s->head;
  const uint64_t record = record_header_bytes(seg->version) + uint64_t{len};
  seg->read_records += 1;
  seg->read_bytes += record;
  seg->next_offset += record;
  pass_gaps(seg);
  s->stored_records -= 1;
  s->stored_bytes -= record;
  if (seg->read_records == seg->records) remove_head(s);
}

// Takes the head segment's unread records off the counts and deletes it.
// Returns how many there were.
uint32_t drop_head(spool* s) {
  spool_segment* seg = s->head;
  const uint32_t unread = seg->records - seg->read_records;
  s->stored_records -= unread;
  s->stored_bytes -= seg->bytes - seg->read_bytes;
  remove_head(s);
  return unread;
}

// read_record_header's result when the file ends before the header does.
constexpr int kCutShort = -1;

// Opens the head segment for reading when it is not yet, and reads the next
// record's header, of the segment's version, into `h`. Returns 0,
// kCutShort, or an errno value.
int read_record_header(spool* s, unsigned char h[kSpoolRecordHeaderBytes]) {
  const spool_segment* seg = s->head;
  if (s->read_fd < 0) {
    char name[kSegmentNameBytes];
    segment_name(seg->seq, name);
    s->read_fd = open_at(s->dir_fd, name, O_RDONLY);
    if (s->read_fd < 0) return errno;
  }
  const uint32_t hb = record_header_bytes(seg->version);
  const ssize_t got = segment_pread(s->read_fd, h, hb, seg->next_offset);
  if (got < 0) return errno;
  return got == static_cast<ssize_t>(hb) ? 0 : kCutShort;
}

// Gives the head segment up after the ERR line saying why; returns -1 with
// its unread records in *lost.
int give_up_head(spool* s, const char* why, uint32_t* lost) {
  const spool_segment* seg = s->head;
  char name[kSegmentNameBytes];
  segment_name(seg->seq, name);
  diag_err("queue file %s/%s: record at offset %llu unreadable (%s); %" PRIu32
           " messages in the file lost\n",
           s->dir, name, static_cast<unsigned long long>(seg->next_offset), why,
           seg->records - seg->read_records);
  *lost = drop_head(s);
  return -1;
}

}  // namespace

int spool_open(spool* s, const char* dir, uint64_t segment_target) {
  s->dir_fd = -1;
  s->read_fd = -1;
  s->write_fd = -1;
  s->segment_target = segment_target;
  if (mkdir(dir, 0700) == 0) {
    // The new directory's own name lives in its parent: make it durable
    // too, or a power cut could take the directory and all in it. Best
    // effort: the queue works without.
    const size_t n = strlen(dir);
    char* parent = static_cast<char*>(ss_malloc(n + 4));
    memcpy(parent, dir, n);
    memcpy(parent + n, "/..", 4);
    const int fd = open_at(AT_FDCWD, parent, O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
      fsync(fd);
      close(fd);
    }
    free(parent);
  } else if (errno != EEXIST) {
    const int err = errno;
    diag_err_errno_text(err, "queue directory %s not created: mkdir", dir);
    return -1;
  }
  const int fd = open_at(AT_FDCWD, dir, O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    const int err = errno;
    diag_err_errno_text(err, "queue directory %s not opened", dir);
    return -1;
  }
  // The lock goes with the descriptor, and so with the process however it
  // ends: no stale lock file to clean up after a crash.
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EINTR) continue;
    close(fd);
    if (err == EWOULDBLOCK) {
      diag_err("queue directory %s is in use by another quorreld\n", dir);
      return 1;
    }
    diag_err_errno_text(err, "queue directory %s not locked: flock", dir);
    return -1;
  }
  s->dir_fd = fd;
  const size_t n = strlen(dir);
  s->dir = static_cast<char*>(ss_malloc(n + 1));
  memcpy(s->dir, dir, n + 1);

  uint64_t* seqs;
  size_t count;
  if (!list_segments(s->dir_fd, &seqs, &count)) {
    const int err = errno;
    diag_err_errno_text(err, "queue directory %s not read", dir);
    spool_close(s);
    return -1;
  }
  // Every name counts, even of files skipped below: a new segment must
  // never collide with one, nor sort among the segments in use.
  s->next_seq = count != 0 ? seqs[count - 1] + 1 : kFirstSeq;
  s->lowest_seq = count != 0 ? seqs[0] : kFirstSeq;
  for (size_t i = 0; i < count; ++i) {
    char name[kSegmentNameBytes];
    segment_name(seqs[i], name);
    const int file_fd = open_at(s->dir_fd, name, O_RDONLY);
    if (file_fd < 0) {
      const int err = errno;
      diag_err_errno_text(err, "queue file %s/%s not opened", s->dir, name);
      continue;
    }
    segment_scan scan;
    const bool keep = scan_segment_file(file_fd, s->dir, name, &scan);
    close(file_fd);
    if (!keep) continue;
    if (scan.records == 0) {
      free(scan.gaps);
      delete_segment(s, seqs[i]);
      continue;
    }
    link_tail(
        s, new_segment(seqs[i], scan.version, scan.bytes, scan.records, scan.gaps, scan.gap_count));
    s->stored_records += scan.records;
    s->stored_bytes += scan.bytes;
  }
  free(seqs);
  diag_debug("queue directory %s: %" PRIu32 " messages, %llu bytes\n", dir, s->stored_records,
             static_cast<unsigned long long>(s->stored_bytes));
  return 0;
}

int spool_append(spool* s, const void* data, uint32_t len, uint32_t taken) {
  if (len > kSpoolLargestRecord) return EMSGSIZE;
  if (s->write_fd >= 0 && s->write_size >= s->segment_target && s->tail->records != 0) {
    const int err = retire_write_segment(s);
    if (err != 0) return err;
  }
  const bool fresh = s->write_fd < 0;
  const uint64_t seq = s->next_seq;
  int fd = s->write_fd;
  if (fresh) {
    if (seq == 0) return EOVERFLOW;  // the names wrapped around
    const int err = create_segment(s, seq, &fd);
    if (err != 0) return err;
  }
  const int err = write_records(fd, &data, &len, &taken, 1);
  if (err != 0) {
    if (fresh) {
      // Holds no whole record. Should deleting it fail, the next start
      // finds it without one and deletes it then.
      close(fd);
      unlink_segment(s, seq);
      return err;
    }
    // Cut the partial record off, so that the next start finds no torn
    // tail. Should that fail too, the reader there stops before it all the
    // same. Either way this file takes nothing more: its end is uncertain.
    if (ftruncate(fd, static_cast<off_t>(s->write_size)) != 0) {
      // Nothing more to do: the records before stay readable.
    }
    // Best effort, as the descriptor goes: the caller hears of the failed
    // write already.
    if (s->dirty) sync_data(fd);
    close(fd);
    s->write_fd = -1;
    s->dirty = false;
    return err;
  }
  if (fresh) {
    link_tail(s, new_segment(seq, kSpoolFormatVersion, 0, 0, nullptr, 0));
    s->write_fd = fd;
    s->write_size = kSpoolFileHeaderBytes;
  }
  const uint64_t record = kSpoolRecordHeaderBytes + uint64_t{len};
  s->tail->records += 1;
  s->tail->bytes += record;
  s->write_size += record;
  s->stored_records += 1;
  s->stored_bytes += record;
  s->dirty = true;
  return 0;
}

int spool_prepend(spool* s, const void* const* datas, const uint32_t* lens, const uint32_t* takens,
                  uint32_t count) {
  if (count == 0) return 0;
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (lens[i] > kSpoolLargestRecord) return EMSGSIZE;
    bytes += kSpoolRecordHeaderBytes + uint64_t{lens[i]};
  }
  uint64_t seq;
  if (s->head != nullptr) {
    if (s->lowest_seq == 0) return EOVERFLOW;
    seq = s->lowest_seq - 1;
  } else {
    seq = s->next_seq;
    if (seq == 0) return EOVERFLOW;
  }
  // The segment being read stops being the head; spool_pop opens the new
  // one. This also keeps within kSpoolDescriptors.
  if (s->read_fd >= 0) {
    close(s->read_fd);
    s->read_fd = -1;
  }
  int fd;
  int err = create_segment(s, seq, &fd);
  if (err != 0) return err;
  err = write_records(fd, datas, lens, takens, count);
  // Written only at an orderly stop, which is followed by no spool_sync
  // that could still reach this file: synced here, whole.
  if (err == 0) err = sync_data(fd);
  close(fd);
  if (err == 0) err = sync_dir(s);
  if (err != 0) {
    unlink_segment(s, seq);
    return err;
  }
  spool_segment* seg = new_segment(seq, kSpoolFormatVersion, bytes, count, nullptr, 0);
  seg->next = s->head;
  s->head = seg;
  if (s->tail == nullptr) s->tail = seg;
  s->stored_records += count;
  s->stored_bytes += bytes;
  return 0;
}

int spool_pop(spool* s, unsigned char** data, uint32_t* len, uint32_t* taken, uint32_t* lost) {
  *lost = 0;
  spool_segment* seg = s->head;
  if (seg == nullptr) return 0;
  unsigned char h[kSpoolRecordHeaderBytes];
  int err = read_record_header(s, h);
  if (err != 0) {
    return give_up_head(s, err == kCutShort ? "file cut short" : diag_cause_text(err), lost);
  }
  const uint8_t version = seg->version;
  const uint32_t hb = record_header_bytes(version);
  const uint32_t n = get_le32(h);
  const uint64_t record = hb + uint64_t{n};
  // The file no longer holds what it held when its records were counted.
  if (record > seg->bytes - seg->read_bytes) return give_up_head(s, "length changed", lost);
  unsigned char* payload = static_cast<unsigned char*>(malloc(n != 0 ? n : 1));
  if (payload == nullptr) {
    diag_err("queue file record of %" PRIu32 " bytes not read: out of memory\n", n);
    return -1;
  }
  const ssize_t got = segment_pread(s->read_fd, payload, n, seg->next_offset + hb);
  if (got != static_cast<ssize_t>(n)) {
    err = got < 0 ? errno : 0;
    free(payload);
    return give_up_head(s, got < 0 ? diag_cause_text(err) : "file cut short", lost);
  }
  // Checked again although it passed at start: the disk may have changed
  // under us since, and a damaged message must not reach the broker.
  if (!record_crc_ok(version, h, payload, n)) {
    free(payload);
    return give_up_head(s, "checksum mismatch", lost);
  }
  mark_read(s, n);
  *data = payload;
  *len = n;
  *taken = record_taken(version, h);
  return 1;
}

bool spool_peek_length(spool* s, uint32_t* len) {
  const spool_segment* seg = s->head;
  if (seg == nullptr) return false;
  // On a failure, 0: spool_pop meets the same failure and gives the file up
  // with its ERR line and count of lost messages.
  *len = 0;
  unsigned char h[kSpoolRecordHeaderBytes];
  if (read_record_header(s, h) == 0 &&
      record_header_bytes(seg->version) + uint64_t{get_le32(h)} <= seg->bytes - seg->read_bytes) {
    *len = get_le32(h);
  }
  return true;
}

bool spool_peek_taken(spool* s, uint32_t* taken) {
  const spool_segment* seg = s->head;
  if (seg == nullptr) return false;
  *taken = 0;
  unsigned char h[kSpoolRecordHeaderBytes];
  if (read_record_header(s, h) == 0) *taken = record_taken(seg->version, h);
  return true;
}

void spool_skip(spool* s, uint32_t len) { mark_read(s, len); }

uint32_t spool_drop_oldest(spool* s) { return s->head != nullptr ? drop_head(s) : 0; }

int spool_sync(spool* s) {
  const int retired_err = sync_retired_segments(s);
  if (retired_err != 0) return retired_err;
  if (s->dirty && s->write_fd >= 0) {
    const int err = sync_data(s->write_fd);
    if (err != 0) return err;
  }
  s->dirty = false;
  if (s->dir_dirty) return sync_dir(s);
  return 0;
}

bool spool_needs_sync(const spool* s) {
  return s->dirty || s->dir_dirty || any_retired_unsynced(s);
}

void spool_close(spool* s) {
  // Never opened, or closed already: a zero-initialised spool's descriptors
  // read 0, which is not ours to close.
  if (s->dir == nullptr) return;
  if (s->read_fd >= 0) close(s->read_fd);
  if (s->write_fd >= 0) close(s->write_fd);
  if (s->dir_fd >= 0) close(s->dir_fd);
  s->read_fd = s->write_fd = s->dir_fd = -1;
  while (s->head != nullptr) {
    spool_segment* next = s->head->next;
    free_segment(s->head);
    s->head = next;
  }
  s->tail = nullptr;
  free(s->dir);
  s->dir = nullptr;
  s->stored_records = 0;
  s->stored_bytes = 0;
  s->dirty = s->dir_dirty = false;
}
