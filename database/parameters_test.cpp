#include "database/parameters.h"

#include <gtest/gtest.h>

#include <limits>

namespace database {
namespace {

TEST(ReadDecimal32, ReadsLeadingNumberLikeStoi) {
  EXPECT_EQ(ReadDecimal32("12"), 12);
  EXPECT_EQ(ReadDecimal32("  -5"), -5);
  EXPECT_EQ(ReadDecimal32("+3"), 3);
  EXPECT_EQ(ReadDecimal32("12abc"), 12);  // reading stops at the first non-digit
  EXPECT_EQ(ReadDecimal32("0x10"), 0);    // decimal only
  EXPECT_EQ(ReadDecimal32("010"), 10);
}

TEST(ReadDecimal32, RefusesTextWithoutNumberAndValuesBeyond32Bits) {
  EXPECT_EQ(ReadDecimal32(""), std::nullopt);
  EXPECT_EQ(ReadDecimal32("abc"), std::nullopt);
  EXPECT_EQ(ReadDecimal32("-"), std::nullopt);
  EXPECT_EQ(ReadDecimal32(" "), std::nullopt);
  EXPECT_EQ(ReadDecimal32("2147483647"), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(ReadDecimal32("-2147483648"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(ReadDecimal32("2147483648"), std::nullopt);
  EXPECT_EQ(ReadDecimal32("-2147483649"), std::nullopt);
  EXPECT_EQ(ReadDecimal32("99999999999999999999999"), std::nullopt);
}

TEST(ReadAutoBase32, ChoosesBaseFromPrefixAndClamps) {
  EXPECT_EQ(ReadAutoBase32("0x1F"), 31);
  EXPECT_EQ(ReadAutoBase32("0X1f"), 31);
  EXPECT_EQ(ReadAutoBase32("010"), 8);
  EXPECT_EQ(ReadAutoBase32("-0x10"), -16);
  EXPECT_EQ(ReadAutoBase32("42xyz"), 42);
  EXPECT_EQ(ReadAutoBase32("abc"), 0);
  EXPECT_EQ(ReadAutoBase32(""), 0);
  EXPECT_EQ(ReadAutoBase32("99999999999"), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(ReadAutoBase32("-99999999999"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(ReadAutoBase32("999999999999999999999999"), std::numeric_limits<int32_t>::max());
}

TEST(ReadParameters, ReadsOnlyTheNamesTheOperationKnows) {
  const http::ParameterMap map = {{"userSerialNo", "abc"},  // unusable, but not asked for
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

}  // namespace
}  // namespace database
