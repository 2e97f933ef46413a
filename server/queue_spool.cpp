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

// MQTT's limit on a packet: no message the daemon relays is longer, so a
// longer length in a record header can only be damage.
constexpr uint32_t kLargestRecord = 268435455;

// The first segment of an empty directory: room below it for prepending.
constexpr uint64_t kFirstSeq = uint64_t{1} << 40;

// What spool_open reads a file through: records may be far larger, so the
// checksum is run over them a buffer at a time.
constexpr size_t kScanBufferBytes = 64 * 1024;

constexpr unsigned char kFileMagic[4] = {'Q', 'R', 'L', 'Q'};

// "%016llx.q" and its terminating zero.
constexpr size_t kNameBytes = 19;

// ---- CRC-32C ------------------------------------------------------------

// Slicing-by-8 tables for the reflected polynomial 0x82f63b78, computed by
// the compiler: table[0] is the classic byte table; table[k][b] is the CRC
// of byte b followed by k zero bytes, so eight bytes fold in one step.
struct crc_tables {
  uint32_t t[8][256];
};

constexpr crc_tables make_crc_tables() {
  crc_tables tables{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t crc = b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) ? 0x82f63b78u : 0u);
    tables.t[0][b] = crc;
  }
  for (int k = 1; k < 8; ++k) {
    for (uint32_t b = 0; b < 256; ++b) {
      const uint32_t prev = tables.t[k - 1][b];
      tables.t[k][b] = (prev >> 8) ^ tables.t[0][prev & 0xffu];
    }
  }
  return tables;
}

constexpr crc_tables kCrc = make_crc_tables();

// ---- Byte order ---------------------------------------------------------

// Byte by byte, so that the files read the same on either byte order.
uint32_t get_le32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void put_le32(uint32_t v, unsigned char* p) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

void make_file_header(unsigned char out[kSpoolFileHeaderBytes]) {
  memcpy(out, kFileMagic, sizeof kFileMagic);
  out[4] = kSpoolFormatVersion;
  out[5] = out[6] = out[7] = 0;
}

// True when the `got` bytes of `h` begin the file header this version writes.
bool header_prefix_ok(const unsigned char* h, ssize_t got) {
  unsigned char expected[kSpoolFileHeaderBytes];
  make_file_header(expected);
  return got >= 0 && memcmp(h, expected, static_cast<size_t>(got)) == 0;
}

bool file_header_ok(const unsigned char* h) {
  return memcmp(h, kFileMagic, sizeof kFileMagic) == 0 && h[4] == kSpoolFormatVersion &&
         h[5] == 0 && h[6] == 0 && h[7] == 0;
}

// True when the checksum in record header `h` matches it and `payload`.
bool record_crc_ok(const unsigned char* h, const void* payload, uint32_t len) {
  return crc32c(crc32c(0, h, 4), payload, len) == get_le32(h + 4);
}

// ---- Names --------------------------------------------------------------

void segment_name(uint64_t seq, char out[kNameBytes]) {
  snprintf(out, kNameBytes, "%016llx.q", static_cast<unsigned long long>(seq));
}

// True when `name` is exactly 16 lower-case hex digits and ".q".
bool parse_segment_name(const char* name, uint64_t* seq) {
  uint64_t v = 0;
  for (int i = 0; i < 16; ++i) {
    const char c = name[i];
    if (c >= '0' && c <= '9') {
      v = v << 4 | static_cast<uint64_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      v = v << 4 | static_cast<uint64_t>(c - 'a' + 10);
    } else {
      return false;
    }
  }
  if (strcmp(name + 16, ".q") != 0) return false;
  *seq = v;
  return true;
}

int compare_seq(const void* a, const void* b) {
  const uint64_t x = *static_cast<const uint64_t*>(a);
  const uint64_t y = *static_cast<const uint64_t*>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

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
int write_records(int fd, const void* const* datas, const uint32_t* lens, uint32_t count) {
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
      spool_encode_record_header(data, len, headers[n]);
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

// Reads `len` bytes at `offset`. Returns the bytes read, fewer only at the
// end of the file, or -1 with errno set.
ssize_t pread_all(int fd, void* buf, size_t len, uint64_t offset) {
  size_t done = 0;
  while (done < len) {
    const ssize_t n =
        pread(fd, static_cast<char*>(buf) + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
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

// ---- Reading at start ---------------------------------------------------

// A file read front to back through one buffer.
struct scan_reader {
  int fd;
  unsigned char* buf;  // kScanBufferBytes
  size_t pos;
  size_t end;
};

// Bytes buffered, after a read when none were: 0 at the end of the file, -1
// with errno set on a read error.
ssize_t reader_fill(scan_reader* r) {
  if (r->pos < r->end) return static_cast<ssize_t>(r->end - r->pos);
  for (;;) {
    const ssize_t n = read(r->fd, r->buf, kScanBufferBytes);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    r->pos = 0;
    r->end = static_cast<size_t>(n);
    return n;
  }
}

// Copies `len` bytes; fewer only at the end of the file; -1 on a read error.
ssize_t reader_copy(scan_reader* r, unsigned char* out, size_t len) {
  size_t done = 0;
  while (done < len) {
    const ssize_t avail = reader_fill(r);
    if (avail < 0) return -1;
    if (avail == 0) break;
    size_t take = len - done;
    if (take > static_cast<size_t>(avail)) take = static_cast<size_t>(avail);
    memcpy(out + done, r->buf + r->pos, take);
    r->pos += take;
    done += take;
  }
  return static_cast<ssize_t>(done);
}

// Runs `len` bytes through `*crc` without keeping them. Returns the bytes
// consumed, fewer only at the end of the file; -1 on a read error.
int64_t reader_checksum(scan_reader* r, uint64_t len, uint32_t* crc) {
  uint64_t done = 0;
  while (done < len) {
    const ssize_t avail = reader_fill(r);
    if (avail < 0) return -1;
    if (avail == 0) break;
    uint64_t take = len - done;
    if (take > static_cast<uint64_t>(avail)) take = static_cast<uint64_t>(avail);
    *crc = crc32c(*crc, r->buf + r->pos, static_cast<size_t>(take));
    r->pos += static_cast<size_t>(take);
    done += take;
  }
  return static_cast<int64_t>(done);
}

// Reads segment `name` through and sets *records and *bytes to its whole
// records. False, after a line that says why, when the file is to be left
// alone: unreadable, or not a queue file of our version.
bool scan_segment(const spool* s, const char* name, unsigned char* buf, uint32_t* records,
                  uint64_t* bytes) {
  *records = 0;
  *bytes = 0;
  scan_reader r = {open_at(s->dir_fd, name, O_RDONLY), buf, 0, 0};
  if (r.fd < 0) {
    const int err = errno;
    diag_err_errno_text(err, "queue file %s/%s not opened", s->dir, name);
    return false;
  }
  struct stat st;
  if (fstat(r.fd, &st) != 0) {
    const int err = errno;
    diag_err_errno_text(err, "queue file %s/%s: fstat failed", s->dir, name);
    close(r.fd);
    return false;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  int read_err = 0;
  unsigned char header[kSpoolFileHeaderBytes];
  const ssize_t got = reader_copy(&r, header, sizeof header);
  if (got < 0) {
    read_err = errno;
  } else if (got < static_cast<ssize_t>(sizeof header) && header_prefix_ok(header, got)) {
    // A file this daemon had only begun to create when a crash or a power
    // cut came: it holds no record and is deleted like an empty segment.
    close(r.fd);
    return true;
  } else if (got < static_cast<ssize_t>(sizeof header) || !file_header_ok(header)) {
    diag_warn("queue file %s/%s: not a queue file of version %d, skipped\n", s->dir, name,
              kSpoolFormatVersion);
    close(r.fd);
    return false;
  }
  uint64_t whole = kSpoolFileHeaderBytes;  // end of the last whole record
  while (read_err == 0) {
    unsigned char h[kSpoolRecordHeaderBytes];
    const ssize_t n = reader_copy(&r, h, sizeof h);
    if (n < 0) read_err = errno;
    if (n != static_cast<ssize_t>(sizeof h)) break;
    const uint32_t len = get_le32(h);
    const uint64_t record = kSpoolRecordHeaderBytes + uint64_t{len};
    if (len > kLargestRecord || whole + record > size) break;
    uint32_t crc = crc32c(0, h, 4);
    const int64_t summed = reader_checksum(&r, len, &crc);
    if (summed < 0) read_err = errno;
    if (summed != static_cast<int64_t>(len) || crc != get_le32(h + 4)) break;
    whole += record;
    ++*records;
  }
  close(r.fd);
  if (read_err != 0) {
    diag_err_errno_text(read_err, "queue file %s/%s not read", s->dir, name);
    *records = 0;
    return false;
  }
  // Anything after the last whole record: a write cut short by a crash or a
  // power cut, or damage. Records after the first damaged one cannot be
  // trusted to start where the damaged one says it ends.
  if (size > whole) {
    diag_warn(
        "queue file %s/%s: %llu bytes after the last whole record dropped (torn or corrupt)\n",
        s->dir, name, static_cast<unsigned long long>(size - whole));
  }
  *bytes = whole - kSpoolFileHeaderBytes;
  return true;
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

spool_segment* new_segment(uint64_t seq, uint64_t bytes, uint32_t records) {
  spool_segment* seg = static_cast<spool_segment*>(ss_malloc(sizeof *seg));
  seg->seq = seq;
  seg->bytes = bytes;
  seg->records = records;
  seg->unsynced = false;
  return seg;
}

// Deletes segment `seq`. Returns 0 or an errno value (ENOENT counts as
// deleted).
int unlink_segment(spool* s, uint64_t seq) {
  char name[kNameBytes];
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
    char name[kNameBytes];
    segment_name(seq, name);
    diag_err("queue file %s/%s not deleted: " QUORREL_CAUSE_TEXT
             "; its messages are read again at the next start\n",
             s->dir, name, diag_cause_text(err));
  }
}

// Creates segment `seq` with its file header. Returns 0 with *fd open for
// writing, or an errno value with nothing left behind.
int create_segment(spool* s, uint64_t seq, int* fd) {
  char name[kNameBytes];
  segment_name(seq, name);
  *fd = open_at(s->dir_fd, name, O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (*fd < 0) return errno;
  // The name is taken from here on, even should deleting it fail below.
  if (seq >= s->next_seq) s->next_seq = seq + 1;
  if (seq < s->lowest_seq) s->lowest_seq = seq;
  s->dir_dirty = true;
  unsigned char header[kSpoolFileHeaderBytes];
  make_file_header(header);
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
    char name[kNameBytes];
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
  free(seg);
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
// record's header. Returns 0, kCutShort, or an errno value.
int read_record_header(spool* s, unsigned char h[kSpoolRecordHeaderBytes]) {
  const spool_segment* seg = s->head;
  if (s->read_fd < 0) {
    char name[kNameBytes];
    segment_name(seg->seq, name);
    s->read_fd = open_at(s->dir_fd, name, O_RDONLY);
    if (s->read_fd < 0) return errno;
  }
  const ssize_t got =
      pread_all(s->read_fd, h, kSpoolRecordHeaderBytes, kSpoolFileHeaderBytes + seg->read_bytes);
  if (got < 0) return errno;
  return got == static_cast<ssize_t>(kSpoolRecordHeaderBytes) ? 0 : kCutShort;
}

// Gives the head segment up after the ERR line saying why; returns -1 with
// its unread records in *lost.
int give_up_head(spool* s, const char* why, uint32_t* lost) {
  const spool_segment* seg = s->head;
  char name[kNameBytes];
  segment_name(seg->seq, name);
  diag_err("queue file %s/%s: record at offset %llu unreadable (%s); %" PRIu32
           " messages in the file lost\n",
           s->dir, name, static_cast<unsigned long long>(kSpoolFileHeaderBytes + seg->read_bytes),
           why, seg->records - seg->read_records);
  *lost = drop_head(s);
  return -1;
}

}  // namespace

uint32_t crc32c(uint32_t crc, const void* data, size_t len) noexcept {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  const auto& t = kCrc.t;
  crc = ~crc;
  while (len >= 8) {
    const uint32_t lo = crc ^ get_le32(p);
    const uint32_t hi = get_le32(p + 4);
    crc = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24] ^
          t[3][hi & 0xff] ^ t[2][(hi >> 8) & 0xff] ^ t[1][(hi >> 16) & 0xff] ^ t[0][hi >> 24];
    p += 8;
    len -= 8;
  }
  while (len-- > 0) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xff];
  return ~crc;
}

void spool_encode_record_header(const void* payload, uint32_t len, unsigned char out[8]) noexcept {
  put_le32(len, out);
  put_le32(crc32c(crc32c(0, out, 4), payload, len), out + 4);
}

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
  unsigned char* buf = static_cast<unsigned char*>(ss_malloc(kScanBufferBytes));
  for (size_t i = 0; i < count; ++i) {
    char name[kNameBytes];
    segment_name(seqs[i], name);
    uint32_t records;
    uint64_t bytes;
    if (!scan_segment(s, name, buf, &records, &bytes)) continue;
    if (records == 0) {
      delete_segment(s, seqs[i]);
      continue;
    }
    link_tail(s, new_segment(seqs[i], bytes, records));
    s->stored_records += records;
    s->stored_bytes += bytes;
  }
  free(buf);
  free(seqs);
  diag_debug("queue directory %s: %" PRIu32 " messages, %llu bytes\n", dir, s->stored_records,
             static_cast<unsigned long long>(s->stored_bytes));
  return 0;
}

int spool_append(spool* s, const void* data, uint32_t len) {
  if (len > kLargestRecord) return EMSGSIZE;
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
  const int err = write_records(fd, &data, &len, 1);
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
    link_tail(s, new_segment(seq, 0, 0));
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

int spool_prepend(spool* s, const void* const* datas, const uint32_t* lens, uint32_t count) {
  if (count == 0) return 0;
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (lens[i] > kLargestRecord) return EMSGSIZE;
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
  err = write_records(fd, datas, lens, count);
  // Written only at an orderly stop, which is followed by no spool_sync
  // that could still reach this file: synced here, whole.
  if (err == 0) err = sync_data(fd);
  close(fd);
  if (err == 0) err = sync_dir(s);
  if (err != 0) {
    unlink_segment(s, seq);
    return err;
  }
  spool_segment* seg = new_segment(seq, bytes, count);
  seg->next = s->head;
  s->head = seg;
  if (s->tail == nullptr) s->tail = seg;
  s->stored_records += count;
  s->stored_bytes += bytes;
  return 0;
}

int spool_pop(spool* s, unsigned char** data, uint32_t* len, uint32_t* lost) {
  *lost = 0;
  spool_segment* seg = s->head;
  if (seg == nullptr) return 0;
  unsigned char h[kSpoolRecordHeaderBytes];
  int err = read_record_header(s, h);
  if (err != 0) {
    return give_up_head(s, err == kCutShort ? "file cut short" : diag_cause_text(err), lost);
  }
  const uint32_t n = get_le32(h);
  const uint64_t record = kSpoolRecordHeaderBytes + uint64_t{n};
  // The file no longer holds what it held when its records were counted.
  if (record > seg->bytes - seg->read_bytes) return give_up_head(s, "length changed", lost);
  unsigned char* payload = static_cast<unsigned char*>(malloc(n != 0 ? n : 1));
  if (payload == nullptr) {
    diag_err("queue file record of %" PRIu32 " bytes not read: out of memory\n", n);
    return -1;
  }
  const uint64_t offset = kSpoolFileHeaderBytes + seg->read_bytes + kSpoolRecordHeaderBytes;
  const ssize_t got = pread_all(s->read_fd, payload, n, offset);
  if (got != static_cast<ssize_t>(n)) {
    err = got < 0 ? errno : 0;
    free(payload);
    return give_up_head(s, got < 0 ? diag_cause_text(err) : "file cut short", lost);
  }
  // Checked again although it passed at start: the disk may have changed
  // under us since, and a damaged message must not reach the broker.
  if (!record_crc_ok(h, payload, n)) {
    free(payload);
    return give_up_head(s, "checksum mismatch", lost);
  }
  seg->read_records += 1;
  seg->read_bytes += record;
  s->stored_records -= 1;
  s->stored_bytes -= record;
  if (seg->read_records == seg->records) remove_head(s);
  *data = payload;
  *len = n;
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
      kSpoolRecordHeaderBytes + uint64_t{get_le32(h)} <= seg->bytes - seg->read_bytes) {
    *len = get_le32(h);
  }
  return true;
}

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
    free(s->head);
    s->head = next;
  }
  s->tail = nullptr;
  free(s->dir);
  s->dir = nullptr;
  s->stored_records = 0;
  s->stored_bytes = 0;
  s->dirty = s->dir_dirty = false;
}

void spool_skip(spool* s, uint32_t len) {
  spool_segment* seg = s->head;
  const uint64_t record = kSpoolRecordHeaderBytes + uint64_t{len};
  seg->read_records += 1;
  seg->read_bytes += record;
  s->stored_records -= 1;
  s->stored_bytes -= record;
  if (seg->read_records == seg->records) remove_head(s);
}
