#include "database/parameters.h"

#include <gtest/gtest.h>

#include <limits>

namespace database {
namespace {

TEST(ReadParameters, ReadsOnlyTheNamesTheOperationKnows) {
  const service::ParameterMap map = {{"userSerialNo", "abc"},  // unusable, but not asked for
                                     {"extractEx", "1"},
                                     {"qualityLevel", "0x20"},
                                     {"userID", "alice"},
                                     {"ExtractEx", "zz"}};  // other case: another name
  RequestParameters params;
  ASSERT_TRUE(ReadParameters(map, kExtractEx | kQualityLevel, params));
  EXPECT_EQ(params.extractEx, 1);
  EXPECT_EQ(params.qualityLevel, 32);
  EXPECT_EQ(params.userSerialNo, std::nullopt);
  EXPECT_EQ(params.userID, "");
}

TEST(ReadParameters, AbsentValuesStayUnsetAndUnusableNumbersFail) {
  RequestParameters params;
  ASSERT_TRUE(ReadParameters({{"userID", "x=y"}}, kUserSerialNo | kUserId, params));
  EXPECT_EQ(params.userSerialNo, std::nullopt);
  EXPECT_EQ(params.userID, "x=y");
  EXPECT_EQ(params.qualityLevel, 0);

  for (const char* name : {"userSerialNo", "selectTemplate", "encrypt", "extractEx", "tempLen"}) {
    RequestParameters bad;
    EXPECT_FALSE(ReadParameters({{name, "x1"}}, ~0u, bad)) << name;
    RequestParameters empty;
    EXPECT_FALSE(ReadParameters({{name, ""}}, ~0u, empty)) << name;
    RequestParameters huge;
    EXPECT_FALSE(ReadParameters({{name, "4294967296"}}, ~0u, huge)) << name;
  }
}

TEST(DecodeUserId, DecodesEscapesToUtf8AndKeepsWhatWasAcceptedBefore) {
  EXPECT_EQ(DecodeUserId("Zo%C3%AB%20Smith"), "Zo\xC3\xAB Smith");
  EXPECT_EQ(DecodeUserId("Zo%c3%ab"), "Zo\xC3\xAB");  // either letter case
  EXPECT_EQ(DecodeUserId("%E6%9D%8E%F0%9F%91%8D"), "\xE6\x9D\x8E\xF0\x9F\x91\x8D");
  EXPECT_EQ(DecodeUserId("Zo\xC3\xAB"), "Zo\xC3\xAB");  // raw UTF-8 as before
  // Values pages sent before decoding existed mean what they meant.
  EXPECT_EQ(DecodeUserId("alice_01"), "alice_01");
  EXPECT_EQ(DecodeUserId("a+b"), "a+b");
  EXPECT_EQ(DecodeUserId(""), "");
  // A "%" that starts no escape is itself.
  EXPECT_EQ(DecodeUserId("100%"), "100%");
  EXPECT_EQ(DecodeUserId("%zz"), "%zz");
  EXPECT_EQ(DecodeUserId("%4"), "%4");
  EXPECT_EQ(DecodeUserId("%%41"), "%A");
  EXPECT_EQ(DecodeUserId("%2541"), "%41");  // decoded once only
}

TEST(DecodeUserId, RefusesWhatIsNotUtf8Text) {
  for (const char* bad : {
           "Zo%EB",         // Latin-1
           "\xEB",          // raw Latin-1
           "%C3",           // cut off
           "%C3%28",        // bad continuation
           "%80",           // a lone continuation byte
           "%C0%AF",        // overlong "/"
           "%E0%80%AF",     // overlong, three bytes
           "%ED%A0%80",     // a UTF-16 surrogate
           "%F4%90%80%80",  // above U+10FFFF
           "%FF",           // no UTF-8 byte
           "a%00b",         // NUL
       }) {
    EXPECT_EQ(DecodeUserId(bad), std::nullopt) << bad;
  }
}

TEST(ReadParameters, UserIdIsDecodedAndAFaultNamesIt) {
  RequestParameters params;
  std::string failed;
  ASSERT_TRUE(ReadParameters({{"userID", "Zo%C3%AB"}}, kUserId, params, &failed));
  EXPECT_EQ(params.userID, "Zo\xC3\xAB");
  EXPECT_FALSE(ReadParameters({{"userID", "%FF"}}, kUserId, params, &failed));
  EXPECT_EQ(failed, "userID");
  EXPECT_FALSE(ReadParameters({{"tempLen", "x"}}, kTempLen, params, &failed));
  EXPECT_EQ(failed, "tempLen");
  // Other operations do not read "userID", however it is written.
  EXPECT_TRUE(ReadParameters({{"userID", "%FF"}}, kUserSerialNo, params, &failed));
}

}  // namespace
}  // namespace database
