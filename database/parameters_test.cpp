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

}  // namespace
}  // namespace database
