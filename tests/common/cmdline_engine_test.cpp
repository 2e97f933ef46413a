#include "common/cmdline_engine.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "tests/common/test_program.h"

namespace {

// A record initialised for the test table and released at the end.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cmdline_params_defaults(&params_);
    params_.check_required = 0;
    cmdline_record_init(kTestProgram, &record_);
  }
  void TearDown() override { release_settings(kTestProgram, &record_); }

  // Parses `args` (program name first) and returns the engine's result,
  // keeping what it wrote to standard error in err_.
  int Parse(std::vector<std::string> args, const char* suffix = nullptr) {
    ArgVector v(std::move(args));
    // Initialising a record frees nothing, so give back what it holds first.
    if (params_.initialize) release_settings(kTestProgram, &record_);
    testing::internal::CaptureStderr();
    int rc = parse_argument_vector(kTestProgram, v.argc(), v.argv(), &record_, &params_, suffix);
    err_ = testing::internal::GetCapturedStderr();
    return rc;
  }

  test_args_t record_{};
  cmdline_parser_params params_{};
  std::string err_;
};

TEST_F(EngineTest, InitSetsDefaultsAndHelpPointers) {
  EXPECT_EQ(record_.port_arg, 1883);
  EXPECT_EQ(record_.clean_flag, 1);
  EXPECT_EQ(record_.daemon_flag, 0);
  EXPECT_EQ(record_.host_arg, nullptr);
  EXPECT_EQ(record_.port_orig, nullptr);
  EXPECT_EQ(record_.port_given, 0u);
  EXPECT_STREQ(record_.port_help, kTestHelp[4]);
  EXPECT_STREQ(record_.daemon_help, kTestHelp[7]);
}

TEST_F(EngineTest, TakesShortLongAndAttachedForms) {
  ASSERT_EQ(Parse({"prog", "--host", "broker", "-p", "0x10", "-tnews", "--daemon", "extra"}), 0);
  EXPECT_STREQ(record_.host_arg, "broker");
  EXPECT_STREQ(record_.host_orig, "broker");
  EXPECT_EQ(record_.port_arg, 16);
  EXPECT_STREQ(record_.port_orig, "0x10");
  EXPECT_STREQ(record_.topic_arg, "news");
  EXPECT_EQ(record_.daemon_flag, 1);
  EXPECT_EQ(record_.host_given, 1u);
  EXPECT_EQ(record_.port_given, 1u);
  EXPECT_EQ(err_, "");
}

TEST_F(EngineTest, IntegerConversion) {
  ASSERT_EQ(Parse({"prog", "--port=010"}), 0);  // leading 0 means octal
  EXPECT_EQ(record_.port_arg, 8);

  ASSERT_EQ(Parse({"prog", "--port="}), 0);  // empty text is 0, not an error
  EXPECT_EQ(record_.port_arg, 0);

  ASSERT_EQ(Parse({"prog", "-p", "99999999999"}), 0);  // clamped, not an error
  EXPECT_EQ(record_.port_arg, INT32_MAX);
  ASSERT_EQ(Parse({"prog", "-p", "-99999999999999999999"}), 0);
  EXPECT_EQ(record_.port_arg, INT32_MIN);

  EXPECT_EQ(Parse({"prog", "-p", "12abc"}), 1);
  EXPECT_EQ(err_, "prog: invalid numeric value: 12abc\n");
  EXPECT_EQ(record_.port_arg, 12);  // the converted part stays stored
}

TEST_F(EngineTest, OptionTwiceInOneVectorFailsInBothForms) {
  EXPECT_EQ(Parse({"./q", "-p", "10", "-p", "20"}), 1);
  EXPECT_EQ(err_, "./q: `--port' (`-p') option given more than once\n");

  EXPECT_EQ(Parse({"./q", "--host", "a", "--host", "b"}, " in configuration file x.conf"), 1);
  EXPECT_EQ(err_, "./q: `--host' option given more than once in configuration file x.conf\n");
}

TEST_F(EngineTest, ParseStopsAtFirstFailure) {
  EXPECT_EQ(Parse({"prog", "-p", "1x", "--host", "h"}), 1);
  EXPECT_EQ(record_.host_given, 0u);
  EXPECT_EQ(record_.host_arg, nullptr);
}

TEST_F(EngineTest, SecondParseKeepsEarlierValuesUnlessOverriding) {
  ASSERT_EQ(Parse({"prog", "--host", "a"}), 0);
  params_.initialize = 0;

  // Without override an option the record holds is ignored, any number of
  // times, and not counted.
  ASSERT_EQ(Parse({"prog", "--host", "b"}), 0);
  ASSERT_EQ(Parse({"prog", "--host", "c"}), 0);
  EXPECT_STREQ(record_.host_arg, "a");
  EXPECT_EQ(record_.host_given, 1u);

  params_.override = 1;
  ASSERT_EQ(Parse({"prog", "--host", "d"}), 0);
  EXPECT_STREQ(record_.host_arg, "d");
  EXPECT_EQ(record_.host_given, 2u);

  params_.override = 0;
  params_.check_ambiguity = 1;
  EXPECT_EQ(Parse({"prog", "--host", "e"}), 1);
  EXPECT_EQ(err_, "prog: `--host' option given more than once\n");
  EXPECT_STREQ(record_.host_arg, "d");
}

TEST_F(EngineTest, SecondParseScansFromItsFirstOption) {
  ASSERT_EQ(Parse({"prog", "--host", "a", "-p", "5"}), 0);
  ASSERT_EQ(Parse({"prog", "-t", "x"}), 0);  // initialize is on: fresh record
  EXPECT_STREQ(record_.topic_arg, "x");
  EXPECT_EQ(record_.host_arg, nullptr);
  EXPECT_EQ(record_.port_arg, 1883);
}

TEST_F(EngineTest, FlagIsToggledAndMayNotRepeat) {
  ASSERT_EQ(Parse({"prog", "--clean"}), 0);
  EXPECT_EQ(record_.clean_flag, 0);
  EXPECT_EQ(Parse({"prog", "--clean", "--clean"}), 1);
  EXPECT_EQ(err_, "prog: `--clean' option given more than once\n");
  EXPECT_EQ(Parse({"prog", "--clean=1"}), 1);  // a flag takes no argument
}

TEST_F(EngineTest, RequiredOptionsReportedInTableOrder) {
  params_.check_required = 1;
  EXPECT_EQ(Parse({"myname"}, " in configuration file f"), 1);
  EXPECT_EQ(err_,
            "myname: '--host' option required in configuration file f\n"
            "myname: '--topic' ('-t') option required in configuration file f\n");
  EXPECT_EQ(Parse({"myname", "--host", "h", "-t", "t"}), 0);
  EXPECT_EQ(err_, "");
}

TEST_F(EngineTest, HelpAndVersionAskTheCallerToExitSuccessfully) {
  params_.check_required = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(Parse({"prog", "-h"}), kParseExitSuccess);
  std::string out = testing::internal::GetCapturedStdout();
  std::string expected = "testprog 1.0.0\n\nUsage: testprog [OPTIONS]...\n\n";
  for (const char* const* l = kTestHelp; *l; ++l) expected += std::string(*l) + "\n";
  EXPECT_EQ(out, expected);

  testing::internal::CaptureStdout();
  EXPECT_EQ(Parse({"prog", "--version"}), kParseExitSuccess);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "testprog 1.0.0\n");

  // An option that fails before -h wins.
  testing::internal::CaptureStdout();
  EXPECT_EQ(Parse({"prog", "-p", "x", "-h"}), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(EngineTest, UnknownOrIncompleteOptionsFail) {
  params_.print_errors = 0;
  EXPECT_EQ(Parse({"prog", "--nosuch"}), 1);
  EXPECT_EQ(Parse({"prog", "--host"}), 1);
  EXPECT_EQ(Parse({"prog", "-x"}), 1);
  EXPECT_EQ(err_, "");  // getopt_long stays quiet without print_errors
}

TEST_F(EngineTest, DumpWritesGivenOptionsAsTyped) {
  ASSERT_EQ(Parse({"prog", "-p", "0x10", "--daemon", "--host", "b c"}), 0);
  char* text = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&text, &size);
  ASSERT_EQ(cmdline_dump(kTestProgram, stream, &record_), 0);
  fclose(stream);
  EXPECT_STREQ(text, "host=\"b c\"\nport=\"0x10\"\ndaemon\n");
  free(text);

  testing::internal::CaptureStderr();
  EXPECT_EQ(cmdline_dump(kTestProgram, nullptr, &record_), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "testprog: cannot dump options to stream\n");

  testing::internal::CaptureStderr();
  EXPECT_EQ(cmdline_file_save(kTestProgram, "/nonexistent-dir/x.conf", &record_), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "testprog: cannot open file for writing: /nonexistent-dir/x.conf\n");
}

TEST_F(EngineTest, ReleaseFreesTextsAndClearsCounters) {
  ASSERT_EQ(Parse({"prog", "--host", "h", "-p", "7"}), 0);
  release_settings(kTestProgram, &record_);
  EXPECT_EQ(record_.host_arg, nullptr);
  EXPECT_EQ(record_.host_orig, nullptr);
  EXPECT_EQ(record_.port_orig, nullptr);
  EXPECT_EQ(record_.host_given, 0u);
  EXPECT_EQ(record_.port_arg, 7);            // values other than texts stay
  release_settings(kTestProgram, &record_);  // twice is harmless
}

TEST(EngineHelpers, DuplicateAndWriteOptionLine) {
  EXPECT_EQ(duplicate_string(nullptr), nullptr);
  char* copy = duplicate_string("abc");
  EXPECT_STREQ(copy, "abc");
  free_string_field(&copy);
  EXPECT_EQ(copy, nullptr);

  char* text = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&text, &size);
  write_option_line(stream, "topic", "a/b");
  write_option_line(stream, "daemon", nullptr);
  fclose(stream);
  EXPECT_STREQ(text, "topic=\"a/b\"\ndaemon\n");
  free(text);
}

}  // namespace
