#include "scanner/scanner_manager.h"

#include <array>
#include <chrono>

#include "devicelib/status.h"
#include "http/params.h"

namespace scanner {

namespace {

constexpr uint32_t kCountdownStepMs = 100;

bool IsOneOf(const std::string& name, std::initializer_list<const char*> names) {
  for (const char* candidate : names) {
    if (name == candidate) {
      return true;
    }
  }
  return false;
}

}  // namespace

// ---- ReleaseCountdown ----------------------------------------------------------------------

ReleaseCountdown::~ReleaseCountdown() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

void ReleaseCountdown::Schedule(std::shared_ptr<Scanner> scanner, uint32_t lifetimeMs) {
  std::lock_guard lock(mutex_);
  if (active_) {
    remainingMs_.store(lifetimeMs);  // re-arm the running countdown
    return;
  }
  if (thread_.joinable()) {
    thread_.join();  // the previous countdown has finished
  }
  active_ = true;
  remainingMs_.store(lifetimeMs);
  thread_ = std::thread(&ReleaseCountdown::Run, this, std::move(scanner));
}

void ReleaseCountdown::Run(std::shared_ptr<Scanner> scanner) {
  {
    std::unique_lock lock(mutex_);
    while (remainingMs_.load() > kCountdownStepMs) {
      if (wake_.wait_for(lock, std::chrono::milliseconds(kCountdownStepMs),
                         [this] { return stopping_; })) {
        active_ = false;
        remainingMs_.store(0);
        return;
      }
      remainingMs_.fetch_sub(kCountdownStepMs);
    }
  }
  scanner->ReleaseCaptureData();
  std::lock_guard lock(mutex_);
  active_ = false;
  remainingMs_.store(0);
}

// ---- ScannerManager ------------------------------------------------------------------------

ScannerManager::ScannerManager(DeviceLibraries libraries, ApiState& api,
                               session::SessionRegistry& sessions,
                               std::function<void()> clearTemplates)
    : libraries_(libraries),
      api_(api),
      sessions_(sessions),
      clearTemplates_(std::move(clearTemplates)) {}

ScannerManager::~ScannerManager() = default;

void ScannerManager::DeleteMatcher() {
  if (devicelib::MatcherHandle matcher = matcher_.exchange(nullptr)) {
    libraries_.matcher.Delete(matcher);
  }
}

int ScannerManager::FindScanner(std::string_view handleText) {
  const int64_t handle = http::ReadHandleNumber(handleText);
  if (handle == 0) {
    return -1;
  }
  std::lock_guard lock(listLock_);
  for (size_t i = 0; i < scanners_.size(); ++i) {
    if (scanners_[i].handle == handle) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

std::shared_ptr<Scanner> ScannerManager::FindScannerObject(std::string_view handleText) {
  const int64_t handle = http::ReadHandleNumber(handleText);
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

std::string ScannerManager::HandleScannerApi(const std::string& name, const char* cookie,
                                             const std::string& parameterText) {
  std::lock_guard apiLock(api_.apiLock);
  Json::Value& reply = api_.reply;
  reply["sessionId"] = "0";

  const bool noSession = IsOneOf(name, {"initDevice", "uninitDevice", "getScannerStatus", "version",
                                        "getParameters", "setParameters", "abortCapture"});
  const bool withSession =
      IsOneOf(name, {"isFingerOn", "captureSingle", "startCapturing", "autoCapture",
                     "getTemplateData", "getImageData", "saveImageBuffer"});
  if (!noSession && !withSession) {
    reply = Json::Value(Json::objectValue);
    reply["retValue"] = -111;
    reply["retString"] = kUnsupportedApi;
    return api_.writer.write(reply);
  }
  if (name == "initDevice") {
    return InitDevice();
  }
  if (name == "uninitDevice") {
    return UninitDevice();
  }

  const std::string handleText = http::GetParamSHandle(parameterText);
  if (withSession) {
    std::string error;
    if (!sessions_.ValidateSession(cookie, http::GetParamId(parameterText), handleText, &error)) {
      reply = Json::Value(Json::objectValue);
      reply["request"] = name;
      reply["retValue"] = -112;
      reply["retString"] = error;
      return api_.writer.write(reply);
    }
  }
  // An unknown handle runs nothing: the reply is whatever the agent-level document holds.
  if (std::shared_ptr<Scanner> scanner = FindScannerObject(handleText)) {
    reply = scanner->HandleRequest(name, parameterText, matcher_.load());
    if (IsOneOf(name, {"captureSingle", "startCapturing", "abortCapture"})) {
      countdown_.Schedule(scanner, scanner->ResetTimerMs());
    }
  }
  return api_.writer.write(reply);
}

bool ScannerManager::EnumerateScanners() {
  devicelib::ScannerLib& lib = libraries_.scanner;
  int32_t status = lib.Init();
  if (status == devicelib::kAlreadyInitialised) {
    return true;  // the existing entries stay
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
    auto scanner = std::make_shared<Scanner>(libraries_);
    std::lock_guard lock(listLock_);
    scanners_.push_back({handle, std::move(scanner)});
  }
  return true;
}

std::string ScannerManager::InitDevice() {
  Json::Value& reply = api_.reply;
  DeleteMatcher();  // every initDevice makes a fresh matcher instance
  devicelib::MatcherHandle matcher = nullptr;
  const int32_t status = libraries_.matcher.Create(&matcher);
  if (status != 0) {
    SetLibraryError(reply, libraries_, Library::kMatcher, status);
    return api_.writer.write(reply);
  }
  matcher_.store(matcher);
  if (!EnumerateScanners()) {
    SetLibraryError(reply, libraries_, Library::kScanner, devicelib::kFailed);
    return api_.writer.write(reply);
  }
  std::vector<ScannerEntry> entries;
  {
    std::lock_guard lock(listLock_);
    entries = scanners_;
  }
  for (const ScannerEntry& entry : entries) {
    entry.scanner->ReleaseCaptureData();
  }
  if (entries.empty()) {
    return {};  // headers and no body
  }
  return entries.front().scanner->ListScanners();
}

std::string ScannerManager::UninitDevice() {
  Json::Value& reply = api_.reply;
  if (devicelib::MatcherHandle matcher = matcher_.exchange(nullptr)) {
    const int32_t status = libraries_.matcher.Delete(matcher);
    if (status != 0) {
      SetLibraryError(reply, libraries_, Library::kMatcher, status);
      return api_.writer.write(reply);
    }
  }
  clearTemplates_();
  SetSuccess(reply);
  const int32_t status = libraries_.scanner.Uninit();
  if (status != 0) {
    SetLibraryError(reply, libraries_, Library::kScanner, status);
  }
  std::string text = api_.writer.write(reply);
  std::vector<ScannerEntry> entries;
  {
    std::lock_guard lock(listLock_);
    entries.swap(scanners_);
  }
  for (ScannerEntry& entry : entries) {
    entry.scanner->ReleaseCaptureData();
    retired_.push_back(std::move(entry.scanner));
  }
  return text;
}

}  // namespace scanner
