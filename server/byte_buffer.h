// Growable byte buffer; its storage comes from ss_malloc and ss_realloc
// (alloc.h), so growing it never fails.
//
// A byte_buffer collects one stream connection's bytes until its writer ends
// the stream. The storage grows only when asked to: an append that does not
// fit reallocates to exactly `length + n` bytes, one that fits leaves the
// storage alone, and brealloc grows to the size its caller names, which may
// reserve ahead (the stream ingress doubles its reservation). The content is
// raw bytes; nothing appends a terminating NUL.
//
// Thread: no locking; a buffer belongs to one connection on the main thread.
#ifndef QUORREL_SERVER_BYTE_BUFFER_H_
#define QUORREL_SERVER_BYTE_BUFFER_H_

#include <stddef.h>
#include <stdint.h>

// Bytes held at bytes[0 .. length); length <= capacity. `start` is 0 between
// operations. `bytes` is owned by the record (null before balloc and after
// bfree); the record itself is owned by whoever allocated it.
struct byte_buffer {
  uint32_t start;
  uint32_t length;
  uint32_t capacity;
  unsigned char* bytes;
};

// Clears all fields, then gives `buf` `size` zero-filled bytes of storage.
// Returns `size`. REQUIRES: `buf` holds no storage (it would leak).
int balloc(byte_buffer* buf, uint32_t size);

// Grows the storage to max(needed, current) when capacity is below that.
// Returns that target size whether or not it grew; -1 for a null `buf`.
int brealloc(byte_buffer* buf, uint32_t needed, uint32_t current);

// Appends `n` bytes from `src`. Returns `buf`. REQUIRES: valid `buf`;
// length + n fits in 32 bits.
byte_buffer* bconcat(byte_buffer* buf, const void* src, uint32_t n);

// Appends the characters of `s` without its NUL. Returns `buf`.
byte_buffer* bconcat_str(byte_buffer* buf, const char* s);

// The first free byte: bytes + length. Valid until the next growth.
unsigned char* buf_offset(byte_buffer* buf);

// Reserves room for `n` more bytes at buf_offset; length unchanged.
byte_buffer* bconcat_pre(byte_buffer* buf, uint32_t n);

// Commits `n` bytes the caller wrote at buf_offset after bconcat_pre.
byte_buffer* bconcat_suf(byte_buffer* buf, uint32_t n);

// Empties the buffer; capacity and storage stay.
void breset(byte_buffer* buf);

// Drops the first `n` bytes, moving the rest to the front. REQUIRES: n <= length.
void bshrink(byte_buffer* buf, uint32_t n);

// 1 when the buffer holds no bytes, else 0.
int bufempty(const byte_buffer* buf);

// Frees the storage and zeroes all fields; the record itself is not freed.
// Harmless on a null pointer or twice on the same record.
void bfree(byte_buffer* buf);

#endif  // QUORREL_SERVER_BYTE_BUFFER_H_
