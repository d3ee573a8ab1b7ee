// "verify", "verifyTemplate", "identify" and "abortIdentify".
#include <future>
#include <thread>

#include "tests/fakes/database_fixture.h"

namespace database::testing {
namespace {

using ::testing::_;
using ::testing::InSequence;
using ::testing::NotNull;
using ::testing::Pointee;
using ::testing::Return;

using MatchingTest = DatabaseTest;

// The Base64 text of a template as a page would put it into a request: "=" padding lost.
std::string AsParameter(const std::vector<uint8_t>& bytes) {
  std::string text = codec::Base64Encode(bytes);
  while (!text.empty() && text.back() == '=') {
    text.pop_back();
  }
  return text;
}

TEST_F(MatchingTest, VerifyMatchesTheRightFingerOnly) {
  EnrolFinger(1, "alice");
  EnrolFinger(2, "bob");
  scannerLib.finger = 2;
  const Json::Value match = Call("verify", "userSerialNo=1&extractEx=1");
  EXPECT_EQ(match["retVerify"], "Success");
  EXPECT_EQ(match["retValue"], "0");
  EXPECT_EQ(match["retString"], "Success");

  const Json::Value miss = Call("verify", "userSerialNo=0&extractEx=0");
  EXPECT_EQ(miss["retVerify"], "Fail");
  EXPECT_EQ(miss["retValue"], "0");
}

TEST_F(MatchingTest, VerifyOfMissingUserAnswersCodeZeroWithoutCapturing) {
  EnrolFinger(1, "alice");
  EXPECT_CALL(scannerLib, CaptureSingleImage(_)).Times(0);
  EXPECT_CALL(matcherLib, Verify(_, _, _, _, _, _)).Times(0);
  for (const char* params :
       {"userSerialNo=1&extractEx=1", "userSerialNo=-5&extractEx=1", "extractEx=1"}) {
    const Json::Value reply = Call("verify", params);
    EXPECT_EQ(reply["retValue"], "0") << params;
    EXPECT_EQ(reply["retString"], ScannerMessage(0)) << params;
  }
}

TEST_F(MatchingTest, ProbeFaultsStopBeforeTheMatcher) {
  EnrolFinger(1, "alice");
  EXPECT_CALL(matcherLib, Verify(_, _, _, _, _, _)).Times(0);
  EXPECT_CALL(matcherLib, Identify(_, _, _, _, _, _, _, _)).Times(0);

  // extractEx absent or other: refused after capture and template size.
  EXPECT_CALL(scannerLib, CaptureSingleImage(_)).Times(2);
  EXPECT_EQ(Call("verify", "userSerialNo=0")["retValue"], "-112");
  EXPECT_EQ(Call("identify", "extractEx=5")["retString"], "passed wrong parameter");
  ::testing::Mock::VerifyAndClearExpectations(&scannerLib);

  // Quality below the level: -302 with the scanner's message; equal passes (checked below).
  scannerLib.quality = 50;
  for (const char* name : {"verify", "identify"}) {
    const Json::Value reply = Call(name, "userSerialNo=0&extractEx=1&qualityLevel=51");
    EXPECT_EQ(reply["retValue"], "-302") << name;
    EXPECT_EQ(reply["retString"], ScannerMessage(devicelib::kLowQuality)) << name;
  }

  // Capture and extraction failures are the scanner's.
  EXPECT_CALL(scannerLib, CaptureSingleImage(_)).WillOnce(Return(devicelib::kCaptureAborted));
  EXPECT_EQ(Call("verify", "userSerialNo=0&extractEx=1")["retValue"], "-106");
  ::testing::Mock::VerifyAndClearExpectations(&scannerLib);
  EXPECT_CALL(scannerLib, ExtractEx(_, _, _, _, _)).WillOnce(Return(devicelib::kNoFinger));
  const Json::Value noFinger = Call("identify", "extractEx=1");
  EXPECT_EQ(noFinger["retValue"], "-301");
  EXPECT_EQ(noFinger["retString"], ScannerMessage(devicelib::kNoFinger));
  ExpectLocksFree();
}

TEST_F(MatchingTest, QualityEqualToTheLevelIsMatched) {
  EnrolFinger(1, "alice");
  scannerLib.quality = 50;
  EXPECT_EQ(Call("verify", "userSerialNo=0&extractEx=1&qualityLevel=50")["retVerify"], "Success");
  EXPECT_EQ(Call("identify", "extractEx=1&qualityLevel=062")["matchedIndex"], 0);  // octal 50
}

TEST_F(MatchingTest, MatcherFailuresAreReportedWithTheMatchersMessage) {
  EnrolFinger(1, "alice");
  EXPECT_CALL(matcherLib, Verify(_, _, _, _, _, _)).WillOnce(Return(devicelib::kInvalidMatcher));
  const Json::Value reply = Call("verify", "userSerialNo=0&extractEx=1");
  EXPECT_EQ(reply["retValue"], "-403");
  EXPECT_EQ(reply["retString"], MatcherMessage(devicelib::kInvalidMatcher));
  EXPECT_CALL(matcherLib, Identify(_, _, _, _, _, _, _, _))
      .WillOnce(Return(devicelib::kIdentifyTimeout));
  const Json::Value identify = Call("identify", "extractEx=1");
  EXPECT_EQ(identify["retValue"], "-402");
  EXPECT_EQ(identify["retString"], MatcherMessage(devicelib::kIdentifyTimeout));
  ExpectLocksFree();
}

TEST_F(MatchingTest, IdentifyFindsTheUserAmongAllWithTimeLimit5000) {
  EnrolFinger(1, "alice");
  EnrolFinger(2, "bob");
  EnrolFinger(3, "carol");
  EXPECT_CALL(matcherLib,
              Identify(matcher.load(), NotNull(), _, NotNull(), NotNull(), 3, 5000, NotNull()));
  scannerLib.finger = 2;
  const Json::Value reply = Call("identify", "extractEx=1");
  EXPECT_TRUE(reply["matchedIndex"].isInt());
  EXPECT_EQ(reply["matchedIndex"], 1);
  EXPECT_EQ(reply["matchedID"], "bob");
  EXPECT_EQ(reply["retValue"], "0");
  EXPECT_EQ(reply["retString"], "Success");
}

TEST_F(MatchingTest, IdentifyOfAnUnknownFingerOrOnAnEmptyStoreIsNotRegistered) {
  EXPECT_CALL(matcherLib, Identify(_, _, _, _, _, 0, 5000, _));
  const Json::Value empty = Call("identify", "extractEx=0");
  EXPECT_EQ(empty["matchedIndex"], -1);
  EXPECT_EQ(empty["matchedID"], "Not Registered");
  EXPECT_EQ(empty["retValue"], "0");
  ::testing::Mock::VerifyAndClearExpectations(&matcherLib);

  EnrolFinger(1, "alice");
  scannerLib.finger = 8;
  EXPECT_EQ(Call("identify", "extractEx=0")["matchedID"], "Not Registered");
  // An index beyond the store is no match either.
  EXPECT_CALL(matcherLib, Identify(_, _, _, _, _, 1, _, _))
      .WillOnce([](devicelib::MatcherHandle, const uint8_t*, int32_t, const uint8_t* const*,
                   const int32_t*, int32_t, int32_t, int32_t* index) {
        *index = 1;
        return 0;
      });
  const Json::Value beyond = Call("identify", "extractEx=0");
  EXPECT_EQ(beyond["matchedIndex"], 1);
  EXPECT_EQ(beyond["matchedID"], "Not Registered");
}

TEST_F(MatchingTest, AbortIdentifyEndsARunningIdentificationFromAnotherThread) {
  EnrolFinger(1, "alice");
  EnrolFinger(2, "bob");
  matcherLib.blockIdentify = true;
  scannerLib.finger = 2;
  std::future<Json::Value> identify =
      std::async(std::launch::async, [this] { return Call("identify", "extractEx=1"); });
  matcherLib.WaitUntilIdentifying();  // it now holds apiLock and templateLock

  const Json::Value abort = Call("abortIdentify", "", nullptr);
  EXPECT_EQ(abort["retValue"], "0");
  EXPECT_EQ(abort["retString"], "Success");

  const Json::Value reply = identify.get();
  EXPECT_EQ(reply["retValue"], "-401");
  EXPECT_EQ(reply["retString"], MatcherMessage(devicelib::kIdentifyAborted));
  EXPECT_FALSE(reply.isMember("matchedID"));
  ExpectLocksFree();
  matcherLib.blockIdentify = false;
  EXPECT_EQ(Call("identify", "extractEx=1")["matchedID"], "bob");  // the next one runs
}

TEST_F(MatchingTest, VerifyTemplateMatchesAPlainTemplateFromGetTemplateData) {
  EnrolFinger(4, "alice");
  const Json::Value out = Call("getTemplateData", "userSerialNo=0&encrypt=0");
  std::string text = out["templateBase64"].asString();
  while (text.back() == '=') {
    text.pop_back();
  }
  db.ClearTemplates();  // the store takes no part
  const std::string len = std::to_string(FingerTemplate(4).size());
  EXPECT_CALL(matcherLib,
              Verify(_, _, _, NotNull(), static_cast<int32_t>(FingerTemplate(4).size()), _));
  EXPECT_CALL(scannerLib, DecryptTemplate(_, _, _, _, _)).Times(0);
  const Json::Value reply =
      Call("verifyTemplate", "tempData=" + text + "&tempLen=" + len + "&encrypt=0");
  EXPECT_EQ(reply["retVerify"], "Success");
  EXPECT_EQ(reply["retValue"], "0");

  scannerLib.finger = 5;
  EXPECT_CALL(matcherLib, Verify(_, _, _, _, _, _));
  EXPECT_EQ(
      Call("verifyTemplate", "tempData=" + text + "&tempLen=" + len + "&encrypt=0")["retVerify"],
      "Fail");
}

TEST_F(MatchingTest, VerifyTemplateTemplateLengthIsTempLenWithZeroFill) {
  // A page may announce more room than the template needs: the rest is zero bytes.
  const auto templ = FingerTemplate(4);
  EXPECT_CALL(matcherLib, Verify(_, _, _, _, 100, _))
      .WillOnce([&](devicelib::MatcherHandle, const uint8_t*, int32_t, const uint8_t* given,
                    int32_t size, int32_t* result) {
        EXPECT_TRUE(std::equal(templ.begin(), templ.end(), given));
        EXPECT_TRUE(
            std::all_of(given + templ.size(), given + size, [](uint8_t b) { return b == 0; }));
        *result = 0;
        return 0;
      });
  scannerLib.finger = 4;
  EXPECT_EQ(Call("verifyTemplate",
                 "tempData=" + AsParameter(templ) + "&tempLen=100&encrypt=0")["retVerify"],
            "Fail");
}

TEST_F(MatchingTest, VerifyTemplateUnescapesPlusAndSlash) {
  // Bytes chosen so that the Base64 text holds both "+" and "/".
  std::vector<uint8_t> templ = FingerTemplate(4);
  templ.insert(templ.end(), {0xfb, 0xff, 0xbf, 0xfe});
  const std::string plain = AsParameter(templ);
  ASSERT_NE(plain.find('+'), std::string::npos);
  ASSERT_NE(plain.find('/'), std::string::npos);
  std::string escaped;
  for (const char c : plain) {
    escaped += c == '+' ? std::string("%2B") : c == '/' ? std::string("%2F") : std::string(1, c);
  }
  std::vector<std::vector<uint8_t>> seen;
  ON_CALL(matcherLib, Verify(_, _, _, _, _, _))
      .WillByDefault([&](devicelib::MatcherHandle, const uint8_t*, int32_t, const uint8_t* given,
                         int32_t size, int32_t* result) {
        seen.emplace_back(given, given + size);
        *result = 0;
        return 0;
      });
  const std::string len = "&tempLen=" + std::to_string(templ.size()) + "&encrypt=0";
  EXPECT_EQ(Call("verifyTemplate", "tempData=" + plain + len)["retValue"], "0");
  EXPECT_EQ(Call("verifyTemplate", "tempData=" + escaped + len)["retValue"], "0");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], templ);
  EXPECT_EQ(seen[1], templ);
}

TEST_F(MatchingTest, VerifyTemplateOtherEscapesEndTheText) {
  // "%2b" (lower case) writes nothing: the text ends there for the decoder.
  std::vector<std::vector<uint8_t>> seen;
  ON_CALL(matcherLib, Verify(_, _, _, _, _, _))
      .WillByDefault([&](devicelib::MatcherHandle, const uint8_t*, int32_t, const uint8_t* given,
                         int32_t size, int32_t* result) {
        seen.emplace_back(given, given + size);
        *result = 0;
        return 0;
      });
  EXPECT_EQ(Call("verifyTemplate", "tempData=YWJj%2bYWJj&tempLen=6&encrypt=0")["retValue"], "0");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], (std::vector<uint8_t>{'a', 'b', 'c', 0, 0, 0}));
}

TEST_F(MatchingTest, VerifyTemplateDecryptsWithTheGivenKey) {
  EnrolFinger(4, "alice");
  const std::string key = "page-key";
  const Json::Value out = Call("getTemplateData", "userSerialNo=0&encrypt=1&encryptKey=" + key);
  ASSERT_EQ(out["retValue"], "0");
  const auto sealed = codec::Base64Decode(out["templateBase64"].asString());
  ASSERT_TRUE(sealed);
  const std::string text = AsParameter(*sealed);
  const std::string len = std::to_string(sealed->size());

  scannerLib.key.fill(0);  // as if another page had set another key meanwhile
  {
    InSequence order;
    EXPECT_CALL(scannerLib, SetEncryptionKey(7, NotNull()));
    EXPECT_CALL(scannerLib,
                DecryptTemplate(7, NotNull(), static_cast<int32_t>(sealed->size()), NotNull(),
                                Pointee(static_cast<int32_t>(sealed->size()))));
    EXPECT_CALL(scannerLib, CaptureSingleImage(7));
    EXPECT_CALL(scannerLib, ExtractEx(7, 1024, _, _, _));  // absent extractEx: ExtractEx
    EXPECT_CALL(matcherLib, Verify(_, _, _, _, static_cast<int32_t>(FingerTemplate(4).size()), _));
  }
  // "encrypt" absent counts as encrypted.
  const Json::Value reply =
      Call("verifyTemplate", "tempData=" + text + "&tempLen=" + len + "&encryptKey=" + key);
  EXPECT_EQ(reply["retVerify"], "Success");
  EXPECT_EQ(reply["retValue"], "0");
}

TEST_F(MatchingTest, VerifyTemplateEncryptedMayAnnounceTheTemplatesOwnLength) {
  EnrolFinger(4, "alice");
  const Json::Value out = Call("getTemplateData", "userSerialNo=0&encrypt=1");
  const auto sealed = codec::Base64Decode(out["templateBase64"].asString());
  ASSERT_TRUE(sealed);
  const std::string text = "tempData=" + AsParameter(*sealed) + "&encrypt=1&tempLen=";
  // The sealed data is longer than the template; a page announcing the template's own size
  // is still understood.
  EXPECT_EQ(Call("verifyTemplate", text + std::to_string(FingerTemplate(4).size()))["retVerify"],
            "Success");
  // Room smaller than the template: the library refuses to decrypt into it.
  EXPECT_NE(Call("verifyTemplate", text + "3")["retValue"], "0");
}

TEST_F(MatchingTest, VerifyTemplateUnreadableTemplateGetsAHint) {
  EnrolFinger(4, "alice");
  const Json::Value out = Call("getTemplateData", "userSerialNo=0&encrypt=1");
  const auto sealed = codec::Base64Decode(out["templateBase64"].asString());
  ASSERT_TRUE(sealed);
  const std::string param =
      "tempData=" + AsParameter(*sealed) + "&tempLen=" + std::to_string(sealed->size());

  // Sent as plain although it is encrypted: the matcher cannot read it.
  const Json::Value plain = Call("verifyTemplate", param + "&encrypt=0");
  EXPECT_EQ(plain["retValue"], "-112");
  EXPECT_EQ(plain["retString"],
            MatcherMessage(devicelib::kInvalidTemplate) + " <<Template data might be encrypted>>");

  // A library whose decryption yields garbage under a wrong key: the matcher notices.
  EXPECT_CALL(scannerLib, DecryptTemplate(_, _, _, _, _))
      .WillOnce([](int64_t, const uint8_t*, int32_t, uint8_t* outBytes, int32_t* outSize) {
        std::fill(outBytes, outBytes + 20, 0x77);
        *outSize = 20;
        return 0;
      });
  const Json::Value wrongKey = Call("verifyTemplate", param + "&encrypt=1&encryptKey=other");
  EXPECT_EQ(wrongKey["retValue"], "-112");
  EXPECT_EQ(wrongKey["retString"], MatcherMessage(devicelib::kInvalidTemplate) +
                                       " <<Template data might be encrypted with another key>>");

  ::testing::Mock::VerifyAndClearExpectations(&scannerLib);

  // A library that detects the wrong key answers with its own error, without a hint.
  const Json::Value detected = Call("verifyTemplate", param + "&encrypt=1&encryptKey=other");
  EXPECT_EQ(detected["retValue"], "-113");
  EXPECT_EQ(detected["retString"], ScannerMessage(devicelib::kCryptoFailed));
}

TEST_F(MatchingTest, VerifyTemplateBufferFaultsAreRefusedBeforeAnyLibraryCall) {
  EXPECT_CALL(scannerLib, SetEncryptionKey(_, _)).Times(0);
  EXPECT_CALL(scannerLib, DecryptTemplate(_, _, _, _, _)).Times(0);
  EXPECT_CALL(scannerLib, CaptureSingleImage(_)).Times(0);
  const std::string longText(1024, 'A');
  const std::string okText(1023, 'A');  // 767 bytes decoded
  for (const std::string& params : std::vector<std::string>{
           "tempData=" + longText + "&tempLen=1024&encrypt=0",  // text over 1023 characters
           "tempData=YWJj&tempLen=1025&encrypt=0",              // room over 1024
           "tempData=YWJj&tempLen=2&encrypt=0",                 // 3 bytes into room for 2
           "tempData=YWJj&tempLen=-1&encrypt=0",
           "tempData=" + okText + "&tempLen=700&encrypt=0",
           "tempData=YWJj&tempLen=abc",
           "tempData=YWJj&tempLen=3&encrypt=x",
           "tempData=YWJj&tempLen=3&extractEx=",
           "tempData=YWJj%&tempLen=3&encrypt=0",  // escape cut off by the end
           "tempData=YWJj%2&tempLen=3&encrypt=0",
           "tempData=YWJj&tempLen=99999999999&encrypt=0",
       }) {
    const Json::Value reply = Call("verifyTemplate", params + "&encryptKey=k");
    EXPECT_EQ(reply["retValue"], "-112") << params.substr(0, 60);
    EXPECT_TRUE(reply["retValue"].isString()) << params.substr(0, 60);
    EXPECT_EQ(reply["retString"], "passed wrong parameter") << params.substr(0, 60);
    ExpectLocksFree();
  }
}

TEST_F(MatchingTest, VerifyTemplateAccepts1023CharactersAndMalformedPaddingIsEmpty) {
  std::vector<std::pair<int32_t, bool>> seen;  // size, all zero
  ON_CALL(matcherLib, Verify(_, _, _, _, _, _))
      .WillByDefault([&](devicelib::MatcherHandle, const uint8_t*, int32_t, const uint8_t* given,
                         int32_t size, int32_t* result) {
        seen.emplace_back(size, std::all_of(given, given + size, [](uint8_t b) { return b == 0; }));
        *result = 0;
        return 0;
      });
  const std::string okText(1023, 'A');  // 767 zero bytes
  EXPECT_EQ(Call("verifyTemplate", "tempData=" + okText + "&tempLen=1024&encrypt=0")["retValue"],
            "0");
  // "YWJj=" carries a pad after a whole group: no bytes, so only the zero-filled room counts.
  EXPECT_EQ(Call("verifyTemplate", "tempData=YWJj=&tempLen=8&encrypt=0")["retValue"], "0");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (std::pair<int32_t, bool>{1024, true}));
  // The "=" split the value off before it reached us: "YWJj" decodes to "abc".
  EXPECT_EQ(seen[1].first, 8);
}

TEST_F(MatchingTest, VerifyTemplateKeyStatusMinus111IsSuccessOthersEndIt) {
  EXPECT_CALL(scannerLib, SetEncryptionKey(_, _)).WillOnce(Return(devicelib::kNotSupported));
  EXPECT_CALL(scannerLib, DecryptTemplate(_, _, _, _, _))
      .WillOnce(Return(devicelib::kCryptoFailed));
  EXPECT_EQ(Call("verifyTemplate", "tempData=YWJj&tempLen=3&encryptKey=k")["retValue"], "-113");

  EXPECT_CALL(scannerLib, SetEncryptionKey(_, _)).WillOnce(Return(devicelib::kInvalidHandle));
  EXPECT_CALL(scannerLib, DecryptTemplate(_, _, _, _, _)).Times(0);
  EXPECT_EQ(Call("verifyTemplate", "tempData=YWJj&tempLen=3&encryptKey=k")["retValue"], "-102");

  // A decryption that claims more than the room it was given is refused.
  EXPECT_CALL(scannerLib, DecryptTemplate(_, _, _, _, _))
      .WillOnce([](int64_t, const uint8_t*, int32_t, uint8_t*, int32_t* size) {
        *size = 4;
        return 0;
      });
  EXPECT_CALL(scannerLib, CaptureSingleImage(_)).Times(0);
  EXPECT_EQ(Call("verifyTemplate", "tempData=YWJj&tempLen=3")["retValue"], "-112");
}

}  // namespace
}  // namespace database::testing
