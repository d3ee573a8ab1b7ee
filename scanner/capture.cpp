// Capture control: one synchronous shot, live capture, automatic capture, abort, and the
// sensor and capture status.
#include "devicelib/status.h"
#include "scanner/scanner.h"

namespace scanner {

// The start shared by captureSingle, startCapturing and abortCapture: the handle, then the
// optional "resetTimer" (no other parameter is required, so an empty map is fine).
bool Scanner::BeginCaptureRequest(const std::string& parameterText, int64_t& handle) {
  if (ReadHandle(parameterText, handle) != 0) {
    return false;
  }
  service::ParameterMap map;
  service::ParseParameters(parameterText, map);
  ApplyResetTimer(map);
  return true;
}

void Scanner::CaptureSingle(const std::string& parameterText,
                            devicelib::MatcherHandle /*matcher*/) {
  int64_t handle = 0;
  if (!BeginCaptureRequest(parameterText, handle)) {
    return;
  }
  PublishCaptureStarted("capture");
  const int32_t status = libraries_.scanner.CaptureSingleImage(handle);
  if (status != 0) {
    SetLibraryError(service::Library::kScanner, status);
    PublishCaptureDone(status);
    return;
  }
  if (!FetchCapturedImage(handle)) {
    // The library's error is in the reply; listeners learn the same status.
    PublishCaptureDone(
        service::ReadDecimal32(reply_["retValue"].asString()).value_or(devicelib::kFailed));
    return;
  }
  service::SetSuccess(reply_);
  PublishCaptureDone(devicelib::kOk);
}

void Scanner::StartCapturing(const std::string& parameterText,
                             devicelib::MatcherHandle /*matcher*/) {
  int64_t handle = 0;
  if (!BeginCaptureRequest(parameterText, handle)) {
    return;
  }
  PublishCaptureStarted("live");
  // Marked before the start: the library may deliver the first frame before it returns. A
  // refused start (one already runs, say) leaves the running capture's mark as it was.
  const int previous = streamMode_.exchange(kLiveStream);
  const int32_t status = libraries_.scanner.StartCapturing(handle, &Scanner::OnCaptureFrame, this);
  if (status != 0) {
    int expected = kLiveStream;
    streamMode_.compare_exchange_strong(expected, previous);
    SetLibraryError(service::Library::kScanner, status);
    PublishCaptureDone(status);
    return;
  }
  service::SetSuccess(reply_);
}

// Runs beside a waiting captureSingle (see RunBeside): the library ends that capture, which then
// answers the library's "aborted" status.
void Scanner::AbortCapture(Json::Value& reply, const std::string& parameterText) {
  int64_t handle = 0;
  if (ReadHandleInto(reply, parameterText, handle) != 0) {
    return;
  }
  service::ParameterMap map;
  service::ParseParameters(parameterText, map);
  ApplyResetTimer(map);
  const int32_t status = libraries_.scanner.AbortCapturing(handle);
  if (status != 0) {
    service::SetLibraryError(reply, libraries_, service::Library::kScanner, status);
    return;
  }
  // A live or automatic capture ends here, as an aborted single capture does (that one tells
  // its own end when the library returns to it).
  if (streamMode_.exchange(kNoStream) != kNoStream) {
    PublishCaptureDone(devicelib::kCaptureAborted);
  }
  service::SetSuccess(reply);
}

void Scanner::AutoCapture(const std::string& parameterText, devicelib::MatcherHandle /*matcher*/) {
  int64_t handle = 0;
  if (ReadHandle(parameterText, handle) != 0) {
    return;
  }
  PublishCaptureStarted("auto");
  const int previous = streamMode_.exchange(kAutoStream);
  const int32_t status =
      libraries_.scanner.StartAutoCapture(handle, &Scanner::OnCaptureFrame, this);
  if (status != 0) {
    int expected = kAutoStream;
    streamMode_.compare_exchange_strong(expected, previous);
    PublishCaptureDone(status);
    SetLibraryError(service::Library::kScanner, status);
    return;
  }
  service::SetSuccess(reply_);
}

void Scanner::GetScannerStatus(Json::Value& reply, const std::string& parameterText) {
  int64_t handle = 0;
  if (ReadHandleInto(reply, parameterText, handle) != 0) {
    return;
  }
  reply["SensorValid"] = "true";
  int32_t sensorOn = 0;
  int32_t status = libraries_.scanner.IsSensorOn(handle, &sensorOn);
  if (status != 0) {
    service::SetLibraryError(reply, libraries_, service::Library::kScanner, status);
    return;
  }
  reply["SensorOn"] = sensorOn != 0 ? "true" : "false";
  int32_t capturing = 0;
  status = libraries_.scanner.IsCapturing(handle, &capturing);
  if (status != 0) {
    service::SetLibraryError(reply, libraries_, service::Library::kScanner, status);
    return;
  }
  reply["IsCapturing"] = capturing != 0 ? "true" : "false";
  bool updated = false;
  {
    std::lock_guard lock(imageLock_);
    updated = imageUpdated_;
    imageUpdated_ = false;
  }
  reply["IsFingerOn"] = updated ? "true" : "false";
  service::SetSuccess(reply);
}

}  // namespace scanner
