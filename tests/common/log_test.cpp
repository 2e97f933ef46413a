#include "common/log.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <string>

namespace {

// Saves and restores the two process-wide log settings.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_debug_ = debug;
    saved_daemon_ = daemon_mode;
    daemon_mode = 0;
  }
  void TearDown() override {
    debug = saved_debug_;
    daemon_mode = saved_daemon_;
  }

 private:
  int saved_debug_ = 0;
  int saved_daemon_ = 0;
};

int evaluations = 0;
int counted() { return ++evaluations; }

void log_all_levels() {
  diag_log(LOG_ERR, "%s +%u %s(): ERR: e%d\n", 1);
  diag_log(LOG_WARNING, "%s +%u %s(): WARNING: w%d\n", 2);
  diag_log(LOG_DEBUG, "%s +%u %s(): DEBUG: d%d\n", counted());
}

std::string logged_at(int threshold) {
  debug = threshold;
  testing::internal::CaptureStderr();
  log_all_levels();
  return testing::internal::GetCapturedStderr();
}

TEST_F(LogTest, ThresholdSelectsLevels) {
  EXPECT_EQ(logged_at(0), "");
  EXPECT_EQ(logged_at(-1), "");
  const std::string at3 = logged_at(3);
  EXPECT_NE(at3.find("ERR: e1\n"), std::string::npos);
  EXPECT_EQ(at3.find("WARNING"), std::string::npos);
  const std::string at4 = logged_at(4);
  EXPECT_NE(at4.find("WARNING: w2\n"), std::string::npos);
  EXPECT_EQ(at4.find("DEBUG"), std::string::npos);
  EXPECT_NE(logged_at(7).find("DEBUG: d"), std::string::npos);
}

TEST_F(LogTest, ArgumentsAreNotEvaluatedBelowThreshold) {
  evaluations = 0;
  logged_at(6);
  EXPECT_EQ(evaluations, 0);
  logged_at(7);
  EXPECT_EQ(evaluations, 1);
}

TEST_F(LogTest, PrefixNamesBaseFileLineAndFunction) {
  debug = 3;
  testing::internal::CaptureStderr();
  const unsigned line = __LINE__ + 1;
  diag_log(LOG_ERR, "%s +%u %s(): ERR: x\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "log_test.cpp +" + std::to_string(line) + " TestBody(): ERR: x\n");
}

TEST_F(LogTest, FailedCallLineEndsWithItsCauseInTheLinesOwnForm) {
  debug = 3;
  testing::internal::CaptureStderr();
  diag_err_errno(ENOENT, "open %s failed", "f");
  diag_err_errno_text(EACCES, "not bound");
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("ERR: open f failed: " + std::string(strerror(ENOENT)) + "(" +
                     std::to_string(ENOENT) + ")\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("ERR: not bound: " + std::string(strerror(EACCES)) + "\n"), std::string::npos)
      << out;
}

TEST(LogBaseName, StripsDirectories) {
  EXPECT_STREQ(quorrel_base_name("/a/b/c.cpp"), "c.cpp");
  EXPECT_STREQ(quorrel_base_name("c.cpp"), "c.cpp");
}

}  // namespace
