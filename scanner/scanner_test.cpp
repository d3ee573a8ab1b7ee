#include "scanner/scanner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "codec/base64.h"
#include "devicelib/status.h"
#include "service/paths.h"
#include "tests/fakes/mock_libraries.h"

namespace scanner {
namespace {

using ::testing::_;
using ::testing::AnyNumber;
using ::testing::DoAll;
using ::testing::InSequence;
using ::testing::Invoke;
using ::testing::NiceMock;
using ::testing::Pointee;
using ::testing::Return;
using ::testing::SetArgPointee;
using ::testing::StrEq;

constexpr int64_t kHandle = 0x1234567890ll;
const std::string kH = "sHandle=" + std::to_string(kHandle);

class ScannerTest : public ::testing::Test {
 protected:
  ScannerTest() : scanner(service::DeviceLibraries{lib, matcherLib}) {
    ON_CALL(lib, GetCaptureImageInfo(kHandle, _, _, _))
        .WillByDefault(
            DoAll(SetArgPointee<1>(3), SetArgPointee<2>(2), SetArgPointee<3>(500), Return(0)));
    ON_CALL(lib, GetCaptureImage(kHandle, _)).WillByDefault(Invoke([](int64_t, uint8_t* pixels) {
      std::memcpy(pixels, "\x01\x02\x03\x04\x05\x06", 6);
      return 0;
    }));
  }

  Json::Value Run(const std::string& name, const std::string& params) {
    static const std::map<std::string, Scanner::Operation> kByName = {
        {"captureSingle", &Scanner::CaptureSingle},
        {"startCapturing", &Scanner::StartCapturing},
        {"autoCapture", &Scanner::AutoCapture},
        {"getParameters", &Scanner::GetParameters},
        {"setParameters", &Scanner::SetParameters},
        {"getTemplateData", &Scanner::GetTemplateData},
        {"getImageData", &Scanner::GetImageData},
        {"saveImageBuffer", &Scanner::SaveImageBuffer},
        {"version", &Scanner::Version},
        {"isFingerOn", &Scanner::IsFingerOn},
    };
    static const std::map<std::string, Scanner::SideOperation> kBeside = {
        {"abortCapture", &Scanner::AbortCapture},
        {"getScannerStatus", &Scanner::GetScannerStatus},
    };
    if (const auto side = kBeside.find(name); side != kBeside.end()) {
      return scanner.RunBeside(side->second, name, params);
    }
    return scanner.Run(kByName.at(name), name, params, matcher);
  }

  NiceMock<fakes::MockScannerLib> lib;
  NiceMock<fakes::MockMatcherLib> matcherLib;
  devicelib::MatcherHandle matcher = reinterpret_cast<devicelib::MatcherHandle>(0x42);
  Scanner scanner;
};

TEST_F(ScannerTest, ResetTimerConvertsWithAutomaticBaseAndClamps) {
  ON_CALL(lib, CaptureSingleImage(_)).WillByDefault(Return(devicelib::kCaptureTimeout));
  const std::pair<const char*, uint32_t> cases[] = {
      {"10000", 10000},  {"1000", 5000},          {"600001", 600000},
      {"-1", 600000},    {"abc", 5000},           {"0x2710", 10000},
      {"010000", 5000},  {"99999999999", 600000}, {"-99999999999", 600000},
      {"7000xyz", 7000},
  };
  for (const auto& [text, expected] : cases) {
    Run("captureSingle", kH + "&resetTimer=" + text);
    EXPECT_EQ(scanner.ResetTimerMs(), expected) << text;
  }
  // Without the parameter, and for autoCapture, the lifetime stays.
  Run("captureSingle", kH);
  EXPECT_EQ(scanner.ResetTimerMs(), 7000u);
  Run("autoCapture", kH + "&resetTimer=10000");
  EXPECT_EQ(scanner.ResetTimerMs(), 7000u);
  Run("abortCapture", kH + "&resetTimer=20000");
  EXPECT_EQ(scanner.ResetTimerMs(), 20000u);
}

TEST_F(ScannerTest, CaptureSingleStoresTheImageOrKeepsTheOldOneOnFailure) {
  const Json::Value ok = Run("captureSingle", kH);
  EXPECT_EQ(ok["retValue"], "0");
  EXPECT_EQ(ok["retString"], "Success");
  EXPECT_EQ(ok["request"], "captureSingle");
  EXPECT_EQ(ok.size(), 3u);  // no trace of the optional parameters
  ASSERT_NE(scanner.CurrentImage(), nullptr);
  const std::vector<uint8_t> first = *scanner.CurrentImage();
  ASSERT_EQ(first.size(), 1078u + 8u);  // 3 x 2 pixels, stride 4
  EXPECT_EQ(first[1078], 4);            // bottom row first
  EXPECT_EQ(first[1078 + 4], 1);

  EXPECT_CALL(lib, CaptureSingleImage(kHandle))
      .WillOnce(Return(devicelib::kCaptureTimeout))
      .RetiresOnSaturation();
  const Json::Value failed = Run("captureSingle", kH);
  EXPECT_EQ(failed["retValue"], "-105");
  EXPECT_EQ(failed["retString"], "scanner message -105");
  EXPECT_EQ(*scanner.CurrentImage(), first);
}

TEST_F(ScannerTest, AbsurdImageSizeFromTheLibraryIsRefused) {
  EXPECT_CALL(lib, GetCaptureImageInfo(kHandle, _, _, _))
      .WillOnce(DoAll(SetArgPointee<1>(-5), SetArgPointee<2>(100000), Return(0)))
      .RetiresOnSaturation();
  EXPECT_CALL(lib, GetCaptureImage(_, _)).Times(0);
  EXPECT_EQ(Run("captureSingle", kH)["retValue"], "-1");
}

TEST_F(ScannerTest, MissingOrZeroHandleIsAWrongParameter) {
  for (const std::string params : {"", "sHandle=0", "sHandle=abc", "id=1"}) {
    const Json::Value reply = Run("getParameters", params);
    EXPECT_EQ(reply["retValue"], "-112") << params;
    EXPECT_EQ(reply["retString"], "passed wrong parameter");
  }
}

TEST_F(ScannerTest, VersionAndIsFingerOn) {
  Json::Value version = Run("version", kH);
  EXPECT_EQ(version.getMemberNames(), (std::vector<std::string>{"API", "request"}));
  EXPECT_EQ(version["API"], "0.1");
  Json::Value finger = Run("isFingerOn", kH);
  EXPECT_EQ(finger.getMemberNames(), (std::vector<std::string>{"request"}));
}

TEST_F(ScannerTest, StatusReportsEachDeliveredImageOnce) {
  ON_CALL(lib, IsSensorOn(_, _)).WillByDefault(DoAll(SetArgPointee<1>(1), Return(0)));
  ON_CALL(lib, IsCapturing(_, _)).WillByDefault(DoAll(SetArgPointee<1>(0), Return(0)));
  EXPECT_CALL(lib, IsCapturing(_, _)).Times(AnyNumber());
  const uint8_t pixels[4] = {1, 2, 3, 4};
  EXPECT_EQ(Scanner::OnCaptureFrame(nullptr, nullptr, pixels, 2, 2, nullptr, nullptr), -1);
  EXPECT_EQ(Run("getScannerStatus", kH)["IsFingerOn"], "false");
  EXPECT_EQ(Scanner::OnCaptureFrame(nullptr, nullptr, pixels, 2, 2, nullptr, &scanner), 1);
  EXPECT_TRUE(scanner.HasImage());

  // A failing IsCapturing keeps the flag for the next poll.
  EXPECT_CALL(lib, IsCapturing(_, _))
      .WillOnce(Return(devicelib::kInvalidHandle))
      .RetiresOnSaturation();
  Json::Value failed = Run("getScannerStatus", kH);
  EXPECT_EQ(failed["SensorValid"], "true");
  EXPECT_EQ(failed["SensorOn"], "true");
  EXPECT_FALSE(failed.isMember("IsCapturing"));
  EXPECT_FALSE(failed.isMember("IsFingerOn"));
  EXPECT_EQ(failed["retValue"], "-102");

  Json::Value first = Run("getScannerStatus", kH);
  EXPECT_EQ(first["IsFingerOn"], "true");
  EXPECT_EQ(first["IsCapturing"], "false");
  EXPECT_EQ(Run("getScannerStatus", kH)["IsFingerOn"], "false");
}

TEST_F(ScannerTest, GetParametersReadsBothLibrariesInOrder) {
  EXPECT_CALL(lib, GetParameter(_, _, _)).Times(AnyNumber());
  EXPECT_CALL(lib, GetTemplateType(_, _)).Times(AnyNumber());
  EXPECT_CALL(matcherLib, GetParameter(_, _, _)).Times(AnyNumber());
  EXPECT_CALL(matcherLib, GetTemplateType(_, _)).Times(AnyNumber());
  {
    InSequence order;
    EXPECT_CALL(lib, GetParameter(kHandle, 202, _))
        .WillOnce(DoAll(SetArgPointee<2>(7), Return(0)))
        .RetiresOnSaturation();
    EXPECT_CALL(lib, GetParameter(kHandle, 203, _))
        .WillOnce(DoAll(SetArgPointee<2>(8), Return(0)))
        .RetiresOnSaturation();
    EXPECT_CALL(lib, GetParameter(kHandle, 201, _))
        .WillOnce(DoAll(SetArgPointee<2>(5000), Return(0)))
        .RetiresOnSaturation();
    EXPECT_CALL(lib, GetTemplateType(kHandle, _))
        .WillOnce(DoAll(SetArgPointee<1>(2), Return(0)))
        .RetiresOnSaturation();
    EXPECT_CALL(matcherLib, GetParameter(matcher, 302, _))
        .WillOnce(DoAll(SetArgPointee<2>(4), Return(0)))
        .RetiresOnSaturation();
    EXPECT_CALL(matcherLib, GetParameter(matcher, 301, _))
        .WillOnce(DoAll(SetArgPointee<2>(3), Return(0)))
        .RetiresOnSaturation();
    EXPECT_CALL(matcherLib, GetTemplateType(matcher, _)).WillOnce(Return(0)).RetiresOnSaturation();
  }
  const Json::Value reply = Run("getParameters", kH);
  EXPECT_EQ(reply["timeout"], 5000);
  EXPECT_EQ(reply["brightness"], 7);
  EXPECT_EQ(reply["sensitivity"], 8);
  EXPECT_EQ(reply["securitylevel"], 4);
  EXPECT_EQ(reply["TemplateType"], 2);
  EXPECT_EQ(reply["fastmode"], true);  // any non-zero value
  EXPECT_EQ(reply["retValue"], "0");

  EXPECT_CALL(matcherLib, GetParameter(matcher, 302, _))
      .WillOnce(Return(-403))
      .RetiresOnSaturation();
  const Json::Value failed = Run("getParameters", kH);
  EXPECT_EQ(failed["retString"], "matcher message -403");
  EXPECT_FALSE(failed.isMember("timeout"));
}

TEST_F(ScannerTest, SetParametersAppliesInNameOrderWithConversions) {
  {
    InSequence order;
    EXPECT_CALL(lib, SetParameter(kHandle, 202, Pointee(16)))
        .WillOnce(Return(0))
        .RetiresOnSaturation();
    EXPECT_CALL(matcherLib, SetParameter(matcher, 301, Pointee(1)))
        .WillOnce(Return(0))
        .RetiresOnSaturation();
    EXPECT_CALL(matcherLib, SetParameter(matcher, 302, Pointee(8)))
        .WillOnce(Return(0))
        .RetiresOnSaturation();
    EXPECT_CALL(lib, SetParameter(kHandle, 203, Pointee(0)))
        .WillOnce(Return(0))
        .RetiresOnSaturation();
    EXPECT_CALL(lib, SetTemplateType(kHandle, 2))
        .WillOnce(Return(-5))
        .RetiresOnSaturation();  // not examined
    EXPECT_CALL(matcherLib, SetTemplateType(matcher, 2)).WillOnce(Return(0)).RetiresOnSaturation();
    EXPECT_CALL(lib, SetParameter(kHandle, 201, Pointee(8000)))
        .WillOnce(Return(0))
        .RetiresOnSaturation();
  }
  const Json::Value reply =
      Run("setParameters", kH + "&timeout=010&templateType=2&sensitivity=none&securityLevel=8"
                                "&fastMode=1&brightness=0x10&fastmode=0&brightness=99&id=p");
  EXPECT_EQ(reply["retValue"], "0");
  EXPECT_EQ(reply["retString"], "Success");
  EXPECT_FALSE(reply.isMember("unsupportedVariables"));
}

TEST_F(ScannerTest, SetParametersCollectsUnsupportedScannerSettings) {
  ON_CALL(lib, SetParameter(_, 202, _)).WillByDefault(Return(devicelib::kNotSupported));
  ON_CALL(lib, SetParameter(_, 203, _)).WillByDefault(Return(devicelib::kNotSupported));
  ON_CALL(matcherLib, SetTemplateType(_, 9)).WillByDefault(Return(devicelib::kNotSupported));
  const Json::Value reply =
      Run("setParameters", kH + "&sensitivity=3&brightness=1&templateType=9&timeout=5");
  EXPECT_EQ(reply["retValue"], "0");
  EXPECT_EQ(reply["unsupportedVariables"], "brightness, sensitivity, templateType");

  // -111 from the matcher's own settings is an error, reported with the matcher's message.
  EXPECT_CALL(matcherLib, SetParameter(_, 301, _))
      .WillOnce(Return(devicelib::kNotSupported))
      .RetiresOnSaturation();
  const Json::Value failed = Run("setParameters", kH + "&fastMode=1&timeout=5");
  EXPECT_EQ(failed["retValue"], "-111");
  EXPECT_EQ(failed["retString"], "matcher message -111");

  EXPECT_EQ(Run("setParameters", kH)["retValue"], "-112");
  EXPECT_EQ(Run("setParameters", kH + "&fastmode=1")["retString"], "Success");
}

TEST_F(ScannerTest, TemplateExportOrderQualityGateAndEncryption) {
  uint8_t stored[3] = {0xfb, 0xff, 0x01};
  ON_CALL(lib, ExtractEx(kHandle, 1024, _, _, _))
      .WillByDefault(Invoke([&](int64_t, int32_t, uint8_t* out, int32_t* size, int32_t* q) {
        std::memcpy(out, stored, 3);
        *size = 3;
        *q = 60;
        return 0;
      }));
  EXPECT_CALL(lib, SetParameter(_, _, _)).Times(AnyNumber());
  EXPECT_CALL(lib, ExtractEx(_, _, _, _, _)).Times(AnyNumber());
  {
    InSequence order;
    EXPECT_CALL(lib, SetParameter(kHandle, 302, Pointee(1024)))
        .WillOnce(Return(0))
        .RetiresOnSaturation();
    EXPECT_CALL(lib, ExtractEx(kHandle, 1024, _, _, _)).RetiresOnSaturation();
  }
  Json::Value plain = Run("getTemplateData", kH + "&extractEx=1&encrypt=0&qualityLevel=60");
  EXPECT_EQ(plain["retValue"], "0");
  EXPECT_EQ(plain["templateBase64"], codec::Base64Encode(std::span<const uint8_t>(stored, 3)));
  EXPECT_EQ(scanner.Base64Text(), "+/8B");

  EXPECT_EQ(Run("getTemplateData", kH + "&extractEx=1&encrypt=0&qualityLevel=61")["retValue"],
            "-302");
  EXPECT_EQ(Run("getTemplateData", kH + "&extractEx=1&encrypt=2")["retValue"], "-112");
  // Only encrypt: refused after setting the template size and without extracting.
  EXPECT_CALL(lib, SetParameter(kHandle, 302, _)).WillOnce(Return(0)).RetiresOnSaturation();
  EXPECT_CALL(lib, Extract(_, _, _, _)).Times(0);
  EXPECT_EQ(Run("getTemplateData", kH + "&encrypt=0")["retValue"], "-112");
  for (const char* bad : {"encrypt=x", "encrypt=99999999999", "extractEx=-99999999999"}) {
    EXPECT_EQ(Run("getTemplateData", kH + "&extractEx=1&" + bad)["retString"],
              "passed wrong parameter")
        << bad;
  }
  EXPECT_EQ(Run("getTemplateData", kH)["retValue"], "-112");

  // A 40-character key: its first 32 bytes; -111 from SetEncryptionKey counts as success.
  const std::string key = "0123456789abcdef0123456789ABCDEFxxxxxxxx";
  EXPECT_CALL(lib, SetEncryptionKey(kHandle, _))
      .WillOnce(Invoke([&](int64_t, const uint8_t* k) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(k), 32), key.substr(0, 32));
        return devicelib::kNotSupported;
      }))
      .RetiresOnSaturation();
  EXPECT_CALL(lib, EncryptTemplate(kHandle, _, 3, _, Pointee(1040)))
      .WillOnce(Invoke([](int64_t, const uint8_t*, int32_t, uint8_t* out, int32_t* size) {
        out[0] = 'E';
        *size = 1;
        return 0;
      }))
      .RetiresOnSaturation();
  Json::Value encrypted = Run("getTemplateData", kH + "&extractEx=1&encrypt=1&encryptKey=" + key);
  EXPECT_EQ(encrypted["templateBase64"], "RQ==");
  // An empty key leaves the library's key as it is.
  EXPECT_CALL(lib, SetEncryptionKey(_, _)).Times(0);
  EXPECT_CALL(lib, EncryptTemplate(_, _, _, _, _))
      .WillOnce(Return(devicelib::kCryptoFailed))
      .RetiresOnSaturation();
  EXPECT_EQ(Run("getTemplateData", kH + "&extractEx=1&encrypt=1&encryptKey=")["retValue"], "-113");
}

// Runs a test in a fresh, empty working directory (the converted files and the image folder
// live under the working directory) and goes back when it ends.
class InTemporaryDirectory {
 public:
  InTemporaryDirectory() : previous_(std::filesystem::current_path()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "scanner-test-XXXXXX").string();
    const char* made = mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    dir_ = pattern;
    std::filesystem::current_path(dir_);
  }
  ~InTemporaryDirectory() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  InTemporaryDirectory(const InTemporaryDirectory&) = delete;
  InTemporaryDirectory& operator=(const InTemporaryDirectory&) = delete;

 private:
  std::filesystem::path previous_;
  std::filesystem::path dir_;
};

// A conversion double that writes `content` where the library would write its file.
auto WriteFileWith(std::string content) {
  return [content](auto&&... args) {
    const char* path = std::get<sizeof...(args) - 1>(std::forward_as_tuple(args...));
    std::ofstream(path, std::ios::binary) << content;
    return 0;
  };
}

TEST_F(ScannerTest, ImageExportChoosesByFileTypeAndMakesTheImageFolder) {
  InTemporaryDirectory workdir;
  Json::Value bmp = Run("getImageData", kH + "&fileType=1");
  const auto bytes = codec::Base64Decode(bmp["imageBase64"].asString());
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ((*bytes)[0], 'B');
  EXPECT_EQ((*bytes)[1], 'M');
  EXPECT_FALSE(std::filesystem::exists("html"));  // the BMP needs no file

  // A working directory without html/img: the folder is made, as saveImageBuffer does.
  EXPECT_CALL(lib, SaveCaptureImageToDatFile(kHandle, StrEq(service::kConvertedDatPath)))
      .WillOnce(Invoke(WriteFileWith("raw")));
  Json::Value raw = Run("getImageData", kH + "&fileType=2");
  EXPECT_EQ(raw["retValue"], "0");
  EXPECT_EQ(raw["imageBase64"], "cmF3");
  EXPECT_TRUE(std::filesystem::is_directory(service::kImageFolder));

  // The ratio reaches the WSQ conversion whatever the order in the request.
  EXPECT_CALL(lib, SaveCaptureImageToWsqFile(kHandle, 0.5f, StrEq(service::kConvertedWsqPath)))
      .Times(2)
      .WillRepeatedly(Invoke(WriteFileWith("wsq")));
  EXPECT_EQ(Run("getImageData", kH + "&fileType=3&compressionRatio=0.5")["imageBase64"], "d3Nx");
  EXPECT_EQ(Run("saveImageBuffer", kH + "&compressionRatio=0.5&fileType=3")["retValue"], "0");
  EXPECT_CALL(lib, SaveCaptureImageToWsqFile(kHandle, kDefaultCompressionRatio, _))
      .WillOnce(Invoke(WriteFileWith("wsq")));
  EXPECT_EQ(Run("getImageData", kH + "&fileType=3")["retValue"], "0");
}

TEST_F(ScannerTest, ImageExportReportsEveryFailure) {
  InTemporaryDirectory workdir;
  auto expectFailure = [&](const std::string& operation, const std::string& params,
                           const char* retValue, const std::string& retString) {
    const Json::Value reply = Run(operation, kH + params);
    EXPECT_EQ(reply["retValue"], retValue) << operation << params;
    EXPECT_EQ(reply["retString"], retString) << operation << params;
    if (operation == "getImageData") {
      EXPECT_EQ(reply["imageBase64"], "") << params;
    }
  };
  ON_CALL(lib, GetErrorString(_, _)).WillByDefault(Invoke([](int32_t code, char* text) {
    std::strcpy(text, devicelib::StatusMessage(code));
    return 0;
  }));
  // The library's own error, for both the image and the file.
  EXPECT_CALL(lib, SaveCaptureImageToWsqFile(_, _, _))
      .Times(2)
      .WillRepeatedly(Return(devicelib::kNotSupported));
  expectFailure("getImageData", "&fileType=3", "-111", "Not supported");
  expectFailure("saveImageBuffer", "&fileType=3", "-111", "Not supported");
  // -1: the library could not write the file.
  EXPECT_CALL(lib, SaveCaptureImageToDatFile(_, _))
      .WillOnce(Return(devicelib::kFailed))
      .WillOnce(Return(devicelib::kOk))     // "written", but nothing is there
      .WillOnce(Invoke(WriteFileWith("")))  // an empty file is no image either
      .WillOnce(Return(devicelib::kFailed));
  expectFailure("getImageData", "&fileType=2", "-1", "Cannot write file");
  expectFailure("getImageData", "&fileType=2", "-1", "Cannot read file");
  expectFailure("getImageData", "&fileType=2", "-1", "Cannot read file");
  expectFailure("saveImageBuffer", "&fileType=2", "-1", "Cannot write file");

  // Fetching the image fails: the library's error, and no conversion is tried.
  EXPECT_CALL(lib, GetCaptureImage(_, _))
      .WillOnce(Return(devicelib::kNoImage))
      .RetiresOnSaturation();
  expectFailure("getImageData", "&fileType=1", "-104", "No image has been captured");
  ::testing::Mock::VerifyAndClearExpectations(&lib);

  // A file where the image folder belongs: the folder cannot be made.
  std::filesystem::remove_all(service::kImageFolder);
  std::ofstream(service::kImageFolder) << "not a folder";
  ASSERT_TRUE(std::filesystem::is_regular_file(service::kImageFolder));
  EXPECT_CALL(lib, SaveCaptureImageToDatFile(_, _)).Times(0);
  EXPECT_CALL(lib, SaveCaptureImageToWsqFile(_, _, _)).Times(0);
  expectFailure("getImageData", "&fileType=2", "-1", "Cannot create file");
  expectFailure("getImageData", "&fileType=3", "-1", "Cannot create file");
  expectFailure("saveImageBuffer", "&fileType=3", "-1", "Cannot create file");
  EXPECT_EQ(Run("getImageData", kH + "&fileType=1")["retValue"], "0");  // needs no folder
}

TEST_F(ScannerTest, ImageExportRefusesNonsensicalParametersBeforeTouchingAnything) {
  InTemporaryDirectory workdir;
  // Nothing is fetched, converted or made for a refused request.
  EXPECT_CALL(lib, GetCaptureImageInfo(_, _, _, _)).Times(0);
  EXPECT_CALL(lib, SaveCaptureImageToBmpFile(_, _)).Times(0);
  EXPECT_CALL(lib, SaveCaptureImageToDatFile(_, _)).Times(0);
  EXPECT_CALL(lib, SaveCaptureImageToWsqFile(_, _, _)).Times(0);
  const std::string badRatios[] = {"-1",   "1e9", "0",   "-0",  "81",    "abc",   "",
                                   "0.5x", " 2",  "nan", "inf", "1e400", "0x10p9"};
  for (const std::string& ratio : badRatios) {
    for (const char* operation : {"getImageData", "saveImageBuffer"}) {
      const Json::Value reply = Run(operation, kH + "&fileType=3&compressionRatio=" + ratio);
      EXPECT_EQ(reply["retValue"], "-112") << operation << " " << ratio;
      EXPECT_EQ(reply["retString"], "passed wrong parameter") << operation << " " << ratio;
    }
  }
  for (const char* type : {"9", "0", "", "01", "1 ", "-1", "bmp"}) {
    for (const char* operation : {"getImageData", "saveImageBuffer"}) {
      EXPECT_EQ(Run(operation, kH + "&fileType=" + type)["retValue"], "-112")
          << operation << " " << type;
    }
  }
  // getImageData is asked for an image: without a file type there is none to give.
  const Json::Value noType = Run("getImageData", kH + "&compressionRatio=15");
  EXPECT_EQ(noType["retValue"], "-112");
  EXPECT_EQ(noType["imageBase64"], "");
  EXPECT_FALSE(std::filesystem::exists("html"));
  // saveImageBuffer with only a usable ratio makes the folder and writes nothing.
  EXPECT_EQ(Run("saveImageBuffer", kH + "&compressionRatio=0.5")["retValue"], "0");
  EXPECT_TRUE(std::filesystem::is_directory(service::kImageFolder));
  EXPECT_TRUE(std::filesystem::is_empty(service::kImageFolder));
}

TEST(ReadCompressionRatio, AcceptsPositiveRatiosTheCodecCanHonour) {
  const std::pair<const char*, float> good[] = {{"0.7", 0.7f},    {"1", 1.0f},    {"15", 15.0f},
                                                {"80", 80.0f},    {"1e1", 10.0f}, {"+2.5", 2.5f},
                                                {"0.001", 0.001f}};
  for (const auto& [text, value] : good) {
    EXPECT_EQ(ReadCompressionRatio(text), value) << text;
  }
  for (const char* text : {"80.001", "0", "-3", "1e-400", "15 ", "1,5"}) {
    EXPECT_EQ(ReadCompressionRatio(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace scanner
