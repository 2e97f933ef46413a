#include "server/queue_record.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/log.h"
#include "server/alloc.h"

namespace {

constexpr unsigned char kFileMagic[4] = {'Q', 'R', 'L', 'Q'};

// The start-up read goes through two buffers of this size: a window that
// record headers are read from, and one that the rest of a payload longer
// than the window streams through. Records may be far larger; memory stays
// at this whatever the file holds.
constexpr size_t kScanBufferBytes = 64 * 1024;

// Checksum bytes that searching for the next whole record after damage may
// spend, per byte of the file, and in any file: every offset tried may claim
// a length reaching to the end of the file, and unbounded that would make
// the search quadratic in the file's size.
constexpr uint64_t kSearchBytesPerFileByte = 8;
constexpr uint64_t kSearchBytesFloor = 1024 * 1024;

// Damaged stretches kept per file: each costs memory for as long as the file
// is queued. A file damaged in more places has the rest dropped.
constexpr uint32_t kMaxGapsPerFile = 256;

// True for the format versions this build reads.
bool version_read(unsigned char v) { return v >= kSpoolOldestVersion && v <= kSpoolFormatVersion; }

// True when the `got` bytes of `h` (fewer than a header's) begin the file
// header of a version this build reads.
bool header_prefix_ok(const unsigned char* h, size_t got) {
  for (size_t i = 0; i < got; ++i) {
    const bool ok = i < sizeof kFileMagic ? h[i] == kFileMagic[i]
                    : i == 4              ? version_read(h[i])
                                          : h[i] == 0;
    if (!ok) return false;
  }
  return true;
}

// The format version of file header `h`, or 0 when it is not the header of
// a version this build reads.
uint8_t file_header_version(const unsigned char* h) {
  const bool ok = memcmp(h, kFileMagic, sizeof kFileMagic) == 0 && version_read(h[4]) &&
                  h[5] == 0 && h[6] == 0 && h[7] == 0;
  return ok ? h[4] : 0;
}

// The checksum over the bytes of record header `h`, of format `version`,
// that the record's checksum covers, before the payload: the length, and in
// version 2 the taken time, so that a damaged time fails the record too.
uint32_t record_header_crc(uint8_t version, const unsigned char* h) {
  const uint32_t crc = crc32c(0, h, 4);
  return version == 1 ? crc : crc32c(crc, h + 8, 4);
}

// One segment file read through at start.
struct scan_file {
  int fd;
  uint32_t header_bytes;  // of a record, in the file's version
  uint8_t version;
  uint64_t size;          // as fstat gave it, or where reading found the end
  unsigned char* window;  // kScanBufferBytes: file bytes from window_at
  uint64_t window_at;
  size_t window_len;
  unsigned char* stream;  // kScanBufferBytes
  int err;                // the first read error; 0 when none
};

// The `len` bytes at file offset `at` (len <= kScanBufferBytes), read into
// the window unless it holds them already; null when the file ends first
// or on a read error (f->err).
const unsigned char* bytes_at(scan_file* f, uint64_t at, size_t len) {
  if (at >= f->window_at && at + len <= f->window_at + f->window_len) {
    return f->window + (at - f->window_at);
  }
  if (at >= f->size) return nullptr;
  size_t want = kScanBufferBytes;
  if (want > f->size - at) want = static_cast<size_t>(f->size - at);
  const ssize_t got = segment_pread(f->fd, f->window, want, at);
  if (got < 0) {
    f->err = errno;
    f->window_len = 0;
    return nullptr;
  }
  f->window_at = at;
  f->window_len = static_cast<size_t>(got);
  // Shorter than fstat said: the file ends here, and no offset past it is
  // tried again.
  if (f->window_len < want) f->size = at + f->window_len;
  return f->window_len >= len ? f->window : nullptr;
}

// Runs the `len` bytes at file offset `at` through *crc: what the window
// holds of them, then the rest through the stream buffer. False when the
// file ends first or on a read error (f->err).
bool checksum_at(scan_file* f, uint64_t at, uint64_t len, uint32_t* crc) {
  if (at >= f->window_at && at < f->window_at + f->window_len) {
    uint64_t take = f->window_at + f->window_len - at;
    if (take > len) take = len;
    *crc = crc32c(*crc, f->window + (at - f->window_at), static_cast<size_t>(take));
    at += take;
    len -= take;
  }
  while (len > 0) {
    size_t want = kScanBufferBytes;
    if (want > len) want = static_cast<size_t>(len);
    const ssize_t got = segment_pread(f->fd, f->stream, want, at);
    if (got < 0) f->err = errno;
    if (got != static_cast<ssize_t>(want)) return false;
    *crc = crc32c(*crc, f->stream, want);
    at += want;
    len -= want;
  }
  return true;
}

// The payload length of the whole record at file offset `at`, or -1 when
// none begins there (or on a read error, f->err). With `budget`, the
// payload's length is taken off *budget before its checksum is run; a
// record that would overdraw it is not checked and gives -2.
int64_t whole_record_at(scan_file* f, uint64_t at, uint64_t* budget) {
  const uint32_t hb = f->header_bytes;
  if (at > f->size || f->size - at < hb) return -1;
  const unsigned char* p = bytes_at(f, at, hb);
  if (p == nullptr) return -1;
  // Copied: checksumming the payload may refill the window.
  unsigned char h[kSpoolRecordHeaderBytes];
  memcpy(h, p, hb);
  const uint32_t len = get_le32(h);
  if (len > kSpoolLargestRecord || len > f->size - at - hb) return -1;
  if (budget != nullptr) {
    if (*budget < len) return -2;
    *budget -= len;
  }
  uint32_t crc = record_header_crc(f->version, h);
  if (!checksum_at(f, at + hb, len, &crc)) return -1;
  return crc == get_le32(h + 4) ? int64_t{len} : -1;
}

// The offset of the first whole record after the damaged one at `damaged`,
// trying each offset in turn, or the file's size when there is none (or
// the budget runs out, or on a read error).
uint64_t next_whole_record(scan_file* f, uint64_t damaged, uint64_t* budget) {
  for (uint64_t at = damaged + 1; f->size - at >= f->header_bytes; ++at) {
    const int64_t len = whole_record_at(f, at, budget);
    if (len >= 0) return at;
    if (len == -2 || f->err != 0) break;
  }
  return f->size;
}

void add_gap(segment_scan* out, uint64_t offset, uint64_t bytes) {
  // Grown one at a time: a damaged file has few, and a healthy one none.
  out->gaps = static_cast<record_gap*>(
      ss_realloc(out->gaps, (size_t{out->gap_count} + 1) * sizeof *out->gaps));
  out->gaps[out->gap_count++] = record_gap{offset, bytes};
}

// Reads the records of a file whose header checked out.
void scan_records(scan_file* f, segment_scan* out) {
  uint64_t budget = kSearchBytesPerFileByte * f->size + kSearchBytesFloor;
  uint64_t at = kSpoolFileHeaderBytes;
  while (at < f->size && f->err == 0) {
    const int64_t len = whole_record_at(f, at, nullptr);
    if (len >= 0) {
      const uint64_t record = f->header_bytes + static_cast<uint64_t>(len);
      ++out->records;
      out->bytes += record;
      at += record;
      continue;
    }
    if (f->err != 0) break;
    // The last stretch a file may have takes the rest of it.
    const uint64_t resume =
        out->gap_count + 1 < kMaxGapsPerFile ? next_whole_record(f, at, &budget) : f->size;
    if (f->err != 0) break;
    add_gap(out, at, resume - at);
    at = resume;
  }
}

// The one line for a file with damaged stretches. Damage at the end only,
// the common case of a write cut short by a crash or a power cut, keeps the
// line it has always had.
void report_gaps(const segment_scan* scan, uint64_t size, const char* dir, const char* name) {
  if (scan->gap_count == 0) return;
  uint64_t skipped = 0;
  for (uint32_t i = 0; i < scan->gap_count; ++i) skipped += scan->gaps[i].bytes;
  const record_gap& first = scan->gaps[0];
  if (scan->gap_count == 1 && first.offset + first.bytes == size) {
    diag_warn(
        "queue file %s/%s: %llu bytes after the last whole record dropped (torn or corrupt)\n", dir,
        name, static_cast<unsigned long long>(skipped));
    return;
  }
  diag_warn(
      "queue file %s/%s: %llu damaged bytes skipped in %u places (torn or corrupt); the whole "
      "records around them kept\n",
      dir, name, static_cast<unsigned long long>(skipped), static_cast<unsigned>(scan->gap_count));
}

}  // namespace

void segment_name(uint64_t seq, char out[kSegmentNameBytes]) {
  snprintf(out, kSegmentNameBytes, "%016llx.q", static_cast<unsigned long long>(seq));
}

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

void segment_file_header(unsigned char out[kSpoolFileHeaderBytes]) {
  memcpy(out, kFileMagic, sizeof kFileMagic);
  out[4] = kSpoolFormatVersion;
  out[5] = out[6] = out[7] = 0;
}

void spool_encode_record_header(const void* payload, uint32_t len, uint32_t taken,
                                unsigned char out[kSpoolRecordHeaderBytes]) noexcept {
  put_le32(len, out);
  put_le32(taken, out + 8);
  put_le32(crc32c(record_header_crc(kSpoolFormatVersion, out), payload, len), out + 4);
}

bool record_crc_ok(uint8_t version, const unsigned char* h, const void* payload, uint32_t len) {
  return crc32c(record_header_crc(version, h), payload, len) == get_le32(h + 4);
}

uint32_t record_taken(uint8_t version, const unsigned char* h) {
  return version == 1 ? 0 : get_le32(h + 8);
}

ssize_t segment_pread(int fd, void* buf, size_t len, uint64_t offset) {
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

bool scan_segment_file(int fd, const char* dir, const char* name, segment_scan* out) {
  *out = segment_scan{};
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int err = errno;
    diag_err_errno_text(err, "queue file %s/%s: fstat failed", dir, name);
    return false;
  }
  unsigned char* buffers = static_cast<unsigned char*>(ss_malloc(2 * kScanBufferBytes));
  scan_file f{};
  f.fd = fd;
  f.size = static_cast<uint64_t>(st.st_size);
  f.window = buffers;
  f.stream = buffers + kScanBufferBytes;
  unsigned char header[kSpoolFileHeaderBytes];
  const ssize_t got = segment_pread(fd, header, sizeof header, 0);
  bool keep = true;
  if (got < 0) {
    f.err = errno;
  } else if (got < static_cast<ssize_t>(sizeof header) &&
             header_prefix_ok(header, static_cast<size_t>(got))) {
    // A file this daemon had only begun to create when a crash or a power
    // cut came: it holds no record and is deleted like an empty segment.
  } else if (got < static_cast<ssize_t>(sizeof header) || file_header_version(header) == 0) {
    diag_warn("queue file %s/%s: not a queue file of version %d or %d, skipped\n", dir, name,
              kSpoolOldestVersion, kSpoolFormatVersion);
    keep = false;
  } else {
    f.version = file_header_version(header);
    f.header_bytes = record_header_bytes(f.version);
    scan_records(&f, out);
  }
  free(buffers);
  if (f.err != 0) {
    diag_err_errno_text(f.err, "queue file %s/%s not read", dir, name);
    keep = false;
  }
  if (!keep) {
    free(out->gaps);
    *out = segment_scan{};
    return false;
  }
  out->version = f.version;
  report_gaps(out, f.size, dir, name);
  return true;
}
