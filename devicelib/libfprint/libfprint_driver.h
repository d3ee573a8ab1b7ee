// Real USB fingerprint scanners through libfprint (Debian: libfprint-2-2, 1.94): every device
// libfprint drives that can deliver images (FP_DEVICE_FEATURE_CAPTURE). libfprint is driven only
// from one thread of this driver, which owns and iterates GLib's default main context; the
// scanner library core's threads hand work to it and wait for the answers.
//
// A capture is libfprint's capture with wait-for-finger, cancelled through a GCancellable by
// AbortCapturing, Uninit, unplugging or the capture time-out; live capture is repeated captures.
// Images are 8-bit grey with the resolution libfprint reports (500 ppi when it reports none).
// Devices plugged or unplugged while the agent runs are reported to the core.
#pragma once

#include <memory>

#include "devicelib/core/device_driver.h"

namespace devicelib {

// The type code GetScannerType answers for every libfprint device: none of the known models.
inline constexpr int32_t kTypeLibfprint = 2000;

class LibfprintDriver : public DeviceDriver {
 public:
  // Starts libfprint's thread and enumerates the attached devices.
  LibfprintDriver();
  // Closes what is still open and ends the thread.
  ~LibfprintDriver() override;
  LibfprintDriver(const LibfprintDriver&) = delete;
  LibfprintDriver& operator=(const LibfprintDriver&) = delete;

  std::vector<DriverDevice> Enumerate() override;
  void SetEventSink(EventSink sink) override;
  int32_t Open(const std::string& key) override;
  void Close(const std::string& key) override;
  int32_t Capture(const std::string& key, CaptureMode mode, const CaptureSettings& settings,
                  DriverClock::time_point deadline, CaptureCancel& cancel, Frame* frame) override;
  int32_t FingerOn(const std::string& key, bool* on) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace devicelib
