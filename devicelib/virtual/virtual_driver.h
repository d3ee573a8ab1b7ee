// The device model of the virtual scanners: which simulated devices are attached, which finger
// rests on each, and what a capture on them images (synthetic_finger.h). It is the virtual
// scanners' DeviceDriver; the scanner contract itself is the core's (devicelib/core).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "devicelib/core/device_driver.h"

namespace devicelib::virt {

inline constexpr int32_t kTypeKq10 = 1001;  // no brightness or sensitivity control
inline constexpr int32_t kTypeKq20 = 1002;
inline constexpr int32_t kTypeKq21 = 1003;
inline constexpr int32_t kTypeTessaroDuo = 1004;
inline constexpr int32_t kTypeTessaroFlat = 1005;
inline constexpr int32_t kDefaultType = kTypeTessaroFlat;
inline constexpr int32_t kMaxDevices = 16;  // attached at once (8 at start)
inline constexpr int32_t kDefaultPlacementQuality = 90;

// Model name of a type code ("KQ10" ... "Tessaro Flat"), or null for an unknown code.
const char* DeviceTypeName(int32_t type);

// What the control listing shows of one device.
struct VirtualDeviceState {
  std::string key;
  std::string id;
  int32_t type = 0;
  bool fingerOn = false;
  uint32_t finger = 0;
  int32_t placementQuality = 0;
};

class VirtualDriver : public DeviceDriver {
 public:
  // One device per entry of `types`, attached from the start.
  explicit VirtualDriver(const std::vector<int32_t>& types);
  ~VirtualDriver() override;

  std::vector<DriverDevice> Enumerate() override;
  void SetEventSink(EventSink sink) override;
  int32_t Open(const std::string& key) override;
  void Close(const std::string& key) override;
  int32_t Capture(const std::string& key, CaptureMode mode, const CaptureSettings& settings,
                  DriverClock::time_point deadline, CaptureCancel& cancel, Frame* frame) override;
  int32_t FingerOn(const std::string& key, bool* on) override;

  // Control. `index` is the position among the attached devices. Each answers 0 or a status
  // (-102 for an index with no device, -103 for a bad value, -1 when no more devices fit).
  std::vector<VirtualDeviceState> List();
  int32_t PlaceFinger(int32_t index, uint32_t finger, int32_t placementQuality);
  int32_t LiftFinger(int32_t index);
  int32_t PlugDevice(int32_t type, int32_t* index);
  int32_t UnplugDevice(int32_t index);

 private:
  struct Device;
  std::shared_ptr<Device> NewDevice(int32_t type);  // called with mutex_ held
  std::shared_ptr<Device> FindKey(const std::string& key);
  static DriverDevice Describe(const Device& dev);

  std::mutex mutex_;  // guards everything below; taken before any device's mutex
  std::vector<std::shared_ptr<Device>> devices_;
  EventSink sink_;
  uint32_t nextSerial_ = 1;
  uint32_t salt_ = 0;  // makes impressions and ID texts differ between runs of the agent
};

}  // namespace devicelib::virt
