#include "devicelib/core/scanner_core.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "codec/bmp.h"
#include "codec/template/minutiae_record.h"
#include "codec/wsq/wsq.h"
#include "devicelib/core/record_fit.h"
#include "devicelib/core/template_cipher.h"
#include "devicelib/matcher/minutiae_matcher.h"
#include "devicelib/status.h"
#include "engine/extractor.h"

namespace devicelib {

// ---------------------------------------------------------------------------------------------
// CaptureCancel

void CaptureCancel::Cancel(int32_t status) {
  std::lock_guard lock(mutex_);
  if (cancelled_.load(std::memory_order_relaxed)) {
    return;
  }
  status_.store(status, std::memory_order_release);
  cancelled_.store(true, std::memory_order_release);
  changed_.notify_all();
  for (auto& [token, hook] : hooks_) {
    hook();
  }
}

bool CaptureCancel::WaitUntil(DriverClock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return changed_.wait_until(lock, deadline, [&] { return IsCancelled(); });
}

int CaptureCancel::Subscribe(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  if (IsCancelled()) {
    hook();
    return 0;
  }
  const int token = nextToken_++;
  hooks_.emplace(token, std::move(hook));
  return token;
}

void CaptureCancel::Unsubscribe(int token) {
  std::lock_guard lock(mutex_);  // Cancel runs the hooks under this lock
  hooks_.erase(token);
}

// ---------------------------------------------------------------------------------------------
// The core

namespace {

// Fewer minutiae than this is no usable fingerprint: extraction answers -301.
constexpr size_t kMinMinutiae = 4;

// The two templates chosen by SelectTemplate must match each other at the matcher's default
// security level, the level at which the enrolled user is later verified: a pair that agrees
// there is the same finger as far as verification can tell. The strictest level would turn
// away most real fingers (its threshold sits in the genuine distribution, rejecting about
// three genuine pairs in four on real prints), so enrolment would fail where verification
// would have succeeded.
int32_t SelectMinScore() {
  return SecurityLevelThreshold(kDefaultSecurityLevel);
}

struct Settings {
  int32_t timeoutMs = kDefaultCaptureTimeoutMs;
  int32_t brightness = kDefaultToneLevel;
  int32_t sensitivity = kDefaultToneLevel;
  int32_t templateSize = kMaxTemplateSize;
  int32_t templateType = kTemplateIso19794_2;
  TemplateKey key = DefaultTemplateKey();
};

// One captured image and, once asked for, what the extractor finds in it. Every driver's images
// go through the same extractor.
struct Capture {
  explicit Capture(Frame f) : frame(std::move(f)) {}
  const Frame frame;

  const engine::Extraction& Features() const {
    std::call_once(once_, [&] {
      engine::GreyImage image;
      image.pixels = frame.pixels;
      image.width = frame.width;
      image.height = frame.height;
      image.ppi = frame.ppi;
      extraction_ = engine::Extract(image);
    });
    return extraction_;
  }

 private:
  mutable std::once_flag once_;
  mutable engine::Extraction extraction_;
};

bool SameSize(const Capture& a, const Capture& b) {
  return a.frame.width == b.frame.width && a.frame.height == b.frame.height;
}

bool ValidFrame(const Frame& f) {
  return f.width > 0 && f.height > 0 && f.width <= 4096 && f.height <= 4096 &&
         f.pixels.size() == static_cast<size_t>(f.width) * static_cast<size_t>(f.height) &&
         f.ppi > 0;
}

struct Device {
  explicit Device(DriverDevice i) : info(std::move(i)) {}
  const DriverDevice info;

  std::mutex mutex;
  std::condition_variable changed;  // worker joined
  // Guarded by mutex:
  int32_t openStatus = kOk;  // the driver's answer to Open
  Settings settings;
  std::vector<std::shared_ptr<CaptureCancel>> active;  // every capture running now
  std::shared_ptr<CaptureCancel> streamCancel;         // the live or auto capture's
  int32_t waitingCaptures = 0;                         // CaptureSingleImage calls in progress
  bool streaming = false;                              // a live or auto-capture worker is active
  std::thread worker;
  int32_t joinsInProgress = 0;
  std::shared_ptr<const Capture> last;      // null: nothing captured since Init
  std::shared_ptr<const Capture> reported;  // the image GetCaptureImageInfo last described
};

// The device whose worker runs on this thread, so that calls made from inside the image
// callback never wait for their own thread.
thread_local const Device* tlWorkerDevice = nullptr;

void RemoveCancel(Device& dev, const std::shared_ptr<CaptureCancel>& cancel) {
  std::erase(dev.active, cancel);
}

// Live capture (frames until aborted, at most kLiveFramesPerSecond) or auto capture (one image
// of a finger, then done). Touches the driver only while its capture is not cancelled: the core
// cancels and joins before the driver goes away.
void RunWorker(std::shared_ptr<Device> dev, DeviceDriver* driver, ImageCallback callback,
               void* user, int64_t handle, bool live, std::shared_ptr<CaptureCancel> cancel) {
  tlWorkerDevice = dev.get();
  const auto period = std::chrono::microseconds(1000000 / kLiveFramesPerSecond);
  auto next = DriverClock::now();
  uintptr_t frameNumber = 0;
  for (;;) {
    CaptureSettings settings;
    {
      std::lock_guard lock(dev->mutex);
      if (cancel->IsCancelled()) {
        break;
      }
      settings.brightness = dev->settings.brightness;
      settings.sensitivity = dev->settings.sensitivity;
    }
    Frame frame;
    const int32_t status =
        driver->Capture(dev->info.key, live ? CaptureMode::kLiveFrame : CaptureMode::kWaitForFinger,
                        settings, DriverClock::time_point::max(), *cancel, &frame);
    if (cancel->IsCancelled()) {
      break;
    }
    if (status != kOk || !ValidFrame(frame)) {
      // The device failed or went away: the capture ends, IsCapturing turns false.
      std::fprintf(stderr, "scanner %s: live capture ended: %s\n", dev->info.id.c_str(),
                   StatusMessage(status != kOk ? status : kDeviceFailed));
      break;
    }
    auto capture = std::make_shared<const Capture>(std::move(frame));
    {
      std::lock_guard lock(dev->mutex);
      if (cancel->IsCancelled()) {
        break;
      }
      dev->last = capture;
    }
    // No lock is held here: the callback may call back into the library, AbortCapturing too.
    const Frame& f = capture->frame;
    callback(reinterpret_cast<void*>(static_cast<intptr_t>(handle)),
             reinterpret_cast<void*>(frameNumber++), f.pixels.data(), f.width, f.height,
             reinterpret_cast<void*>(static_cast<intptr_t>(f.ppi)), user);
    if (!live) {
      break;
    }
    next = std::max(next + period, DriverClock::now());
    if (cancel->WaitUntil(next)) {
      break;
    }
  }
  {
    std::lock_guard lock(dev->mutex);
    RemoveCancel(*dev, cancel);
    if (dev->streamCancel == cancel) {
      dev->streaming = false;
      dev->streamCancel.reset();
    }
  }
  tlWorkerDevice = nullptr;
}

// Ends every capture on the device with `status` and waits until its worker has stopped (unless
// called from that very worker, whose thread then stays to be joined later).
void StopCaptures(const std::shared_ptr<Device>& dev, int32_t status) {
  std::thread worker;
  {
    std::lock_guard lock(dev->mutex);
    for (const auto& cancel : dev->active) {
      cancel->Cancel(status);
    }
    dev->streaming = false;
    dev->streamCancel.reset();
    worker = std::move(dev->worker);
    if (worker.joinable()) {
      if (worker.get_id() == std::this_thread::get_id()) {
        dev->worker = std::move(worker);
      } else {
        ++dev->joinsInProgress;
      }
    }
  }
  std::unique_lock lock(dev->mutex);
  if (worker.joinable()) {
    lock.unlock();
    worker.join();
    lock.lock();
    --dev->joinsInProgress;
    dev->changed.notify_all();
  } else if (tlWorkerDevice != dev.get()) {
    // Another thread is joining the worker: wait for it, so that no image callback runs after
    // this returns.
    dev->changed.wait(lock, [&] { return dev->joinsInProgress == 0; });
  }
}

int32_t WriteFile(const char* path, const std::vector<uint8_t>& bytes) {
  if (path == nullptr || *path == '\0') {
    return kFailed;
  }
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    return kFailed;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0 || !written) {
    std::remove(path);
    return kFailed;
  }
  return kOk;
}

}  // namespace

class ScannerCore::Impl {
 public:
  struct Slot {
    std::shared_ptr<Device> device;
    int64_t handle = 0;
  };

  explicit Impl(DeviceDriver* d) : driver(d), random_(std::random_device{}()) {}

  // Called with mutex held. Random-looking, positive, never small, unique among the devices.
  int64_t NewHandle() {
    for (;;) {
      const auto h = static_cast<int64_t>(random_() >> 1);
      if (h < (int64_t{1} << 32)) {
        continue;
      }
      if (std::none_of(slots.begin(), slots.end(), [&](const Slot& s) { return s.handle == h; })) {
        return h;
      }
    }
  }

  int32_t Find(int64_t handle, std::shared_ptr<Device>* out) {
    std::lock_guard lock(mutex);
    if (!initialised) {
      return kNotInitialised;
    }
    for (const Slot& s : slots) {
      if (s.handle == handle && handle != 0) {
        *out = s.device;
        return kOk;
      }
    }
    return kInvalidHandle;
  }

  int32_t LastCapture(int64_t handle, std::shared_ptr<const Capture>* out) {
    std::shared_ptr<Device> dev;
    if (const int32_t status = Find(handle, &dev); status != kOk) {
      return status;
    }
    std::lock_guard lock(dev->mutex);
    if (!dev->last) {
      return kNoImage;
    }
    *out = dev->last;
    return kOk;
  }

  // Opens a device whose earlier attempt failed (the other program may have let go of it, or
  // the permission been granted since). Called without locks.
  int32_t EnsureOpen(Device& dev) {
    {
      std::lock_guard lock(dev.mutex);
      if (dev.openStatus == kOk) {
        return kOk;
      }
    }
    const int32_t status = driver->Open(dev.info.key);
    std::lock_guard lock(dev.mutex);
    dev.openStatus = status;
    return status;
  }

  void OnDeviceEvent(bool added, const DriverDevice& info);
  int32_t Extract(int64_t handle, int32_t capacity, uint8_t* templ, int32_t* size,
                  int32_t* quality);
  int32_t Select(int64_t handle, int32_t capacity, const uint8_t* const* templates,
                 const int32_t* sizes, int32_t inCount, uint8_t* const* outs, int32_t* outSizes,
                 int32_t outCount);
  int32_t StartWorker(int64_t handle, ImageCallback callback, void* user, bool live);
  void Shutdown();

  DeviceDriver* const driver;
  // Serialises Init, Uninit and device events, which open, close and stop devices; taken before
  // `mutex` and never by a capture.
  std::mutex lifecycle;
  std::mutex mutex;  // guards everything below; taken before any device's mutex
  bool initialised = false;
  std::vector<Slot> slots;  // attached devices in enumeration order
  ScannerCallback eventCallback = nullptr;
  void* eventUser = nullptr;
  std::mt19937_64 random_;
};

void ScannerCore::Impl::OnDeviceEvent(bool added, const DriverDevice& info) {
  std::lock_guard life(lifecycle);
  ScannerCallback callback = nullptr;
  void* user = nullptr;
  int64_t handle = 0;
  if (added) {
    {
      std::lock_guard lock(mutex);
      if (!initialised || std::any_of(slots.begin(), slots.end(), [&](const Slot& s) {
            return s.device->info.key == info.key;
          })) {
        return;
      }
    }
    auto dev = std::make_shared<Device>(info);
    dev->openStatus = driver->Open(info.key);
    if (dev->openStatus != kOk) {
      std::fprintf(stderr, "scanner %s: %s\n", info.id.c_str(), StatusMessage(dev->openStatus));
    }
    std::lock_guard lock(mutex);
    handle = NewHandle();
    slots.push_back({dev, handle});
    callback = eventCallback;
    user = eventUser;
  } else {
    std::shared_ptr<Device> dev;
    {
      std::lock_guard lock(mutex);
      const auto it = std::find_if(slots.begin(), slots.end(),
                                   [&](const Slot& s) { return s.device->info.key == info.key; });
      if (it == slots.end()) {
        return;
      }
      dev = it->device;
      handle = it->handle;
      callback = eventCallback;
      user = eventUser;
      slots.erase(it);
    }
    StopCaptures(dev, kDeviceRemoved);
  }
  if (callback != nullptr) {
    callback(added ? 1 : 2, handle, user);
  }
}

void ScannerCore::Impl::Shutdown() {
  std::lock_guard life(lifecycle);
  std::vector<Slot> old;
  {
    std::lock_guard lock(mutex);
    initialised = false;
    old.swap(slots);
  }
  for (const Slot& s : old) {
    StopCaptures(s.device, kCaptureAborted);
    bool open = false;
    {
      std::lock_guard lock(s.device->mutex);
      open = s.device->openStatus == kOk;
      if (s.device->worker.joinable()) {
        s.device->worker.detach();  // shut down from inside its own image callback
      }
    }
    if (open) {
      driver->Close(s.device->info.key);
    }
  }
}

ScannerCore::ScannerCore(std::unique_ptr<DeviceDriver> driver)
    : driver_(std::move(driver)), impl_(std::make_unique<Impl>(driver_.get())) {
  Impl* impl = impl_.get();
  driver_->SetEventSink(
      [impl](bool added, const DriverDevice& info) { impl->OnDeviceEvent(added, info); });
}

ScannerCore::~ScannerCore() {
  driver_->SetEventSink({});
  impl_->Shutdown();
}

int64_t ScannerCore::HandleOf(const std::string& key) {
  std::lock_guard lock(impl_->mutex);
  for (const Impl::Slot& s : impl_->slots) {
    if (s.device->info.key == key) {
      return s.handle;
    }
  }
  return 0;
}

bool ScannerCore::IsCapturingKey(const std::string& key) {
  std::lock_guard lock(impl_->mutex);
  for (const Impl::Slot& s : impl_->slots) {
    if (s.device->info.key == key) {
      std::lock_guard devLock(s.device->mutex);
      return s.device->streaming || s.device->waitingCaptures > 0;
    }
  }
  return false;
}

int32_t ScannerCore::Init() {
  std::lock_guard life(impl_->lifecycle);
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->initialised) {
      return kAlreadyInitialised;
    }
  }
  std::vector<Impl::Slot> slots;
  for (const DriverDevice& info : driver_->Enumerate()) {
    auto dev = std::make_shared<Device>(info);
    // A device that cannot be opened is still listed: its captures answer why.
    dev->openStatus = driver_->Open(info.key);
    if (dev->openStatus != kOk) {
      std::fprintf(stderr, "scanner %s: %s\n", info.id.c_str(), StatusMessage(dev->openStatus));
    }
    slots.push_back({dev, 0});
  }
  std::lock_guard lock(impl_->mutex);
  impl_->slots.clear();
  for (Impl::Slot& s : slots) {
    s.handle = impl_->NewHandle();
    impl_->slots.push_back(s);
  }
  impl_->initialised = true;
  return kOk;
}

int32_t ScannerCore::Uninit() {
  {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->initialised) {
      return kNotInitialised;
    }
  }
  impl_->Shutdown();
  return kOk;
}

int32_t ScannerCore::SetScannerCallback(ScannerCallback callback, void* user) {
  std::lock_guard lock(impl_->mutex);
  impl_->eventCallback = callback;
  impl_->eventUser = user;
  return kOk;
}

int32_t ScannerCore::GetScannerNumber(int32_t* count) {
  if (count == nullptr) {
    return kInvalidParameter;
  }
  std::lock_guard lock(impl_->mutex);
  if (!impl_->initialised) {
    return kNotInitialised;
  }
  *count = static_cast<int32_t>(impl_->slots.size());
  return kOk;
}

int32_t ScannerCore::GetScannerHandle(int32_t index, int64_t* handle) {
  if (handle == nullptr) {
    return kInvalidParameter;
  }
  std::lock_guard lock(impl_->mutex);
  if (!impl_->initialised) {
    return kNotInitialised;
  }
  if (index < 0 || index >= static_cast<int32_t>(impl_->slots.size())) {
    return kInvalidParameter;
  }
  *handle = impl_->slots[static_cast<size_t>(index)].handle;
  return kOk;
}

int32_t ScannerCore::GetScannerID(int64_t handle, char* id) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (id == nullptr) {
    return kInvalidParameter;
  }
  std::snprintf(id, kIdTextSize, "%s", dev->info.id.c_str());
  return kOk;
}

int32_t ScannerCore::GetScannerType(int64_t handle, int32_t* type) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (type == nullptr) {
    return kInvalidParameter;
  }
  *type = dev->info.type;
  return kOk;
}

int32_t ScannerCore::GetParameter(int64_t handle, int32_t id, int32_t* value) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (value == nullptr) {
    return kInvalidParameter;
  }
  std::lock_guard lock(dev->mutex);
  switch (id) {
    case kParamCaptureTimeout:
      *value = dev->settings.timeoutMs;
      return kOk;
    // A device without tone control still reports the level it works at.
    case kParamBrightness:
      *value = dev->settings.brightness;
      return kOk;
    case kParamSensitivity:
      *value = dev->settings.sensitivity;
      return kOk;
    case kParamTemplateSize:
      *value = dev->settings.templateSize;
      return kOk;
    default:
      return kInvalidParameter;
  }
}

int32_t ScannerCore::SetParameter(int64_t handle, int32_t id, const int32_t* value) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (value == nullptr) {
    return kInvalidParameter;
  }
  const int32_t v = *value;
  std::lock_guard lock(dev->mutex);
  switch (id) {
    case kParamCaptureTimeout:
      if (v < 0 || v > kMaxCaptureTimeoutMs) {
        return kInvalidParameter;
      }
      dev->settings.timeoutMs = v;
      return kOk;
    case kParamBrightness:
    case kParamSensitivity:
      if (!dev->info.toneControl) {
        return kNotSupported;
      }
      if (v < 0 || v > 100) {
        return kInvalidParameter;
      }
      (id == kParamBrightness ? dev->settings.brightness : dev->settings.sensitivity) = v;
      return kOk;
    case kParamTemplateSize:
      if (v < 0 || v > kMaxTemplateSize) {
        return kInvalidParameter;
      }
      dev->settings.templateSize = v;
      return kOk;
    default:
      return kInvalidParameter;
  }
}

int32_t ScannerCore::IsSensorOn(int64_t handle, int32_t* flag) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (flag == nullptr) {
    return kInvalidParameter;
  }
  bool on = false;
  if (const int32_t status = driver_->FingerOn(dev->info.key, &on); status != kOk) {
    return status;
  }
  *flag = on ? 1 : 0;
  return kOk;
}

int32_t ScannerCore::CaptureSingleImage(int64_t handle) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (const int32_t status = impl_->EnsureOpen(*dev); status != kOk) {
    return status;
  }
  auto cancel = std::make_shared<CaptureCancel>();
  CaptureSettings settings;
  DriverClock::time_point deadline;
  {
    std::lock_guard lock(dev->mutex);
    if (dev->streaming) {
      return kDeviceBusy;
    }
    dev->active.push_back(cancel);
    ++dev->waitingCaptures;
    settings.brightness = dev->settings.brightness;
    settings.sensitivity = dev->settings.sensitivity;
    deadline = DriverClock::now() + std::chrono::milliseconds(dev->settings.timeoutMs);
  }
  Frame frame;
  int32_t status = driver_->Capture(dev->info.key, CaptureMode::kWaitForFinger, settings, deadline,
                                    *cancel, &frame);
  if (status == kOk && !ValidFrame(frame)) {
    status = kDeviceFailed;
  }
  std::shared_ptr<const Capture> capture;
  if (status == kOk) {
    capture = std::make_shared<const Capture>(std::move(frame));
  }
  std::lock_guard lock(dev->mutex);
  RemoveCancel(*dev, cancel);
  --dev->waitingCaptures;
  if (cancel->IsCancelled()) {
    return cancel->status();
  }
  if (status == kOk) {
    dev->last = std::move(capture);
  }
  return status;
}

int32_t ScannerCore::Impl::StartWorker(int64_t handle, ImageCallback callback, void* user,
                                       bool live) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = Find(handle, &dev); status != kOk) {
    return status;
  }
  if (callback == nullptr) {
    return kInvalidParameter;
  }
  if (const int32_t status = EnsureOpen(*dev); status != kOk) {
    return status;
  }
  std::thread finished;  // the worker of an auto capture that has delivered its image
  {
    std::lock_guard lock(dev->mutex);
    if (dev->streaming || dev->waitingCaptures > 0) {
      return kDeviceBusy;
    }
    finished = std::move(dev->worker);
  }
  if (finished.joinable()) {
    if (finished.get_id() == std::this_thread::get_id()) {
      finished.detach();  // started from inside the last image callback of that worker
    } else {
      finished.join();
    }
  }
  std::lock_guard lock(dev->mutex);
  if (dev->streaming || dev->worker.joinable() || dev->waitingCaptures > 0) {
    return kDeviceBusy;
  }
  auto cancel = std::make_shared<CaptureCancel>();
  dev->active.push_back(cancel);
  dev->streamCancel = cancel;
  dev->streaming = true;
  dev->worker = std::thread(RunWorker, dev, driver, callback, user, handle, live, cancel);
  return kOk;
}

int32_t ScannerCore::StartCapturing(int64_t handle, ImageCallback callback, void* user) {
  return impl_->StartWorker(handle, callback, user, true);
}

int32_t ScannerCore::StartAutoCapture(int64_t handle, ImageCallback callback, void* user) {
  return impl_->StartWorker(handle, callback, user, false);
}

int32_t ScannerCore::IsCapturing(int64_t handle, int32_t* flag) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (flag == nullptr) {
    return kInvalidParameter;
  }
  std::lock_guard lock(dev->mutex);
  *flag = (dev->streaming || dev->waitingCaptures > 0) ? 1 : 0;
  return kOk;
}

int32_t ScannerCore::AbortCapturing(int64_t handle) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  StopCaptures(dev, kCaptureAborted);
  return kOk;
}

int32_t ScannerCore::Impl::Extract(int64_t handle, int32_t capacity, uint8_t* templ, int32_t* size,
                                   int32_t* quality) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = Find(handle, &dev); status != kOk) {
    return status;
  }
  if (templ == nullptr || size == nullptr || quality == nullptr || capacity < 0) {
    return kInvalidParameter;
  }
  std::shared_ptr<const Capture> capture;
  int32_t type = kTemplateIso19794_2;
  {
    std::lock_guard lock(dev->mutex);
    capture = dev->last;
    type = dev->settings.templateType;
  }
  if (!capture) {
    return kNoImage;
  }
  const engine::Extraction& extraction = capture->Features();
  if (extraction.quality <= 0 || extraction.features.minutiae.size() < kMinMinutiae) {
    return kNoFinger;
  }
  const auto format = static_cast<codec::TemplateFormat>(type);
  std::vector<uint8_t> record;
  switch (FitRecord(format, extraction.features, static_cast<size_t>(capacity), &record)) {
    case FitResult::kOk:
      break;
    case FitResult::kTooSmall:
      return kBufferTooSmall;
    case FitResult::kFailed:
      return kFailed;
  }
  std::memcpy(templ, record.data(), record.size());
  *size = static_cast<int32_t>(record.size());
  *quality = std::clamp(extraction.quality, 0, 100);
  return kOk;
}

int32_t ScannerCore::Extract(int64_t handle, uint8_t* templ, int32_t* size, int32_t* quality) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  int32_t capacity = 0;
  {
    std::lock_guard lock(dev->mutex);
    capacity = dev->settings.templateSize;
  }
  return impl_->Extract(handle, capacity, templ, size, quality);
}

int32_t ScannerCore::ExtractEx(int64_t handle, int32_t capacity, uint8_t* templ, int32_t* size,
                               int32_t* quality) {
  return impl_->Extract(handle, capacity, templ, size, quality);
}

int32_t ScannerCore::SetEncryptionKey(int64_t handle, const uint8_t* key) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (key == nullptr) {
    return kInvalidParameter;
  }
  std::lock_guard lock(dev->mutex);
  std::copy(key, key + kEncryptionKeySize, dev->settings.key.begin());
  return kOk;
}

int32_t ScannerCore::EncryptTemplate(int64_t handle, const uint8_t* in, int32_t inSize,
                                     uint8_t* out, int32_t* outSize) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (in == nullptr || out == nullptr || outSize == nullptr || inSize <= 0 ||
      inSize > kMaxTemplateSize) {
    return kInvalidParameter;
  }
  if (*outSize < inSize + static_cast<int32_t>(kSealOverhead)) {
    return kBufferTooSmall;
  }
  TemplateKey key{};
  {
    std::lock_guard lock(dev->mutex);
    key = dev->settings.key;
  }
  std::vector<uint8_t> sealed;
  if (!SealTemplate(key, {in, static_cast<size_t>(inSize)}, &sealed)) {
    return kFailed;
  }
  std::memcpy(out, sealed.data(), sealed.size());
  *outSize = static_cast<int32_t>(sealed.size());
  return kOk;
}

int32_t ScannerCore::DecryptTemplate(int64_t handle, const uint8_t* in, int32_t inSize,
                                     uint8_t* out, int32_t* outSize) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (in == nullptr || out == nullptr || outSize == nullptr || inSize < 0 ||
      inSize > kMaxTemplateSize + static_cast<int32_t>(kSealOverhead)) {
    return kInvalidParameter;
  }
  if (inSize <= static_cast<int32_t>(kSealOverhead)) {
    return kCryptoFailed;  // too short to hold a tag and a template
  }
  if (*outSize < inSize - static_cast<int32_t>(kSealOverhead)) {
    return kBufferTooSmall;
  }
  TemplateKey key{};
  {
    std::lock_guard lock(dev->mutex);
    key = dev->settings.key;
  }
  std::vector<uint8_t> plain;
  if (!OpenTemplate(key, {in, static_cast<size_t>(inSize)}, &plain)) {
    return kCryptoFailed;
  }
  std::memcpy(out, plain.data(), plain.size());
  *outSize = static_cast<int32_t>(plain.size());
  return kOk;
}

int32_t ScannerCore::GetCaptureImageInfo(int64_t handle, int32_t* width, int32_t* height,
                                         int32_t* resolution) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (width == nullptr || height == nullptr || resolution == nullptr) {
    return kInvalidParameter;
  }
  std::lock_guard lock(dev->mutex);
  if (!dev->last) {
    return kNoImage;
  }
  // Remembered, so that GetCaptureImage never writes more than what was announced here even
  // when a live frame of another size (a swipe sensor's) arrives in between.
  dev->reported = dev->last;
  *width = dev->last->frame.width;
  *height = dev->last->frame.height;
  *resolution = dev->last->frame.ppi;
  return kOk;
}

int32_t ScannerCore::GetCaptureImage(int64_t handle, uint8_t* pixels) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (pixels == nullptr) {
    return kInvalidParameter;
  }
  std::shared_ptr<const Capture> capture;
  {
    std::lock_guard lock(dev->mutex);
    if (!dev->last) {
      return kNoImage;
    }
    capture = dev->last;
    if (dev->reported && !SameSize(*dev->reported, *capture)) {
      capture = dev->reported;
    }
  }
  std::memcpy(pixels, capture->frame.pixels.data(), capture->frame.pixels.size());
  return kOk;
}

int32_t ScannerCore::SaveCaptureImageToBmpFile(int64_t handle, const char* path) {
  std::shared_ptr<const Capture> capture;
  if (const int32_t status = impl_->LastCapture(handle, &capture); status != kOk) {
    return status;
  }
  std::vector<uint8_t> bmp;
  if (!codec::BuildBmpFile(capture->frame.pixels, capture->frame.width, capture->frame.height,
                           &bmp)) {
    return kFailed;
  }
  return WriteFile(path, bmp);
}

int32_t ScannerCore::SaveCaptureImageToDatFile(int64_t handle, const char* path) {
  std::shared_ptr<const Capture> capture;
  if (const int32_t status = impl_->LastCapture(handle, &capture); status != kOk) {
    return status;
  }
  const Frame& f = capture->frame;
  // 16-byte little-endian header, then the pixels, top row first (see README.md).
  std::vector<uint8_t> dat = {'V', 'S', 'R', 'I'};
  for (uint16_t field :
       {uint16_t{1}, uint16_t{16}, static_cast<uint16_t>(f.width), static_cast<uint16_t>(f.height),
        static_cast<uint16_t>(f.ppi), uint16_t{8}}) {
    dat.push_back(static_cast<uint8_t>(field & 0xFF));
    dat.push_back(static_cast<uint8_t>(field >> 8));
  }
  dat.insert(dat.end(), f.pixels.begin(), f.pixels.end());
  return WriteFile(path, dat);
}

int32_t ScannerCore::SaveCaptureImageToWsqFile(int64_t handle, float ratio, const char* path) {
  std::shared_ptr<const Capture> capture;
  if (const int32_t status = impl_->LastCapture(handle, &capture); status != kOk) {
    return status;
  }
  const Frame& f = capture->frame;
  codec::WsqEncodeOptions options;
  options.bitRate = codec::WsqBitRateForCompressionRatio(ratio);
  options.ppi = f.ppi;
  std::vector<uint8_t> wsq;
  if (codec::EncodeWsq(f.pixels, f.width, f.height, options, &wsq) != codec::WsqError::kOk) {
    return kFailed;
  }
  return WriteFile(path, wsq);
}

int32_t ScannerCore::GetErrorString(int32_t code, char* text) {
  if (text == nullptr) {
    return kInvalidParameter;
  }
  CopyStatusMessage(code, text, kErrorTextSize);
  return kOk;
}

int32_t ScannerCore::GetTemplateType(int64_t handle, int32_t* type) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (type == nullptr) {
    return kInvalidParameter;
  }
  std::lock_guard lock(dev->mutex);
  *type = dev->settings.templateType;
  return kOk;
}

int32_t ScannerCore::SetTemplateType(int64_t handle, int32_t type) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (type != kTemplateIso19794_2 && type != kTemplateAnsi378) {
    return kNotSupported;
  }
  std::lock_guard lock(dev->mutex);
  dev->settings.templateType = type;
  return kOk;
}
int32_t ScannerCore::Impl::Select(int64_t handle, int32_t capacity, const uint8_t* const* templates,
                                  const int32_t* sizes, int32_t inCount, uint8_t* const* outs,
                                  int32_t* outSizes, int32_t outCount) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = Find(handle, &dev); status != kOk) {
    return status;
  }
  if (templates == nullptr || sizes == nullptr || outs == nullptr || outSizes == nullptr ||
      inCount < 2 || inCount > 16 || outCount < 1 || outCount > inCount || capacity < 0) {
    return kInvalidParameter;
  }
  for (int32_t i = 0; i < inCount; ++i) {
    if (templates[i] == nullptr || sizes[i] <= 0 || sizes[i] > kMaxTemplateSize) {
      return kInvalidTemplate;
    }
  }
  for (int32_t i = 0; i < outCount; ++i) {
    if (outs[i] == nullptr) {
      return kInvalidParameter;
    }
  }
  // Mutual scores; a template that cannot be read fails the whole selection.
  std::vector<int32_t> score(static_cast<size_t>(inCount * inCount), 0);
  std::vector<int32_t> consistency(static_cast<size_t>(inCount), 0);
  for (int32_t i = 0; i < inCount; ++i) {
    for (int32_t j = i + 1; j < inCount; ++j) {
      int32_t ab = 0, ba = 0;
      if (CompareTemplates(templates[i], sizes[i], templates[j], sizes[j], &ab) != kOk ||
          CompareTemplates(templates[j], sizes[j], templates[i], sizes[i], &ba) != kOk) {
        return kInvalidTemplate;
      }
      const int32_t s = std::min(ab, ba);
      score[i * inCount + j] = score[j * inCount + i] = s;
      consistency[i] += s;
      consistency[j] += s;
    }
  }
  // The best-agreeing pair, ties going to the pair that agrees best with the rest.
  int32_t bestI = 0, bestJ = 1;
  for (int32_t i = 0; i < inCount; ++i) {
    for (int32_t j = i + 1; j < inCount; ++j) {
      const int32_t s = score[i * inCount + j];
      const int32_t best = score[bestI * inCount + bestJ];
      if (s > best || (s == best &&
                       consistency[i] + consistency[j] > consistency[bestI] + consistency[bestJ])) {
        bestI = i;
        bestJ = j;
      }
    }
  }
  if (score[bestI * inCount + bestJ] < SelectMinScore()) {
    return kSelectionFailed;
  }
  std::vector<int32_t> order = {bestI, bestJ};
  if (consistency[bestJ] > consistency[bestI]) {
    std::swap(order[0], order[1]);
  }
  std::vector<int32_t> rest;
  for (int32_t i = 0; i < inCount; ++i) {
    if (i != bestI && i != bestJ) {
      rest.push_back(i);
    }
  }
  std::stable_sort(rest.begin(), rest.end(),
                   [&](int32_t a, int32_t b) { return consistency[a] > consistency[b]; });
  order.insert(order.end(), rest.begin(), rest.end());
  for (int32_t k = 0; k < outCount; ++k) {
    if (sizes[order[k]] > capacity) {
      return kBufferTooSmall;
    }
  }
  for (int32_t k = 0; k < outCount; ++k) {
    std::memcpy(outs[k], templates[order[k]], static_cast<size_t>(sizes[order[k]]));
    outSizes[k] = sizes[order[k]];
  }
  return kOk;
}

int32_t ScannerCore::SelectTemplate(int64_t handle, const uint8_t* const* templates,
                                    const int32_t* sizes, int32_t inCount, uint8_t* const* outs,
                                    int32_t* outSizes, int32_t outCount) {
  return impl_->Select(handle, kMaxTemplateSize, templates, sizes, inCount, outs, outSizes,
                       outCount);
}

int32_t ScannerCore::SelectTemplateEx(int64_t handle, int32_t capacity,
                                      const uint8_t* const* templates, const int32_t* sizes,
                                      int32_t inCount, uint8_t* const* outs, int32_t* outSizes,
                                      int32_t outCount) {
  return impl_->Select(handle, capacity, templates, sizes, inCount, outs, outSizes, outCount);
}

}  // namespace devicelib
