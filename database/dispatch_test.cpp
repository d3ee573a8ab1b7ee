// The dispatcher: names, session checks, and replies that carry only their own request's members.
#include <future>
#include <thread>

#include "tests/fakes/database_fixture.h"

namespace database::testing {
namespace {

using ::testing::_;
using ::testing::ElementsAre;
using DispatchTest = DatabaseTest;

TEST_F(DispatchTest, UnknownNamesAnswerUnsupportedApiWithNothingElse) {
  Call("queryData");  // leaves "db", "sessionId", ... in the document
  for (const char* name :
       {"", "Enroll", "DELETE", "deleteall", "abortidentify", "queryData/", "identify2", "close"}) {
    const Json::Value reply = Call(name);
    EXPECT_THAT(Members(reply), ElementsAre("retString", "retValue")) << name;
    EXPECT_TRUE(reply["retValue"].isInt()) << name;
    EXPECT_EQ(reply["retValue"], -111) << name;
    EXPECT_EQ(reply["retString"], "Unsupported API") << name;
  }
}

TEST_F(DispatchTest, RepliesCarryOnlyTheirOwnRequestsMembers) {
  scannerLib.finger = 3;
  EnrolFinger(3, "secret-user");
  const Json::Value query = Call("queryData");
  ASSERT_EQ(query["db"]["0"]["id"], "secret-user");
  const Json::Value templ = Call("getTemplateData", "userSerialNo=0&encrypt=0");
  ASSERT_FALSE(templ["templateBase64"].asString().empty());

  // Every later reply, to any request, is built for that request alone.
  const Json::Value enrol = Call("enroll", "userSerialNo=1&userID=u&extractEx=1");
  EXPECT_THAT(Members(enrol), ElementsAre("quality", "retString", "retValue", "sessionId"));
  const Json::Value deleted = Call("delete", "userSerialNo=1");
  EXPECT_THAT(Members(deleted), ElementsAre("retString", "retValue", "sessionId"));
  const Json::Value refused = Call("verify", "userSerialNo=9&extractEx=1");
  EXPECT_THAT(Members(refused), ElementsAre("retString", "retValue", "sessionId"));
  const Json::Value verified = Call("verify", "userSerialNo=0&extractEx=1");
  EXPECT_THAT(Members(verified), ElementsAre("quality", "retString", "retValue", "retVerify",
                                             "score", "sessionId", "threshold"));
  const Json::Value identified = Call("identify", "extractEx=1");
  EXPECT_THAT(Members(identified), ElementsAre("matchedID", "matchedIndex", "quality", "retString",
                                               "retValue", "score", "sessionId", "threshold"));
}

TEST_F(DispatchTest, SessionOperationsRefuseWithTheReasonAndItsDetailOnly) {
  for (const char* name :
       {"update", "enroll", "verify", "verifyTemplate", "identify", "getTemplateData"}) {
    Call("queryData");  // fill the document with leftovers
    const Json::Value reply = Call(name, "userSerialNo=0&extractEx=1", nullptr);
    EXPECT_THAT(Members(reply), ElementsAre("detail", "request", "retString", "retValue")) << name;
    EXPECT_EQ(reply["request"], name);
    EXPECT_TRUE(reply["retValue"].isInt()) << name;
    EXPECT_EQ(reply["retValue"], -112) << name;
    EXPECT_EQ(reply["retString"], "No session cookie is passed") << name;
  }
  EXPECT_EQ(db.UserCount(), 0u);
  EXPECT_EQ(sessions.Size(), 0u);  // a refused request binds nothing
}

TEST_F(DispatchTest, SessionBindsTheHandleToTheFirstPage) {
  EXPECT_CALL(scannerLib, CaptureSingleImage(_)).Times(1);
  EnrolFinger(1, "alice");  // binds sHandle 7 to kCookie / page1

  const Json::Value other = Call("verify", "userSerialNo=0&extractEx=1", "session=other");
  EXPECT_EQ(other["retValue"], -112);
  EXPECT_EQ(other["retString"], "invalid session cookie");

  const Json::Value otherPage =
      CallRaw("verify", "sHandle=7&id=page2&userSerialNo=0&extractEx=1", kCookie);
  EXPECT_EQ(otherPage["retString"], "invalid page ID");

  // "undefined" passes the page check; a session check comes before the handle is read.
  ::testing::Mock::VerifyAndClearExpectations(&scannerLib);
  const Json::Value undefinedPage =
      CallRaw("verify", "sHandle=7&id=undefined&userSerialNo=0&extractEx=1", kCookie);
  EXPECT_EQ(undefinedPage["retVerify"], "Success");
}

TEST_F(DispatchTest, SessionIsCheckedAgainstTheLastSHandle) {
  EnrolFinger(1, "alice");
  // Another handle is free and binds to another page.
  const Json::Value reply =
      CallRaw("verify", "sHandle=9&sHandle=8&id=p2&userSerialNo=0&extractEx=1", "session=other");
  EXPECT_EQ(reply["retValue"], "0");
  const auto records = sessions.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].sHandle, "8");
  EXPECT_EQ(records[1].pageId, "p2");
}

TEST_F(DispatchTest, AbortIdentifyUsesItsOwnDocumentAndNoApiLock) {
  Call("queryData");

  // Another request holds apiLock for as long as the abort takes.
  std::promise<void> locked;
  std::promise<void> release;
  std::thread holder([&] {
    std::lock_guard apiGuard(dispatcher.ApiLock());
    locked.set_value();
    release.get_future().wait();
  });
  locked.get_future().wait();
  const Json::Value reply = Call("abortIdentify", "", nullptr);
  release.set_value();
  holder.join();

  EXPECT_THAT(Members(reply), ElementsAre("retString", "retValue"));
  EXPECT_EQ(reply["retValue"], "0");
  EXPECT_EQ(reply["retString"], "Success");
}

TEST_F(DispatchTest, AbortIdentifyReportsTheMatchersStatus) {
  EXPECT_CALL(matcherLib, AbortIdentify(matcher.load()))
      .WillOnce(::testing::Return(devicelib::kInvalidMatcher));
  const Json::Value reply = Call("abortIdentify");
  EXPECT_EQ(reply["retValue"], "-403");
  EXPECT_EQ(reply["retString"], MatcherMessage(devicelib::kInvalidMatcher));
}

TEST_F(DispatchTest, EveryReplyButRejectionsCarriesSessionIdZero) {
  for (const char* name : {"queryData", "deleteAll", "delete", "enroll", "identify"}) {
    const Json::Value reply = Call(name, "userSerialNo=0&extractEx=1");
    EXPECT_EQ(reply["sessionId"], "0") << name;
  }
}

}  // namespace
}  // namespace database::testing

namespace database::testing {
namespace {

// Unusable values anywhere: every one is refused with the text "-112" before any library call,
// changes nothing, and leaves both locks free for the next request.
struct Malformed {
  const char* name;
  std::string params;
};

class MalformedParameterTest : public DatabaseTest,
                               public ::testing::WithParamInterface<Malformed> {};

TEST_P(MalformedParameterTest, IsRefusedWithoutChangingAnything) {
  EnrolFinger(1, "alice");
  ASSERT_EQ(Call("getTemplateData", "userSerialNo=0&encrypt=0")["retValue"], "0");
  const auto users = db.Users();
  const auto bytes = db.TemplateBytes(0, false);
  const std::string base64 = db.Base64Text();

  EXPECT_CALL(scannerLib, SetParameter(_, _, _)).Times(0);
  EXPECT_CALL(scannerLib, CaptureSingleImage(_)).Times(0);
  EXPECT_CALL(scannerLib, SetEncryptionKey(_, _)).Times(0);
  EXPECT_CALL(matcherLib, Verify(_, _, _, _, _, _)).Times(0);
  EXPECT_CALL(matcherLib, Identify(_, _, _, _, _, _, _, _)).Times(0);

  const Json::Value reply = Call(GetParam().name, GetParam().params);
  EXPECT_TRUE(reply["retValue"].isString());
  EXPECT_EQ(reply["retValue"], "-112");
  EXPECT_EQ(reply["retString"], "passed wrong parameter");
  EXPECT_EQ(reply["sessionId"], "0");

  ExpectLocksFree();
  EXPECT_EQ(db.Users(), users);
  EXPECT_EQ(db.TemplateBytes(0, false), bytes);
  EXPECT_EQ(db.Base64Text(), base64);
  EXPECT_EQ(Call("queryData")["db"]["size"], 1);  // the agent goes on serving
}

const std::string kLongText(1024, 'A');

INSTANTIATE_TEST_SUITE_P(
    Parameters, MalformedParameterTest,
    ::testing::Values(
        Malformed{"enroll", "userSerialNo=one"}, Malformed{"enroll", "userSerialNo="},
        Malformed{"enroll", "userSerialNo=4294967297"}, Malformed{"enroll", "selectTemplate=x"},
        Malformed{"enroll", "encrypt=no"}, Malformed{"enroll", "extractEx=-"},
        Malformed{"enroll", "userSerialNo=1&extractEx=99999999999"},
        Malformed{"update", "userSerialNo=zero&extractEx=1"},
        Malformed{"update", "userSerialNo=0&extractEx=one"},
        Malformed{"update", "userSerialNo=-99999999999&extractEx=1"},
        Malformed{"delete", "userSerialNo=first"}, Malformed{"delete", "userSerialNo=2147483648"},
        Malformed{"verify", "userSerialNo=&extractEx=1"},
        Malformed{"verify", "userSerialNo=0&extractEx=x"}, Malformed{"identify", "extractEx=one"},
        Malformed{"identify", "extractEx=4294967296"},
        Malformed{"getTemplateData", "userSerialNo=0&encrypt=plain"},
        Malformed{"getTemplateData", "userSerialNo=0&encrypt=2"},
        Malformed{"getTemplateData", "userSerialNo=x0&encrypt=0"},
        Malformed{"verifyTemplate", "tempData=" + kLongText + "&tempLen=8&encrypt=0"},
        Malformed{"verifyTemplate", "tempData=YWJj&tempLen=1025&encrypt=0"},
        Malformed{"verifyTemplate", "tempData=YWJj&tempLen=three&encrypt=0"},
        Malformed{"verifyTemplate", "tempData=YWJj&tempLen=2&encrypt=0"},
        Malformed{"verifyTemplate", "tempData=YWJj%&tempLen=8&encrypt=0"},
        Malformed{"verifyTemplate", "tempData=YW%2&tempLen=8&encryptKey=k"},
        Malformed{"verifyTemplate", "tempData=YWJj&tempLen=8&encrypt=1x0&extractEx=z"}));

}  // namespace
}  // namespace database::testing
