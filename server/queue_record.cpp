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

// What the start-up read goes through a file with: records may be far
// larger, so the checksum is run over them a buffer at a time.
constexpr size_t kScanBufferBytes = 64 * 1024;

// True when the `got` bytes of `h` begin the file header this version writes.
bool header_prefix_ok(const unsigned char* h, size_t got) {
  unsigned char expected[kSpoolFileHeaderBytes];
  segment_file_header(expected);
  return memcmp(h, expected, got) == 0;
}

// True when `h` is the file header this version writes.
bool file_header_ok(const unsigned char* h) {
  return memcmp(h, kFileMagic, sizeof kFileMagic) == 0 && h[4] == kSpoolFormatVersion &&
         h[5] == 0 && h[6] == 0 && h[7] == 0;
}

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

void spool_encode_record_header(const void* payload, uint32_t len, unsigned char out[8]) noexcept {
  put_le32(len, out);
  put_le32(crc32c(crc32c(0, out, 4), payload, len), out + 4);
}

bool record_crc_ok(const unsigned char h[kSpoolRecordHeaderBytes], const void* payload,
                   uint32_t len) {
  return crc32c(crc32c(0, h, 4), payload, len) == get_le32(h + 4);
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
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  unsigned char* buf = static_cast<unsigned char*>(ss_malloc(kScanBufferBytes));
  scan_reader r = {fd, buf, 0, 0};
  int read_err = 0;
  unsigned char header[kSpoolFileHeaderBytes];
  const ssize_t got = reader_copy(&r, header, sizeof header);
  if (got < 0) {
    read_err = errno;
  } else if (got < static_cast<ssize_t>(sizeof header) &&
             header_prefix_ok(header, static_cast<size_t>(got))) {
    // A file this daemon had only begun to create when a crash or a power
    // cut came: it holds no record and is deleted like an empty segment.
    free(buf);
    return true;
  } else if (got < static_cast<ssize_t>(sizeof header) || !file_header_ok(header)) {
    diag_warn("queue file %s/%s: not a queue file of version %d, skipped\n", dir, name,
              kSpoolFormatVersion);
    free(buf);
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
    if (len > kSpoolLargestRecord || whole + record > size) break;
    uint32_t crc = crc32c(0, h, 4);
    const int64_t summed = reader_checksum(&r, len, &crc);
    if (summed < 0) read_err = errno;
    if (summed != static_cast<int64_t>(len) || crc != get_le32(h + 4)) break;
    whole += record;
    ++out->records;
  }
  free(buf);
  if (read_err != 0) {
    diag_err_errno_text(read_err, "queue file %s/%s not read", dir, name);
    *out = segment_scan{};
    return false;
  }
  // Anything after the last whole record: a write cut short by a crash or a
  // power cut, or damage. Records after the first damaged one cannot be
  // trusted to start where the damaged one says it ends.
  if (size > whole) {
    diag_warn(
        "queue file %s/%s: %llu bytes after the last whole record dropped (torn or corrupt)\n", dir,
        name, static_cast<unsigned long long>(size - whole));
  }
  out->bytes = whole - kSpoolFileHeaderBytes;
  return true;
}
