// The virtual scanner backend: the default ScannerLib, which drives simulated fingerprint
// scanners so that the agent and every scanner operation can run and be tested without
// hardware. Each device images synthetic fingers (synthetic_finger.h); which finger rests on
// which device, and which devices are attached, is changed at run time through the control
// socket (control_socket.h) with the `virtual-scanner` command, or directly through the
// control methods below (tests).
//
// Environment, read when the object is created:
//   WEBAGENT_VIRTUAL_SCANNERS       number of devices attached at start, 0..8 (default 1)
//   WEBAGENT_VIRTUAL_SCANNER_TYPES  comma-separated type codes of those devices, the last one
//                                   repeating (default 1005)
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devicelib/scanner_lib.h"

namespace devicelib {

// The backend with the devices of the environment and its control socket running.
std::unique_ptr<ScannerLib> CreateVirtualScannerLib();

namespace virt {

inline constexpr int32_t kTypeKq10 = 1001;  // no brightness or sensitivity control
inline constexpr int32_t kTypeKq20 = 1002;
inline constexpr int32_t kTypeKq21 = 1003;
inline constexpr int32_t kTypeTessaroDuo = 1004;
inline constexpr int32_t kTypeTessaroFlat = 1005;
inline constexpr int32_t kDefaultType = kTypeTessaroFlat;
inline constexpr int32_t kMaxDevices = 16;  // attached at once (8 at start)

inline constexpr int32_t kDefaultCaptureTimeoutMs = 5000;
inline constexpr int32_t kMaxCaptureTimeoutMs = 600000;
inline constexpr int32_t kDefaultBrightness = 50;   // 0..100, shifts grey levels
inline constexpr int32_t kDefaultSensitivity = 50;  // 0..100, scales contrast
inline constexpr int32_t kDefaultPlacementQuality = 90;
inline constexpr int32_t kLiveFramesPerSecond = 15;

// Model name of a type code ("KQ10" ... "Tessaro Flat"), or null for an unknown code.
const char* DeviceTypeName(int32_t type);

struct VirtualScannerOptions {
  std::vector<int32_t> types;  // one entry per device attached at start
  bool controlSocket = true;   // serve ControlSocketPath()
};

// Options from the environment variables above (bad values: a warning, then the defaults).
VirtualScannerOptions OptionsFromEnvironment();

struct DeviceState {
  int32_t index = 0;
  int64_t handle = 0;  // 0 while the library is not initialised
  std::string id;
  int32_t type = 0;
  bool fingerOn = false;
  uint32_t finger = 0;
  int32_t placementQuality = 0;
  bool capturing = false;
};

class VirtualScannerLib : public ScannerLib {
 public:
  explicit VirtualScannerLib(const VirtualScannerOptions& options);
  ~VirtualScannerLib() override;
  VirtualScannerLib(const VirtualScannerLib&) = delete;
  VirtualScannerLib& operator=(const VirtualScannerLib&) = delete;

  // ScannerLib
  int32_t Init() override;
  int32_t Uninit() override;
  int32_t SetScannerCallback(ScannerCallback callback, void* user) override;
  int32_t GetScannerNumber(int32_t* count) override;
  int32_t GetScannerHandle(int32_t index, int64_t* handle) override;
  int32_t GetScannerID(int64_t handle, char* id) override;
  int32_t GetScannerType(int64_t handle, int32_t* type) override;
  int32_t GetParameter(int64_t handle, int32_t id, int32_t* value) override;
  int32_t SetParameter(int64_t handle, int32_t id, const int32_t* value) override;
  int32_t IsSensorOn(int64_t handle, int32_t* flag) override;
  int32_t CaptureSingleImage(int64_t handle) override;
  int32_t StartCapturing(int64_t handle, ImageCallback callback, void* user) override;
  int32_t IsCapturing(int64_t handle, int32_t* flag) override;
  int32_t AbortCapturing(int64_t handle) override;
  int32_t Extract(int64_t handle, uint8_t* templ, int32_t* size, int32_t* quality) override;
  int32_t SetEncryptionKey(int64_t handle, const uint8_t* key) override;
  int32_t EncryptTemplate(int64_t handle, const uint8_t* in, int32_t inSize, uint8_t* out,
                          int32_t* outSize) override;
  int32_t DecryptTemplate(int64_t handle, const uint8_t* in, int32_t inSize, uint8_t* out,
                          int32_t* outSize) override;
  int32_t GetCaptureImageInfo(int64_t handle, int32_t* width, int32_t* height,
                              int32_t* resolution) override;
  int32_t GetCaptureImage(int64_t handle, uint8_t* pixels) override;
  int32_t SaveCaptureImageToBmpFile(int64_t handle, const char* path) override;
  int32_t GetErrorString(int32_t code, char* text) override;
  int32_t GetTemplateType(int64_t handle, int32_t* type) override;
  int32_t SetTemplateType(int64_t handle, int32_t type) override;
  int32_t SaveCaptureImageToDatFile(int64_t handle, const char* path) override;
  int32_t SaveCaptureImageToWsqFile(int64_t handle, float ratio, const char* path) override;
  int32_t SelectTemplate(int64_t handle, const uint8_t* const* templates, const int32_t* sizes,
                         int32_t inCount, uint8_t* const* outs, int32_t* outSizes,
                         int32_t outCount) override;
  int32_t StartAutoCapture(int64_t handle, ImageCallback callback, void* user) override;
  int32_t ExtractEx(int64_t handle, int32_t capacity, uint8_t* templ, int32_t* size,
                    int32_t* quality) override;
  int32_t SelectTemplateEx(int64_t handle, int32_t capacity, const uint8_t* const* templates,
                           const int32_t* sizes, int32_t inCount, uint8_t* const* outs,
                           int32_t* outSizes, int32_t outCount) override;

  // Control: what the `virtual-scanner` command does. `index` is the position in the current
  // enumeration. Each answers 0 or a status (-102 for an index with no device, -103 for a bad
  // value, -110 when no more devices can be plugged).
  std::vector<DeviceState> ListDevices();
  int32_t PlaceFinger(int32_t index, uint32_t finger, int32_t placementQuality);
  int32_t LiftFinger(int32_t index);
  int32_t PlugDevice(int32_t type, int32_t* index);
  int32_t UnplugDevice(int32_t index);
  // One request line of the control protocol -> the answer text ("ok\n..." or "error\n...").
  std::string HandleControlRequest(const std::string& request);
  // The control socket path, or empty when the socket is not served.
  std::string ControlPath() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace virt
}  // namespace devicelib
