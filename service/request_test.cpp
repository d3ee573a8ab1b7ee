#include "service/request.h"

#include <gtest/gtest.h>

#include <climits>
#include <limits>

namespace service {
namespace {

TEST(NextToken, WalksItemsAndEndsWithNegativeCursor) {
  int cursor = 0;
  EXPECT_EQ(NextToken("a=1&b=2", '&', cursor), "a=1");
  EXPECT_EQ(cursor, 4);
  EXPECT_EQ(NextToken("a=1&b=2", '&', cursor), "b=2");
  EXPECT_EQ(cursor, -1);
  EXPECT_EQ(NextToken("a=1&b=2", '&', cursor), "");
  EXPECT_EQ(cursor, -1);

  cursor = 0;
  EXPECT_EQ(NextToken("", '&', cursor), "");
  EXPECT_EQ(cursor, -1);
  cursor = 0;
  EXPECT_EQ(NextToken("x&", '&', cursor), "x");
  EXPECT_EQ(NextToken("x&", '&', cursor), "");  // the empty tail item
  EXPECT_EQ(cursor, -1);
  cursor = 99;  // past the end never reads out of bounds
  EXPECT_EQ(NextToken("abc", '&', cursor), "");
}

TEST(GetParamSHandle, LastItemWinsAndKeysAreCaseSensitive) {
  EXPECT_EQ(GetParamSHandle("sHandle=1&sHandle=2"), "2");
  EXPECT_EQ(GetParamSHandle("sHandle"), "");
  EXPECT_EQ(GetParamSHandle("shandle=1"), "");
  EXPECT_EQ(GetParamSHandle("sHandleX=1"), "");
  EXPECT_EQ(GetParamSHandle("id=p1&sHandle=77"), "77");
  // The value is the text between the first and the second "=".
  EXPECT_EQ(GetParamSHandle("sHandle=5=6"), "5");
  EXPECT_EQ(GetParamSHandle(""), "");
}

TEST(GetParamSHandle, EmptyItemHidesTheRest) {
  EXPECT_EQ(GetParamSHandle("a=1&&sHandle=2"), "");
  EXPECT_EQ(GetParamSHandle("sHandle=1&&sHandle=2"), "1");
  EXPECT_EQ(GetParamId("&id=x"), "");
}

TEST(GetParamId, ReadsIdLikeSHandle) {
  EXPECT_EQ(GetParamId("sHandle=5&id=page-1"), "page-1");
  EXPECT_EQ(GetParamId("ID=page"), "");
  EXPECT_EQ(GetParamId("id=%41"), "%41");  // never decoded
}

TEST(ParseParameters, FirstValueWinsAndSHandleIsSkipped) {
  ParameterMap map{{"old", "x"}};
  EXPECT_EQ(ParseParameters("sHandle=1", map), -1);
  EXPECT_EQ(map.size(), 1u);  // untouched on failure
  EXPECT_EQ(map.at("old"), "x");

  EXPECT_EQ(ParseParameters("a=1&a=2", map), 0);
  EXPECT_EQ(map, (ParameterMap{{"a", "1"}}));

  EXPECT_EQ(ParseParameters("a=1&b", map), 0);
  EXPECT_EQ(map, (ParameterMap{{"a", "1"}, {"b", ""}}));

  // Base64 values lose their padding: the value ends at the next "=".
  EXPECT_EQ(ParseParameters("tempData=YQ==&x=a+b", map), 0);
  EXPECT_EQ(map.at("tempData"), "YQ");
  EXPECT_EQ(map.at("x"), "a+b");

  EXPECT_EQ(ParseParameters("", map), -1);
  EXPECT_EQ(ParseParameters("&a=1", map), -1);  // empty first item ends the scan
}

TEST(ReadHandleNumber, DecimalWithClampAndLeniency) {
  EXPECT_EQ(ReadHandleNumber("12345"), 12345);
  EXPECT_EQ(ReadHandleNumber("  -42x"), -42);
  EXPECT_EQ(ReadHandleNumber("+7"), 7);
  EXPECT_EQ(ReadHandleNumber("abc"), 0);
  EXPECT_EQ(ReadHandleNumber(""), 0);
  EXPECT_EQ(ReadHandleNumber("99999999999999999999999"), LLONG_MAX);
  EXPECT_EQ(ReadHandleNumber("-99999999999999999999999"), LLONG_MIN);
  EXPECT_EQ(ReadHandleNumber("0x10"), 0);  // decimal only
  EXPECT_EQ(ReadHandleNumber(std::string_view("12\0"
                                              "3",
                                              4)),
            12);
}

TEST(ParameterTextAfterDummy, SkipsTheDummyItem) {
  EXPECT_EQ(ParameterTextAfterDummy("dummy=123&sHandle=5&id=p1", 3), "sHandle=5&id=p1");
  EXPECT_EQ(ParameterTextAfterDummy("dummy=1&", 1), "");
  EXPECT_EQ(ParameterTextAfterDummy("dummy=&a=1", 0), "a=1");
  // Without a dummy the first six characters are skipped.
  EXPECT_EQ(ParameterTextAfterDummy("abcdefsHandle=1", -1), "sHandle=1");
  EXPECT_EQ(ParameterTextAfterDummy("short", -1), "");
  EXPECT_EQ(ParameterTextAfterDummy("", -1), "");
  // A value too long for the lookup buffer: offset 5.
  EXPECT_EQ(ParameterTextAfterDummy("dummy", -2), "");
  EXPECT_EQ(ParameterTextAfterDummy("0123456789", -2), "56789");
}

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

}  // namespace
}  // namespace service
