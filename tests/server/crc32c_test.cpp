// The queue files' checksum: the published CRC-32C values, however the bytes
// are split and wherever they start.
#include "server/crc32c.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

TEST(Crc32c, MatchesPublishedVectorsWholeOrInPiecesAtAnyAlignment) {
  EXPECT_EQ(crc32c(0, "123456789", 9), 0xe3069283u);
  // iSCSI's vectors (RFC 3720, B.4): 32 bytes run through the 8-byte steps.
  unsigned char zeros[32] = {}, ones[32], up[32], down[32];
  for (int i = 0; i < 32; ++i) {
    ones[i] = 0xff;
    up[i] = static_cast<unsigned char>(i);
    down[i] = static_cast<unsigned char>(31 - i);
  }
  EXPECT_EQ(crc32c(0, zeros, 32), 0x8a9136aau);
  EXPECT_EQ(crc32c(0, ones, 32), 0x62a8ab43u);
  EXPECT_EQ(crc32c(0, up, 32), 0x46dd794eu);
  EXPECT_EQ(crc32c(0, down, 32), 0x113fdb5cu);
  EXPECT_EQ(crc32c(0, "", 0), 0u);

  // Continued from a previous value, as the file reader does a buffer at a
  // time: every split gives the same result. And from every start within
  // an 8-byte word, so that the 8-byte steps read unaligned words.
  std::string text(77, '\0');
  for (size_t k = 0; k < text.size(); ++k) text[k] = static_cast<char>(93 + k * 7);
  const uint32_t whole = crc32c(0, text.data(), text.size());
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    EXPECT_EQ(crc32c(crc32c(0, text.data(), cut), text.data() + cut, text.size() - cut), whole)
        << "cut at " << cut;
  }
  alignas(8) unsigned char shifted[32 + 8];
  for (size_t start = 0; start < 8; ++start) {
    memset(shifted, 0xa5, sizeof shifted);
    memcpy(shifted + start, up, sizeof up);
    EXPECT_EQ(crc32c(0, shifted + start, sizeof up), 0x46dd794eu) << "start " << start;
    memcpy(shifted + start, "123456789", 9);
    EXPECT_EQ(crc32c(0, shifted + start, 9), 0xe3069283u) << "start " << start;
  }
}

}  // namespace
