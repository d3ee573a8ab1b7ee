#include "devicelib/core/scanner_core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <thread>

#include "codec/template/minutiae.h"
#include "codec/template/minutiae_record.h"
#include "devicelib/matcher/minutiae_matcher.h"
#include "devicelib/matcher/test_minutiae.h"
#include "devicelib/status.h"
#include "devicelib/virtual/synthetic_finger.h"

namespace devicelib {
namespace {

using namespace std::chrono_literals;

Frame FlatFrame(int32_t width, int32_t height, uint8_t grey = 200, int32_t ppi = 500) {
  Frame f;
  f.width = width;
  f.height = height;
  f.ppi = ppi;
  f.pixels.assign(static_cast<size_t>(width) * static_cast<size_t>(height), grey);
  return f;
}

Frame FingerFrame(uint32_t finger, uint32_t impression) {
  virt::Impression imp = virt::MakeImpression(finger, impression, 90);
  Frame f;
  f.width = imp.width;
  f.height = imp.height;
  f.pixels = std::move(imp.pixels);
  return f;
}

// A scripted driver: each capture takes the next scripted result, or, when none is left, waits
// for a script entry, the deadline or the cancellation, as hardware waits for a finger.
class FakeDriver : public DeviceDriver {
 public:
  std::vector<DriverDevice> Enumerate() override {
    std::lock_guard lock(mutex);
    return devices;
  }
  void SetEventSink(EventSink s) override {
    std::lock_guard lock(mutex);
    sink = std::move(s);
  }
  int32_t Open(const std::string& key) override {
    std::lock_guard lock(mutex);
    opened.push_back(key);
    return openResult.count(key) ? openResult[key] : kOk;
  }
  void Close(const std::string& key) override {
    std::lock_guard lock(mutex);
    closed.push_back(key);
  }
  int32_t Capture(const std::string&, CaptureMode mode, const CaptureSettings&,
                  DriverClock::time_point deadline, CaptureCancel& cancel, Frame* frame) override {
    const int token = cancel.Subscribe([this] {
      std::lock_guard lock(mutex);
      changed.notify_all();
    });
    std::unique_lock lock(mutex);
    ++captures;
    modes.push_back(mode);
    lastDeadline = deadline;
    auto ready = [&] { return !script.empty() || cancel.IsCancelled(); };
    bool got = true;
    if (deadline == DriverClock::time_point::max()) {
      changed.wait(lock, ready);
    } else {
      got = changed.wait_until(lock, deadline, ready);
    }
    int32_t status = kCaptureTimeout;
    if (cancel.IsCancelled()) {
      status = cancel.status();
    } else if (got) {
      status = script.front().first;
      *frame = std::move(script.front().second);
      script.pop_front();
    }
    lock.unlock();
    cancel.Unsubscribe(token);
    return status;
  }
  int32_t FingerOn(const std::string&, bool* on) override {
    *on = fingerOn;
    return kOk;
  }

  void Push(int32_t status, Frame frame = {}) {
    std::lock_guard lock(mutex);
    script.emplace_back(status, std::move(frame));
    changed.notify_all();
  }
  void Event(bool added, const DriverDevice& device) {
    EventSink s;
    {
      std::lock_guard lock(mutex);
      if (added) {
        devices.push_back(device);
      } else {
        std::erase_if(devices, [&](const DriverDevice& d) { return d.key == device.key; });
      }
      s = sink;
    }
    if (s) {
      s(added, device);
    }
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<DriverDevice> devices;
  std::map<std::string, int32_t> openResult;
  std::vector<std::string> opened, closed;
  std::deque<std::pair<int32_t, Frame>> script;
  std::vector<CaptureMode> modes;
  DriverClock::time_point lastDeadline;
  int captures = 0;
  bool fingerOn = false;
  EventSink sink;
};

DriverDevice Dev(const std::string& key, bool tone = false) {
  return DriverDevice{key, "ID " + key, "Model " + key, 2000, tone};
}

class ScannerCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto driver = std::make_unique<FakeDriver>();
    fake = driver.get();
    fake->devices = {Dev("a"), Dev("b", true)};
    core = std::make_unique<ScannerCore>(std::move(driver));
  }
  int64_t Handle(int32_t index) {
    int64_t h = 0;
    EXPECT_EQ(core->GetScannerHandle(index, &h), kOk);
    return h;
  }

  FakeDriver* fake = nullptr;
  std::unique_ptr<ScannerCore> core;
};

TEST_F(ScannerCoreTest, InitOpensEveryDeviceAndAFailedOneIsListedWithItsReason) {
  fake->openResult["b"] = kDeviceInUse;
  ASSERT_EQ(core->Init(), kOk);
  EXPECT_EQ(core->Init(), kAlreadyInitialised);
  EXPECT_EQ(fake->opened, (std::vector<std::string>{"a", "b"}));
  int32_t count = 0;
  ASSERT_EQ(core->GetScannerNumber(&count), kOk);
  ASSERT_EQ(count, 2);
  char id[kIdTextSize];
  ASSERT_EQ(core->GetScannerID(Handle(1), id), kOk);
  EXPECT_STREQ(id, "ID b");
  int32_t type = 0;
  ASSERT_EQ(core->GetScannerType(Handle(1), &type), kOk);
  EXPECT_EQ(type, 2000);

  // The device that could not be opened answers why; once the other program lets go of it,
  // the next capture opens it.
  EXPECT_EQ(core->CaptureSingleImage(Handle(1)), kDeviceInUse);
  char text[kErrorTextSize];
  ASSERT_EQ(core->GetErrorString(kDeviceInUse, text), kOk);
  EXPECT_NE(std::string(text).find("another program"), std::string::npos);
  fake->openResult.erase("b");
  fake->Push(kOk, FlatFrame(10, 10));
  EXPECT_EQ(core->CaptureSingleImage(Handle(1)), kOk);

  const int64_t old = Handle(0);
  ASSERT_EQ(core->Uninit(), kOk);
  EXPECT_EQ(fake->closed, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(core->CaptureSingleImage(old), kNotInitialised);
  ASSERT_EQ(core->Init(), kOk);
  EXPECT_NE(Handle(0), old);
  EXPECT_EQ(core->CaptureSingleImage(old), kInvalidHandle);
}

TEST_F(ScannerCoreTest, CaptureKeepsTheImageWithItsTrueSizeAndResolution) {
  ASSERT_EQ(core->Init(), kOk);
  const int64_t h = Handle(0);
  int32_t w = 0, ht = 0, ppi = 0;
  EXPECT_EQ(core->GetCaptureImageInfo(h, &w, &ht, &ppi), kNoImage);
  const int32_t timeout = 1234;
  ASSERT_EQ(core->SetParameter(h, kParamCaptureTimeout, &timeout), kOk);
  Frame frame = FlatFrame(300, 400, 77, 569);
  frame.pixels[5] = 1;
  fake->Push(kOk, frame);
  const auto before = DriverClock::now();
  ASSERT_EQ(core->CaptureSingleImage(h), kOk);
  // The time-out (201) becomes the driver's deadline.
  EXPECT_GE(fake->lastDeadline, before + 1234ms);
  EXPECT_LE(fake->lastDeadline, DriverClock::now() + 1234ms);
  EXPECT_EQ(fake->modes.back(), CaptureMode::kWaitForFinger);
  ASSERT_EQ(core->GetCaptureImageInfo(h, &w, &ht, &ppi), kOk);
  EXPECT_EQ(std::tie(w, ht, ppi), std::make_tuple(300, 400, 569));
  std::vector<uint8_t> pixels(300 * 400);
  ASSERT_EQ(core->GetCaptureImage(h, pixels.data()), kOk);
  EXPECT_EQ(pixels, frame.pixels);

  // Failures pass through and leave the last image; a malformed image is the device's fault.
  fake->Push(kDeviceRemoved);
  EXPECT_EQ(core->CaptureSingleImage(h), kDeviceRemoved);
  Frame broken = FlatFrame(20, 20);
  broken.pixels.resize(10);
  fake->Push(kOk, broken);
  EXPECT_EQ(core->CaptureSingleImage(h), kDeviceFailed);
  ASSERT_EQ(core->GetCaptureImageInfo(h, &w, &ht, &ppi), kOk);
  EXPECT_EQ(w, 300);

  // No finger within the time-out.
  const int32_t shortTimeout = 50;
  ASSERT_EQ(core->SetParameter(h, kParamCaptureTimeout, &shortTimeout), kOk);
  EXPECT_EQ(core->CaptureSingleImage(h), kCaptureTimeout);
}

std::atomic<int> gFrames{0};
int32_t CountFrame(void*, void*, const uint8_t*, int32_t, int32_t, void*, void*) {
  ++gFrames;
  return 1;
}

TEST_F(ScannerCoreTest, LiveFramesOfAnotherSizeNeverOverrunTheAnnouncedBuffer) {
  ASSERT_EQ(core->Init(), kOk);
  const int64_t h = Handle(0);
  fake->Push(kOk, FlatFrame(100, 50, 10));
  ASSERT_EQ(core->CaptureSingleImage(h), kOk);
  int32_t w = 0, ht = 0, ppi = 0;
  ASSERT_EQ(core->GetCaptureImageInfo(h, &w, &ht, &ppi), kOk);
  // A swipe sensor's next live frame is taller.
  gFrames = 0;
  fake->Push(kOk, FlatFrame(100, 80, 20));
  ASSERT_EQ(core->StartCapturing(h, CountFrame, nullptr), kOk);
  while (gFrames.load() < 1) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(core->AbortCapturing(h), kOk);
  std::vector<uint8_t> buffer(static_cast<size_t>(w * ht) + 64, 0xEE);
  ASSERT_EQ(core->GetCaptureImage(h, buffer.data()), kOk);
  EXPECT_EQ(buffer[0], 10);                              // the announced image
  EXPECT_EQ(buffer[static_cast<size_t>(w * ht)], 0xEE);  // nothing beyond it
  ASSERT_EQ(core->GetCaptureImageInfo(h, &w, &ht, &ppi), kOk);
  EXPECT_EQ(ht, 80);
  EXPECT_EQ(fake->modes.back(), CaptureMode::kLiveFrame);
}

TEST_F(ScannerCoreTest, AbortEndsAWaitingAutoCaptureAndNoCallbackFollows) {
  ASSERT_EQ(core->Init(), kOk);
  const int64_t h = Handle(0);
  gFrames = 0;
  ASSERT_EQ(core->StartAutoCapture(h, CountFrame, nullptr), kOk);
  int32_t flag = 0;
  ASSERT_EQ(core->IsCapturing(h, &flag), kOk);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(core->CaptureSingleImage(h), kDeviceBusy);
  EXPECT_EQ(core->StartCapturing(h, CountFrame, nullptr), kDeviceBusy);
  ASSERT_EQ(core->AbortCapturing(h), kOk);
  ASSERT_EQ(core->IsCapturing(h, &flag), kOk);
  EXPECT_EQ(flag, 0);
  fake->Push(kOk, FlatFrame(10, 10));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(gFrames.load(), 0);
  // The auto capture's wait had no time-out; a new one takes the scripted image.
  ASSERT_EQ(core->StartAutoCapture(h, CountFrame, nullptr), kOk);
  while (gFrames.load() < 1) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(fake->lastDeadline, DriverClock::time_point::max());
}

std::atomic<int32_t> gEvents{0};
int32_t RecordEvent(int32_t event, int64_t, void*) {
  gEvents = gEvents * 10 + event;
  return 0;
}

TEST_F(ScannerCoreTest, PluggedDevicesGetHandlesAndUnpluggingEndsTheirCapture) {
  fake->Event(true, Dev("early"));  // not initialised: Init lists it
  ASSERT_EQ(core->Init(), kOk);
  ASSERT_EQ(core->SetScannerCallback(RecordEvent, nullptr), kOk);
  gEvents = 0;
  fake->Event(true, Dev("c"));
  int32_t count = 0;
  ASSERT_EQ(core->GetScannerNumber(&count), kOk);
  ASSERT_EQ(count, 4);
  EXPECT_EQ(fake->opened.back(), "c");
  const int64_t h = Handle(3);
  EXPECT_NE(h, 0);
  int32_t result = kOk;
  std::thread waiting([&] { result = core->CaptureSingleImage(h); });
  while (core->IsCapturingKey("c") == false) {
    std::this_thread::sleep_for(1ms);
  }
  fake->Event(false, Dev("c"));
  waiting.join();
  EXPECT_EQ(result, kDeviceRemoved);
  EXPECT_EQ(gEvents.load(), 12);
  EXPECT_EQ(core->CaptureSingleImage(h), kInvalidHandle);
  ASSERT_EQ(core->GetScannerNumber(&count), kOk);
  EXPECT_EQ(count, 3);
}

TEST_F(ScannerCoreTest, ParametersAndToneControl) {
  ASSERT_EQ(core->Init(), kOk);
  const int64_t plain = Handle(0), tone = Handle(1);
  const int32_t sixty = 60, tooBig = 101, negative = -1;
  EXPECT_EQ(core->SetParameter(plain, kParamBrightness, &sixty), kNotSupported);
  EXPECT_EQ(core->SetParameter(plain, kParamSensitivity, &sixty), kNotSupported);
  int32_t value = 0;
  ASSERT_EQ(core->GetParameter(plain, kParamBrightness, &value), kOk);
  EXPECT_EQ(value, kDefaultToneLevel);
  EXPECT_EQ(core->SetParameter(tone, kParamBrightness, &sixty), kOk);
  EXPECT_EQ(core->SetParameter(tone, kParamBrightness, &tooBig), kInvalidParameter);
  EXPECT_EQ(core->SetParameter(tone, kParamCaptureTimeout, &negative), kInvalidParameter);
  EXPECT_EQ(core->SetParameter(tone, 999, &sixty), kInvalidParameter);
  ASSERT_EQ(core->GetParameter(tone, kParamBrightness, &value), kOk);
  EXPECT_EQ(value, 60);
}

TEST_F(ScannerCoreTest, EveryImageIsExtractedFromItsPixels) {
  ASSERT_EQ(core->Init(), kOk);
  const int64_t h = Handle(0);
  uint8_t templ[kMaxTemplateSize];
  int32_t size = 0, quality = 0;
  EXPECT_EQ(core->Extract(h, templ, &size, &quality), kNoImage);
  fake->Push(kOk, FlatFrame(320, 480, 210));
  ASSERT_EQ(core->CaptureSingleImage(h), kOk);
  EXPECT_EQ(core->Extract(h, templ, &size, &quality), kNoFinger);
  fake->Push(kOk, FingerFrame(5, 1));
  ASSERT_EQ(core->CaptureSingleImage(h), kOk);
  ASSERT_EQ(core->Extract(h, templ, &size, &quality), kOk);
  EXPECT_GT(quality, 0);
  EXPECT_LE(quality, 100);
  EXPECT_GT(size, 28 + 4 * 6);  // a record with at least four minutiae
  // The record carries the ridge counts between them (core/record_fit_test.cpp has the rules).
  codec::FingerTemplate full;
  ASSERT_EQ(codec::DecodeMinutiaeRecord(std::span<const uint8_t>(templ, static_cast<size_t>(size)),
                                        &full),
            codec::RecordError::kOk);
  EXPECT_FALSE(full.ridgeCounts.empty());
  // A capacity below the record headers, and a small one that trims minutiae (and so holds no
  // ridge count).
  EXPECT_EQ(core->ExtractEx(h, 20, templ, &size, &quality), kBufferTooSmall);
  ASSERT_EQ(core->ExtractEx(h, 100, templ, &size, &quality), kOk);
  EXPECT_LE(size, 100);
  codec::FingerTemplate small;
  ASSERT_EQ(codec::DecodeMinutiaeRecord(std::span<const uint8_t>(templ, static_cast<size_t>(size)),
                                        &small),
            codec::RecordError::kOk);
  EXPECT_TRUE(small.ridgeCounts.empty());
  EXPECT_LT(small.minutiae.size(), full.minutiae.size());
}

// A capture of one finger that found only part of its minutiae: `base` with the minutiae in
// [from, to) replaced by those of another finger.
codec::FingerTemplate WithReplaced(const codec::FingerTemplate& base,
                                   const codec::FingerTemplate& other, size_t from, size_t to) {
  codec::FingerTemplate t = base;
  for (size_t k = from; k < to && k < t.minutiae.size() && k < other.minutiae.size(); ++k) {
    t.minutiae[k] = other.minutiae[k];
  }
  return t;
}

int32_t Score(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int32_t score = -1;
  EXPECT_EQ(CompareTemplates(a.data(), static_cast<int32_t>(a.size()), b.data(),
                             static_cast<int32_t>(b.size()), &score),
            kOk);
  return score;
}

// Selection keeps the pair that agrees best, and must accept it whenever verification at the
// default level would: a real finger's captures seldom agree as well as the strictest level
// asks, and enrolment would then fail for fingers that verify fine.
TEST_F(ScannerCoreTest, SelectionAcceptsCapturesThatMatchAtTheDefaultLevel) {
  namespace mt = matcher::testing;
  ASSERT_EQ(core->Init(), kOk);
  const int64_t h = Handle(0);
  const codec::FingerTemplate base = mt::MasterFinger(3, 40);
  // Every capture shares 13 of its 40 minutiae with the first one, at most 8 with each other.
  std::vector<std::vector<uint8_t>> records = {
      mt::Record(base), mt::Record(WithReplaced(base, mt::MasterFinger(21, 40), 0, 27)),
      mt::Record(WithReplaced(base, mt::MasterFinger(22, 40), 13, 40)),
      mt::Record(WithReplaced(base, mt::MasterFinger(23, 40), 5, 32))};
  int32_t best = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    for (size_t j = i + 1; j < records.size(); ++j) {
      best = std::max(best, Score(records[i], records[j]));
    }
  }
  // The point of the case: the best pair matches at the default level, not at the strictest.
  ASSERT_GE(best, SecurityLevelThreshold(kDefaultSecurityLevel));
  ASSERT_LT(best, SecurityLevelThreshold(kMaxSecurityLevel));

  std::vector<const uint8_t*> in;
  std::vector<int32_t> sizes;
  for (const auto& r : records) {
    in.push_back(r.data());
    sizes.push_back(static_cast<int32_t>(r.size()));
  }
  std::vector<uint8_t> out0(kMaxTemplateSize), out1(kMaxTemplateSize);
  uint8_t* outs[2] = {out0.data(), out1.data()};
  int32_t outSizes[2] = {0, 0};
  ASSERT_EQ(core->SelectTemplate(h, in.data(), sizes.data(), 4, outs, outSizes, 2), kOk);
  // The chosen two are the first capture and one that shares 13 minutiae with it.
  const std::vector<uint8_t> chosen0(out0.begin(), out0.begin() + outSizes[0]);
  const std::vector<uint8_t> chosen1(out1.begin(), out1.begin() + outSizes[1]);
  EXPECT_TRUE(chosen0 == records[0] || chosen1 == records[0]);
  EXPECT_EQ(Score(chosen0, chosen1), best);

  // Four different fingers agree nowhere near the default level: nothing is chosen.
  std::vector<std::vector<uint8_t>> strangers;
  for (uint32_t f = 10; f < 14; ++f) {
    strangers.push_back(mt::Record(mt::MasterFinger(f, 40)));
  }
  for (size_t k = 0; k < 4; ++k) {
    in[k] = strangers[k].data();
    sizes[k] = static_cast<int32_t>(strangers[k].size());
  }
  EXPECT_EQ(
      core->SelectTemplateEx(h, kMaxTemplateSize, in.data(), sizes.data(), 4, outs, outSizes, 2),
      kSelectionFailed);
}

}  // namespace
}  // namespace devicelib
