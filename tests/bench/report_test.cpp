// The harness's arithmetic and table: a wrong median or verdict would make
// the published figures lie.
#include "bench/report.h"

#include <gtest/gtest.h>

namespace {

using quorrel_bench::median;
using quorrel_bench::render_table;
using quorrel_bench::Row;
using quorrel_bench::verdict;

TEST(BenchReport, MedianOfOddEvenAndEmptySets) {
  EXPECT_DOUBLE_EQ(median({3, 1, 2}), 2);
  EXPECT_DOUBLE_EQ(median({4, 1, 3, 2}), 2.5);
  EXPECT_DOUBLE_EQ(median({7}), 7);
  EXPECT_DOUBLE_EQ(median({}), 0);
  // An outlier moves the mean, not the median.
  EXPECT_DOUBLE_EQ(median({1, 1, 1, 1000}), 1);
}

TEST(BenchReport, VerdictHoldsAtTheLimitInEitherDirection) {
  EXPECT_EQ(verdict(1.3, 1.3, true), "holds");
  EXPECT_EQ(verdict(1.31, 1.3, true), "missed");
  EXPECT_EQ(verdict(0.9, 0.9, false), "holds");
  EXPECT_EQ(verdict(0.89, 0.9, false), "missed");
}

TEST(BenchReport, TableHasHeadingThenOneLinePerRow) {
  const std::string table =
      render_table({"Machine: x"}, {Row{"P1", "a", "1 ms", "1.00×", "≤ 1.3×", "holds"},
                                    Row{"", "b", "2 ms", "2.00×", "", ""}});
  EXPECT_EQ(table,
            "Machine: x\n\n"
            "| figure | measured | median | ratio | target | |\n"
            "|---|---|---:|---:|---|---|\n"
            "| P1 | a | 1 ms | 1.00× | ≤ 1.3× | holds |\n"
            "|  | b | 2 ms | 2.00× |  |  |\n");
}

}  // namespace
