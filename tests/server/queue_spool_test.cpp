// The queue's files: records come back whole and in order, across segments,
// restarts, damage and a disk that refuses to take more.
#include "server/queue_spool.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/log.h"
#include "tests/support/temp_dir.h"

namespace {

using quorrel_test::read_file;
using quorrel_test::TempDir;
using quorrel_test::write_file;

// Record `i` of `len` bytes: its contents differ from every other's.
std::string payload(int i, size_t len = 100) {
  std::string p(len, '\0');
  for (size_t k = 0; k < len; ++k) p[k] = static_cast<char>(i * 31 + static_cast<int>(k) * 7);
  return p;
}

// A taken time (seconds since the Unix epoch) for records whose time does
// not matter to the test: 2023-11-14.
constexpr uint32_t kTaken = 1700000000;

int append(spool* s, const std::string& data, uint32_t taken = kTaken) {
  return spool_append(s, data.data(), static_cast<uint32_t>(data.size()), taken);
}

// Pops until the spool is empty or a pop fails; each record's taken time
// goes to `takens` when not null.
std::vector<std::string> pop_all(spool* s, std::vector<uint32_t>* takens = nullptr) {
  std::vector<std::string> out;
  unsigned char* data;
  uint32_t len, taken, lost;
  while (spool_pop(s, &data, &len, &taken, &lost) == 1) {
    out.emplace_back(reinterpret_cast<char*>(data), len);
    if (takens != nullptr) takens->push_back(taken);
    free(data);
  }
  return out;
}

// The oldest record, with its taken time in *taken when not null.
std::string pop_one(spool* s, uint32_t* taken = nullptr) {
  unsigned char* data = nullptr;
  uint32_t len = 0, when = 0, lost = 0;
  if (spool_pop(s, &data, &len, &when, &lost) != 1) return "<none>";
  std::string out(reinterpret_cast<char*>(data), len);
  free(data);
  if (taken != nullptr) *taken = when;
  return out;
}

// The segment files in `dir`, sorted by name (which is their order).
std::vector<std::string> segment_files(const TempDir& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.path().c_str())) {
    while (const struct dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() == 18 && name.compare(16, 2, ".q") == 0) names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

uint64_t file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Overwrites one byte of `path` with its complement.
bool flip_byte(const std::string& path, uint64_t offset) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char c = 0;
  bool ok = pread(fd, &c, 1, static_cast<off_t>(offset)) == 1;
  c = static_cast<unsigned char>(~c);
  ok = ok && pwrite(fd, &c, 1, static_cast<off_t>(offset)) == 1;
  close(fd);
  return ok;
}

uint32_t le32_at(const std::string& bytes, size_t at) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// A temporary queue directory and the spool opened on it, with the log
// threshold raised so that captured stderr holds WARNING and ERR lines.
class SpoolDirFixture : public ::testing::Test {
 protected:
  SpoolDirFixture() : saved_debug_(debug) { debug = LOG_WARNING; }
  ~SpoolDirFixture() override {
    spool_close(&s_);
    debug = saved_debug_;
  }

  int open(uint64_t target) {
    spool_close(&s_);
    s_ = spool{};
    return spool_open(&s_, dir_.path().c_str(), target);
  }
  std::string path(const std::string& name) const { return dir_.file(name); }

  TempDir dir_{"qs"};
  spool s_{};

 private:
  int saved_debug_;
};

TEST_F(SpoolDirFixture, FilesHoldAHeaderThenLittleEndianLengthChecksumTakenTimeAndPayload) {
  ASSERT_EQ(open(500), 0);
  // 8 + 5 * 112 bytes reach the target: five records a file.
  for (int i = 0; i < 12; ++i) ASSERT_EQ(append(&s_, payload(i), kTaken + i), 0);
  const std::string odd = payload(12, 0x0102);
  ASSERT_EQ(append(&s_, odd, 0x0a0b0c0d), 0);
  EXPECT_EQ(s_.stored_records, 13u);
  EXPECT_EQ(s_.stored_bytes, 12u * 112 + 12 + 0x0102);

  const std::vector<std::string> files = segment_files(dir_);
  ASSERT_EQ(files.size(), 3u);
  uint64_t on_disk = 0;
  for (const std::string& f : files) on_disk += file_size(path(f));
  EXPECT_EQ(on_disk, 3u * 8 + 12u * 112 + 12 + 0x0102);

  std::string first, last;
  ASSERT_TRUE(read_file(path(files[0]), &first));
  ASSERT_TRUE(read_file(path(files[2]), &last));
  EXPECT_EQ(first.substr(0, 8), std::string("QRLQ\x02\0\0\0", 8));
  EXPECT_EQ(first.substr(8, 4), std::string("\x64\0\0\0", 4));
  EXPECT_EQ(le32_at(first, 16), kTaken);
  // The checksum covers the length, the taken time, then the payload.
  EXPECT_EQ(le32_at(first, 12), crc32c(crc32c(crc32c(0, first.data() + 8, 4), first.data() + 16, 4),
                                       first.data() + 20, 100));
  EXPECT_EQ(first.substr(20, 100), payload(0));
  // The third file: records 10 and 11, then the 258-byte one.
  const size_t at = 8 + 2 * 112;
  ASSERT_EQ(last.size(), at + 12 + 0x0102);
  EXPECT_EQ(last.substr(at, 4), std::string("\x02\x01\0\0", 4));
  EXPECT_EQ(last.substr(at + 8, 4), std::string("\x0d\x0c\x0b\x0a", 4));
  EXPECT_EQ(le32_at(last, at + 4),
            crc32c(crc32c(crc32c(0, last.data() + at, 4), last.data() + at + 8, 4), odd.data(),
                   odd.size()));
}

TEST_F(SpoolDirFixture, RecordsComeBackInOrderAcrossFilesAndDrainedFilesAreDeleted) {
  ASSERT_EQ(open(300), 0);  // three 100-byte records a file
  std::vector<std::string> expected;
  for (int i = 0; i < 9; ++i) {
    expected.push_back(payload(i));
    ASSERT_EQ(append(&s_, expected.back()), 0);
  }
  EXPECT_TRUE(spool_needs_sync(&s_));
  EXPECT_EQ(spool_sync(&s_), 0);
  EXPECT_FALSE(spool_needs_sync(&s_));
  EXPECT_EQ(segment_files(dir_).size(), 3u);

  uint32_t len = 1;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(spool_peek_length(&s_, &len));
    EXPECT_EQ(len, 100u);
    EXPECT_EQ(pop_one(&s_), expected[i]) << i;
  }
  EXPECT_EQ(segment_files(dir_).size(), 2u) << "the first file, read through, stays";

  // An empty record and one larger than any buffer, into the file being
  // read as well as written.
  expected.push_back(std::string());
  expected.push_back(payload(99, 200000));
  for (size_t i = 9; i < expected.size(); ++i) ASSERT_EQ(append(&s_, expected[i]), 0);
  std::vector<std::string> popped = pop_all(&s_);
  ASSERT_EQ(popped.size(), expected.size() - 3);
  for (size_t i = 0; i < popped.size(); ++i) EXPECT_EQ(popped[i], expected[i + 3]) << i;
  EXPECT_FALSE(spool_peek_length(&s_, &len));
  EXPECT_EQ(s_.stored_records, 0u);
  EXPECT_EQ(s_.stored_bytes, 0u);
  EXPECT_TRUE(segment_files(dir_).empty());

  // The file last written went with the last record read; a new one starts.
  ASSERT_EQ(append(&s_, payload(100)), 0);
  EXPECT_EQ(pop_one(&s_), payload(100));
  EXPECT_TRUE(segment_files(dir_).empty());
}

TEST_F(SpoolDirFixture, ARestartFindsTheSameRecordsAndAppendsGoAfterThem) {
  ASSERT_EQ(open(300), 0);
  std::vector<std::string> expected;
  for (int i = 0; i < 7; ++i) expected.push_back(payload(i));
  // Larger than the buffer the start-up reader checks files through.
  expected.push_back(payload(7, 200000));
  expected.push_back(std::string());
  std::vector<uint32_t> takens;
  for (size_t i = 0; i < expected.size(); ++i) {
    takens.push_back(kTaken + static_cast<uint32_t>(i) * 1000);
    ASSERT_EQ(append(&s_, expected[i], takens.back()), 0);
  }
  const uint64_t bytes = s_.stored_bytes;
  const size_t files = segment_files(dir_).size();

  ::testing::internal::CaptureStderr();
  ASSERT_EQ(open(300), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(s_.stored_records, expected.size());
  EXPECT_EQ(s_.stored_bytes, bytes);
  for (int i = 0; i < 2; ++i) {
    expected.push_back(payload(50 + i));
    takens.push_back(0);  // unknown
    ASSERT_EQ(append(&s_, expected.back(), 0), 0);
  }
  EXPECT_EQ(segment_files(dir_).size(), files + 1) << "a file found at start takes no records";
  std::vector<uint32_t> popped_takens;
  EXPECT_EQ(pop_all(&s_, &popped_takens), expected);
  EXPECT_EQ(popped_takens, takens);
}

TEST_F(SpoolDirFixture, ADamagedRecordCostsOnlyItselfAndATornTailOnlyItsBytes) {
  ASSERT_EQ(open(500), 0);  // five 100-byte records a file
  for (int i = 0; i < 15; ++i) ASSERT_EQ(append(&s_, payload(i)), 0);
  spool_close(&s_);
  const std::vector<std::string> files = segment_files(dir_);
  ASSERT_EQ(files.size(), 3u);
  // The first file: one byte of record 0's taken time and one of record
  // 2's payload damaged. The second: record 0's length and record 3's
  // payload damaged, and a torn record after the last. The third: cut
  // inside record 2's payload, as by a power cut during the write.
  ASSERT_TRUE(flip_byte(path(files[0]), 8 + 8 + 2));
  ASSERT_TRUE(flip_byte(path(files[0]), 8 + 2 * 112 + 12 + 40));
  ASSERT_TRUE(flip_byte(path(files[1]), 8));
  ASSERT_TRUE(flip_byte(path(files[1]), 8 + 3 * 112 + 12 + 99));
  const int fd = ::open(path(files[1]).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "\x40\0\0\0\1\2\3\4torn", 12), 12);
  close(fd);
  ASSERT_EQ(truncate(path(files[2]).c_str(), 8 + 2 * 112 + 50), 0);

  ::testing::internal::CaptureStderr();
  ASSERT_EQ(open(500), 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("WARNING: queue file " + path(files[0]) +
                     ": 224 damaged bytes skipped in 2 places (torn or corrupt); the whole "
                     "records around them kept\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("WARNING: queue file " + path(files[1]) +
                     ": 236 damaged bytes skipped in 3 places (torn or corrupt); the whole "
                     "records around them kept\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("WARNING: queue file " + path(files[2]) +
                     ": 50 bytes after the last whole record dropped (torn or corrupt)\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;
  EXPECT_EQ(s_.stored_records, 8u);
  EXPECT_EQ(s_.stored_bytes, 8u * 112);
  // Reading, by peek and pop, jumps over the damaged stretches.
  for (int i : {1, 3, 4, 6, 7, 9, 10, 11}) {
    uint32_t len = 0;
    ASSERT_TRUE(spool_peek_length(&s_, &len));
    EXPECT_EQ(len, 100u) << i;
    EXPECT_EQ(pop_one(&s_), payload(i)) << i;
  }
  EXPECT_EQ(s_.stored_records, 0u);
  EXPECT_EQ(s_.stored_bytes, 0u);
  EXPECT_TRUE(segment_files(dir_).empty()) << "a damaged file goes whole once read";
}

// Every offset after the damage claims a record reaching far on: the search
// for the next whole record gives up within a bounded amount of checksum
// work (unbounded, this file would take hours), and drops the rest.
TEST_F(SpoolDirFixture, SearchingPastDamageIsBounded) {
  ASSERT_EQ(open(kSpoolMaxSegmentBytes), 0);
  ASSERT_EQ(append(&s_, payload(0)), 0);
  spool_close(&s_);
  const std::vector<std::string> files = segment_files(dir_);
  ASSERT_EQ(files.size(), 1u);
  // Lengths of 1 MiB - 1 at every fourth offset, each fitting in the file.
  std::string damaged;
  for (int i = 0; i < 512 * 1024; ++i) damaged.append("\xff\xff\x0f\x00", 4);
  std::string bytes;
  ASSERT_TRUE(read_file(path(files[0]), &bytes));
  ASSERT_TRUE(write_file(path(files[0]), bytes + damaged));

  ::testing::internal::CaptureStderr();
  const time_t started = time(nullptr);
  ASSERT_EQ(open(kSpoolMaxSegmentBytes), 0);
  EXPECT_LT(time(nullptr) - started, 20);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(
      err.find("WARNING: queue file " + path(files[0]) + ": " + std::to_string(damaged.size()) +
               " bytes after the last whole record dropped (torn or corrupt)\n"),
      std::string::npos)
      << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(pop_all(&s_), std::vector<std::string>{payload(0)});
}
TEST_F(SpoolDirFixture, OnlyFilesOfTheVersionsReadAreReadAndNoNameIsReused) {
  ASSERT_EQ(open(kSpoolMinSegmentBytes), 0);
  ASSERT_EQ(append(&s_, payload(0)), 0);
  spool_close(&s_);
  const std::vector<std::string> ours = segment_files(dir_);
  ASSERT_EQ(ours.size(), 1u);
  const unsigned long long seq = strtoull(ours[0].substr(0, 16).c_str(), nullptr, 16);
  auto name = [](unsigned long long n) {
    char text[32];
    snprintf(text, sizeof text, "%016llx.q", n);
    return std::string(text);
  };
  // Files of a later version just before and just after ours, holding the
  // names a new file would take next; one with only a header (created,
  // then the daemon stopped); and files of other names.
  std::string other;
  ASSERT_TRUE(read_file(path(ours[0]), &other));
  other[4] = 3;
  const std::string before = name(seq - 1), after = name(seq + 1), empty = name(seq + 5);
  ASSERT_TRUE(write_file(path(before), other));
  ASSERT_TRUE(write_file(path(after), other));
  ASSERT_TRUE(write_file(path(empty), std::string("QRLQ\x02\0\0\0", 8)));
  ASSERT_TRUE(write_file(path("FFFFFFFFFFFF0001.q"), other));
  ASSERT_TRUE(write_file(path("notes.q"), "x"));

  ::testing::internal::CaptureStderr();
  ASSERT_EQ(open(kSpoolMinSegmentBytes), 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("WARNING: queue file " + path(before) +
                     ": not a queue file of version 1 or 2, skipped\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("WARNING: queue file " + path(after) +
                     ": not a queue file of version 1 or 2, skipped\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
  EXPECT_EQ(s_.stored_records, 1u);
  EXPECT_FALSE(quorrel_test::path_exists(path(empty)));
  for (const std::string& kept :
       {before, after, std::string("FFFFFFFFFFFF0001.q"), std::string("notes.q")}) {
    EXPECT_TRUE(quorrel_test::path_exists(path(kept))) << kept;
  }

  ASSERT_EQ(append(&s_, payload(1)), 0);
  const std::string first = payload(2);
  const void* datas[] = {first.data()};
  const uint32_t lens[] = {100};
  const uint32_t takens[] = {kTaken};
  ASSERT_EQ(spool_prepend(&s_, datas, lens, takens, 1), 0);
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(open(kSpoolMinSegmentBytes), 0);
  ::testing::internal::GetCapturedStderr();
  const std::vector<std::string> expected = {payload(2), payload(0), payload(1)};
  EXPECT_EQ(pop_all(&s_), expected);
}

// A file an earlier quorreld wrote in format version 1 (8-byte record
// headers, no taken time) is read, damage and all; its records' time is
// unknown, the counts follow its own record size as records are read and
// dropped, and what comes next goes to a new file of the current version.
TEST_F(SpoolDirFixture, AVersion1FileIsReadWithItsOwnRecordHeaders) {
  std::string v1("QRLQ\x01\0\0\0", 8);
  for (int i = 0; i < 4; ++i) {
    const std::string p = payload(i);
    unsigned char h[8];
    put_le32(static_cast<uint32_t>(p.size()), h);
    put_le32(crc32c(crc32c(0, h, 4), p.data(), p.size()), h + 4);
    v1.append(reinterpret_cast<const char*>(h), sizeof h).append(p);
  }
  v1[8 + 108 + 8 + 50] ^= 0x10;  // record 1's payload
  const std::string old_file = path("0000010000000000.q");
  ASSERT_TRUE(write_file(old_file, v1));

  ::testing::internal::CaptureStderr();
  ASSERT_EQ(open(300), 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("WARNING: queue file " + old_file +
                     ": 108 damaged bytes skipped in 1 places (torn or corrupt); the whole "
                     "records around them kept\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(s_.stored_records, 3u);
  EXPECT_EQ(s_.stored_bytes, 3u * 108);
  uint32_t len = 0, taken = 1;
  ASSERT_TRUE(spool_peek_length(&s_, &len));
  EXPECT_EQ(len, 100u);
  EXPECT_EQ(pop_one(&s_, &taken), payload(0));
  EXPECT_EQ(taken, 0u) << "unknown";
  EXPECT_EQ(s_.stored_bytes, 2u * 108);

  ASSERT_EQ(append(&s_, payload(10)), 0);
  EXPECT_EQ(s_.stored_bytes, 2u * 108 + 112);
  const std::vector<std::string> files = segment_files(dir_);
  ASSERT_EQ(files.size(), 2u) << "a file found at start takes no records";
  std::string written;
  ASSERT_TRUE(read_file(path(files[1]), &written));
  EXPECT_EQ(written.substr(0, 5), "QRLQ\x02");

  EXPECT_EQ(spool_drop_oldest(&s_), 2u);
  EXPECT_EQ(s_.stored_records, 1u);
  EXPECT_EQ(s_.stored_bytes, 112u);
  EXPECT_EQ(pop_one(&s_, &taken), payload(10));
  EXPECT_EQ(taken, kTaken);
  EXPECT_EQ(s_.stored_bytes, 0u);
  EXPECT_TRUE(segment_files(dir_).empty());
}

TEST_F(SpoolDirFixture, ASecondOpenOfTheSameDirectoryIsRefusedWhileTheFirstHoldsIt) {
  ASSERT_EQ(open(kSpoolMinSegmentBytes), 0);
  spool second{};
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(spool_open(&second, dir_.path().c_str(), kSpoolMinSegmentBytes), 1);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ERR: queue directory " + dir_.path() + " is in use by another quorreld\n"),
            std::string::npos)
      << err;
  spool_close(&s_);
  EXPECT_EQ(spool_open(&second, dir_.path().c_str(), kSpoolMinSegmentBytes), 0);
  spool_close(&second);
}

TEST_F(SpoolDirFixture, PrependedRecordsAreReadFirstAlsoAfterARestart) {
  ASSERT_EQ(open(300), 0);
  for (int i = 0; i < 6; ++i) ASSERT_EQ(append(&s_, payload(i)), 0);
  EXPECT_EQ(pop_one(&s_), payload(0));
  const std::string a = payload(20), b = payload(21, 0);
  const void* datas[] = {a.data(), b.data()};
  const uint32_t lens[] = {100, 0};
  const uint32_t takens[] = {kTaken - 60, kTaken - 30};
  ASSERT_EQ(spool_prepend(&s_, datas, lens, takens, 2), 0);
  EXPECT_EQ(s_.stored_records, 7u);
  EXPECT_EQ(s_.stored_bytes, 5u * 112 + 112 + 12);
  // The file read from before goes on where it stopped.
  std::vector<std::string> expected = {a, b};
  for (int i = 1; i < 6; ++i) expected.push_back(payload(i));
  std::vector<uint32_t> popped_takens;
  EXPECT_EQ(pop_all(&s_, &popped_takens), expected);
  const std::vector<uint32_t> expected_takens = {kTaken - 60, kTaken - 30, kTaken, kTaken,
                                                 kTaken,      kTaken,      kTaken};
  EXPECT_EQ(popped_takens, expected_takens);

  for (int i = 30; i < 32; ++i) ASSERT_EQ(append(&s_, payload(i)), 0);
  ASSERT_EQ(open(300), 0);
  ASSERT_EQ(spool_prepend(&s_, datas, lens, takens, 1), 0);
  ASSERT_EQ(open(300), 0);
  uint32_t taken = 0;
  EXPECT_EQ(pop_one(&s_, &taken), a);
  EXPECT_EQ(taken, kTaken - 60) << "kept across a restart";
  expected = {payload(30), payload(31)};
  EXPECT_EQ(pop_all(&s_), expected);
}

// A caller holding a copy of what it prepended counts it as read without
// reading it; the counts and the files follow as for a pop.
TEST_F(SpoolDirFixture, SkippedRecordsCountAsReadAndTheirFileGoesWithTheLast) {
  ASSERT_EQ(open(300), 0);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(append(&s_, payload(i)), 0);
  const std::string a = payload(20), b = payload(21, 0), c = payload(22, 50);
  const void* datas[] = {a.data(), b.data(), c.data()};
  const uint32_t lens[] = {100, 0, 50};
  const uint32_t takens[] = {kTaken, kTaken, kTaken};
  ASSERT_EQ(spool_prepend(&s_, datas, lens, takens, 3), 0);
  EXPECT_EQ(segment_files(dir_).size(), 2u);
  spool_skip(&s_, 100);
  spool_skip(&s_, 0);
  EXPECT_EQ(s_.stored_records, 3u);
  EXPECT_EQ(s_.stored_bytes, 62u + 2 * 112);
  EXPECT_EQ(pop_one(&s_), c);
  EXPECT_EQ(segment_files(dir_).size(), 1u) << "the prepended file goes with its last record";
  // The appended file, also the one being written, goes with its last skip.
  spool_skip(&s_, 100);
  EXPECT_EQ(s_.stored_records, 1u);
  EXPECT_EQ(s_.stored_bytes, 112u);
  EXPECT_EQ(segment_files(dir_).size(), 1u);
  spool_skip(&s_, 100);
  EXPECT_EQ(s_.stored_records, 0u);
  EXPECT_EQ(s_.stored_bytes, 0u);
  EXPECT_TRUE(segment_files(dir_).empty());
  ASSERT_EQ(append(&s_, payload(3)), 0);
  EXPECT_EQ(pop_all(&s_), std::vector<std::string>{payload(3)});
}

TEST_F(SpoolDirFixture, DropOldestDeletesTheOldestFileAndCountsItsUnreadRecords) {
  ASSERT_EQ(open(300), 0);
  for (int i = 0; i < 6; ++i) ASSERT_EQ(append(&s_, payload(i)), 0);
  EXPECT_EQ(pop_one(&s_), payload(0));
  EXPECT_EQ(spool_drop_oldest(&s_), 2u);
  EXPECT_EQ(s_.stored_records, 3u);
  EXPECT_EQ(s_.stored_bytes, 3u * 112);
  EXPECT_EQ(segment_files(dir_).size(), 1u);
  EXPECT_EQ(pop_one(&s_), payload(3));
  // The file also being written: the next record starts another.
  EXPECT_EQ(spool_drop_oldest(&s_), 2u);
  EXPECT_EQ(spool_drop_oldest(&s_), 0u);
  EXPECT_TRUE(segment_files(dir_).empty());
  ASSERT_EQ(append(&s_, payload(9)), 0);
  EXPECT_EQ(pop_all(&s_), std::vector<std::string>{payload(9)});
}

TEST_F(SpoolDirFixture, ARecordDamagedAfterStartIsNeverHandedOut) {
  ASSERT_EQ(open(500), 0);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(append(&s_, payload(i)), 0);
  const std::vector<std::string> files = segment_files(dir_);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(pop_one(&s_), payload(0));
  ASSERT_TRUE(flip_byte(path(files[0]), 8 + 2 * 112 + 12 + 99));
  EXPECT_EQ(pop_one(&s_), payload(1));

  unsigned char* data = nullptr;
  uint32_t len = 0, taken = 0, lost = 0;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(spool_pop(&s_, &data, &len, &taken, &lost), -1);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ERR: queue file " + path(files[0])), std::string::npos) << err;
  EXPECT_EQ(lost, 3u);
  EXPECT_EQ(s_.stored_records, 5u);
  EXPECT_FALSE(quorrel_test::path_exists(path(files[0])));
  std::vector<std::string> expected;
  for (int i = 5; i < 10; ++i) expected.push_back(payload(i));
  EXPECT_EQ(pop_all(&s_), expected);
}

// Run in a child whose files may not grow past 1100 bytes: returns 0, or the
// number of the step that went wrong.
int append_past_file_size_limit(const std::string& dir) {
  signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
  const struct rlimit limit = {1100, 1100};
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 1;
  spool s{};
  if (spool_open(&s, dir.c_str(), kSpoolMaxSegmentBytes) != 0) return 2;
  // 8 + 9 * 112 = 1016 bytes fit; the tenth record is cut off at 1100.
  for (int i = 0; i < 9; ++i) {
    if (append(&s, payload(i)) != 0) return 3;
  }
  if (append(&s, payload(9)) != EFBIG) return 4;
  if (s.stored_records != 9) return 5;
  // Too large for any file: the new file made for it goes again.
  if (append(&s, std::string(2000, 'x')) != EFBIG) return 6;
  if (append(&s, payload(10)) != 0) return 7;
  if (append(&s, payload(11)) != 0) return 8;
  if (s.stored_records != 11) return 9;
  spool_close(&s);
  return 0;
}

TEST_F(SpoolDirFixture, AFailedWriteReturnsItsErrnoAndLeavesOnlyWholeRecords) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(append_past_file_size_limit(dir_.path()));
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(status)) << status;
  ASSERT_EQ(WEXITSTATUS(status), 0) << "step that failed in the child";

  const std::vector<std::string> files = segment_files(dir_);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(file_size(path(files[0])), 1016u) << "the partial record is cut off";
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(open(kSpoolMaxSegmentBytes), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  std::vector<std::string> expected;
  for (int i = 0; i < 9; ++i) expected.push_back(payload(i));
  expected.push_back(payload(10));
  expected.push_back(payload(11));
  EXPECT_EQ(pop_all(&s_), expected);
}

}  // namespace
