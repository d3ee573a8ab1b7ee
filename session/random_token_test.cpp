#include "session/random_token.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace session {
namespace {

TEST(RandomHex, LowercaseHexOfTheAskedLengthAndNeverRepeated) {
  std::set<std::string> seen;
  std::string all;
  for (int i = 0; i < 1000; ++i) {
    const std::optional<std::string> token = RandomHex(kSessionTokenBytes);
    ASSERT_TRUE(token.has_value());
    ASSERT_EQ(token->size(), 32u);
    EXPECT_EQ(token->find_first_not_of("0123456789abcdef"), std::string::npos) << *token;
    EXPECT_TRUE(seen.insert(*token).second) << "repeated " << *token;
    all += *token;
  }
  // Every digit turns up: the bytes are spread over both halves of each byte.
  for (char digit : std::string("0123456789abcdef")) {
    EXPECT_NE(all.find(digit), std::string::npos) << digit;
  }
  EXPECT_EQ(RandomHex(0), std::string());
}

}  // namespace
}  // namespace session
