// Brings the attached scanners and the matcher into use and out of use again, dispatches the
// scanner API, and runs the timed release of captured data.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "scanner/api_state.h"
#include "scanner/reply.h"
#include "scanner/scanner.h"
#include "session/session_registry.h"

namespace scanner {

// Frees a scanner's captured data some time after the last capture request. One countdown
// runs at a time for the whole agent: a new request while it runs only re-arms it (and it
// still releases the scanner it was started for).
class ReleaseCountdown {
 public:
  ReleaseCountdown() = default;
  ~ReleaseCountdown();
  ReleaseCountdown(const ReleaseCountdown&) = delete;
  ReleaseCountdown& operator=(const ReleaseCountdown&) = delete;

  void Schedule(std::shared_ptr<Scanner> scanner, uint32_t lifetimeMs);
  // Remaining milliseconds of the running countdown; 0 when none runs.
  uint32_t RemainingMs() const { return remainingMs_.load(); }

 private:
  void Run(std::shared_ptr<Scanner> scanner);

  std::mutex mutex_;
  std::condition_variable wake_;
  bool active_ = false;
  bool stopping_ = false;
  std::atomic<uint32_t> remainingMs_{0};
  std::thread thread_;
};

struct ScannerEntry {
  int64_t handle = 0;
  std::shared_ptr<Scanner> scanner;
};

class ScannerManager {
 public:
  // `clearTemplates` empties the template database (uninitDevice does that).
  ScannerManager(DeviceLibraries libraries, ApiState& api, session::SessionRegistry& sessions,
                 std::function<void()> clearTemplates);
  ~ScannerManager();
  ScannerManager(const ScannerManager&) = delete;
  ScannerManager& operator=(const ScannerManager&) = delete;

  // Every /api/ operation but the router's own commands; returns the reply body.
  std::string HandleScannerApi(const std::string& name, const char* cookie,
                               const std::string& parameterText);

  // Index in the scanner list of the device the handle text names (decimal), or -1.
  int FindScanner(std::string_view handleText);
  // The Scanner the handle text names, kept alive for as long as the caller holds it.
  std::shared_ptr<Scanner> FindScannerObject(std::string_view handleText);

  // The matcher instance: made by initDevice, released by uninitDevice, null when none.
  const std::atomic<devicelib::MatcherHandle>& Matcher() const { return matcher_; }
  // Deletes the matcher instance if there is one (when the agent ends).
  void DeleteMatcher();

  const ReleaseCountdown& Countdown() const { return countdown_; }

 private:
  std::string InitDevice();
  std::string UninitDevice();
  bool EnumerateScanners();

  DeviceLibraries libraries_;
  ApiState& api_;
  session::SessionRegistry& sessions_;
  std::function<void()> clearTemplates_;
  std::atomic<devicelib::MatcherHandle> matcher_{nullptr};

  // Guards the list for the image endpoints, which read it without the API lock.
  std::mutex listLock_;
  std::vector<ScannerEntry> scanners_;
  // Scanners of earlier enumerations stay allocated: the library may still hold one as a
  // callback target, and an image request may still be using one.
  std::vector<std::shared_ptr<Scanner>> retired_;
  ReleaseCountdown countdown_;
};

}  // namespace scanner
