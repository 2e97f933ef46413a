// Byte buffer: exact growth and every operation's edge cases.
#include "server/byte_buffer.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "server/alloc.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAsan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnderAsan = true;
#else
constexpr bool kUnderAsan = false;
#endif
#else
constexpr bool kUnderAsan = false;
#endif

// A balloc'ed buffer released after each case.
class ByteBufferTest : public ::testing::Test {
 protected:
  void TearDown() override { bfree(&buf_); }
  std::string content() const {
    return std::string(reinterpret_cast<const char*>(buf_.bytes), buf_.length);
  }
  byte_buffer buf_{};
};

TEST(SsMalloc, ReturnsZeroFilledBlock) {
  unsigned char* block = static_cast<unsigned char*>(ss_malloc(4096));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(block[i], 0) << "byte " << i;
  free(block);
}

TEST(SsMalloc, ZeroSizeIsNotExhaustion) {
  void* block = ss_malloc(0);
  EXPECT_NE(block, nullptr);
  free(block);
}

TEST(SsRealloc, KeepsContentWhenGrowing) {
  char* block = static_cast<char*>(ss_malloc(4));
  memcpy(block, "abcd", 4);
  block = static_cast<char*>(ss_realloc(block, 1 << 20));
  EXPECT_EQ(std::string(block, 4), "abcd");
  free(block);
}

TEST(SsMallocDeathTest, ExhaustionEndsProcessWithStatusOneAfterOneLine) {
  if (kUnderAsan) GTEST_SKIP() << "ASan reports impossible allocations itself";
  EXPECT_EXIT(ss_malloc(SIZE_MAX - 16), ::testing::ExitedWithCode(1),
              "^quorreld: out of memory, exiting\n$");
  EXPECT_EXIT(ss_realloc(ss_malloc(8), SIZE_MAX - 16), ::testing::ExitedWithCode(1),
              "^quorreld: out of memory, exiting\n$");
}

TEST_F(ByteBufferTest, BallocGivesEmptyZeroFilledStorage) {
  EXPECT_EQ(balloc(&buf_, 2048), 2048);
  EXPECT_EQ(buf_.start, 0u);
  EXPECT_EQ(buf_.length, 0u);
  EXPECT_EQ(buf_.capacity, 2048u);
  ASSERT_NE(buf_.bytes, nullptr);
  for (uint32_t i = 0; i < 2048; ++i) ASSERT_EQ(buf_.bytes[i], 0) << "byte " << i;
  EXPECT_EQ(bufempty(&buf_), 1);
}

TEST_F(ByteBufferTest, AppendWithinCapacityKeepsStorage) {
  balloc(&buf_, 2048);
  unsigned char* storage = buf_.bytes;
  std::vector<unsigned char> data(100, 0x5a);
  EXPECT_EQ(bconcat(&buf_, data.data(), 100), &buf_);
  EXPECT_EQ(buf_.length, 100u);
  EXPECT_EQ(buf_.capacity, 2048u);
  EXPECT_EQ(buf_.bytes, storage);
  EXPECT_EQ(bufempty(&buf_), 0);
}

TEST_F(ByteBufferTest, GrowthIsExactNotGeometric) {
  balloc(&buf_, 2048);
  std::vector<unsigned char> data(2049);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
  bconcat(&buf_, data.data(), 2048);
  EXPECT_EQ(buf_.capacity, 2048u);
  bconcat(&buf_, data.data() + 2048, 1);
  EXPECT_EQ(buf_.capacity, 2049u);
  EXPECT_EQ(buf_.length, 2049u);
  EXPECT_EQ(memcmp(buf_.bytes, data.data(), 2049), 0);
  bconcat(&buf_, data.data(), 10);
  EXPECT_EQ(buf_.capacity, 2059u);
  EXPECT_EQ(buf_.length, 2059u);
}

TEST_F(ByteBufferTest, BreallocGrowsToLargerOfNeededAndCurrent) {
  balloc(&buf_, 2048);
  EXPECT_EQ(brealloc(&buf_, 10, 5000), 5000);
  EXPECT_EQ(buf_.capacity, 5000u);
  EXPECT_EQ(brealloc(&buf_, 6000, 20), 6000);
  EXPECT_EQ(buf_.capacity, 6000u);
}

TEST_F(ByteBufferTest, BreallocBelowCapacityChangesNothing) {
  balloc(&buf_, 2048);
  unsigned char* storage = buf_.bytes;
  EXPECT_EQ(brealloc(&buf_, 10, 20), 20);
  EXPECT_EQ(buf_.capacity, 2048u);
  EXPECT_EQ(buf_.bytes, storage);
}

TEST(Brealloc, NullRecordReturnsMinusOne) { EXPECT_EQ(brealloc(nullptr, 10, 20), -1); }

TEST_F(ByteBufferTest, ZeroLengthAppendChangesNothing) {
  balloc(&buf_, 16);
  bconcat(&buf_, "abc", 3);
  bconcat(&buf_, nullptr, 0);
  EXPECT_EQ(buf_.length, 3u);
  EXPECT_EQ(buf_.capacity, 16u);
  EXPECT_EQ(content(), "abc");
}

TEST_F(ByteBufferTest, BytesIncludingNulAreKeptVerbatim) {
  balloc(&buf_, 4);
  const unsigned char data[] = {0x00, 0xff, 0x00, 0x80, 0x7f, 0x00};
  bconcat(&buf_, data, sizeof data);
  ASSERT_EQ(buf_.length, sizeof data);
  EXPECT_EQ(memcmp(buf_.bytes, data, sizeof data), 0);
}

TEST_F(ByteBufferTest, ConcatStrAddsCharactersWithoutNul) {
  balloc(&buf_, 3);
  bconcat_str(&buf_, "xyz");
  EXPECT_EQ(buf_.length, 3u);
  EXPECT_EQ(buf_.capacity, 3u);
  EXPECT_EQ(content(), "xyz");
  bconcat_str(&buf_, "");
  EXPECT_EQ(buf_.length, 3u);
}

TEST_F(ByteBufferTest, ReserveWriteCommitAppendsInPlace) {
  balloc(&buf_, 4);
  bconcat_str(&buf_, "ab");
  EXPECT_EQ(bconcat_pre(&buf_, 5), &buf_);
  EXPECT_EQ(buf_.length, 2u);
  EXPECT_EQ(buf_.capacity, 7u);
  unsigned char* at = buf_offset(&buf_);
  EXPECT_EQ(at, buf_.bytes + 2);
  memcpy(at, "cde", 3);
  EXPECT_EQ(bconcat_suf(&buf_, 3), &buf_);
  EXPECT_EQ(content(), "abcde");
  EXPECT_EQ(buf_offset(&buf_), buf_.bytes + 5);
}

TEST_F(ByteBufferTest, ShrinkMovesTheRestToTheFront) {
  balloc(&buf_, 8);
  bconcat_str(&buf_, "abcdef");
  bshrink(&buf_, 3);
  EXPECT_EQ(buf_.length, 3u);
  EXPECT_EQ(buf_.start, 0u);
  EXPECT_EQ(buf_.capacity, 8u);
  EXPECT_EQ(content(), "def");
  bshrink(&buf_, 0);
  EXPECT_EQ(content(), "def");
  bshrink(&buf_, 3);
  EXPECT_EQ(buf_.length, 0u);
  EXPECT_EQ(bufempty(&buf_), 1);
}

TEST_F(ByteBufferTest, ResetKeepsCapacityAndStorage) {
  balloc(&buf_, 32);
  bconcat_str(&buf_, "hello");
  unsigned char* storage = buf_.bytes;
  breset(&buf_);
  EXPECT_EQ(buf_.length, 0u);
  EXPECT_EQ(buf_.start, 0u);
  EXPECT_EQ(buf_.capacity, 32u);
  EXPECT_EQ(buf_.bytes, storage);
  EXPECT_EQ(bufempty(&buf_), 1);
  bconcat_str(&buf_, "xy");
  EXPECT_EQ(content(), "xy");
}

TEST(Bfree, ClearsEveryFieldAndIsHarmlessTwiceOrOnNull) {
  byte_buffer buf{};
  balloc(&buf, 64);
  bconcat_str(&buf, "data");
  bfree(&buf);
  EXPECT_EQ(buf.start, 0u);
  EXPECT_EQ(buf.length, 0u);
  EXPECT_EQ(buf.capacity, 0u);
  EXPECT_EQ(buf.bytes, nullptr);
  bfree(&buf);
  EXPECT_EQ(buf.bytes, nullptr);
  bfree(nullptr);
}

}  // namespace
