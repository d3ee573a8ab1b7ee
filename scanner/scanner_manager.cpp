#include "scanner/scanner_manager.h"

#include <algorithm>

#include "devicelib/status.h"
#include "scanner/device_types.h"
#include "service/request.h"

namespace scanner {

namespace {

// Device events of the library's scanner callback.
constexpr int32_t kDevicePlugged = 1;

Json::Value DeviceCountData(size_t count) {
  Json::Value data(Json::objectValue);
  data["scanners"] = static_cast<Json::Int>(count);
  return data;
}

}  // namespace

ScannerManager::ScannerManager(service::DeviceLibraries libraries, service::Dispatcher& dispatcher,
                               std::function<void()> clearTemplates, service::EventHub& events)
    : libraries_(libraries),
      dispatcher_(dispatcher),
      clearTemplates_(std::move(clearTemplates)),
      events_(events) {
  auto agentLevel = [this](Json::Value (ScannerManager::*run)()) -> service::Handler {
    return [this, run](const service::Request&) { return (this->*run)(); };
  };
  // Per-scanner operations do not wait for the API lock in the dispatcher: they first wait for
  // their own scanner (so a capture waiting for a finger holds up only requests for its
  // scanner), and those that need the agent's shared state take the API lock after that.
  constexpr bool kOwnLocking = true;
  // name, needs a session, re-arms the release countdown, handler, own locking
  operations_ = {
      {"initDevice", false, false, agentLevel(&ScannerManager::InitDevice)},
      {"uninitDevice", false, false, agentLevel(&ScannerManager::UninitDevice)},
      {"getScannerStatus", false, false, BesideScanner(&Scanner::GetScannerStatus), kOwnLocking},
      {"version", false, false, OnScanner(&Scanner::Version, Lane::kScanner), kOwnLocking},
      {"getParameters", false, false, OnScanner(&Scanner::GetParameters, Lane::kAgent),
       kOwnLocking},
      {"setParameters", false, false, OnScanner(&Scanner::SetParameters, Lane::kAgent),
       kOwnLocking},
      {"abortCapture", false, true, BesideScanner(&Scanner::AbortCapture), kOwnLocking},
      {"isFingerOn", true, false, OnScanner(&Scanner::IsFingerOn, Lane::kScanner), kOwnLocking},
      {"captureSingle", true, true, OnScanner(&Scanner::CaptureSingle, Lane::kScanner),
       kOwnLocking},
      {"startCapturing", true, true, OnScanner(&Scanner::StartCapturing, Lane::kAgent),
       kOwnLocking},
      {"autoCapture", true, false, OnScanner(&Scanner::AutoCapture, Lane::kAgent), kOwnLocking},
      {"getTemplateData", true, false, OnScanner(&Scanner::GetTemplateData, Lane::kAgent),
       kOwnLocking},
      {"getImageData", true, false, OnScanner(&Scanner::GetImageData, Lane::kAgent), kOwnLocking},
      {"saveImageBuffer", true, false, OnScanner(&Scanner::SaveImageBuffer, Lane::kAgent),
       kOwnLocking},
  };
  watcher_ = std::thread(&ScannerManager::WatchFingers, this);
}

ScannerManager::~ScannerManager() {
  StopWatching();
}

void ScannerManager::StopWatching() {
  {
    std::lock_guard lock(watchLock_);
    stopWatching_ = true;
  }
  watchWake_.notify_all();
  if (watcher_.joinable()) {
    watcher_.join();
  }
}

void ScannerManager::WatchFingers() {
  // Last state seen per scanner; forgotten while nobody listens, so that a new listener hears
  // of a finger that is already on.
  std::map<int64_t, bool> fingerOn;
  std::unique_lock lock(watchLock_);
  while (!watchWake_.wait_for(lock, kFingerPollInterval, [this] { return stopWatching_; })) {
    lock.unlock();
    if (events_.ListenerCount() == 0) {
      fingerOn.clear();
    } else {
      PollFingers(fingerOn);
    }
    lock.lock();
  }
}

void ScannerManager::PollFingers(std::map<int64_t, bool>& fingerOn) {
  std::vector<int64_t> handles;
  {
    std::lock_guard lock(listLock_);
    for (const ScannerEntry& entry : scanners_) {
      handles.push_back(entry.handle);
    }
  }
  std::erase_if(fingerOn, [&](const auto& known) {
    return std::find(handles.begin(), handles.end(), known.first) == handles.end();
  });
  for (const int64_t handle : handles) {
    // The library answers this beside a running capture, without waiting for it; no lock of
    // the agent is taken, so a capture is never held up by the watcher.
    int32_t on = 0;
    if (libraries_.scanner.IsSensorOn(handle, &on) != devicelib::kOk) {
      continue;  // unplugged meanwhile, or a device that cannot tell
    }
    const bool now = on != 0;
    const auto known = fingerOn.find(handle);
    const bool before = known != fingerOn.end() && known->second;
    if (now != before) {
      events_.Publish(now ? service::event::kFingerOn : service::event::kFingerOff,
                      std::to_string(handle));
    }
    fingerOn[handle] = now;
  }
}

int32_t ScannerManager::OnDeviceEvent(int32_t event, int64_t handle, void* user) {
  if (user != nullptr) {
    static_cast<ScannerManager*>(user)->OnDeviceChange(event == kDevicePlugged, handle);
  }
  return 0;
}

void ScannerManager::OnDeviceChange(bool plugged, int64_t handle) {
  // Only told here: the agent's own list follows the library's at the next initDevice, which is
  // where a page learns the new handle anyway.
  std::lock_guard lock(deviceLock_);
  const bool changed = plugged ? devices_.insert(handle).second : devices_.erase(handle) == 1;
  if (changed) {
    Json::Value data = DeviceCountData(devices_.size());
    data["sHandle"] = std::to_string(handle);
    events_.Publish(plugged ? service::event::kPlug : service::event::kUnplug,
                    std::to_string(handle), std::move(data));
  }
}

void ScannerManager::FollowDeviceSet(const std::vector<int64_t>& handles) {
  std::lock_guard lock(deviceLock_);
  for (auto it = devices_.begin(); it != devices_.end();) {
    if (std::find(handles.begin(), handles.end(), *it) != handles.end()) {
      ++it;
      continue;
    }
    const int64_t gone = *it;
    it = devices_.erase(it);
    Json::Value data = DeviceCountData(devices_.size());
    data["sHandle"] = std::to_string(gone);
    events_.Publish(service::event::kUnplug, std::to_string(gone), std::move(data));
  }
  for (const int64_t handle : handles) {
    if (devices_.insert(handle).second) {
      Json::Value data = DeviceCountData(devices_.size());
      data["sHandle"] = std::to_string(handle);
      events_.Publish(service::event::kPlug, std::to_string(handle), std::move(data));
    }
  }
}

std::string ScannerManager::HandleScannerApi(std::string_view name, const char* cookie,
                                             std::string_view parameterText) {
  return dispatcher_.Dispatch(operations_, name, cookie, parameterText);
}

Json::Value ScannerManager::NoScannerReply(const service::Request& request) {
  // Nothing runs for a handle the agent has no scanner for (before initDevice, after
  // uninitDevice, a device unplugged since): the page learns it as the library's own
  // invalid-handle status.
  Json::Value reply = service::NewAgentReply();
  reply["request"] = request.name;
  service::SetLibraryError(reply, libraries_, service::Library::kScanner,
                           devicelib::kInvalidHandle);
  return reply;
}

service::Handler ScannerManager::OnScanner(Scanner::Operation operation, Lane lane) {
  return [this, operation, lane](const service::Request& request) {
    std::shared_ptr<Scanner> scanner = FindScanner(request.handleText);
    if (scanner == nullptr) {
      return NoScannerReply(request);
    }
    std::mutex* agentLock = lane == Lane::kAgent ? &dispatcher_.ApiLock() : nullptr;
    // The matcher is read once the locks are held: initDevice may have replaced it meanwhile.
    Json::Value reply = scanner->Run(
        operation, request.name, request.parameterText, [this] { return matcher_.load(); },
        agentLock);
    if (request.operation->rearmsCountdown) {
      countdown_.Schedule(scanner, scanner->ResetTimerMs());
    }
    return reply;
  };
}

service::Handler ScannerManager::BesideScanner(Scanner::SideOperation operation) {
  return [this, operation](const service::Request& request) {
    std::shared_ptr<Scanner> scanner = FindScanner(request.handleText);
    if (scanner == nullptr) {
      return NoScannerReply(request);
    }
    Json::Value reply = scanner->RunBeside(operation, request.name, request.parameterText);
    if (request.operation->rearmsCountdown) {
      countdown_.Schedule(scanner, scanner->ResetTimerMs());
    }
    return reply;
  };
}

void ScannerManager::DeleteMatcher() {
  if (devicelib::MatcherHandle matcher = matcher_.exchange(nullptr)) {
    libraries_.matcher.Delete(matcher);
  }
}

std::shared_ptr<Scanner> ScannerManager::FindScanner(std::string_view handleText) {
  const int64_t handle = service::ReadHandleNumber(handleText);
  if (handle == 0) {
    return nullptr;
  }
  std::lock_guard lock(listLock_);
  for (const ScannerEntry& entry : scanners_) {
    if (entry.handle == handle) {
      return entry.scanner;
    }
  }
  return nullptr;
}

size_t ScannerManager::RetiredCount() {
  std::lock_guard lock(listLock_);
  return retired_.size();
}

bool ScannerManager::EnumerateScanners() {
  devicelib::ScannerLib& lib = libraries_.scanner;
  int32_t status = lib.Init();
  if (status == devicelib::kAlreadyInitialised) {
    return FollowLibraryList();
  }
  if (status != 0) {
    return false;
  }
  int32_t count = 0;
  if (lib.GetScannerNumber(&count) != 0) {
    return false;
  }
  for (int32_t i = 0; i < count; ++i) {
    int64_t handle = 0;
    if (lib.GetScannerHandle(i, &handle) != 0) {
      return false;  // the entries added so far stay
    }
    auto scanner = std::make_shared<Scanner>(libraries_, &events_, handle);
    std::lock_guard lock(listLock_);
    scanners_.push_back({handle, std::move(scanner)});
  }
  return true;
}

bool ScannerManager::FollowLibraryList() {
  devicelib::ScannerLib& lib = libraries_.scanner;
  int32_t count = 0;
  if (lib.GetScannerNumber(&count) != 0) {
    return false;
  }
  std::vector<int64_t> handles;
  for (int32_t i = 0; i < count; ++i) {
    int64_t handle = 0;
    if (lib.GetScannerHandle(i, &handle) != 0) {
      return false;  // the list stays as it was
    }
    handles.push_back(handle);
  }
  std::vector<ScannerEntry> gone;
  {
    std::lock_guard lock(listLock_);
    std::vector<ScannerEntry> next;
    for (int64_t handle : handles) {
      const auto known = std::find_if(scanners_.begin(), scanners_.end(),
                                      [&](const ScannerEntry& e) { return e.handle == handle; });
      // A device seen before keeps its scanner (and the page's image); a new one gets its own.
      next.push_back(
          known != scanners_.end()
              ? *known
              : ScannerEntry{handle, std::make_shared<Scanner>(libraries_, &events_, handle)});
    }
    for (ScannerEntry& entry : scanners_) {
      if (std::find(handles.begin(), handles.end(), entry.handle) == handles.end()) {
        gone.push_back(entry);
        // The library may still be ending a capture of the unplugged device, whose callback
        // carries a raw pointer to the scanner: kept until the library is released.
        retired_.push_back(entry.scanner);
      }
    }
    scanners_.swap(next);
  }
  for (ScannerEntry& entry : gone) {
    entry.scanner->ReleaseCaptureData();
  }
  return true;
}

Json::Value ScannerManager::ListScanners() {
  Json::Value reply = service::NewReply();
  devicelib::ScannerLib& lib = libraries_.scanner;
  int32_t status = lib.Init();
  if (status != 0 && status != devicelib::kAlreadyInitialised) {
    service::SetLibraryError(reply, libraries_, service::Library::kScanner, status);
    return reply;
  }
  status = lib.SetScannerCallback(&ScannerManager::OnDeviceEvent, this);
  if (status != 0) {
    service::SetLibraryError(reply, libraries_, service::Library::kScanner, status);
    return reply;
  }
  int32_t count = 0;
  status = lib.GetScannerNumber(&count);
  if (status != 0) {
    service::SetLibraryError(reply, libraries_, service::Library::kScanner, status);
    return reply;
  }
  Json::Value infos(Json::arrayValue);
  for (int32_t i = 0; i < count; ++i) {
    char id[devicelib::kIdTextSize] = "";
    int64_t handle = 0;
    int32_t type = 0;
    status = lib.GetScannerHandle(i, &handle);
    if (status == 0) {
      status = lib.GetScannerID(handle, id);
    }
    if (status == 0) {
      status = lib.GetScannerType(handle, &type);
    }
    if (status != 0) {
      service::SetLibraryError(reply, libraries_, service::Library::kScanner, status);
      return reply;
    }
    id[sizeof(id) - 1] = '\0';
    Json::Value info(Json::objectValue);
    info["DeviceIndex"] = i;
    info["ScannerName"] = id;
    info["DeviceHandle"] = Json::Int64(handle);
    info["DeviceType"] = DeviceTypeToName(type);
    infos.append(info);
  }
  reply["ScannerInfos"] = infos;
  reply["ScannerCount"] = count;
  service::SetSuccess(reply);
  return reply;
}

Json::Value ScannerManager::InitDevice() {
  Json::Value reply = service::NewAgentReply();
  DeleteMatcher();  // every initDevice makes a fresh matcher instance
  devicelib::MatcherHandle matcher = nullptr;
  const int32_t status = libraries_.matcher.Create(&matcher);
  if (status != 0) {
    service::SetLibraryError(reply, libraries_, service::Library::kMatcher, status);
    return reply;
  }
  matcher_.store(matcher);
  if (!EnumerateScanners()) {
    service::SetLibraryError(reply, libraries_, service::Library::kScanner, devicelib::kFailed);
    return reply;
  }
  std::vector<ScannerEntry> entries;
  {
    std::lock_guard lock(listLock_);
    entries = scanners_;
  }
  std::vector<int64_t> handles;
  for (const ScannerEntry& entry : entries) {
    entry.scanner->ReleaseCaptureData();
    handles.push_back(entry.handle);
  }
  FollowDeviceSet(handles);
  if (entries.empty()) {
    // Listening for devices all the same: a page that waits for a scanner to be plugged in
    // hears of it. Nothing to report if the library cannot tell.
    libraries_.scanner.SetScannerCallback(&ScannerManager::OnDeviceEvent, this);
    return Json::Value();  // headers and no body
  }
  return ListScanners();
}

Json::Value ScannerManager::UninitDevice() {
  Json::Value reply = service::NewAgentReply();
  if (devicelib::MatcherHandle matcher = matcher_.exchange(nullptr)) {
    const int32_t status = libraries_.matcher.Delete(matcher);
    if (status != 0) {
      service::SetLibraryError(reply, libraries_, service::Library::kMatcher, status);
      return reply;
    }
  }
  clearTemplates_();
  service::SetSuccess(reply);
  const int32_t status = libraries_.scanner.Uninit();
  if (status != 0) {
    service::SetLibraryError(reply, libraries_, service::Library::kScanner, status);
  }
  std::vector<ScannerEntry> entries;
  {
    std::lock_guard lock(listLock_);
    entries.swap(scanners_);
  }
  for (ScannerEntry& entry : entries) {
    entry.scanner->ReleaseCaptureData();
  }
  FollowDeviceSet({});  // the agent has no scanner until the next initDevice
  std::lock_guard lock(listLock_);
  if (status == 0) {
    // The library has stopped every capture: no callback can reach these scanners any more.
    retired_.clear();
  } else {
    for (ScannerEntry& entry : entries) {
      retired_.push_back(std::move(entry.scanner));
    }
  }
  return reply;
}

}  // namespace scanner
