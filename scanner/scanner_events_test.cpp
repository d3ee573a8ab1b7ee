// What the scanner API tells a page beyond the result: "detail" on every parameter fault,
// "quality" of a template read-out, and the events listeners hear: captures, scanners plugged
// and unplugged, fingers placed and lifted.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devicelib/status.h"
#include "scanner/scanner.h"
#include "scanner/scanner_manager.h"
#include "service/events.h"
#include "tests/fakes/mock_libraries.h"

namespace scanner {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::HasSubstr;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SetArgPointee;

// Long enough for any machine; the waits end as soon as the event is there.
constexpr std::chrono::seconds kPatience{20};

constexpr int64_t kHandle = 0x1234567890ll;
const std::string kH = "sHandle=" + std::to_string(kHandle);

std::vector<service::Event> Heard(service::EventHub::Listener& listener) {
  std::vector<service::Event> heard;
  while (std::optional<service::Event> event = listener.Next(std::chrono::milliseconds(0))) {
    heard.push_back(std::move(*event));
  }
  return heard;
}

class ScannerRepliesTest : public ::testing::Test {
 protected:
  ScannerRepliesTest() {
    ON_CALL(lib, GetCaptureImageInfo(kHandle, _, _, _))
        .WillByDefault(
            DoAll(SetArgPointee<1>(2), SetArgPointee<2>(2), SetArgPointee<3>(500), Return(0)));
    ON_CALL(lib, Extract(_, _, _, _))
        .WillByDefault([this](int64_t, uint8_t* templ, int32_t* size, int32_t* quality) {
          templ[0] = 'T';
          *size = 1;
          *quality = quality_;
          return 0;
        });
  }

  Json::Value Run(Scanner::Operation operation, const std::string& name,
                  const std::string& params) {
    return scanner.Run(operation, name, params, matcher);
  }

  NiceMock<fakes::MockScannerLib> lib;
  NiceMock<fakes::MockMatcherLib> matcherLib;
  devicelib::MatcherHandle matcher = reinterpret_cast<devicelib::MatcherHandle>(0x42);
  service::EventHub events;
  Scanner scanner{service::DeviceLibraries{lib, matcherLib}, &events, kHandle};
  int32_t quality_ = 73;
};

TEST_F(ScannerRepliesTest, EveryParameterFaultCarriesADetail) {
  struct Case {
    Scanner::Operation operation;
    const char* name;
    std::string params;
    const char* detail;
  };
  const Case cases[] = {
      {&Scanner::CaptureSingle, "captureSingle", "id=p", "sHandle is missing or 0"},
      {&Scanner::GetTemplateData, "getTemplateData", kH, "getTemplateData needs extractEx"},
      {&Scanner::GetTemplateData, "getTemplateData", kH + "&extractEx=2&encrypt=0",
       "extractEx must be 0"},
      {&Scanner::GetTemplateData, "getTemplateData", kH + "&extractEx=0&encrypt=x",
       "encrypt must be 0 or 1"},
      {&Scanner::GetTemplateData, "getTemplateData", kH + "&extractEx=0&encrypt=5",
       "encrypt must be 0"},
      {&Scanner::GetImageData, "getImageData", kH, "getImageData needs fileType"},
      {&Scanner::GetImageData, "getImageData", kH + "&id=p", "fileType is missing"},
      {&Scanner::GetImageData, "getImageData", kH + "&fileType=9", "fileType must be 1"},
      {&Scanner::SaveImageBuffer, "saveImageBuffer", kH + "&compressionRatio=abc",
       "compressionRatio must be a decimal number"},
      {&Scanner::SetParameters, "setParameters", kH, "setParameters needs at least one of"},
  };
  for (const Case& c : cases) {
    const Json::Value reply = Run(c.operation, c.name, c.params);
    EXPECT_EQ(reply["retValue"], "-112") << c.name << " " << c.params;
    EXPECT_EQ(reply["retString"], "passed wrong parameter") << c.name << " " << c.params;
    EXPECT_THAT(reply["detail"].asString(), HasSubstr(c.detail)) << c.name << " " << c.params;
  }
  const Json::Value beside = scanner.RunBeside(&Scanner::AbortCapture, "abortCapture", "x=1");
  EXPECT_THAT(beside["detail"].asString(), HasSubstr("sHandle is missing or 0"));
}

TEST_F(ScannerRepliesTest, TemplateReadOutReportsTheExtractionsQuality) {
  const Json::Value reply =
      Run(&Scanner::GetTemplateData, "getTemplateData", kH + "&extractEx=0&encrypt=0");
  EXPECT_EQ(reply["retValue"], "0");
  EXPECT_EQ(reply["quality"], 73);
  // Below the page's level: refused, and the user learns the quality that fell short.
  const Json::Value low = Run(&Scanner::GetTemplateData, "getTemplateData",
                              kH + "&extractEx=0&encrypt=0&qualityLevel=74");
  EXPECT_EQ(low["retValue"], "-302");
  EXPECT_EQ(low["quality"], 73);
  EXPECT_FALSE(low.isMember("templateBase64"));
}

TEST_F(ScannerRepliesTest, SingleCapturesAreAnnouncedWithTheirOutcome) {
  const auto listener = events.Listen();
  EXPECT_CALL(lib, CaptureSingleImage(kHandle))
      .WillOnce(Return(0))
      .WillOnce(Return(devicelib::kCaptureTimeout));
  ASSERT_EQ(Run(&Scanner::CaptureSingle, "captureSingle", kH)["retValue"], "0");
  ASSERT_EQ(Run(&Scanner::CaptureSingle, "captureSingle", kH)["retValue"], "-105");
  EXPECT_CALL(lib, CaptureSingleImage(kHandle)).WillOnce(Return(0));
  EXPECT_CALL(lib, GetCaptureImage(kHandle, _)).WillOnce(Return(devicelib::kNoImage));
  ASSERT_EQ(Run(&Scanner::CaptureSingle, "captureSingle", kH)["retValue"], "-104");

  const std::vector<service::Event> heard = Heard(*listener);
  ASSERT_EQ(heard.size(), 6u);
  const int32_t outcomes[] = {0, devicelib::kCaptureTimeout, devicelib::kNoImage};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(heard[2 * i].type, "capturestarted");
    EXPECT_EQ(heard[2 * i].sHandle, std::to_string(kHandle));
    EXPECT_EQ(heard[2 * i].data["mode"], "capture");
    EXPECT_EQ(heard[2 * i + 1].type, "capturedone");
    EXPECT_EQ(heard[2 * i + 1].sHandle, std::to_string(kHandle));
    EXPECT_EQ(heard[2 * i + 1].data["retValue"], outcomes[i]);
  }
  // Operations that do not capture are not announced.
  Run(&Scanner::GetTemplateData, "getTemplateData", kH + "&extractEx=0&encrypt=0");
  scanner.RunBeside(&Scanner::GetScannerStatus, "getScannerStatus", kH);
  EXPECT_TRUE(Heard(*listener).empty());
}

TEST_F(ScannerRepliesTest, LiveAndAutomaticCapturesEndWithTheirImageOrTheAbort) {
  const auto listener = events.Listen();
  const uint8_t pixels[4] = {1, 2, 3, 4};
  // Live: frames come until the abort, which ends the capture.
  ASSERT_EQ(Run(&Scanner::StartCapturing, "startCapturing", kH)["retValue"], "0");
  Scanner::OnCaptureFrame(nullptr, nullptr, pixels, 2, 2, nullptr, &scanner);
  Scanner::OnCaptureFrame(nullptr, nullptr, pixels, 2, 2, nullptr, &scanner);
  scanner.RunBeside(&Scanner::AbortCapture, "abortCapture", kH);
  std::vector<service::Event> heard = Heard(*listener);
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].data["mode"], "live");
  EXPECT_EQ(heard[1].type, "capturedone");
  EXPECT_EQ(heard[1].data["retValue"], devicelib::kCaptureAborted);
  // An abort with nothing running tells nothing.
  scanner.RunBeside(&Scanner::AbortCapture, "abortCapture", kH);
  EXPECT_TRUE(Heard(*listener).empty());

  // Automatic: done with its one image; a later abort adds nothing.
  ASSERT_EQ(Run(&Scanner::AutoCapture, "autoCapture", kH)["retValue"], "0");
  Scanner::OnCaptureFrame(nullptr, nullptr, pixels, 2, 2, nullptr, &scanner);
  scanner.RunBeside(&Scanner::AbortCapture, "abortCapture", kH);
  heard = Heard(*listener);
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].data["mode"], "auto");
  EXPECT_EQ(heard[1].type, "capturedone");
  EXPECT_EQ(heard[1].data["retValue"], 0);

  // A start the library refuses is done at once, and leaves a running capture's end to come.
  ASSERT_EQ(Run(&Scanner::StartCapturing, "startCapturing", kH)["retValue"], "0");
  EXPECT_CALL(lib, StartAutoCapture(kHandle, _, _)).WillOnce(Return(devicelib::kDeviceBusy));
  ASSERT_EQ(Run(&Scanner::AutoCapture, "autoCapture", kH)["retValue"], "-107");
  scanner.RunBeside(&Scanner::AbortCapture, "abortCapture", kH);
  heard = Heard(*listener);
  ASSERT_EQ(heard.size(), 4u);
  EXPECT_EQ(heard[1].data["mode"], "auto");
  EXPECT_EQ(heard[2].data["retValue"], devicelib::kDeviceBusy);
  EXPECT_EQ(heard[3].data["retValue"], devicelib::kCaptureAborted);
}

// Every page may use every scanner: the session check is not what these tests are about.
class AdmitAll : public service::SessionGate {
 public:
  bool ValidateSession(const char*, std::string_view, std::string_view, std::string*) override {
    return true;
  }
};

class ScannerManagerEventsTest : public ::testing::Test {
 protected:
  ScannerManagerEventsTest() {
    // Set up once: the watcher thread may call into the mock while a test runs.
    ON_CALL(lib, Init()).WillByDefault([this] { return initStatus.load(); });
    ON_CALL(lib, GetScannerNumber(_)).WillByDefault([this](int32_t* count) {
      *count = static_cast<int32_t>(handles.size());
      return 0;
    });
    ON_CALL(lib, GetScannerHandle(_, _)).WillByDefault([this](int32_t index, int64_t* handle) {
      *handle = handles.at(static_cast<size_t>(index));
      return 0;
    });
    ON_CALL(lib, SetScannerCallback(_, _))
        .WillByDefault([this](devicelib::ScannerCallback callback, void* user) {
          deviceCallback = callback;
          deviceUser = user;
          return 0;
        });
    ON_CALL(lib, IsSensorOn(_, _)).WillByDefault([this](int64_t handle, int32_t* flag) {
      ++sensorQueries;
      *flag = handle == 11 && finger.load() ? 1 : 0;
      return 0;
    });
  }

  std::string Call(const std::string& name) {
    return manager.HandleScannerApi(name, "cookie", "id=page");
  }

  // The next event, waiting as long as any machine needs.
  static service::Event Next(service::EventHub::Listener& listener) {
    std::optional<service::Event> event =
        listener.Next(std::chrono::duration_cast<std::chrono::milliseconds>(kPatience));
    EXPECT_TRUE(event.has_value());
    return event.value_or(service::Event{});
  }

  NiceMock<fakes::MockScannerLib> lib;
  NiceMock<fakes::MockMatcherLib> matcherLib;
  AdmitAll sessions;
  service::Dispatcher dispatcher{sessions};
  service::EventHub events;
  std::vector<int64_t> handles = {11, 12};
  devicelib::ScannerCallback deviceCallback = nullptr;
  void* deviceUser = nullptr;
  std::atomic<bool> finger{false};
  std::atomic<int> sensorQueries{0};
  std::atomic<int32_t> initStatus{0};
  ScannerManager manager{{lib, matcherLib}, dispatcher, [] {}, events};
};

TEST_F(ScannerManagerEventsTest, ScannerSetChangesAreAnnouncedOnce) {
  const auto listener = events.Listen();
  Call("initDevice");
  std::vector<service::Event> heard = Heard(*listener);
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].type, "plug");
  EXPECT_EQ(heard[0].sHandle, "11");
  EXPECT_EQ(heard[0].data["scanners"], 1);
  EXPECT_EQ(heard[1].data["sHandle"], "12");
  EXPECT_EQ(heard[1].data["scanners"], 2);

  // The library tells of a device plugged in and one pulled out; the next initDevice, which
  // finds the same, repeats nothing.
  ASSERT_NE(deviceCallback, nullptr);
  deviceCallback(1, 13, deviceUser);
  deviceCallback(2, 11, deviceUser);
  deviceCallback(2, 11, deviceUser);  // told twice, announced once
  heard = Heard(*listener);
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].type, "plug");
  EXPECT_EQ(heard[0].sHandle, "13");
  EXPECT_EQ(heard[0].data["scanners"], 3);
  EXPECT_EQ(heard[1].type, "unplug");
  EXPECT_EQ(heard[1].sHandle, "11");
  EXPECT_EQ(heard[1].data["scanners"], 2);
  handles = {12, 13};
  initStatus = devicelib::kAlreadyInitialised;
  Call("initDevice");
  EXPECT_TRUE(Heard(*listener).empty());

  // A change only initDevice notices (no callback came) is announced there.
  handles = {13};
  Call("initDevice");
  heard = Heard(*listener);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].type, "unplug");
  EXPECT_EQ(heard[0].sHandle, "12");

  // Releasing the library leaves the agent without scanners.
  Call("uninitDevice");
  heard = Heard(*listener);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].type, "unplug");
  EXPECT_EQ(heard[0].data["scanners"], 0);
}

TEST_F(ScannerManagerEventsTest, AgentWithoutScannersHearsOfTheFirstOnePlugged) {
  handles.clear();
  const auto listener = events.Listen();
  EXPECT_EQ(Call("initDevice"), "");
  ASSERT_NE(deviceCallback, nullptr);
  deviceCallback(1, 21, deviceUser);
  const std::vector<service::Event> heard = Heard(*listener);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].type, "plug");
  EXPECT_EQ(heard[0].data["scanners"], 1);
}

TEST_F(ScannerManagerEventsTest, FingersAreWatchedOnlyWhileSomebodyListens) {
  Call("initDevice");
  // Nobody listens: the watcher leaves the scanners alone (a few poll periods pass).
  std::this_thread::sleep_for(5 * ScannerManager::kFingerPollInterval);
  EXPECT_EQ(sensorQueries.load(), 0);

  const auto listener = events.Listen();
  Heard(*listener);
  finger = true;
  service::Event event = Next(*listener);
  EXPECT_EQ(event.type, "fingeron");
  EXPECT_EQ(event.sHandle, "11");
  finger = false;
  event = Next(*listener);
  EXPECT_EQ(event.type, "fingeroff");
  EXPECT_EQ(event.sHandle, "11");
  EXPECT_GT(sensorQueries.load(), 0);
  // The other scanner never had a finger: nothing was said of it.
  EXPECT_TRUE(Heard(*listener).empty());
}

TEST_F(ScannerManagerEventsTest, WatcherStopsWithTheManager) {
  auto own = std::make_unique<ScannerManager>(
      service::DeviceLibraries{lib, matcherLib}, dispatcher, [] {}, events);
  const auto listener = events.Listen();
  own->StopWatching();
  own->StopWatching();  // twice is harmless
  own.reset();          // and the destructor after it
  SUCCEED();
}

}  // namespace
}  // namespace scanner
