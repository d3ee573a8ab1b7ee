#include "scanner/scanner.h"

#include <filesystem>

#include "codec/base64.h"
#include "codec/bmp.h"
#include "devicelib/status.h"
#include "service/paths.h"

namespace scanner {

Scanner::Scanner(service::DeviceLibraries libraries, service::EventHub* events, int64_t handle)
    : libraries_(libraries), events_(events), handleText_(std::to_string(handle)) {}

void Scanner::Publish(const char* type, Json::Value data) {
  if (events_ != nullptr) {
    events_->Publish(type, handleText_, std::move(data));
  }
}

void Scanner::PublishCaptureStarted(const char* mode) {
  Json::Value data(Json::objectValue);
  data["mode"] = mode;
  Publish(service::event::kCaptureStarted, std::move(data));
}

void Scanner::PublishCaptureDone(int32_t status) {
  Json::Value data(Json::objectValue);
  data["retValue"] = status;
  Publish(service::event::kCaptureDone, std::move(data));
}

bool Scanner::HasImage() {
  return CurrentImage() != nullptr;
}

std::shared_ptr<const std::vector<uint8_t>> Scanner::CurrentImage() {
  std::lock_guard lock(imageLock_);
  return bmpImage_;
}

service::ImageBytes Scanner::WaitForChange(const service::ImageBytes& shown,
                                           std::chrono::milliseconds atMost) {
  std::unique_lock lock(imageLock_);
  imageChanged_.wait_for(lock, atMost, [&] { return bmpImage_ != shown; });
  return bmpImage_;
}

std::string Scanner::Base64Text() {
  std::lock_guard lock(imageLock_);
  return base64Text_;
}

namespace {

// A BMP file of the pixels, or null when it cannot be built.
std::shared_ptr<const std::vector<uint8_t>> MakeBmp(std::span<const uint8_t> pixels, int32_t width,
                                                    int32_t height) {
  auto bmp = std::make_shared<std::vector<uint8_t>>();
  if (!codec::BuildBmpFile(pixels, width, height, bmp.get())) {
    return nullptr;
  }
  return bmp;
}

}  // namespace

Json::Value Scanner::Run(Operation operation, const std::string& name,
                         const std::string& parameterText,
                         const std::function<devicelib::MatcherHandle()>& matcher,
                         std::mutex* agentLock) {
  std::lock_guard lock(requestLock_);
  std::unique_lock<std::mutex> agent;
  if (agentLock != nullptr) {
    agent = std::unique_lock(*agentLock);
  }
  reply_ = service::NewReply();
  reply_["request"] = name;
  (this->*operation)(parameterText, matcher());
  return reply_;
}

Json::Value Scanner::RunBeside(SideOperation operation, const std::string& name,
                               const std::string& parameterText) {
  Json::Value reply = service::NewReply();
  reply["request"] = name;
  (this->*operation)(reply, parameterText);
  return reply;
}

void Scanner::Version(const std::string& /*parameterText*/, devicelib::MatcherHandle /*matcher*/) {
  reply_["API"] = "0.1";
}

void Scanner::IsFingerOn(const std::string& /*parameterText*/,
                         devicelib::MatcherHandle /*matcher*/) {}

void Scanner::SetLibraryError(service::Library library, int32_t code) {
  service::SetLibraryError(reply_, libraries_, library, code);
  if (code == devicelib::kInvalidTemplate) {
    // The libraries' -112 looks like a parameter fault to a page; say what it is.
    reply_["detail"] = library == service::Library::kMatcher
                           ? "the matcher cannot read one of the templates it was given"
                           : "the scanner library cannot read the template it was given";
  }
}

int32_t Scanner::ReadHandle(const std::string& parameterText, int64_t& handle) {
  return ReadHandleInto(reply_, parameterText, handle);
}

int32_t Scanner::ReadHandleInto(Json::Value& reply, const std::string& parameterText,
                                int64_t& handle) {
  const int64_t value = service::ReadHandleNumber(service::GetParamSHandle(parameterText));
  if (value == 0) {
    service::SetWrongParameter(reply, kDetailHandle);
    return -1;
  }
  handle = value;
  return 0;
}

void Scanner::ApplyResetTimer(const service::ParameterMap& map) {
  const auto found = map.find("resetTimer");
  if (found == map.end()) {
    return;
  }
  // Taken as unsigned, so a negative number becomes the longest lifetime.
  uint32_t value = static_cast<uint32_t>(service::ReadAutoBase32(found->second));
  if (value < kMinResetTimerMs) {
    value = kMinResetTimerMs;
  } else if (value > kMaxResetTimerMs) {
    value = kMaxResetTimerMs;
  }
  resetTimerMs_ = value;
}

bool Scanner::FetchCapturedImage(int64_t handle) {
  int32_t status = libraries_.scanner.GetCaptureImageInfo(handle, &imageWidth_, &imageHeight_,
                                                          &imageResolution_);
  if (status != 0) {
    SetLibraryError(service::Library::kScanner, status);
    return false;
  }
  rawImage_.clear();
  // A size the library should never report; refusing it keeps a bad size from turning into a
  // huge or negative allocation.
  const int64_t pixels = static_cast<int64_t>(imageWidth_) * imageHeight_;
  if (imageWidth_ <= 0 || imageHeight_ <= 0 || pixels > codec::kBmpMaxPixels) {
    SetLibraryError(service::Library::kScanner, devicelib::kFailed);
    return false;
  }
  rawImage_.assign(static_cast<size_t>(pixels), 0);
  status = libraries_.scanner.GetCaptureImage(handle, rawImage_.data());
  if (status != 0) {
    SetLibraryError(service::Library::kScanner, status);
    return false;
  }
  auto bmp = MakeBmp(rawImage_, imageWidth_, imageHeight_);
  std::lock_guard lock(imageLock_);
  bmpImage_ = std::move(bmp);  // stays null when the builder failed
  imageChanged_.notify_all();
  return true;
}

int32_t Scanner::OnCaptureFrame(void* /*unused1*/, void* /*unused2*/, const uint8_t* pixels,
                                int32_t width, int32_t height, void* /*unused3*/, void* user) {
  if (user == nullptr) {
    return -1;
  }
  auto* self = static_cast<Scanner*>(user);
  std::shared_ptr<const std::vector<uint8_t>> bmp;
  if (pixels != nullptr && width > 0 && height > 0) {
    bmp =
        MakeBmp({pixels, static_cast<size_t>(width) * static_cast<size_t>(height)}, width, height);
  }
  {
    std::lock_guard lock(self->imageLock_);
    self->bmpImage_ = std::move(bmp);
    self->imageChanged_.notify_all();
    self->imageUpdated_ = true;
  }
  // An automatic capture is done with its one image; live frames keep coming until the abort.
  int expected = kAutoStream;
  if (self->streamMode_.compare_exchange_strong(expected, kNoStream)) {
    self->PublishCaptureDone(devicelib::kOk);
  }
  return 1;
}

void Scanner::StoreBase64(std::span<const uint8_t> bytes) {
  base64Text_ = codec::Base64Encode(bytes);
}

void Scanner::ReleaseCaptureData() {
  std::lock_guard lock(imageLock_);
  std::error_code ignored;
  std::filesystem::remove(service::kConvertedBmpPath, ignored);
  std::filesystem::remove(service::kConvertedDatPath, ignored);
  std::filesystem::remove(service::kConvertedWsqPath, ignored);
  std::string().swap(base64Text_);
  bmpImage_.reset();
  imageChanged_.notify_all();
}

bool Scanner::ReadHandleAndParameters(const std::string& parameterText, int64_t& handle,
                                      service::ParameterMap& map, std::string_view needs) {
  if (ReadHandle(parameterText, handle) != 0) {
    return false;
  }
  if (service::ParseParameters(parameterText, map) != 0) {
    service::SetWrongParameter(reply_, "no parameter besides sHandle was given: " +
                                           std::string(reply_["request"].asString()) + " needs " +
                                           std::string(needs));
    return false;
  }
  return true;
}

}  // namespace scanner
