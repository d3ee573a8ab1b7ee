// What the database's replies tell a page beyond the result: the quality of each extraction,
// the matcher's score and threshold, a "detail" for every parameter fault, user IDs in any
// language, and the events that listeners hear while an operation runs.
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "service/events.h"
#include "tests/fakes/database_fixture.h"

namespace database::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Return;

using ReplyMembersTest = DatabaseTest;

TEST_F(ReplyMembersTest, ExtractionsReportQualityAndMatchesReportScoreAndThreshold) {
  scannerLib.quality = 64;
  EnrolFinger(1, "alice");
  EnrolFinger(2, "bob");
  EXPECT_EQ(Call("enroll", "userSerialNo=1&extractEx=1")["quality"], 64);
  EXPECT_EQ(Call("update", "userSerialNo=1&extractEx=1")["quality"], 64);

  scannerLib.quality = 57;
  scannerLib.finger = 2;
  const Json::Value match = Call("verify", "userSerialNo=1&extractEx=1");
  EXPECT_EQ(match["retVerify"], "Success");
  EXPECT_EQ(match["quality"], 57);
  EXPECT_EQ(match["score"], FakeMatcherLib::kSameScore);
  EXPECT_EQ(match["threshold"], FakeMatcherLib::kThreshold);
  // A finger that fails still learns how close it came: that is what helps the user.
  const Json::Value miss = Call("verify", "userSerialNo=0&extractEx=1");
  EXPECT_EQ(miss["retVerify"], "Fail");
  EXPECT_EQ(miss["retValue"], "0");
  EXPECT_EQ(miss["score"], FakeMatcherLib::kOtherScore);
  EXPECT_EQ(miss["threshold"], FakeMatcherLib::kThreshold);

  const Json::Value found = Call("identify", "extractEx=1");
  EXPECT_EQ(found["matchedIndex"], 1);
  EXPECT_EQ(found["score"], FakeMatcherLib::kSameScore);
  EXPECT_EQ(found["quality"], 57);
  scannerLib.finger = 9;
  const Json::Value unknown = Call("identify", "extractEx=1");
  EXPECT_EQ(unknown["matchedID"], "Not Registered");
  EXPECT_EQ(unknown["score"], FakeMatcherLib::kOtherScore);  // the best, though not enough
  EXPECT_EQ(unknown["threshold"], FakeMatcherLib::kThreshold);

  scannerLib.finger = 1;
  const std::string plain =
      Call("getTemplateData", "userSerialNo=0&encrypt=0")["templateBase64"].asString();
  const Json::Value checked =
      Call("verifyTemplate",
           "encrypt=0&tempLen=" + std::to_string(FingerTemplate(1).size()) + "&tempData=" + plain);
  EXPECT_EQ(checked["retVerify"], "Success");
  EXPECT_EQ(checked["score"], FakeMatcherLib::kSameScore);
  EXPECT_EQ(checked["quality"], 57);
  // Read-out extracts nothing, so it reports no quality.
  EXPECT_FALSE(Call("getTemplateData", "userSerialNo=0&encrypt=0").isMember("quality"));
}

TEST_F(ReplyMembersTest, QualityBelowTheLevelIsReportedAndNothingIsMatched) {
  EnrolFinger(1, "alice");
  scannerLib.quality = 40;
  for (const char* request : {"verify", "identify"}) {
    const Json::Value low = Call(request, "userSerialNo=0&extractEx=1&qualityLevel=41");
    EXPECT_EQ(low["retValue"], "-302") << request;
    EXPECT_EQ(low["quality"], 40) << request;
    EXPECT_FALSE(low.isMember("score")) << request;
  }
  const Json::Value enrol = Call("enroll", "userSerialNo=0&extractEx=1&qualityLevel=41");
  EXPECT_EQ(enrol["retValue"], "-302");
  EXPECT_EQ(enrol["quality"], 40);
}

TEST_F(ReplyMembersTest, FourSampleEnrolmentReportsItsWeakestSample) {
  const int32_t qualities[] = {90, 61, 75, 88};
  int capture = 0;
  ON_CALL(scannerLib, CaptureSingleImage(::testing::_)).WillByDefault([&](int64_t) {
    scannerLib.quality = qualities[capture++ % 4];
    return 0;
  });
  const Json::Value reply = Call("enroll", "userSerialNo=0&selectTemplate=1&extractEx=1");
  EXPECT_EQ(reply["retValue"], "0");
  EXPECT_EQ(reply["quality"], 61);
  EXPECT_EQ(db.Users()[0].quality1, kSelectedQuality);  // what is stored does not change
}

TEST_F(ReplyMembersTest, NoScoreWhenTheMatcherCannotTellIt) {
  EnrolFinger(1, "alice");
  ON_CALL(matcherLib, GetParameter(::testing::_, ::testing::_, ::testing::_))
      .WillByDefault(Return(devicelib::kInvalidParameter));
  const Json::Value reply = Call("verify", "userSerialNo=0&extractEx=1");
  EXPECT_EQ(reply["retVerify"], "Success");
  EXPECT_FALSE(reply.isMember("score"));
  EXPECT_FALSE(reply.isMember("threshold"));
}

// Every -112 says what to change; "retString" stays what pages have always compared against.
TEST_F(ReplyMembersTest, EveryParameterFaultCarriesADetail) {
  EnrolFinger(1, "alice");
  EnrolFinger(2, "bob");
  struct Case {
    const char* name;
    std::string text;  // the whole parameter text
    const char* detail;
  };
  const Case cases[] = {
      {"enroll", "sHandle=7&id=page1&userSerialNo=5",
       "userSerialNo must be 2, the next free number"},
      {"enroll", "sHandle=7&id=page1&userSerialNo=-1",
       "userSerialNo must be 2, the next free number"},
      {"enroll", "sHandle=7&id=page1&userSerialNo=x", "userSerialNo must be a decimal number"},
      {"enroll", "sHandle=7&id=page1&userID=%FF", "userID is not UTF-8"},
      {"verify", "id=page1&userSerialNo=0&extractEx=1", "sHandle is missing or 0"},
      {"verify", "sHandle=7&id=page1&userSerialNo=0", "extractEx must be 0"},
      {"identify", "sHandle=7&id=page1&extractEx=2", "extractEx must be 0"},
      {"update", "sHandle=7&id=page1&userSerialNo=0", "extractEx must be 0"},
      {"getTemplateData", "sHandle=7&id=page1&userSerialNo=0&encrypt=3", "encrypt must be 0"},
      {"queryData", "sHandle=0", "sHandle is missing or 0"},
      {"delete", "sHandle=7",
       "no parameter besides sHandle was given; this operation reads "
       "userSerialNo"},
      {"verifyTemplate", "sHandle=7&id=page1&tempLen=2000", "tempLen must be 0 to 1024"},
      {"verifyTemplate", "sHandle=7&id=page1&tempData=" + std::string(1024, 'A'),
       "tempData must be at most 1023 characters"},
      {"verifyTemplate", "sHandle=7&id=page1&encrypt=0&tempLen=2&tempData=QUFBQUFB",
       "tempData decodes to 6 bytes, more than tempLen (2)"},
      {"verifyTemplate", "sHandle=7&id=page1&encrypt=0&tempLen=4&tempData=QUF%2", "ends inside"},
  };
  for (const Case& c : cases) {
    const Json::Value reply = CallRaw(c.name, c.text);
    EXPECT_EQ(reply["retValue"].asString() == "-112" || reply["retValue"] == -112, true)
        << c.name << " " << c.text << reply.toStyledString();
    EXPECT_EQ(reply["retString"], "passed wrong parameter") << c.name << " " << c.text;
    EXPECT_THAT(reply["detail"].asString(), HasSubstr(c.detail)) << c.name << " " << c.text;
  }
  EXPECT_EQ(db.UserCount(), 2u);

  // The serial-number fault of enroll stays a JSON integer, as it always was.
  EXPECT_EQ(CallRaw("enroll", "sHandle=7&id=page1&userSerialNo=5")["retValue"], -112);
  EXPECT_EQ(CallRaw("enroll", "sHandle=7&id=page1&userSerialNo=5")["detail"],
            "userSerialNo must be 2, the next free number, or that of an enrolled user (0 to 1) to "
            "enrol it again");
  db.ClearTemplates();
  EXPECT_EQ(CallRaw("enroll", "sHandle=7&id=page1&userSerialNo=1")["detail"],
            "userSerialNo must be 0, the next free number");
}

// The matcher's own -112 (a template it cannot read) looks like a parameter fault to a page:
// it is explained too.
TEST_F(ReplyMembersTest, TemplatesTheMatcherCannotReadAreExplained) {
  // A user whose enrolment capture failed exists without a template.
  EXPECT_CALL(scannerLib, CaptureSingleImage(7))
      .WillOnce(Return(devicelib::kCaptureTimeout))
      .WillRepeatedly(Return(0));
  ASSERT_EQ(Call("enroll", "userSerialNo=0&userID=x&extractEx=1")["retValue"], "-105");
  const Json::Value empty = Call("verify", "userSerialNo=0&extractEx=1");
  EXPECT_EQ(empty["retValue"], "-112");
  EXPECT_EQ(empty["retString"], MatcherMessage(devicelib::kInvalidTemplate));
  EXPECT_EQ(empty["detail"],
            "user 0 has no usable template (its enrolment failed?): enrol it again");

  const Json::Value plain =
      Call("verifyTemplate", "encrypt=0&tempLen=4&tempData=QUFBQQ&extractEx=1");
  EXPECT_EQ(plain["retValue"], "-112");
  EXPECT_THAT(plain["detail"].asString(), HasSubstr("send encrypt=1"));
}

TEST_F(ReplyMembersTest, UserIdsArePercentDecodedUtf8ListedAndIdentified) {
  EnrolFinger(1, "Zo%C3%AB%20Smith");
  EnrolFinger(2, "a+b");  // "+" was accepted before as itself, and stays so
  EnrolFinger(3, "100%");
  const Json::Value users = Call("queryData")["db"];
  EXPECT_EQ(users["0"]["id"], "Zo\xC3\xAB Smith");
  EXPECT_EQ(users["1"]["id"], "a+b");
  EXPECT_EQ(users["2"]["id"], "100%");
  scannerLib.finger = 1;
  EXPECT_EQ(Call("identify", "extractEx=1")["matchedID"], "Zo\xC3\xAB Smith");

  // Not UTF-8 once decoded: refused before anything is stored or captured.
  EXPECT_CALL(scannerLib, CaptureSingleImage(::testing::_)).Times(0);
  for (const char* bad : {"Zo%EB", "%C3%28", "%ED%A0%80", "x%00y"}) {
    const Json::Value reply = Call("enroll", std::string("userSerialNo=3&userID=") + bad);
    EXPECT_EQ(reply["retValue"], "-112") << bad;
    EXPECT_THAT(reply["detail"].asString(), HasSubstr("userID")) << bad;
  }
  EXPECT_EQ(db.UserCount(), 3u);
}

// Collects what a listener on the hub has heard so far.
std::vector<service::Event> Heard(service::EventHub::Listener& listener) {
  std::vector<service::Event> heard;
  while (std::optional<service::Event> event = listener.Next(std::chrono::milliseconds(0))) {
    heard.push_back(std::move(*event));
  }
  return heard;
}

TEST_F(ReplyMembersTest, CapturesAndEnrolmentSamplesAreAnnouncedToListeners) {
  const auto listener = events.Listen();
  scannerLib.quality = 70;
  ASSERT_EQ(Call("enroll", "userSerialNo=0&userID=x&selectTemplate=1&extractEx=1")["retValue"],
            "0");
  std::vector<service::Event> heard = Heard(*listener);
  ASSERT_EQ(heard.size(), 12u);
  for (int sample = 0; sample < 4; ++sample) {
    const service::Event& started = heard[static_cast<size_t>(sample) * 3];
    const service::Event& done = heard[static_cast<size_t>(sample) * 3 + 1];
    const service::Event& extracted = heard[static_cast<size_t>(sample) * 3 + 2];
    EXPECT_EQ(started.type, "capturestarted");
    EXPECT_EQ(started.sHandle, "7");
    EXPECT_EQ(started.data["mode"], "enroll");
    EXPECT_EQ(done.type, "capturedone");
    EXPECT_EQ(done.data["retValue"], 0);
    EXPECT_EQ(extracted.type, "enrolsample");
    EXPECT_EQ(extracted.data["sample"], sample + 1);
    EXPECT_EQ(extracted.data["samples"], 4);
    EXPECT_EQ(extracted.data["quality"], 70);
  }

  Call("update", "userSerialNo=0&extractEx=1");
  heard = Heard(*listener);
  ASSERT_EQ(heard.size(), 3u);
  EXPECT_EQ(heard[0].data["mode"], "update");
  EXPECT_EQ(heard[2].type, "enrolsample");
  EXPECT_EQ(heard[2].data["samples"], 1);

  for (const char* mode : {"verify", "identify"}) {
    Call(mode, "userSerialNo=0&extractEx=1");
    heard = Heard(*listener);
    ASSERT_EQ(heard.size(), 2u) << mode;
    EXPECT_EQ(heard[0].data["mode"], mode);
    EXPECT_EQ(heard[1].type, "capturedone");
  }

  // A capture that fails is done too, with the library's status.
  EXPECT_CALL(scannerLib, CaptureSingleImage(7)).WillOnce(Return(devicelib::kCaptureTimeout));
  Call("verify", "userSerialNo=0&extractEx=1");
  heard = Heard(*listener);
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[1].data["retValue"], devicelib::kCaptureTimeout);
  // Nothing is heard from operations that do not capture.
  Call("queryData");
  Call("getTemplateData", "userSerialNo=0&encrypt=0");
  EXPECT_TRUE(Heard(*listener).empty());
}

}  // namespace
}  // namespace database::testing
