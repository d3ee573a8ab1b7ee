// The scanner library core: the scanner contract (devicelib/scanner_lib.h) implemented once over
// a device driver (device_driver.h). It owns the handles, the per-device parameters and capture
// buffer, the capture threads of live and automatic capture, extraction through the image-based
// extractor (engine/extractor.h) for every driver, template selection and encryption, the image
// files and the error texts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "devicelib/core/device_driver.h"
#include "devicelib/scanner_lib.h"

namespace devicelib {

inline constexpr int32_t kDefaultCaptureTimeoutMs = 5000;
inline constexpr int32_t kMaxCaptureTimeoutMs = 600000;
inline constexpr int32_t kDefaultToneLevel = 50;  // brightness and sensitivity, 0..100
inline constexpr int32_t kLiveFramesPerSecond = 15;
inline constexpr int32_t kMaxAttachedDevices = 16;

class ScannerCore : public ScannerLib {
 public:
  explicit ScannerCore(std::unique_ptr<DeviceDriver> driver);
  // Stops every capture and closes the open devices.
  ~ScannerCore() override;
  ScannerCore(const ScannerCore&) = delete;
  ScannerCore& operator=(const ScannerCore&) = delete;

  DeviceDriver& driver() { return *driver_; }
  // The handle of the driver's device `key` (0 when not initialised or unknown), and whether a
  // capture runs on it: what the virtual scanners' control listing shows.
  int64_t HandleOf(const std::string& key);
  bool IsCapturingKey(const std::string& key);

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

 private:
  class Impl;
  std::unique_ptr<DeviceDriver> driver_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace devicelib
