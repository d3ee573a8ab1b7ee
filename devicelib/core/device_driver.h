// The small interface between the scanner library core (scanner_core.h) and one kind of
// hardware: the virtual scanners (devicelib/virtual) or real USB scanners through libfprint
// (devicelib/libfprint). A driver only enumerates, opens and closes devices and turns a capture
// request into one 8-bit grey image; everything else of the scanner contract (handles,
// parameters, the capture buffer, extraction, templates, encryption, files, error texts) lives
// once in the core.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace devicelib {

using DriverClock = std::chrono::steady_clock;

// One attached device as a driver describes it.
struct DriverDevice {
  std::string key;           // the driver's own name for the device, unique while attached
  std::string id;            // ID text (GetScannerID), at most 259 characters are shown
  std::string model;         // model name
  int32_t type = 0;          // type code (GetScannerType)
  bool toneControl = false;  // brightness (202) and sensitivity (203) can be set
};

// One image: 8-bit grey, top row first, no row padding.
struct Frame {
  std::vector<uint8_t> pixels;
  int32_t width = 0;
  int32_t height = 0;
  int32_t ppi = 500;  // the image's true resolution
};

// Image settings the core keeps per device; a driver without tone control ignores them.
struct CaptureSettings {
  int32_t brightness = 50;   // 0..100
  int32_t sensitivity = 50;  // 0..100
};

enum class CaptureMode {
  kWaitForFinger,  // single and automatic capture: an image of a finger, or the deadline
  kLiveFrame,      // live capture: the next frame the device can give (an empty sensor too)
};

// Ends one capture from another thread: AbortCapturing, Uninit, unplugging. A driver waits on it
// (WaitUntil) or registers a hook that interrupts its own wait (Subscribe).
class CaptureCancel {
 public:
  // The first status wins (kCaptureAborted, kDeviceRemoved). Runs the hooks once.
  void Cancel(int32_t status);
  bool IsCancelled() const { return cancelled_.load(std::memory_order_acquire); }
  int32_t status() const { return status_.load(std::memory_order_acquire); }
  // Sleeps until `deadline` or the cancellation; true when cancelled.
  bool WaitUntil(DriverClock::time_point deadline);
  // `hook` runs on the cancelling thread (at once when already cancelled). It must be quick and
  // must not call back into this object. After Unsubscribe returns, the hook is not running.
  int Subscribe(std::function<void()> hook);
  void Unsubscribe(int token);

 private:
  std::atomic<bool> cancelled_{false};
  std::atomic<int32_t> status_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<int, std::function<void()>> hooks_;
  int nextToken_ = 1;
};

class DeviceDriver {
 public:
  // A device was plugged (added true) or unplugged. Called on a thread of the driver that holds
  // none of its locks and that may block in the core (which then stops captures on the device).
  using EventSink = std::function<void(bool added, const DriverDevice& device)>;

  virtual ~DeviceDriver() = default;

  // The devices attached now, in a stable order.
  virtual std::vector<DriverDevice> Enumerate() = 0;
  // Set once by the core before Enumerate; an empty function stops the events.
  virtual void SetEventSink(EventSink sink) = 0;
  // Claims the device for this process (0 or a status: kDevicePermission, kDeviceInUse, ...).
  virtual int32_t Open(const std::string& key) = 0;
  virtual void Close(const std::string& key) = 0;
  // Blocks until an image is taken (kOk, *frame filled), the deadline passes (kCaptureTimeout),
  // `cancel` fires (its status), or the device fails (kDeviceRemoved, kDeviceFailed, ...).
  virtual int32_t Capture(const std::string& key, CaptureMode mode, const CaptureSettings& settings,
                          DriverClock::time_point deadline, CaptureCancel& cancel,
                          Frame* frame) = 0;
  // Whether a finger rests on the sensor, as far as the device reports it.
  virtual int32_t FingerOn(const std::string& key, bool* on) = 0;
};

}  // namespace devicelib
