// "enroll", "update" and "getTemplateData": library call order, store effects, faults.
#include <optional>
#include <utility>

#include "tests/fakes/database_fixture.h"

namespace database::testing {
namespace {

using ::testing::_;
using ::testing::NotNull;
using ::testing::Pointee;
using ::testing::Return;

using EnrolmentTest = DatabaseTest;

TEST_F(EnrolmentTest, SingleEnrolmentStoresTheExtractedTemplate) {
  EXPECT_CALL(scannerLib, ExtractEx(7, 1024, NotNull(), _, _));
  EXPECT_CALL(scannerLib, Extract(_, _, _, _)).Times(0);
  scannerLib.finger = 5;
  const Json::Value reply = Call("enroll", "userSerialNo=0&userID=alice&extractEx=1");
  EXPECT_EQ(reply["retValue"], "0");
  EXPECT_EQ(reply["retString"], "Success");
  EXPECT_EQ(db.TemplateBytes(0, false), FingerTemplate(5));
  EXPECT_EQ(db.Users()[0],
            (UserSummary{"alice", static_cast<uint32_t>(FingerTemplate(5).size()), 80, 0, 0}));
}

TEST_F(EnrolmentTest, ExtractExZeroUsesPlainExtractAndAbsenceUsesExtractEx) {
  EXPECT_CALL(scannerLib, Extract(7, NotNull(), _, _));
  EXPECT_EQ(Call("enroll", "userSerialNo=0&extractEx=0")["retValue"], "0");
  ::testing::Mock::VerifyAndClearExpectations(&scannerLib);

  EXPECT_CALL(scannerLib, ExtractEx(7, 1024, NotNull(), _, _));
  EXPECT_CALL(scannerLib, Extract(_, _, _, _)).Times(0);
  EXPECT_EQ(Call("enroll", "userSerialNo=1&userID=b")["retValue"], "0");
  EXPECT_EQ(db.UserCount(), 2u);
}

TEST_F(EnrolmentTest, SerialNumberBeyondCountOrNegativeIsAnIntegerFaultWithoutLibraryCalls) {
  EnrolFinger(1, "alice");
  EXPECT_CALL(scannerLib, SetParameter(_, _, _)).Times(0);
  EXPECT_CALL(scannerLib, CaptureSingleImage(_)).Times(0);
  for (const char* params : {"userSerialNo=3", "userSerialNo=2", "userSerialNo=-1"}) {
    const Json::Value reply = Call("enroll", std::string(params) + "&userID=x");
    EXPECT_TRUE(reply["retValue"].isInt()) << params;
    EXPECT_EQ(reply["retValue"], -112) << params;
    EXPECT_EQ(reply["retString"], "passed wrong parameter") << params;
  }
  EXPECT_EQ(db.UserCount(), 1u);
}

TEST_F(EnrolmentTest, EnrolmentWithoutParametersIsAnIntegerFaultButAZeroHandleIsText) {
  const Json::Value noMap = CallRaw("enroll", "sHandle=8");
  EXPECT_TRUE(noMap["retValue"].isInt());
  EXPECT_EQ(noMap["retValue"], -112);
  EXPECT_EQ(noMap["retString"], "passed wrong parameter");

  const Json::Value zero = CallRaw("enroll", "sHandle=0&id=page1&userSerialNo=0");
  EXPECT_TRUE(zero["retValue"].isString());
  EXPECT_EQ(zero["retValue"], "-112");
  EXPECT_EQ(db.UserCount(), 0u);

  // "id" alone makes a parameter map: userSerialNo defaults to 0, the current count.
  const Json::Value onlyId = CallRaw("enroll", "sHandle=7&id=page1");
  EXPECT_EQ(onlyId["retValue"], "0");
  EXPECT_EQ(db.UserCount(), 1u);
}

// A store at its limit refuses new users before any library call, and nothing else: users
// already in it can be enrolled again, verified and identified, and a removal makes room.
TEST_F(EnrolmentTest, FullStoreRefusesNewUsersOnly) {
  TemplateDatabase small{dispatcher, {scannerLib, matcherLib}, matcher, events, 3};
  auto call = [&](const std::string& name, const std::string& params) {
    return ParseReply(small.HandleDatabaseApi(name, kCookie, std::string(kHandle) + "&" + params));
  };
  for (int n = 0; n < 3; ++n) {
    scannerLib.finger = n + 1;
    ASSERT_EQ(call("enroll", "userSerialNo=" + std::to_string(n) + "&userID=u" +
                                 std::to_string(n))["retValue"],
              "0");
  }
  {
    EXPECT_CALL(scannerLib, SetParameter(_, _, _)).Times(0);
    EXPECT_CALL(scannerLib, CaptureSingleImage(_)).Times(0);
    for (const char* selection : {"0", "1"}) {
      const Json::Value full =
          call("enroll", std::string("userSerialNo=3&userID=late&selectTemplate=") + selection);
      EXPECT_TRUE(full["retValue"].isString());
      EXPECT_EQ(full["retValue"], "-501");
      EXPECT_EQ(full["retString"], "Template database is full");
    }
    // A serial number beyond the count is still the parameter fault it always was.
    EXPECT_EQ(call("enroll", "userSerialNo=4")["retValue"], -112);
    ::testing::Mock::VerifyAndClearExpectations(&scannerLib);
  }
  EXPECT_EQ(small.UserCount(), 3u);

  scannerLib.finger = 9;
  EXPECT_EQ(call("enroll", "userSerialNo=2&userID=ignored")["retValue"], "0");
  EXPECT_EQ(small.TemplateBytes(2, false), FingerTemplate(9));
  EXPECT_EQ(call("identify", "extractEx=1")["matchedIndex"], 2);

  EXPECT_EQ(call("delete", "userSerialNo=0")["retValue"], "0");
  scannerLib.finger = 4;
  EXPECT_EQ(call("enroll", "userSerialNo=2&userID=fourth")["retValue"], "0");
  EXPECT_EQ(small.UserCount(), 3u);
  EXPECT_EQ(call("enroll", "userSerialNo=3")["retValue"], "-501");
}

TEST_F(EnrolmentTest, UserLimitTextIsAcceptedOnlyWithinRange) {
  EXPECT_EQ(kMaxUsers, 10000u);
  const std::pair<const char*, std::optional<uint32_t>> cases[] = {
      {"3", 3u},
      {"1", 1u},
      {"10000", 10000u},
      {"10001", std::nullopt},
      {"0", std::nullopt},
      {"-5", std::nullopt},
      {"abc", std::nullopt},
      {"99999999999", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(ParseUserLimit(text), expected) << text;
  }
}

TEST_F(EnrolmentTest, ExistingUserKeepsItsIdAndGetsTheNewTemplate) {
  EnrolFinger(1, "alice");
  scannerLib.finger = 2;
  EXPECT_EQ(Call("enroll", "userSerialNo=0&userID=mallory&extractEx=1")["retValue"], "0");
  EXPECT_EQ(db.UserCount(), 1u);
  EXPECT_EQ(db.Users()[0].userID, "alice");
  EXPECT_EQ(db.TemplateBytes(0, false), FingerTemplate(2));
}

TEST_F(EnrolmentTest, FourCaptureEnrolmentStoresTheTwoSelectedTemplatesWithQuality100) {
  EXPECT_CALL(scannerLib, CaptureSingleImage(7)).Times(4);
  EXPECT_CALL(scannerLib,
              SelectTemplateEx(7, 1024, NotNull(), NotNull(), 4, NotNull(), NotNull(), 2));
  EXPECT_CALL(scannerLib, SelectTemplate(_, _, _, _, _, _, _)).Times(0);
  // Each capture sees another finger so that the selection's choice is visible.
  int capture = 0;
  ON_CALL(scannerLib, CaptureSingleImage(_)).WillByDefault([&](int64_t) {
    scannerLib.finger = 10 + capture++;
    return 0;
  });
  const Json::Value reply =
      Call("enroll", "userSerialNo=0&userID=alice&selectTemplate=1&qualityLevel=0");
  EXPECT_EQ(reply["retValue"], "0");
  EXPECT_EQ(db.TemplateBytes(0, false), FingerTemplate(11));
  EXPECT_EQ(db.TemplateBytes(0, true), FingerTemplate(13));
  const UserSummary user = db.Users()[0];
  EXPECT_EQ(user.quality1, 100);
  EXPECT_EQ(user.quality2, 100);
  EXPECT_EQ(Call("queryData")["db"]["0"]["template2"], static_cast<int>(FingerTemplate(13).size()));
}

TEST_F(EnrolmentTest, FourCaptureEnrolmentWithPlainExtractionUsesPlainSelection) {
  EXPECT_CALL(scannerLib, Extract(_, _, _, _)).Times(4);
  EXPECT_CALL(scannerLib, SelectTemplate(7, NotNull(), NotNull(), 4, NotNull(), NotNull(), 2));
  EXPECT_CALL(scannerLib, SelectTemplateEx(_, _, _, _, _, _, _, _)).Times(0);
  EXPECT_EQ(Call("enroll", "userSerialNo=0&selectTemplate=1&extractEx=0")["retValue"], "0");
}

TEST_F(EnrolmentTest, FailingSelectionReportsTheScannerAndLeavesRecordsUnchanged) {
  EnrolFinger(1, "alice");
  const auto before = db.Users();
  EXPECT_CALL(scannerLib, SelectTemplateEx(_, _, _, _, _, _, _, _))
      .WillOnce(Return(devicelib::kSelectionFailed));
  scannerLib.finger = 2;
  const Json::Value reply = Call("enroll", "userSerialNo=0&selectTemplate=1");
  EXPECT_EQ(reply["retValue"], "-303");
  EXPECT_EQ(reply["retString"], ScannerMessage(devicelib::kSelectionFailed));
  EXPECT_EQ(db.Users(), before);
  EXPECT_EQ(db.TemplateBytes(0, false), FingerTemplate(1));
}

TEST_F(EnrolmentTest, FourCaptureQualityGateStopsBeforeSelection) {
  EXPECT_CALL(scannerLib, CaptureSingleImage(_)).Times(1);
  EXPECT_CALL(scannerLib, SelectTemplateEx(_, _, _, _, _, _, _, _)).Times(0);
  const Json::Value reply = Call("enroll", "userSerialNo=0&selectTemplate=1&qualityLevel=81");
  EXPECT_EQ(reply["retValue"], "-302");
  EXPECT_EQ(reply["retString"], ScannerMessage(devicelib::kLowQuality));
  EXPECT_EQ(db.Users()[0].templateSize1, 0u);  // the user exists, without a template
}

TEST_F(EnrolmentTest, QualityGateEqualPassesOneAboveFailsButKeepsTheTemplate) {
  scannerLib.quality = 60;
  EXPECT_EQ(Call("enroll", "userSerialNo=0&qualityLevel=60")["retValue"], "0");
  scannerLib.finger = 4;
  const Json::Value reply = Call("enroll", "userSerialNo=0&qualityLevel=0x3d");  // 61
  EXPECT_EQ(reply["retValue"], "-302");
  EXPECT_EQ(reply["retString"], ScannerMessage(devicelib::kLowQuality));
  EXPECT_EQ(db.TemplateBytes(0, false), FingerTemplate(4));  // stored all the same
}

TEST_F(EnrolmentTest, FailedCaptureLeavesANewUserWithoutTemplate) {
  EXPECT_CALL(scannerLib, CaptureSingleImage(_)).WillOnce(Return(devicelib::kCaptureTimeout));
  const Json::Value reply = Call("enroll", "userSerialNo=0&userID=alice");
  EXPECT_EQ(reply["retValue"], "-105");
  EXPECT_EQ(reply["retString"], ScannerMessage(devicelib::kCaptureTimeout));
  EXPECT_EQ(db.Users(), (std::vector<UserSummary>{{"alice", 0, 0, 0, 0}}));
}

TEST_F(EnrolmentTest, FailedTemplateSizeParameterEndsBeforeCapture) {
  EXPECT_CALL(scannerLib, SetParameter(_, _, _)).WillOnce(Return(devicelib::kInvalidHandle));
  EXPECT_CALL(scannerLib, CaptureSingleImage(_)).Times(0);
  EXPECT_EQ(Call("enroll", "userSerialNo=0")["retValue"], "-102");
}

TEST_F(EnrolmentTest, UpdateReplacesOnlyTemplate1) {
  EnrolFinger(1, "alice");
  ASSERT_EQ(Call("enroll", "userSerialNo=1&userID=bob&selectTemplate=1")["retValue"], "0");
  const auto bobBefore = db.Users()[1];
  scannerLib.finger = 9;
  scannerLib.quality = 70;
  EXPECT_EQ(Call("update", "userSerialNo=1&extractEx=1")["retString"], "Success");
  const auto bob = db.Users()[1];
  EXPECT_EQ(bob.userID, "bob");
  EXPECT_EQ(bob.quality1, 70);
  EXPECT_EQ(bob.templateSize2, bobBefore.templateSize2);
  EXPECT_EQ(bob.quality2, 100);
  EXPECT_EQ(db.TemplateBytes(1, false), FingerTemplate(9));
}

TEST_F(EnrolmentTest, UpdateOfMissingUserAnswersCodeZeroWithoutCapturing) {
  EnrolFinger(1, "alice");
  EXPECT_CALL(scannerLib, CaptureSingleImage(_)).Times(0);
  for (const char* params :
       {"userSerialNo=1&extractEx=1", "userSerialNo=-1&extractEx=1", "extractEx=1"}) {
    const Json::Value reply = Call("update", params);
    EXPECT_EQ(reply["retValue"], "0") << params;
    EXPECT_EQ(reply["retString"], ScannerMessage(0)) << params;
  }
}

TEST_F(EnrolmentTest, UpdateWithoutExtractExRefusesAfterTheCapture) {
  EnrolFinger(1, "alice");
  EXPECT_CALL(scannerLib, CaptureSingleImage(_));
  EXPECT_CALL(scannerLib, SetParameter(_, devicelib::kParamTemplateSize, _));
  EXPECT_CALL(scannerLib, ExtractEx(_, _, _, _, _)).Times(0);
  EXPECT_CALL(scannerLib, Extract(_, _, _, _)).Times(0);
  for (const char* params : {"userSerialNo=0", "userSerialNo=0&extractEx=2"}) {
    const Json::Value reply = Call("update", params);
    EXPECT_EQ(reply["retValue"], "-112") << params;
    EXPECT_EQ(reply["retString"], "passed wrong parameter") << params;
    ::testing::Mock::VerifyAndClearExpectations(&scannerLib);
    EXPECT_CALL(scannerLib, CaptureSingleImage(_));
    EXPECT_CALL(scannerLib, SetParameter(_, devicelib::kParamTemplateSize, _));
  }
  EXPECT_EQ(db.TemplateBytes(0, false), FingerTemplate(1));
  Call("update", "userSerialNo=0&extractEx=0");  // meets the last two expectations
}

TEST_F(EnrolmentTest, UpdateBelowQualityKeepsTheNewTemplateAndReportsMinus302) {
  EnrolFinger(1, "alice");
  scannerLib.finger = 2;
  scannerLib.quality = 10;
  const Json::Value reply = Call("update", "userSerialNo=0&extractEx=0&qualityLevel=11");
  EXPECT_EQ(reply["retValue"], "-302");
  EXPECT_EQ(db.TemplateBytes(0, false), FingerTemplate(2));
}

TEST_F(EnrolmentTest, GetTemplateDataPlainIsTheStoredTemplateInBase64) {
  EnrolFinger(6, "alice");
  EXPECT_CALL(scannerLib, EncryptTemplate(_, _, _, _, _)).Times(0);
  const Json::Value reply = Call("getTemplateData", "userSerialNo=0&encrypt=0");
  EXPECT_EQ(reply["retValue"], "0");
  EXPECT_EQ(reply["templateBase64"], Base64(FingerTemplate(6)));
  EXPECT_EQ(db.Base64Text(), Base64(FingerTemplate(6)));
}

TEST_F(EnrolmentTest, GetTemplateDataEncryptsWithTheFirst32KeyBytes) {
  EnrolFinger(6, "alice");
  const std::string key = "0123456789abcdefghijklmnopqrstuvwxyzABCD";  // 40 characters
  std::array<uint8_t, 32> expectedKey{};
  std::copy(key.begin(), key.begin() + 32, expectedKey.begin());
  EXPECT_CALL(scannerLib, SetEncryptionKey(7, _)).WillOnce([&](int64_t, const uint8_t* given) {
    EXPECT_TRUE(std::equal(expectedKey.begin(), expectedKey.end(), given));
    std::copy(given, given + 32, scannerLib.key.begin());
    return 0;
  });
  EXPECT_CALL(scannerLib,
              EncryptTemplate(7, NotNull(), static_cast<int32_t>(FingerTemplate(6).size()),
                              NotNull(), Pointee(1040)));
  const Json::Value reply = Call("getTemplateData", "userSerialNo=0&encrypt=1&encryptKey=" + key);
  EXPECT_EQ(reply["retValue"], "0");
  const auto sealed = codec::Base64Decode(reply["templateBase64"].asString());
  ASSERT_TRUE(sealed);
  EXPECT_EQ(sealed->size(), FingerTemplate(6).size() + 16);
  EXPECT_TRUE(std::equal(expectedKey.begin(), expectedKey.begin() + 16, sealed->begin()));
}

TEST_F(EnrolmentTest, GetTemplateDataKeyHandling) {
  EnrolFinger(6, "alice");
  // An empty key: the library's current key, no SetEncryptionKey.
  EXPECT_CALL(scannerLib, SetEncryptionKey(_, _)).Times(0);
  EXPECT_EQ(Call("getTemplateData", "userSerialNo=0&encrypt=1&encryptKey=")["retValue"], "0");
  ::testing::Mock::VerifyAndClearExpectations(&scannerLib);

  // -111 counts as success.
  EXPECT_CALL(scannerLib, SetEncryptionKey(_, _)).WillOnce(Return(devicelib::kNotSupported));
  EXPECT_CALL(scannerLib, EncryptTemplate(_, _, _, _, _));
  EXPECT_EQ(Call("getTemplateData", "userSerialNo=0&encrypt=1&encryptKey=k")["retValue"], "0");
  ::testing::Mock::VerifyAndClearExpectations(&scannerLib);

  // Any other key status ends the read-out.
  EXPECT_CALL(scannerLib, SetEncryptionKey(_, _)).WillOnce(Return(devicelib::kInvalidParameter));
  EXPECT_CALL(scannerLib, EncryptTemplate(_, _, _, _, _)).Times(0);
  const Json::Value reply = Call("getTemplateData", "userSerialNo=0&encrypt=1&encryptKey=k");
  EXPECT_EQ(reply["retValue"], "-103");
  EXPECT_EQ(reply["retString"], ScannerMessage(devicelib::kInvalidParameter));
  ExpectLocksFree();
}

TEST_F(EnrolmentTest, GetTemplateDataEncryptionFailureIsAScannerError) {
  EnrolFinger(6, "alice");
  EXPECT_CALL(scannerLib, EncryptTemplate(_, _, _, _, _)).WillOnce(Return(devicelib::kFailed));
  const Json::Value reply = Call("getTemplateData", "userSerialNo=0&encrypt=1");
  EXPECT_EQ(reply["retValue"], "-1");
  EXPECT_EQ(reply["retString"], ScannerMessage(devicelib::kFailed));
  ExpectLocksFree();
}

TEST_F(EnrolmentTest, GetTemplateDataWithoutEncryptAnswersCodeZeroAndNoTemplate) {
  EnrolFinger(6, "alice");
  EnrolFinger(7, "bob");
  ASSERT_EQ(Call("getTemplateData", "userSerialNo=0&encrypt=0")["retValue"], "0");
  const Json::Value reply = Call("getTemplateData", "userSerialNo=1");
  EXPECT_EQ(reply["retValue"], "0");
  EXPECT_EQ(reply["retString"], ScannerMessage(0));
  // Nothing of the earlier read-out of user 0 either.
  EXPECT_FALSE(reply.isMember("templateBase64"));
  EXPECT_EQ(db.Base64Text(), Base64(FingerTemplate(6)));
}

TEST_F(EnrolmentTest, GetTemplateDataRefusesOtherEncryptValuesAndMissingUsers) {
  EnrolFinger(6, "alice");
  ASSERT_EQ(Call("getTemplateData", "userSerialNo=0&encrypt=0")["retValue"], "0");
  EXPECT_CALL(scannerLib, EncryptTemplate(_, _, _, _, _)).Times(0);
  for (const char* params : {"userSerialNo=0&encrypt=2", "userSerialNo=0&encrypt=-1",
                             "userSerialNo=0&encrypt=yes", "userSerialNo=x&encrypt=0"}) {
    const Json::Value reply = Call("getTemplateData", params);
    EXPECT_EQ(reply["retValue"], "-112") << params;
    EXPECT_EQ(reply["retString"], "passed wrong parameter") << params;
    ExpectLocksFree();
  }
  for (const char* params : {"userSerialNo=1&encrypt=0", "encrypt=0"}) {
    const Json::Value reply = Call("getTemplateData", params);
    EXPECT_EQ(reply["retValue"], "0") << params;
    EXPECT_EQ(reply["retString"], ScannerMessage(0)) << params;
  }
  EXPECT_EQ(db.Base64Text(), Base64(FingerTemplate(6)));
}

}  // namespace
}  // namespace database::testing
