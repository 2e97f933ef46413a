#include "common/config_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/common/test_program.h"
#include "tests/support/temp_dir.h"

using quorrel_test::TempDir;

namespace {

// A temporary directory for configuration files and a record to parse into.
class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cmdline_params_defaults(&params_);
    params_.check_required = 0;
    cmdline_record_init(kTestProgram, &record_);
  }
  void TearDown() override { release_settings(kTestProgram, &record_); }

  std::string Write(const std::string& name, const std::string& content) {
    std::string path = dir_.path() + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  int Parse(const std::string& path) {
    // Initialising a record frees nothing, so give back what it holds first.
    if (params_.initialize) release_settings(kTestProgram, &record_);
    testing::internal::CaptureStderr();
    int rc = config_file_parse(kTestProgram, path.c_str(), &record_, &params_);
    err_ = testing::internal::GetCapturedStderr();
    return rc;
  }

  TempDir dir_;
  test_args_t record_{};
  cmdline_parser_params params_{};
  std::string err_;
};

TEST_F(ConfigFileTest, CommentsAndBlankLinesTakeNothing) {
  std::string f = Write("a.conf", "# comment\n\n   \t\n  # indented comment\n\r\n");
  ASSERT_EQ(Parse(f), 0);
  EXPECT_EQ(record_.host_given + record_.port_given + record_.topic_given, 0u);
  EXPECT_EQ(err_, "");
}

TEST_F(ConfigFileTest, NamesValuesAndQuoting) {
  std::string f = Write("a.conf",
                        "host = 'a b # c'\n"
                        "port=0x10\r\n"
                        "t \"it's\"   # trailing comment\n"
                        "daemon\n");
  ASSERT_EQ(Parse(f), 0) << err_;
  EXPECT_STREQ(record_.host_arg, "a b # c");
  EXPECT_EQ(record_.port_arg, 16);
  EXPECT_STREQ(record_.port_orig, "0x10");
  EXPECT_STREQ(record_.topic_arg, "it's");
  EXPECT_EQ(record_.daemon_flag, 1);
}

TEST_F(ConfigFileTest, BareValueEndsAtCommentAndLastLineNeedsNoLineEnd) {
  std::string f = Write("a.conf", "host = a # note\np 1883");
  ASSERT_EQ(Parse(f), 0) << err_;
  EXPECT_STREQ(record_.host_arg, "a");
  EXPECT_EQ(record_.port_arg, 1883);
  EXPECT_EQ(record_.port_given, 1u);
}

TEST_F(ConfigFileTest, ReaderErrorsNameFileAndLine) {
  std::string f = Write("m.conf", "host x\ntopic = a b\n");
  EXPECT_EQ(Parse(f), 1);
  EXPECT_EQ(err_, "testprog:" + f + ":2: malformed string in configuration file\n");
  EXPECT_EQ(record_.host_given, 0u);  // nothing of a failed file is parsed

  f = Write("u.conf", "\n\ntopic = 'open\n");
  EXPECT_EQ(Parse(f), 1);
  EXPECT_EQ(err_, "testprog:" + f + ":3: unterminated string in configuration file\n");

  f = Write("n.conf", "= x\n");
  EXPECT_EQ(Parse(f), 1);
  EXPECT_EQ(err_, "testprog:" + f + ":1: malformed string in configuration file\n");

  EXPECT_EQ(Parse(dir_.path() + "/missing.conf"), 1);
  EXPECT_EQ(err_,
            "testprog: Error opening configuration file '" + dir_.path() + "/missing.conf'\n");
}

TEST_F(ConfigFileTest, LinesUpTo2047CharactersWithLineEnd) {
  // "host " + value + "\n" is exactly 2047 characters.
  std::string value(2047 - 6, 'v');
  std::string f = Write("ok.conf", "host " + value + "\n");
  ASSERT_EQ(Parse(f), 0) << err_;
  EXPECT_EQ(std::string(record_.host_arg), value);

  f = Write("long.conf", "# first\nhost " + value + "v\n");
  EXPECT_EQ(Parse(f), 1);
  EXPECT_EQ(err_, "testprog:" + f + ":2: Line too long in configuration file\n");
}

TEST_F(ConfigFileTest, EngineErrorsCarryTheFileSuffix) {
  std::string f = Write("d.conf", "host a\nhost b\n");
  EXPECT_EQ(Parse(f), 1);
  EXPECT_EQ(err_,
            "testprog: `--host' option given more than once in configuration file " + f + "\n");

  f = Write("flag.conf", "daemon =\n");
  params_.print_errors = 0;
  EXPECT_EQ(Parse(f), 1);  // "--daemon=": a flag takes no argument
}

TEST_F(ConfigFileTest, NameAloneTakesTheNextEntryAsItsValue) {
  // As on a command line: "--host" swallows the following "--port=1".
  std::string f = Write("a.conf", "host\nport 1\n");
  ASSERT_EQ(Parse(f), 0) << err_;
  EXPECT_STREQ(record_.host_arg, "--port=1");
  EXPECT_EQ(record_.port_given, 0u);

  f = Write("b.conf", "host\n");
  params_.print_errors = 0;
  EXPECT_EQ(Parse(f), 1);  // nothing left to take
}

TEST_F(ConfigFileTest, IncludedEntriesStandAtTheIncludeLine) {
  // Parsing stops at the first failing entry, so the message shows which of
  // the two bad ports came first.
  Write("inc.conf", "port 5y\n");
  std::string f = Write("main.conf", "include " + dir_.path() + "/inc.conf\nport 7x\n");
  EXPECT_EQ(Parse(f), 1);
  EXPECT_EQ(err_, "testprog: invalid numeric value: 5y\n");

  Write("good.conf", "topic t\n");
  f = Write("main2.conf", "host h\ninclude " + dir_.path() + "/good.conf\n");
  ASSERT_EQ(Parse(f), 0) << err_;
  EXPECT_STREQ(record_.topic_arg, "t");
}

TEST_F(ConfigFileTest, FailedIncludeStaysInForce) {
  Write("good.conf", "topic t\n");
  std::string f = Write("main.conf", "include " + dir_.path() + "/none.conf\ninclude " +
                                         dir_.path() + "/good.conf\nhost h\n");
  EXPECT_EQ(Parse(f), 1);
  EXPECT_EQ(err_, "testprog: Error opening configuration file '" + dir_.path() + "/none.conf'\n");
  EXPECT_EQ(record_.topic_given, 0u);
  EXPECT_EQ(record_.host_given, 0u);
}

TEST_F(ConfigFileTest, IncludeWithoutFileNameOnlyWarns) {
  std::string f = Write("a.conf", "include\nhost h\n");
  ASSERT_EQ(Parse(f), 0);
  EXPECT_EQ(err_, "testprog:" + f + ":1: include requires a filename argument.\n");
  EXPECT_STREQ(record_.host_arg, "h");
}

TEST_F(ConfigFileTest, SelfIncludeStopsAtTheNestingLimit) {
  std::string path = dir_.path() + "/self.conf";
  Write("self.conf", "include " + path + "\n");
  EXPECT_EQ(Parse(path), 1);
  EXPECT_NE(err_.find(":1: include nested too deeply in configuration file\n"), std::string::npos);
}

TEST(ConfigTextHelpers, StripAndNextEntry) {
  char a[] = " \t x y";
  EXPECT_STREQ(strip(a), "x y");
  char b[] = "one\\ two  three";
  EXPECT_STREQ(next_entry(b), "three");
  char c[] = "end\\";
  EXPECT_STREQ(next_entry(c), "");
}

}  // namespace
