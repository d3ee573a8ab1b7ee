// Brings the attached scanners and the matcher into use and out of use again, holds the
// scanner API's operation table, and runs the timed release of captured data.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "scanner/release_countdown.h"
#include "scanner/scanner.h"
#include "service/dispatcher.h"
#include "service/events.h"
#include "service/reply.h"

namespace scanner {

struct ScannerEntry {
  int64_t handle = 0;
  std::shared_ptr<Scanner> scanner;
};

class ScannerManager {
 public:
  // How often the finger watcher asks each open scanner whether a finger is on it.
  static constexpr std::chrono::milliseconds kFingerPollInterval{100};

  // `clearTemplates` empties the template database (uninitDevice does that). `events` hears of
  // captures, scanners plugged and unplugged, and fingers placed and lifted; the finger watcher
  // polls the scanners only while it has listeners.
  ScannerManager(service::DeviceLibraries libraries, service::Dispatcher& dispatcher,
                 std::function<void()> clearTemplates, service::EventHub& events);
  ~ScannerManager();
  ScannerManager(const ScannerManager&) = delete;
  ScannerManager& operator=(const ScannerManager&) = delete;

  // Every /api/ operation but the router's own commands; returns the reply body.
  std::string HandleScannerApi(std::string_view name, const char* cookie,
                               std::string_view parameterText);

  // The Scanner whose device handle the text names (decimal), kept alive for as long as the
  // caller holds it; null when the agent has none with that handle.
  std::shared_ptr<Scanner> FindScanner(std::string_view handleText);

  // The matcher instance: made by initDevice, released by uninitDevice, null when none.
  const std::atomic<devicelib::MatcherHandle>& Matcher() const { return matcher_; }
  // Deletes the matcher instance if there is one (when the agent ends).
  void DeleteMatcher();

  // Scanners of earlier enumerations still kept for the library's sake (for tests).
  size_t RetiredCount();

  // Stops the finger watcher and waits for it; the agent calls it before the library goes.
  // Idempotent; the destructor calls it too.
  void StopWatching();

 private:
  Json::Value InitDevice();
  Json::Value UninitDevice();
  bool EnumerateScanners();
  // The initDevice reply: the devices the library lists now.
  Json::Value ListScanners();
  // How a per-scanner operation is serialised with the others.
  enum class Lane {
    kScanner,  // one at a time on its scanner only (a capture that may wait for a finger)
    kAgent,    // one at a time on its scanner, then under the API lock too (the matcher, the
               // converted files every scanner shares)
  };
  // A table handler that runs `operation` on the scanner the request's handle names.
  service::Handler OnScanner(Scanner::Operation operation, Lane lane);
  // The same for an operation that runs beside everything else (abort, status).
  service::Handler BesideScanner(Scanner::SideOperation operation);
  // The answer for a handle the agent has no scanner for.
  Json::Value NoScannerReply(const service::Request& request);
  // initDevice on an initialised library: makes the agent's list follow the library's, a
  // scanner for each device plugged in since and none for those unplugged.
  bool FollowLibraryList();

  // Scanner set changes: `handles` is the library's list now (empty when it was released);
  // "plug" and "unplug" for each device that came or went since the last change seen.
  void FollowDeviceSet(const std::vector<int64_t>& handles);
  // One device plugged (true) or unplugged, as the library tells it.
  void OnDeviceChange(bool plugged, int64_t handle);
  static int32_t OnDeviceEvent(int32_t event, int64_t handle, void* user);
  // The finger watcher's loop and one round of it.
  void WatchFingers();
  void PollFingers(std::map<int64_t, bool>& fingerOn);

  service::DeviceLibraries libraries_;
  service::Dispatcher& dispatcher_;
  std::function<void()> clearTemplates_;
  std::atomic<devicelib::MatcherHandle> matcher_{nullptr};
  std::vector<service::Operation> operations_;

  // Guards the list for the image endpoints, which read it without the API lock.
  std::mutex listLock_;
  std::vector<ScannerEntry> scanners_;
  // Scanners the library may still call back (their capture callbacks carry a raw pointer):
  // those of the last enumeration whose release failed, and those of unplugged devices. A
  // successful release of the library stops every capture, so the list is emptied then; pages and
  // the countdown hold their own references to any scanner they still use.
  std::vector<std::shared_ptr<Scanner>> retired_;
  ReleaseCountdown countdown_;

  service::EventHub& events_;
  // The devices the listeners were last told about (plug/unplug).
  std::mutex deviceLock_;
  std::set<int64_t> devices_;
  // The finger watcher thread, its stop flag and its wake-up.
  std::mutex watchLock_;
  std::condition_variable watchWake_;
  bool stopWatching_ = false;
  std::thread watcher_;
};

}  // namespace scanner
