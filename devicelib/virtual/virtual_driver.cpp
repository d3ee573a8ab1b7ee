#include "devicelib/virtual/virtual_driver.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstdio>

#include "devicelib/status.h"
#include "devicelib/virtual/synthetic_finger.h"

namespace devicelib::virt {

struct VirtualDriver::Device {
  Device(uint32_t serialNumber, int32_t typeCode, std::string idText)
      : serial(serialNumber), type(typeCode), id(std::move(idText)) {}

  const uint32_t serial;
  const int32_t type;
  const std::string id;  // also the driver's key: it holds the unique serial number

  std::mutex mutex;
  std::condition_variable changed;  // finger placed, device unplugged, capture cancelled
  // Guarded by mutex:
  bool attached = true;
  bool fingerOn = true;  // finger 1 rests on every new device, so first captures succeed
  uint32_t finger = 1;
  int32_t placementQuality = kDefaultPlacementQuality;
  uint32_t impressionCounter = 0;
};

namespace {

struct Shot {
  bool finger = false;
  uint32_t identity = 0;
  int32_t placementQuality = 0;
  uint32_t impression = 0;
};

// Brightness shifts the grey levels (+-80 at the ends of its range); sensitivity scales the
// contrast around mid-grey (0.4x .. 1.6x).
void ApplyTone(std::vector<uint8_t>& pixels, int32_t brightness, int32_t sensitivity) {
  if (brightness == 50 && sensitivity == 50) {
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

VirtualDriver::VirtualDriver(const std::vector<int32_t>& types) {
  salt_ = static_cast<uint32_t>(std::random_device{}());
  std::lock_guard lock(mutex_);
  for (int32_t type : types) {
    if (static_cast<int32_t>(devices_.size()) < kMaxDevices) {
      devices_.push_back(NewDevice(type));
    }
  }
}

VirtualDriver::~VirtualDriver() = default;

std::shared_ptr<VirtualDriver::Device> VirtualDriver::NewDevice(int32_t type) {
  const uint32_t serial = nextSerial_++;
  char id[32];
  std::snprintf(id, sizeof(id), "VS-%04u-%04X", serial,
                static_cast<unsigned>((salt_ ^ (serial * 0x2545F491u)) >> 16) & 0xFFFFu);
  return std::make_shared<Device>(serial, type, id);
}

DriverDevice VirtualDriver::Describe(const Device& dev) {
  DriverDevice info;
  info.key = dev.id;
  info.id = dev.id;
  const char* model = DeviceTypeName(dev.type);
  info.model = model != nullptr ? model : "unknown";
  info.type = dev.type;
  info.toneControl = dev.type != kTypeKq10;  // a KQ10 has fixed optics
  return info;
}

std::shared_ptr<VirtualDriver::Device> VirtualDriver::FindKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  for (const auto& dev : devices_) {
    if (dev->id == key) {
      return dev;
    }
  }
  return nullptr;
}

std::vector<DriverDevice> VirtualDriver::Enumerate() {
  std::vector<DriverDevice> list;
  std::lock_guard lock(mutex_);
  for (const auto& dev : devices_) {
    list.push_back(Describe(*dev));
  }
  return list;
}

void VirtualDriver::SetEventSink(EventSink sink) {
  std::lock_guard lock(mutex_);
  sink_ = std::move(sink);
}

int32_t VirtualDriver::Open(const std::string& key) {
  return FindKey(key) ? kOk : kDeviceRemoved;
}

void VirtualDriver::Close(const std::string&) {}

int32_t VirtualDriver::Capture(const std::string& key, CaptureMode mode,
                               const CaptureSettings& settings, DriverClock::time_point deadline,
                               CaptureCancel& cancel, Frame* frame) {
  std::shared_ptr<Device> dev = FindKey(key);
  if (!dev || frame == nullptr) {
    return dev ? kInvalidParameter : kDeviceRemoved;
  }
  // Subscribed before the device's lock is taken: the hook takes it.
  const int token = cancel.Subscribe([dev] {
    std::lock_guard lock(dev->mutex);
    dev->changed.notify_all();
  });
  Shot shot;
  int32_t status = kOk;
  {
    std::unique_lock lock(dev->mutex);
    auto ready = [&] { return dev->fingerOn || !dev->attached || cancel.IsCancelled(); };
    bool placed = true;
    if (mode == CaptureMode::kWaitForFinger) {
      if (deadline == DriverClock::time_point::max()) {
        dev->changed.wait(lock, ready);
      } else {
        placed = dev->changed.wait_until(lock, deadline, ready);
      }
    }
    if (cancel.IsCancelled()) {
      status = cancel.status();
    } else if (!dev->attached) {
      status = kDeviceRemoved;
    } else if (!placed) {
      status = kCaptureTimeout;
    } else {
      shot.finger = dev->fingerOn;
      shot.identity = dev->finger;
      shot.placementQuality = dev->placementQuality;
      shot.impression = salt_ + dev->serial * 0x9E3779B1u + dev->impressionCounter++;
    }
  }
  cancel.Unsubscribe(token);
  if (status != kOk) {
    return status;
  }
  frame->pixels = shot.finger
                      ? MakeImpression(shot.identity, shot.impression, shot.placementQuality).pixels
                      : MakeEmptySensorImage(shot.impression);
  if (dev->type != kTypeKq10) {
    ApplyTone(frame->pixels, settings.brightness, settings.sensitivity);
  }
  frame->width = kImageWidth;
  frame->height = kImageHeight;
  frame->ppi = kImageResolutionPpi;
  return kOk;
}

int32_t VirtualDriver::FingerOn(const std::string& key, bool* on) {
  std::shared_ptr<Device> dev = FindKey(key);
  if (!dev) {
    return kDeviceRemoved;
  }
  std::lock_guard lock(dev->mutex);
  *on = dev->fingerOn;
  return kOk;
}

std::vector<VirtualDeviceState> VirtualDriver::List() {
  std::vector<VirtualDeviceState> list;
  std::lock_guard lock(mutex_);
  for (const auto& dev : devices_) {
    std::lock_guard devLock(dev->mutex);
    VirtualDeviceState state;
    state.key = dev->id;
    state.id = dev->id;
    state.type = dev->type;
    state.fingerOn = dev->fingerOn;
    state.finger = dev->finger;
    state.placementQuality = dev->placementQuality;
    list.push_back(state);
  }
  return list;
}

int32_t VirtualDriver::PlaceFinger(int32_t index, uint32_t finger, int32_t placementQuality) {
  if (placementQuality < 0 || placementQuality > 100) {
    return kInvalidParameter;
  }
  std::lock_guard lock(mutex_);
  if (index < 0 || index >= static_cast<int32_t>(devices_.size())) {
    return kInvalidHandle;
  }
  Device& dev = *devices_[static_cast<size_t>(index)];
  std::lock_guard devLock(dev.mutex);
  dev.fingerOn = true;
  dev.finger = finger;
  dev.placementQuality = placementQuality;
  dev.changed.notify_all();
  return kOk;
}

int32_t VirtualDriver::LiftFinger(int32_t index) {
  std::lock_guard lock(mutex_);
  if (index < 0 || index >= static_cast<int32_t>(devices_.size())) {
    return kInvalidHandle;
  }
  Device& dev = *devices_[static_cast<size_t>(index)];
  std::lock_guard devLock(dev.mutex);
  dev.fingerOn = false;
  return kOk;
}

int32_t VirtualDriver::PlugDevice(int32_t type, int32_t* index) {
  // Any positive code is accepted: a device of a type the agent does not know lets pages see
  // how such a device is listed.
  if (type <= 0) {
    return kInvalidParameter;
  }
  EventSink sink;
  DriverDevice info;
  {
    std::lock_guard lock(mutex_);
    if (static_cast<int32_t>(devices_.size()) >= kMaxDevices) {
      return kFailed;
    }
    devices_.push_back(NewDevice(type));
    info = Describe(*devices_.back());
    if (index != nullptr) {
      *index = static_cast<int32_t>(devices_.size() - 1);
    }
    sink = sink_;
  }
  if (sink) {
    sink(true, info);
  }
  return kOk;
}

int32_t VirtualDriver::UnplugDevice(int32_t index) {
  EventSink sink;
  DriverDevice info;
  {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= static_cast<int32_t>(devices_.size())) {
      return kInvalidHandle;
    }
    const auto it = devices_.begin() + index;
    std::shared_ptr<Device> dev = *it;
    devices_.erase(it);
    info = Describe(*dev);
    std::lock_guard devLock(dev->mutex);
    dev->attached = false;
    dev->changed.notify_all();
    sink = sink_;
  }
  if (sink) {
    sink(false, info);
  }
  return kOk;
}

}  // namespace devicelib::virt
