#include "server/crc32c.h"

namespace {

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

// The reflected CRC consumes bytes in address order: loaded byte by byte,
// the same on either byte order and at any alignment.
uint32_t load_le32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

uint32_t crc32c(uint32_t crc, const void* data, size_t len) noexcept {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  const auto& t = kCrc.t;
  crc = ~crc;
  while (len >= 8) {
    const uint32_t lo = crc ^ load_le32(p);
    const uint32_t hi = load_le32(p + 4);
    crc = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24] ^
          t[3][hi & 0xff] ^ t[2][(hi >> 8) & 0xff] ^ t[1][(hi >> 16) & 0xff] ^ t[0][hi >> 24];
    p += 8;
    len -= 8;
  }
  while (len-- > 0) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xff];
  return ~crc;
}
