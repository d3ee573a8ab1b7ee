// The store as pages see it through "queryData", "delete" and "deleteAll".
#include "tests/fakes/database_fixture.h"

namespace database::testing {
namespace {

using StoreTest = DatabaseTest;

TEST_F(StoreTest, EmptyStoreReportsSizeZero) {
  const Json::Value reply = Call("queryData");
  EXPECT_EQ(reply["db"], ParseReply(R"({"size": 0})"));
  EXPECT_EQ(reply["retValue"], "0");
  EXPECT_EQ(reply["retString"], "Success");
}

TEST_F(StoreTest, QueryDataListsEveryUserWithBothRecords) {
  EnrolFinger(1, "alice");
  EnrolFinger(2, "bob");
  const Json::Value listed = Call("queryData")["db"];
  EXPECT_EQ(listed["size"], 2);
  EXPECT_TRUE(listed["size"].isInt());
  EXPECT_EQ(listed["0"]["id"], "alice");
  EXPECT_EQ(listed["0"]["template1"], static_cast<int>(FingerTemplate(1).size()));
  EXPECT_EQ(listed["0"]["quality1"], 80);
  EXPECT_EQ(listed["0"]["template2"], 0);
  EXPECT_EQ(listed["0"]["quality2"], 0);
  EXPECT_EQ(listed["1"]["id"], "bob");
  EXPECT_EQ(listed["1"]["template1"], static_cast<int>(FingerTemplate(2).size()));
  EXPECT_EQ(listed.size(), 3u);
}

TEST_F(StoreTest, QueryDataRefusesMissingZeroOrNonNumericHandle) {
  EnrolFinger(1, "alice");
  for (const char* text : {"id=page1", "sHandle=0&id=page1", "sHandle=abc", "sHandle=&x=1"}) {
    const Json::Value reply = CallRaw("queryData", text);
    EXPECT_EQ(reply["retValue"], "-112") << text;  // text, not integer
    EXPECT_EQ(reply["retString"], "passed wrong parameter") << text;
    EXPECT_FALSE(reply.isMember("db")) << text;
  }
}

TEST_F(StoreTest, DeleteRenumbersLaterUsersAndMovesTheirTemplates) {
  EnrolFinger(1, "alice");
  EnrolFinger(2, "bob");
  EnrolFinger(3, "carol");
  const Json::Value reply = Call("delete", "userSerialNo=0");
  EXPECT_EQ(reply["retValue"], "0");
  EXPECT_EQ(reply["retString"], "Success");

  const Json::Value listed = Call("queryData")["db"];
  EXPECT_EQ(listed["size"], 2);
  EXPECT_EQ(listed["0"]["id"], "bob");
  EXPECT_EQ(listed["1"]["id"], "carol");
  EXPECT_FALSE(listed.isMember("2"));
  EXPECT_EQ(listed.size(), 3u);  // "size", "0", "1"
  EXPECT_EQ(db.TemplateBytes(1, false), FingerTemplate(3));
  EXPECT_EQ(db.TemplateBytes(1, true), std::vector<uint8_t>{});
  EXPECT_EQ(db.TemplateBytes(2, false), std::nullopt);
}

TEST_F(StoreTest, DeleteOutsideTheStoreAnswersCodeZeroAndChangesNothing) {
  EnrolFinger(1, "alice");
  EnrolFinger(2, "bob");
  const auto before = db.Users();
  // Count, negative, far out, and absent (with another parameter so the text still parses).
  for (const char* params :
       {"userSerialNo=2", "userSerialNo=-1", "userSerialNo=2000000000", "other=1"}) {
    const Json::Value reply = Call("delete", params);
    EXPECT_EQ(reply["retValue"], "0") << params;
    EXPECT_EQ(reply["retString"], ScannerMessage(0)) << params;  // the scanner's text for 0
    EXPECT_EQ(db.Users(), before) << params;
  }
}

TEST_F(StoreTest, DeleteParameterFaultsAnswerWrongParameterAndChangeNothing) {
  EnrolFinger(1, "alice");
  const auto before = db.Users();
  for (const char* text :
       {"sHandle=7",  // nothing besides the handle
        "sHandle=0&userSerialNo=0", "id=p&userSerialNo=0", "sHandle=7&userSerialNo=zero",
        "sHandle=7&userSerialNo=", "sHandle=7&userSerialNo=99999999999"}) {
    const Json::Value reply = CallRaw("delete", text);
    EXPECT_EQ(reply["retValue"], "-112") << text;
    EXPECT_TRUE(reply["retValue"].isString()) << text;
    EXPECT_EQ(reply["retString"], "passed wrong parameter") << text;
    EXPECT_EQ(db.Users(), before) << text;
    ExpectLocksFree();
  }
}

TEST_F(StoreTest, DeleteAllEmptiesBothListsAndLaterEnrolmentStartsAtZero) {
  EXPECT_EQ(Call("deleteAll")["retString"], "Success");  // on an empty store too
  EnrolFinger(1, "alice");
  ASSERT_EQ(Call("enroll", "userSerialNo=1&userID=bob&selectTemplate=1")["retValue"], "0");
  ASSERT_NE(db.Users()[1].templateSize2, 0u);

  const Json::Value reply = Call("deleteAll");
  EXPECT_EQ(reply["retValue"], "0");
  EXPECT_EQ(reply["retString"], "Success");
  EXPECT_EQ(db.UserCount(), 0u);
  EXPECT_EQ(db.TemplateBytes(0, true), std::nullopt);

  EnrolFinger(4, "dave");
  const Json::Value db1 = Call("queryData")["db"];
  EXPECT_EQ(db1["size"], 1);
  EXPECT_EQ(db1["0"]["id"], "dave");
  EXPECT_EQ(db1["0"]["template2"], 0);
  EXPECT_EQ(db1["0"]["quality2"], 0);
}

TEST_F(StoreTest, ClearTemplatesEmptiesTheStore) {
  EnrolFinger(1, "alice");
  db.ClearTemplates();
  EXPECT_EQ(db.UserCount(), 0u);
}

TEST_F(StoreTest, StoreOperationsNeedNoSessionCookie) {
  EnrolFinger(1, "alice");
  EXPECT_EQ(Call("queryData", "", nullptr)["retValue"], "0");
  EXPECT_EQ(Call("delete", "userSerialNo=0", nullptr)["retValue"], "0");
  EXPECT_EQ(db.UserCount(), 0u);
  EXPECT_EQ(Call("deleteAll", "", nullptr)["retString"], "Success");
}

}  // namespace
}  // namespace database::testing
