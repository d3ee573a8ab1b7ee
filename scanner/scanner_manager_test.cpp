// The scanner API as a whole: the operation table, handles the agent has no scanner for, and
// the scanners kept across releases of the library.
#include "scanner/scanner_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "devicelib/status.h"
#include "tests/fakes/mock_libraries.h"

namespace scanner {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SetArgPointee;

constexpr char kCookie[] = "cookie-1";

Json::Value Parse(const std::string& text) {
  Json::Value value;
  std::istringstream stream(text);
  Json::CharReaderBuilder builder;
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(builder, stream, &value, &errors)) << text;
  return value;
}

// Every page may use every scanner: the session check is not what these tests are about.
class AdmitAll : public service::SessionGate {
 public:
  bool ValidateSession(const char*, std::string_view, std::string_view, std::string*) override {
    return true;
  }
};

class ScannerManagerTest : public ::testing::Test {
 protected:
  ScannerManagerTest() {
    ON_CALL(lib, Init()).WillByDefault(Return(0));
    ON_CALL(lib, GetScannerNumber(_)).WillByDefault(DoAll(SetArgPointee<0>(1), Return(0)));
    ON_CALL(lib, GetScannerHandle(0, _)).WillByDefault([this](int32_t, int64_t* handle) {
      *handle = nextHandle;
      return 0;
    });
    ON_CALL(lib, GetScannerType(_, _)).WillByDefault(DoAll(SetArgPointee<1>(1004), Return(0)));
    ON_CALL(lib, GetErrorString(devicelib::kInvalidHandle, _))
        .WillByDefault([](int32_t code, char* text) {
          devicelib::CopyStatusMessage(code, text, devicelib::kErrorTextSize);
          return 0;
        });
  }

  Json::Value Call(const std::string& name, const std::string& params) {
    return Parse(manager.HandleScannerApi(name, kCookie, "id=page&" + params));
  }

  NiceMock<fakes::MockScannerLib> lib;
  NiceMock<fakes::MockMatcherLib> matcherLib;
  AdmitAll sessions;
  service::Dispatcher dispatcher{sessions};
  int clears = 0;
  service::EventHub events;
  ScannerManager manager{{lib, matcherLib}, dispatcher, [this] { ++clears; }, events};
  int64_t nextHandle = 0x100000001ll;
};

TEST_F(ScannerManagerTest, HandlesWithoutAScannerAnswerInvalidHandleForEveryName) {
  const char* kNames[] = {"getScannerStatus", "version",        "getParameters",
                          "setParameters",    "abortCapture",   "isFingerOn",
                          "captureSingle",    "startCapturing", "autoCapture",
                          "getTemplateData",  "getImageData",   "saveImageBuffer"};
  // Before initDevice, then for handles the library never gave out.
  for (const std::string handle : {"sHandle=5", "sHandle=-1", "sHandle=0", "x=1"}) {
    for (const char* name : kNames) {
      EXPECT_EQ(Call(name, handle), Parse(R"({"request": ")" + std::string(name) +
                                          R"(", "retValue": "-102",
                                              "retString": "Invalid device handle",
                                              "sessionId": "0"})"))
          << name << " " << handle;
    }
  }
  ASSERT_EQ(Call("initDevice", "")["ScannerCount"], 1);
  for (const char* name : kNames) {
    EXPECT_EQ(Call(name, "sHandle=4294967298")["retValue"], "-102") << name;
  }
  EXPECT_EQ(Call("version", "sHandle=4294967297"),
            Parse(R"({"API": "0.1", "request": "version"})"));
}

TEST_F(ScannerManagerTest, EveryReplyIsBuiltForItsOwnRequest) {
  ASSERT_EQ(Call("initDevice", "")["ScannerCount"], 1);
  const std::string handle = "sHandle=4294967297";
  EXPECT_CALL(lib, Extract(_, _, _, _))
      .WillOnce([](int64_t, uint8_t* templ, int32_t* size, int32_t* quality) {
        templ[0] = 'T';
        *size = 1;
        *quality = 90;
        return 0;
      });
  const Json::Value templ = Call("getTemplateData", handle + "&extractEx=0&encrypt=0");
  ASSERT_EQ(templ["templateBase64"], "VA==");

  // No later reply, agent-level or per device, carries anything of the read-out.
  EXPECT_EQ(Call("version", "sHandle=77"), Parse(R"({"request": "version", "retValue": "-102",
      "retString": "Invalid device handle", "sessionId": "0"})"));
  EXPECT_EQ(Call("isFingerOn", handle), Parse(R"({"request": "isFingerOn"})"));
  EXPECT_EQ(Call("noSuchName", handle), service::UnsupportedApiReply());
  EXPECT_EQ(Call("uninitDevice", ""),
            Parse(R"({"retValue": "0", "retString": "Success", "sessionId": "0"})"));
  EXPECT_EQ(clears, 1);
  EXPECT_EQ(Call("getParameters", handle)["retValue"], "-102");
}

TEST_F(ScannerManagerTest, InitDeviceWithoutScannersHasAnEmptyBody) {
  ON_CALL(lib, GetScannerNumber(_)).WillByDefault(DoAll(SetArgPointee<0>(0), Return(0)));
  EXPECT_EQ(manager.HandleScannerApi("initDevice", nullptr, ""), "");
}

TEST_F(ScannerManagerTest, ReleasedScannersAreNotKeptAcrossCycles) {
  for (int cycle = 0; cycle < 20; ++cycle) {
    ++nextHandle;
    ASSERT_EQ(Call("initDevice", "")["ScannerCount"], 1);
    ASSERT_EQ(Call("uninitDevice", "")["retValue"], "0");
    EXPECT_EQ(manager.RetiredCount(), 0u);
  }
  // A failed release may leave captures running: those scanners stay until a release works.
  EXPECT_CALL(lib, Uninit()).WillOnce(Return(devicelib::kFailed)).WillRepeatedly(Return(0));
  ++nextHandle;
  Call("initDevice", "");
  EXPECT_EQ(Call("uninitDevice", "")["retValue"], "-1");
  EXPECT_EQ(manager.RetiredCount(), 1u);
  ++nextHandle;
  Call("initDevice", "");
  Call("uninitDevice", "");
  EXPECT_EQ(manager.RetiredCount(), 0u);
}

}  // namespace
}  // namespace scanner
