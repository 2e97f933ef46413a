// Client identifier: prefix from the `id` setting, then random decimal digits.
#include "server/client_id.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

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

// Sets the `id` setting for one case and restores the previous one.
class ClientIdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_given_ = args_info.id_given;
    saved_arg_ = args_info.id_arg;
  }
  void TearDown() override {
    args_info.id_given = saved_given_;
    args_info.id_arg = saved_arg_;
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
