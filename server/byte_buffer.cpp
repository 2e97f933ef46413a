#include "server/byte_buffer.h"

#include <stdlib.h>
#include <string.h>

#include "server/alloc.h"

int balloc(byte_buffer* buf, uint32_t size) {
  buf->start = 0;
  buf->length = 0;
  buf->capacity = 0;
  buf->bytes = nullptr;
  buf->bytes = static_cast<unsigned char*>(ss_malloc(size));
  buf->capacity = size;
  return static_cast<int>(size);
}

int brealloc(byte_buffer* buf, uint32_t needed, uint32_t current) {
  if (buf == nullptr) return -1;
  const uint32_t target = needed > current ? needed : current;
  if (buf->capacity < target) {
    buf->bytes = static_cast<unsigned char*>(ss_realloc(buf->bytes, target));
    buf->capacity = target;
  }
  return static_cast<int>(target);
}

byte_buffer* bconcat(byte_buffer* buf, const void* src, uint32_t n) {
  brealloc(buf, buf->length + n, buf->capacity);
  if (n != 0) memcpy(buf->bytes + buf->length, src, n);
  buf->length += n;
  return buf;
}

byte_buffer* bconcat_str(byte_buffer* buf, const char* s) {
  return bconcat(buf, s, static_cast<uint32_t>(strlen(s)));
}

unsigned char* buf_offset(byte_buffer* buf) { return buf->bytes + buf->length; }

byte_buffer* bconcat_pre(byte_buffer* buf, uint32_t n) {
  brealloc(buf, buf->length + n, buf->capacity);
  return buf;
}

byte_buffer* bconcat_suf(byte_buffer* buf, uint32_t n) {
  buf->length += n;
  return buf;
}

void breset(byte_buffer* buf) {
  buf->start = 0;
  buf->length = 0;
}

void bshrink(byte_buffer* buf, uint32_t n) {
  buf->start = n;
  buf->length -= n;
  if (buf->length != 0) memmove(buf->bytes, buf->bytes + n, buf->length);
  buf->start = 0;
}

int bufempty(const byte_buffer* buf) { return buf->length == 0 ? 1 : 0; }

void bfree(byte_buffer* buf) {
  if (buf == nullptr) return;
  buf->start = 0;
  buf->length = 0;
  buf->capacity = 0;
  if (buf->bytes != nullptr) {
    free(buf->bytes);
    buf->bytes = nullptr;
  }
}
