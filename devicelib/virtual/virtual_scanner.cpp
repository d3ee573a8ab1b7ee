#include "devicelib/virtual/virtual_scanner.h"

#include "codec/wsq/wsq.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "codec/bmp.h"
#include "codec/template/minutiae_record.h"
#include "devicelib/matcher/minutiae_matcher.h"
#include "devicelib/status.h"
#include "devicelib/virtual/control_socket.h"
#include "devicelib/virtual/synthetic_finger.h"
#include "devicelib/virtual/template_cipher.h"

namespace devicelib {

std::unique_ptr<ScannerLib> CreateVirtualScannerLib() {
  return std::make_unique<virt::VirtualScannerLib>(virt::OptionsFromEnvironment());
}

namespace virt {
namespace {

using Clock = std::chrono::steady_clock;

// Fewer minutiae than this is no usable fingerprint: extraction answers -301.
constexpr size_t kMinMinutiae = 4;
// The two templates chosen by SelectTemplate must match each other at the matcher's strictest
// security level: enrolment keeps them as the user's reference, so a chance agreement between
// two different fingers must not pass (genuine pairs score far above this).
int32_t SelectMinScore() {
  return SecurityLevelThreshold(kMaxSecurityLevel);
}

struct Settings {
  int32_t timeoutMs = kDefaultCaptureTimeoutMs;
  int32_t brightness = kDefaultBrightness;
  int32_t sensitivity = kDefaultSensitivity;
  int32_t templateSize = kMaxTemplateSize;
  int32_t templateType = kTemplateIso19794_2;
  TemplateKey key = DefaultTemplateKey();
};

// One captured frame: the image as delivered, and for a finger the features extraction reports.
struct Capture {
  std::vector<uint8_t> pixels;
  bool hasFinger = false;
  codec::FingerTemplate features;
  int32_t quality = 0;
};

struct Device {
  Device(uint32_t serialNumber, int32_t typeCode, std::string idText)
      : serial(serialNumber), type(typeCode), id(std::move(idText)) {}

  const uint32_t serial;
  const int32_t type;
  const std::string id;

  std::mutex mutex;
  std::condition_variable changed;  // finger placed, abort, worker joined
  // Guarded by mutex:
  bool attached = true;
  bool fingerOn = true;  // finger 1 rests on every new device, so first captures succeed
  uint32_t finger = 1;
  int32_t placementQuality = kDefaultPlacementQuality;
  Settings settings;
  // Bumped by AbortCapturing, Uninit and unplugging: ends every wait and worker started before.
  uint64_t abortGeneration = 0;
  int32_t waitingCaptures = 0;  // CaptureSingleImage calls in progress
  bool streaming = false;       // a live or auto-capture worker is active
  std::thread worker;
  int32_t joinsInProgress = 0;
  uint32_t impressionCounter = 0;
  std::shared_ptr<const Capture> last;  // null: nothing captured since Init
};

// The device whose worker runs on this thread, so that calls made from inside the image
// callback never wait for their own thread.
thread_local const Device* tlWorkerDevice = nullptr;

struct Shot {
  bool finger = false;
  uint32_t identity = 0;
  int32_t placementQuality = 0;
  uint32_t impression = 0;
  int32_t brightness = kDefaultBrightness;
  int32_t sensitivity = kDefaultSensitivity;
};

// Called with the device's mutex held.
Shot TakeShot(Device& dev, uint32_t salt) {
  Shot s;
  s.finger = dev.fingerOn;
  s.identity = dev.finger;
  s.placementQuality = dev.placementQuality;
  s.impression = salt + dev.serial * 0x9E3779B1u + dev.impressionCounter++;
  s.brightness = dev.settings.brightness;
  s.sensitivity = dev.settings.sensitivity;
  return s;
}

// Brightness shifts the grey levels (+-80 at the ends of its range); sensitivity scales the
// contrast around mid-grey (0.4x .. 1.6x).
void ApplyTone(std::vector<uint8_t>& pixels, int32_t brightness, int32_t sensitivity) {
  if (brightness == kDefaultBrightness && sensitivity == kDefaultSensitivity) {
    return;
  }
  const float offset = 1.6f * static_cast<float>(brightness - 50);
  const float gain = 0.4f + 1.2f * static_cast<float>(sensitivity) / 100.0f;
  std::array<uint8_t, 256> table{};
  for (int v = 0; v < 256; ++v) {
    const float out = (static_cast<float>(v) - 128) * gain + 128 + offset;
    table[v] = static_cast<uint8_t>(std::clamp(std::lround(out), 0L, 255L));
  }
  for (uint8_t& p : pixels) {
    p = table[p];
  }
}

std::shared_ptr<const Capture> Render(const Shot& shot) {
  auto capture = std::make_shared<Capture>();
  if (shot.finger) {
    Impression imp = MakeImpression(shot.identity, shot.impression, shot.placementQuality);
    capture->pixels = std::move(imp.pixels);
    capture->features = std::move(imp.features);
    capture->quality = imp.quality;
    capture->hasFinger = true;
  } else {
    capture->pixels = MakeEmptySensorImage(shot.impression);
  }
  ApplyTone(capture->pixels, shot.brightness, shot.sensitivity);
  return capture;
}

// Live capture (one frame every 1/15 s until aborted) or auto capture (wait for a finger, one
// image, done). Touches only the device, never the library object, so it cannot outlive what
// it uses.
void RunWorker(std::shared_ptr<Device> dev, ImageCallback callback, void* user, int64_t handle,
               bool live, uint64_t generation, uint32_t salt) {
  tlWorkerDevice = dev.get();
  const auto period = std::chrono::microseconds(1000000 / kLiveFramesPerSecond);
  auto next = Clock::now();
  uintptr_t frame = 0;
  std::unique_lock lock(dev->mutex);
  for (;;) {
    if (!live) {
      dev->changed.wait(lock, [&] { return dev->abortGeneration != generation || dev->fingerOn; });
    }
    if (dev->abortGeneration != generation) {
      break;
    }
    const Shot shot = TakeShot(*dev, salt);
    lock.unlock();
    std::shared_ptr<const Capture> capture = Render(shot);
    lock.lock();
    if (dev->abortGeneration != generation) {
      break;
    }
    dev->last = capture;
    lock.unlock();
    // No lock is held here: the callback may call back into the library, AbortCapturing too.
    callback(reinterpret_cast<void*>(static_cast<intptr_t>(handle)),
             reinterpret_cast<void*>(frame++), capture->pixels.data(), kImageWidth, kImageHeight,
             reinterpret_cast<void*>(static_cast<intptr_t>(kImageResolutionPpi)), user);
    lock.lock();
    if (!live) {
      break;
    }
    next = std::max(next + period, Clock::now());
    dev->changed.wait_until(lock, next, [&] { return dev->abortGeneration != generation; });
  }
  if (dev->abortGeneration == generation) {
    dev->streaming = false;
  }
  tlWorkerDevice = nullptr;
}

// Ends every capture on the device and waits until its worker has stopped (unless called from
// that very worker, whose thread then stays to be joined later).
void StopCaptures(const std::shared_ptr<Device>& dev, bool detach) {
  std::thread worker;
  {
    std::lock_guard lock(dev->mutex);
    ++dev->abortGeneration;
    dev->streaming = false;
    if (detach) {
      dev->attached = false;
    }
    worker = std::move(dev->worker);
    if (worker.joinable()) {
      if (worker.get_id() == std::this_thread::get_id()) {
        dev->worker = std::move(worker);
      } else {
        ++dev->joinsInProgress;
      }
    }
    dev->changed.notify_all();
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

bool ParseInt(const std::string& text, int64_t* value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end;
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

const char* DeviceTypeName(int32_t type) {
  switch (type) {
    case kTypeKq10:
      return "KQ10";
    case kTypeKq20:
      return "KQ20";
    case kTypeKq21:
      return "KQ21";
    case kTypeTessaroDuo:
      return "Tessaro Duo";
    case kTypeTessaroFlat:
      return "Tessaro Flat";
    default:
      return nullptr;
  }
}

VirtualScannerOptions OptionsFromEnvironment() {
  VirtualScannerOptions options;
  int64_t count = 1;
  if (const char* text = std::getenv("WEBAGENT_VIRTUAL_SCANNERS"); text != nullptr && *text) {
    if (!ParseInt(text, &count) || count < 0 || count > 8) {
      std::fprintf(stderr, "WEBAGENT_VIRTUAL_SCANNERS=\"%s\" is not a number 0..8; using 1\n",
                   text);
      count = 1;
    }
  }
  std::vector<int32_t> types;
  if (const char* text = std::getenv("WEBAGENT_VIRTUAL_SCANNER_TYPES"); text != nullptr && *text) {
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
      int64_t code = 0;
      if (!ParseInt(item, &code) || DeviceTypeName(static_cast<int32_t>(code)) == nullptr) {
        std::fprintf(stderr, "WEBAGENT_VIRTUAL_SCANNER_TYPES: \"%s\" is no type 1001..1005\n",
                     item.c_str());
        types.clear();
        break;
      }
      types.push_back(static_cast<int32_t>(code));
    }
  }
  for (int64_t i = 0; i < count; ++i) {
    options.types.push_back(types.empty() ? kDefaultType
                                          : types[std::min<size_t>(i, types.size() - 1)]);
  }
  return options;
}

class VirtualScannerLib::Impl {
 public:
  struct Slot {
    std::shared_ptr<Device> device;
    int64_t handle = 0;  // 0 while not initialised
  };

  Impl() : random_(std::random_device{}()) { salt = static_cast<uint32_t>(random_()); }

  // Called with mutex held.
  std::shared_ptr<Device> NewDevice(int32_t type) {
    const uint32_t serial = nextSerial++;
    char id[32];
    std::snprintf(id, sizeof(id), "VS-%04u-%04X", serial,
                  static_cast<unsigned>((salt ^ (serial * 0x2545F491u)) >> 16) & 0xFFFFu);
    return std::make_shared<Device>(serial, type, id);
  }

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

  int32_t Extract(int64_t handle, int32_t capacity, uint8_t* templ, int32_t* size,
                  int32_t* quality);
  int32_t Select(int64_t handle, int32_t capacity, const uint8_t* const* templates,
                 const int32_t* sizes, int32_t inCount, uint8_t* const* outs, int32_t* outSizes,
                 int32_t outCount);
  int32_t StartWorker(int64_t handle, ImageCallback callback, void* user, bool live);
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

  std::mutex mutex;  // guards everything below; taken before any device's mutex
  bool initialised = false;
  std::vector<Slot> slots;  // attached devices in enumeration order
  ScannerCallback eventCallback = nullptr;
  void* eventUser = nullptr;
  uint32_t nextSerial = 1;
  uint32_t salt = 0;  // makes impressions differ between runs of the agent
  std::mt19937_64 random_;
  std::unique_ptr<ControlServer> control;
};

VirtualScannerLib::VirtualScannerLib(const VirtualScannerOptions& options)
    : impl_(std::make_unique<Impl>()) {
  {
    std::lock_guard lock(impl_->mutex);
    for (int32_t type : options.types) {
      if (static_cast<int32_t>(impl_->slots.size()) < kMaxDevices) {
        impl_->slots.push_back({impl_->NewDevice(type), 0});
      }
    }
  }
  if (options.controlSocket) {
    impl_->control = std::make_unique<ControlServer>(
        [this](const std::string& request) { return HandleControlRequest(request); });
    std::string error;
    if (!impl_->control->Start(ControlSocketPath(), &error)) {
      std::fprintf(stderr, "virtual scanner: no control socket (%s)\n", error.c_str());
      impl_->control.reset();
    }
  }
}

VirtualScannerLib::~VirtualScannerLib() {
  if (impl_->control) {
    impl_->control->Stop();
  }
  std::vector<std::shared_ptr<Device>> devices;
  {
    std::lock_guard lock(impl_->mutex);
    for (const Impl::Slot& s : impl_->slots) {
      devices.push_back(s.device);
    }
  }
  for (const auto& dev : devices) {
    StopCaptures(dev, false);
    std::lock_guard lock(dev->mutex);
    if (dev->worker.joinable()) {
      dev->worker.detach();  // destroyed from inside its own image callback
    }
  }
}

int32_t VirtualScannerLib::Init() {
  std::lock_guard lock(impl_->mutex);
  if (impl_->initialised) {
    return kAlreadyInitialised;
  }
  impl_->initialised = true;
  for (Impl::Slot& s : impl_->slots) {
    s.handle = impl_->NewHandle();
    std::lock_guard devLock(s.device->mutex);
    s.device->settings = Settings{};
    s.device->last.reset();
  }
  return kOk;
}

int32_t VirtualScannerLib::Uninit() {
  std::vector<std::shared_ptr<Device>> devices;
  {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->initialised) {
      return kNotInitialised;
    }
    impl_->initialised = false;
    for (Impl::Slot& s : impl_->slots) {
      s.handle = 0;
      devices.push_back(s.device);
    }
  }
  for (const auto& dev : devices) {
    StopCaptures(dev, false);
  }
  return kOk;
}

int32_t VirtualScannerLib::SetScannerCallback(ScannerCallback callback, void* user) {
  std::lock_guard lock(impl_->mutex);
  impl_->eventCallback = callback;
  impl_->eventUser = user;
  return kOk;
}

int32_t VirtualScannerLib::GetScannerNumber(int32_t* count) {
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

int32_t VirtualScannerLib::GetScannerHandle(int32_t index, int64_t* handle) {
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

int32_t VirtualScannerLib::GetScannerID(int64_t handle, char* id) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (id == nullptr) {
    return kInvalidParameter;
  }
  std::snprintf(id, kIdTextSize, "%s", dev->id.c_str());
  return kOk;
}

int32_t VirtualScannerLib::GetScannerType(int64_t handle, int32_t* type) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (type == nullptr) {
    return kInvalidParameter;
  }
  *type = dev->type;
  return kOk;
}

int32_t VirtualScannerLib::GetParameter(int64_t handle, int32_t id, int32_t* value) {
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
    // A KQ10 has fixed optics; it still reports the level it works at.
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

int32_t VirtualScannerLib::SetParameter(int64_t handle, int32_t id, const int32_t* value) {
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
      if (dev->type == kTypeKq10) {
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

int32_t VirtualScannerLib::IsSensorOn(int64_t handle, int32_t* flag) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (flag == nullptr) {
    return kInvalidParameter;
  }
  std::lock_guard lock(dev->mutex);
  *flag = dev->fingerOn ? 1 : 0;
  return kOk;
}

int32_t VirtualScannerLib::CaptureSingleImage(int64_t handle) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  std::unique_lock lock(dev->mutex);
  if (dev->streaming) {
    return kDeviceBusy;
  }
  const uint64_t generation = dev->abortGeneration;
  const auto deadline = Clock::now() + std::chrono::milliseconds(dev->settings.timeoutMs);
  ++dev->waitingCaptures;
  const bool placed = dev->changed.wait_until(
      lock, deadline, [&] { return dev->fingerOn || dev->abortGeneration != generation; });
  int32_t status = kOk;
  if (dev->abortGeneration == generation && placed) {
    const Shot shot = TakeShot(*dev, impl_->salt);
    lock.unlock();
    std::shared_ptr<const Capture> capture = Render(shot);
    lock.lock();
    if (dev->abortGeneration == generation) {
      dev->last = std::move(capture);
    }
  }
  if (dev->abortGeneration != generation) {
    status = dev->attached ? kCaptureAborted : kDeviceRemoved;
  } else if (!placed) {
    status = kCaptureTimeout;
  }
  --dev->waitingCaptures;
  return status;
}

int32_t VirtualScannerLib::Impl::StartWorker(int64_t handle, ImageCallback callback, void* user,
                                             bool live) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = Find(handle, &dev); status != kOk) {
    return status;
  }
  if (callback == nullptr) {
    return kInvalidParameter;
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
  dev->streaming = true;
  dev->worker =
      std::thread(RunWorker, dev, callback, user, handle, live, dev->abortGeneration, salt);
  return kOk;
}

int32_t VirtualScannerLib::StartCapturing(int64_t handle, ImageCallback callback, void* user) {
  return impl_->StartWorker(handle, callback, user, true);
}

int32_t VirtualScannerLib::StartAutoCapture(int64_t handle, ImageCallback callback, void* user) {
  return impl_->StartWorker(handle, callback, user, false);
}

int32_t VirtualScannerLib::IsCapturing(int64_t handle, int32_t* flag) {
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

int32_t VirtualScannerLib::AbortCapturing(int64_t handle) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  StopCaptures(dev, false);
  return kOk;
}

int32_t VirtualScannerLib::Impl::Extract(int64_t handle, int32_t capacity, uint8_t* templ,
                                         int32_t* size, int32_t* quality) {
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
  if (!capture->hasFinger || capture->features.minutiae.size() < kMinMinutiae) {
    return kNoFinger;
  }
  const auto format = static_cast<codec::TemplateFormat>(type);
  codec::FingerTemplate features = capture->features;
  // Best minutiae first, so that trimming to the capacity drops the least reliable ones.
  std::stable_sort(
      features.minutiae.begin(), features.minutiae.end(),
      [](const codec::Minutia& a, const codec::Minutia& b) { return a.quality > b.quality; });
  if (features.minutiae.size() > 255) {
    features.minutiae.resize(255);
  }
  std::vector<uint8_t> record;
  if (codec::EncodeMinutiaeRecord(format, features, &record) != codec::RecordError::kOk) {
    return kFailed;
  }
  if (record.size() > static_cast<size_t>(capacity)) {
    const size_t perMinutia = 6;
    const size_t overhead = record.size() - perMinutia * features.minutiae.size();
    if (overhead > static_cast<size_t>(capacity)) {
      return kBufferTooSmall;
    }
    features.minutiae.resize((static_cast<size_t>(capacity) - overhead) / perMinutia);
    if (codec::EncodeMinutiaeRecord(format, features, &record) != codec::RecordError::kOk ||
        record.size() > static_cast<size_t>(capacity)) {
      return kFailed;
    }
  }
  std::memcpy(templ, record.data(), record.size());
  *size = static_cast<int32_t>(record.size());
  *quality = capture->quality;
  return kOk;
}

int32_t VirtualScannerLib::Extract(int64_t handle, uint8_t* templ, int32_t* size,
                                   int32_t* quality) {
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

int32_t VirtualScannerLib::ExtractEx(int64_t handle, int32_t capacity, uint8_t* templ,
                                     int32_t* size, int32_t* quality) {
  return impl_->Extract(handle, capacity, templ, size, quality);
}

int32_t VirtualScannerLib::SetEncryptionKey(int64_t handle, const uint8_t* key) {
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

int32_t VirtualScannerLib::EncryptTemplate(int64_t handle, const uint8_t* in, int32_t inSize,
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

int32_t VirtualScannerLib::DecryptTemplate(int64_t handle, const uint8_t* in, int32_t inSize,
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

int32_t VirtualScannerLib::GetCaptureImageInfo(int64_t handle, int32_t* width, int32_t* height,
                                               int32_t* resolution) {
  std::shared_ptr<Device> dev;
  if (const int32_t status = impl_->Find(handle, &dev); status != kOk) {
    return status;
  }
  if (width == nullptr || height == nullptr || resolution == nullptr) {
    return kInvalidParameter;
  }
  // The sensor's geometry: the same for every frame of every model.
  *width = kImageWidth;
  *height = kImageHeight;
  *resolution = kImageResolutionPpi;
  return kOk;
}

int32_t VirtualScannerLib::GetCaptureImage(int64_t handle, uint8_t* pixels) {
  std::shared_ptr<const Capture> capture;
  if (const int32_t status = impl_->LastCapture(handle, &capture); status != kOk) {
    return status;
  }
  if (pixels == nullptr) {
    return kInvalidParameter;
  }
  std::memcpy(pixels, capture->pixels.data(), capture->pixels.size());
  return kOk;
}

int32_t VirtualScannerLib::SaveCaptureImageToBmpFile(int64_t handle, const char* path) {
  std::shared_ptr<const Capture> capture;
  if (const int32_t status = impl_->LastCapture(handle, &capture); status != kOk) {
    return status;
  }
  std::vector<uint8_t> bmp;
  if (!codec::BuildBmpFile(capture->pixels, kImageWidth, kImageHeight, &bmp)) {
    return kFailed;
  }
  return WriteFile(path, bmp);
}

int32_t VirtualScannerLib::SaveCaptureImageToDatFile(int64_t handle, const char* path) {
  std::shared_ptr<const Capture> capture;
  if (const int32_t status = impl_->LastCapture(handle, &capture); status != kOk) {
    return status;
  }
  // 16-byte little-endian header, then the pixels, top row first (see README.md).
  std::vector<uint8_t> dat = {'V', 'S', 'R', 'I'};
  for (uint16_t field : {uint16_t{1}, uint16_t{16}, static_cast<uint16_t>(kImageWidth),
                         static_cast<uint16_t>(kImageHeight),
                         static_cast<uint16_t>(kImageResolutionPpi), uint16_t{8}}) {
    dat.push_back(static_cast<uint8_t>(field & 0xFF));
    dat.push_back(static_cast<uint8_t>(field >> 8));
  }
  dat.insert(dat.end(), capture->pixels.begin(), capture->pixels.end());
  return WriteFile(path, dat);
}

int32_t VirtualScannerLib::SaveCaptureImageToWsqFile(int64_t handle, float ratio,
                                                     const char* path) {
  std::shared_ptr<const Capture> capture;
  if (const int32_t status = impl_->LastCapture(handle, &capture); status != kOk) {
    return status;
  }
  codec::WsqEncodeOptions options;
  options.bitRate = codec::WsqBitRateForCompressionRatio(ratio);
  options.ppi = kImageResolutionPpi;
  std::vector<uint8_t> wsq;
  if (codec::EncodeWsq(capture->pixels, kImageWidth, kImageHeight, options, &wsq) !=
      codec::WsqError::kOk) {
    return kFailed;
  }
  return WriteFile(path, wsq);
}

int32_t VirtualScannerLib::GetErrorString(int32_t code, char* text) {
  if (text == nullptr) {
    return kInvalidParameter;
  }
  CopyStatusMessage(code, text, kErrorTextSize);
  return kOk;
}

int32_t VirtualScannerLib::GetTemplateType(int64_t handle, int32_t* type) {
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

int32_t VirtualScannerLib::SetTemplateType(int64_t handle, int32_t type) {
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

int32_t VirtualScannerLib::Impl::Select(int64_t handle, int32_t capacity,
                                        const uint8_t* const* templates, const int32_t* sizes,
                                        int32_t inCount, uint8_t* const* outs, int32_t* outSizes,
                                        int32_t outCount) {
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

int32_t VirtualScannerLib::SelectTemplate(int64_t handle, const uint8_t* const* templates,
                                          const int32_t* sizes, int32_t inCount,
                                          uint8_t* const* outs, int32_t* outSizes,
                                          int32_t outCount) {
  return impl_->Select(handle, kMaxTemplateSize, templates, sizes, inCount, outs, outSizes,
                       outCount);
}

int32_t VirtualScannerLib::SelectTemplateEx(int64_t handle, int32_t capacity,
                                            const uint8_t* const* templates, const int32_t* sizes,
                                            int32_t inCount, uint8_t* const* outs,
                                            int32_t* outSizes, int32_t outCount) {
  return impl_->Select(handle, capacity, templates, sizes, inCount, outs, outSizes, outCount);
}

// ---------------------------------------------------------------------------------------------
// Control.

std::vector<DeviceState> VirtualScannerLib::ListDevices() {
  std::vector<DeviceState> list;
  std::lock_guard lock(impl_->mutex);
  for (size_t i = 0; i < impl_->slots.size(); ++i) {
    const Impl::Slot& s = impl_->slots[i];
    std::lock_guard devLock(s.device->mutex);
    DeviceState state;
    state.index = static_cast<int32_t>(i);
    state.handle = s.handle;
    state.id = s.device->id;
    state.type = s.device->type;
    state.fingerOn = s.device->fingerOn;
    state.finger = s.device->finger;
    state.placementQuality = s.device->placementQuality;
    state.capturing = s.device->streaming || s.device->waitingCaptures > 0;
    list.push_back(state);
  }
  return list;
}

int32_t VirtualScannerLib::PlaceFinger(int32_t index, uint32_t finger, int32_t placementQuality) {
  if (placementQuality < 0 || placementQuality > 100) {
    return kInvalidParameter;
  }
  std::lock_guard lock(impl_->mutex);
  if (index < 0 || index >= static_cast<int32_t>(impl_->slots.size())) {
    return kInvalidHandle;
  }
  Device& dev = *impl_->slots[static_cast<size_t>(index)].device;
  std::lock_guard devLock(dev.mutex);
  dev.fingerOn = true;
  dev.finger = finger;
  dev.placementQuality = placementQuality;
  dev.changed.notify_all();
  return kOk;
}

int32_t VirtualScannerLib::LiftFinger(int32_t index) {
  std::lock_guard lock(impl_->mutex);
  if (index < 0 || index >= static_cast<int32_t>(impl_->slots.size())) {
    return kInvalidHandle;
  }
  Device& dev = *impl_->slots[static_cast<size_t>(index)].device;
  std::lock_guard devLock(dev.mutex);
  dev.fingerOn = false;
  return kOk;
}

int32_t VirtualScannerLib::PlugDevice(int32_t type, int32_t* index) {
  // Any positive code is accepted: a device of a type the agent does not know lets pages see
  // how such a device is listed.
  if (type <= 0) {
    return kInvalidParameter;
  }
  ScannerCallback callback = nullptr;
  void* user = nullptr;
  int64_t handle = 0;
  {
    std::lock_guard lock(impl_->mutex);
    if (static_cast<int32_t>(impl_->slots.size()) >= kMaxDevices) {
      return kFailed;
    }
    Impl::Slot slot{impl_->NewDevice(type), 0};
    if (impl_->initialised) {
      slot.handle = impl_->NewHandle();
      handle = slot.handle;
      callback = impl_->eventCallback;
      user = impl_->eventUser;
    }
    impl_->slots.push_back(std::move(slot));
    if (index != nullptr) {
      *index = static_cast<int32_t>(impl_->slots.size() - 1);
    }
  }
  if (callback != nullptr) {
    callback(1, handle, user);
  }
  return kOk;
}

int32_t VirtualScannerLib::UnplugDevice(int32_t index) {
  std::shared_ptr<Device> dev;
  ScannerCallback callback = nullptr;
  void* user = nullptr;
  int64_t handle = 0;
  {
    std::lock_guard lock(impl_->mutex);
    if (index < 0 || index >= static_cast<int32_t>(impl_->slots.size())) {
      return kInvalidHandle;
    }
    const auto it = impl_->slots.begin() + index;
    dev = it->device;
    handle = it->handle;
    if (impl_->initialised) {
      callback = impl_->eventCallback;
      user = impl_->eventUser;
    }
    impl_->slots.erase(it);
  }
  StopCaptures(dev, true);
  if (callback != nullptr) {
    callback(2, handle, user);
  }
  return kOk;
}

std::string VirtualScannerLib::ControlPath() const {
  return impl_->control ? impl_->control->path() : std::string();
}

std::string VirtualScannerLib::HandleControlRequest(const std::string& request) {
  std::istringstream in(request);
  std::vector<std::string> words;
  for (std::string w; in >> w;) {
    words.push_back(w);
  }
  auto error = [](const std::string& message) { return "error\n" + message + "\n"; };
  auto number = [&](size_t i, int64_t lo, int64_t hi, int64_t* value) {
    return i < words.size() && ParseInt(words[i], value) && *value >= lo && *value <= hi;
  };
  auto noDevice = [&](int64_t index) {
    return error("no device " + std::to_string(index) + " (see: virtual-scanner list)");
  };
  if (words.empty()) {
    return error("empty request");
  }
  const std::string& command = words[0];
  int64_t device = 0;
  if (command == "list" && words.size() == 1) {
    std::ostringstream out;
    out << "ok\n";
    char line[256];
    std::snprintf(line, sizeof(line), "%-5s  %-19s  %-12s  %-17s  %s\n", "INDEX", "HANDLE", "ID",
                  "TYPE", "SENSOR");
    out << line;
    for (const DeviceState& d : ListDevices()) {
      const std::string handle = d.handle != 0 ? std::to_string(d.handle) : "-";
      const char* model = DeviceTypeName(d.type);
      std::string type = std::to_string(d.type) + " " + (model != nullptr ? model : "unknown");
      std::string sensor = d.fingerOn ? "finger " + std::to_string(d.finger) + " (quality " +
                                            std::to_string(d.placementQuality) + ")"
                                      : "empty";
      if (d.capturing) {
        sensor += ", capturing";
      }
      std::snprintf(line, sizeof(line), "%-5d  %-19s  %-12s  %-17s  %s\n", d.index, handle.c_str(),
                    d.id.c_str(), type.c_str(), sensor.c_str());
      out << line;
    }
    return out.str();
  }
  if (command == "place" && words.size() == 4) {
    int64_t finger = 0, quality = 0;
    if (!number(1, 0, INT32_MAX, &device)) {
      return error("bad device index: " + words[1]);
    }
    if (!number(2, 0, UINT32_MAX, &finger)) {
      return error("bad finger number (0..4294967295): " + words[2]);
    }
    if (!number(3, 0, 100, &quality)) {
      return error("bad quality (0..100): " + words[3]);
    }
    const int32_t status = PlaceFinger(static_cast<int32_t>(device), static_cast<uint32_t>(finger),
                                       static_cast<int32_t>(quality));
    return status == kOk ? "ok\n" : noDevice(device);
  }
  if ((command == "lift" || command == "unplug") && words.size() == 2) {
    if (!number(1, 0, INT32_MAX, &device)) {
      return error("bad device index: " + words[1]);
    }
    const auto index = static_cast<int32_t>(device);
    const int32_t status = command == "lift" ? LiftFinger(index) : UnplugDevice(index);
    return status == kOk ? "ok\n" : noDevice(device);
  }
  if (command == "plug" && words.size() <= 2) {
    int64_t type = kDefaultType;
    if (words.size() == 2 && !number(1, 1, INT32_MAX, &type)) {
      return error("bad device type: " + words[1] + " (a positive code, e.g. 1001..1005)");
    }
    int32_t index = 0;
    if (PlugDevice(static_cast<int32_t>(type), &index) != kOk) {
      return error("cannot plug more than " + std::to_string(kMaxDevices) + " devices");
    }
    return "ok\nplugged device " + std::to_string(index) + "\n";
  }
  return error("bad request: " + request);
}

}  // namespace virt
}  // namespace devicelib
