// Client identifier: prefix from the `id` setting, then random decimal digits;
// with clean session off, the `id` setting alone.
#include "server/client_id.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/log.h"
#include "server/settings.h"

namespace {

bool is_decimal_u32(const std::string& text) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  if (text.size() > 1 && text[0] == '0') return false;  // no leading zeros
  return strtoull(text.c_str(), nullptr, 10) <= 0xffffffffull;
}

// Sets the `id` setting and the clean-session flag for one case and restores
// the previous ones (and `debug`).
class ClientIdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_given_ = args_info.id_given;
    saved_arg_ = args_info.id_arg;
    saved_clean_session_ = args_info.clean_session_flag;
    saved_debug_ = debug;
    args_info.clean_session_flag = 1;
  }
  void TearDown() override {
    args_info.id_given = saved_given_;
    args_info.id_arg = saved_arg_;
    args_info.clean_session_flag = saved_clean_session_;
    debug = saved_debug_;
  }
  void set_prefix(const char* prefix) {
    args_info.id_given = prefix != nullptr ? 1 : 0;
    args_info.id_arg = const_cast<char*>(prefix);
  }
  // Takes ownership of a generated identifier.
  static std::string take(char* id) {
    std::string text(id);
    free(id);
    return text;
  }

 private:
  uint32_t saved_given_ = 0;
  char* saved_arg_ = nullptr;
  int saved_clean_session_ = 0;
  int saved_debug_ = 0;
};

TEST_F(ClientIdTest, WithoutIdIsDigitsOnly) {
  set_prefix(nullptr);
  for (int i = 0; i < 20; ++i) {
    const std::string id = take(generate_randomid());
    EXPECT_TRUE(is_decimal_u32(id)) << "'" << id << "'";
  }
}

TEST_F(ClientIdTest, EmptyIdIsLikeNoId) {
  set_prefix("");
  const std::string id = take(generate_randomid());
  EXPECT_TRUE(is_decimal_u32(id)) << "'" << id << "'";
}

TEST_F(ClientIdTest, PrefixIsKeptWhole) {
  set_prefix("dev-");
  const std::string id = take(generate_randomid());
  ASSERT_EQ(id.compare(0, 4, "dev-"), 0) << id;
  EXPECT_TRUE(is_decimal_u32(id.substr(4))) << id;

  const std::string long_prefix(300, 'p');
  set_prefix(long_prefix.c_str());
  const std::string long_id = take(generate_randomid());
  ASSERT_EQ(long_id.compare(0, 300, long_prefix), 0);
  EXPECT_TRUE(is_decimal_u32(long_id.substr(300))) << long_id;
}

TEST_F(ClientIdTest, TwoCallsDiffer) {
  set_prefix("same-");
  const std::string first = take(generate_randomid());
  const std::string second = take(generate_randomid());
  const std::string third = take(generate_randomid());
  // Three equal draws of 32 random bits would mean the source is not random.
  EXPECT_FALSE(first == second && second == third) << first;
  EXPECT_EQ(first.compare(0, 5, "same-"), 0);
  EXPECT_EQ(second.compare(0, 5, "same-"), 0);
}

TEST_F(ClientIdTest, CleanSessionOnPresentsThePrefixFollowedByDigits) {
  set_prefix("dev-");
  const std::string id = take(session_client_id());
  ASSERT_EQ(id.compare(0, 4, "dev-"), 0) << id;
  EXPECT_TRUE(is_decimal_u32(id.substr(4))) << id;
  set_prefix(nullptr);
  const std::string bare = take(session_client_id());
  EXPECT_TRUE(is_decimal_u32(bare)) << "'" << bare << "'";
}

// The broker keeps a persistent session under its identifier, so every start
// must present the same one.
TEST_F(ClientIdTest, CleanSessionOffPresentsTheIdExactlyAtEveryStart) {
  args_info.clean_session_flag = 0;
  for (const std::string& setting :
       {std::string("dev-42"), std::string("7"), std::string(300, 'p')}) {
    set_prefix(setting.c_str());
    EXPECT_EQ(take(session_client_id()), setting);
    EXPECT_EQ(take(session_client_id()), setting);
  }
}

TEST_F(ClientIdTest, CleanSessionOffWithoutIdIsRefusedWithOneErrLine) {
  args_info.clean_session_flag = 0;
  debug = 3;
  for (const char* setting : {static_cast<const char*>(nullptr), ""}) {
    SCOPED_TRACE(setting == nullptr ? "no id" : "empty id");
    set_prefix(setting);
    ::testing::internal::CaptureStderr();
    char* id = session_client_id();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(id, nullptr) << id;
    free(id);
    const std::string text =
        "ERR: clean session off needs an id (-i/--id): the broker keeps the session under it "
        "across restarts\n";
    ASSERT_GE(err.size(), text.size()) << err;
    EXPECT_EQ(err.substr(err.size() - text.size()), text) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  }
}

TEST(GetRandom, RespectsBufferSizeAndTerminates) {
  // The text is limited to size - 2 characters, leaving two NULs.
  char tiny[3] = {'x', 'x', 'x'};
  EXPECT_EQ(client_id_detail::getrandom(tiny, 3), tiny);
  EXPECT_TRUE(tiny[0] >= '0' && tiny[0] <= '9') << tiny[0];
  EXPECT_EQ(tiny[1], '\0');
  EXPECT_EQ(tiny[2], '\0');

  char wide[17];
  memset(wide, 'x', sizeof wide);
  client_id_detail::getrandom(wide, 17);
  EXPECT_EQ(wide[16], '\0');
  EXPECT_TRUE(is_decimal_u32(wide)) << wide;
}

}  // namespace
