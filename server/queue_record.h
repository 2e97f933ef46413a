// The queue's segment files, one file at a time: their names, their header,
// their records, and the reading of a file front to back at start.
//
// The format, in one place (quorreld.8 describes the same):
//   - segment files named "%016llx.q" after a 64-bit sequence number (lower
//     case hex, zero-padded); the smallest holds the oldest messages;
//   - each file begins with an 8-byte header: the magic "QRLQ", the format
//     version and three zero bytes;
//   - then records, each a header and the payload. Version 2, the one
//     written (kSpoolFormatVersion), has a 12-byte header: the payload's
//     length; a CRC-32C (Castagnoli) over the 4 length bytes, then the 4
//     time bytes, then the payload; and the time the daemon took the
//     message, in seconds since the Unix epoch (0: unknown); each 32-bit
//     little-endian. Version 1, still read, has an 8-byte header: the
//     length and a CRC-32C over the 4 length bytes and the payload; its
//     records' time is unknown.
// A record is whole when its length fits in the file and its checksum holds;
// nothing else marks where records begin, so after a damaged record the next
// whole one is found by trying each later offset.
//
// This module knows one file; the list of files, their counts and their
// syncing are queue_spool's.
//
// Thread: any; no shared state.
#ifndef QUORREL_SERVER_QUEUE_RECORD_H_
#define QUORREL_SERVER_QUEUE_RECORD_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "server/crc32c.h"

// The version every file this build writes has; kSpoolOldestVersion is the
// oldest it still reads.
constexpr uint8_t kSpoolFormatVersion = 2;
constexpr uint8_t kSpoolOldestVersion = 1;
constexpr uint32_t kSpoolFileHeaderBytes = 8;
// The record header of kSpoolFormatVersion, and the largest of any version
// read: a buffer of this size holds any record header.
constexpr uint32_t kSpoolRecordHeaderBytes = 12;

// The record header size of format `version`: 8 for version 1, 12 for
// version 2. REQUIRES: kSpoolOldestVersion <= version <= kSpoolFormatVersion.
constexpr uint32_t record_header_bytes(uint8_t version) { return version == 1 ? 8 : 12; }

// MQTT's limit on a packet: no message the daemon relays is longer, so a
// longer length in a record header can only be damage.
constexpr uint32_t kSpoolLargestRecord = 268435455;

// "%016llx.q" and its terminating zero.
constexpr size_t kSegmentNameBytes = 19;

// The 32-bit little-endian value at `p`, read byte by byte so that the files
// read the same on either byte order and at any alignment.
inline uint32_t get_le32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Stores `v` at `p[0..4)`, little-endian.
inline void put_le32(uint32_t v, unsigned char* p) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

// Writes the name of segment `seq` into `out`, zero-terminated.
void segment_name(uint64_t seq, char out[kSegmentNameBytes]);

// True, with *seq set, when `name` is exactly 16 lower-case hex digits and
// ".q"; false, *seq untouched, for any other name.
bool parse_segment_name(const char* name, uint64_t* seq);

// Writes the file header of kSpoolFormatVersion into `out[0..8)`.
void segment_file_header(unsigned char out[kSpoolFileHeaderBytes]);

// Encodes the kSpoolFormatVersion record header for `len` payload bytes at
// `payload`, taken at `taken` (seconds since the Unix epoch; 0 for unknown),
// into `out[0..12)`.
void spool_encode_record_header(const void* payload, uint32_t len, uint32_t taken,
                                unsigned char out[kSpoolRecordHeaderBytes]) noexcept;

// True when the checksum in record header `h`, of format `version`, holds
// for the header bytes it covers and the `len` bytes at `payload`.
bool record_crc_ok(uint8_t version, const unsigned char* h, const void* payload, uint32_t len);

// The time record header `h`, of format `version`, says its message was
// taken: seconds since the Unix epoch, 0 when unknown (always in version 1).
uint32_t record_taken(uint8_t version, const unsigned char* h);

// Reads `len` bytes at `offset` of `fd`, retrying short reads and EINTR.
// Returns the bytes read, fewer only at the end of the file, or -1 with
// errno set.
ssize_t segment_pread(int fd, void* buf, size_t len, uint64_t offset);

// A stretch of a segment file that the start-up read found damaged and
// skipped: `bytes` bytes from file offset `offset`. It begins where the file
// header or a whole record ends, and ends where the next whole record
// begins or at the end of the file.
struct record_gap {
  uint64_t offset;
  uint64_t bytes;
};

// What scan_segment_file found in one file.
struct segment_scan {
  uint8_t version;   // the file's format version
  uint32_t records;  // whole records
  uint64_t bytes;    // their bytes, headers included
  // The damaged stretches among and after them, in file order; malloc'd and
  // owned by the caller; null when there are none.
  record_gap* gaps;
  uint32_t gap_count;
};

// Reads the segment file open at `fd` (named `name` in directory `dir`, for
// the log lines) front to back and fills *out. A damaged record (a header
// cut short, a length past the end of the file or above
// kSpoolLargestRecord, a checksum that fails) costs only itself: the read
// goes on at the next offset where a whole record begins, and the stretch
// in between is listed in out->gaps. The search is bounded (in checksum work
// and in stretches per file); when it gives up, the rest of the file is one
// last stretch. One WARNING line per damaged file says how many bytes were
// skipped. Returns true; false (out zeroed) after a line that says why when
// the file is to be left alone: unreadable, or not a queue file of a
// version this build reads. A file holding only a beginning of a file
// header reads as empty. Does not close `fd`.
bool scan_segment_file(int fd, const char* dir, const char* name, segment_scan* out);

#endif  // QUORREL_SERVER_QUEUE_RECORD_H_
