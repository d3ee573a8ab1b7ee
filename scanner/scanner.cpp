#include "scanner/scanner.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>

#include "codec/base64.h"
#include "codec/bmp.h"
#include "devicelib/status.h"
#include "scanner/device_types.h"

namespace scanner {

namespace {

constexpr int32_t kTemplateCapacity = devicelib::kMaxTemplateSize;  // 1024
constexpr int32_t kEncryptedCapacity = kTemplateCapacity + 16;      // 1040
constexpr float kDefaultCompressionRatio = 0.7f;

// strtol with base 0 as a 32-bit long would give it: decimal, "0x" hexadecimal or leading-0
// octal; reading stops at the first unusable character; no number reads as 0; values beyond
// 32 bits saturate.
int32_t ToInt32Base0(const std::string& text) {
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 0);
  if (value > INT32_MAX) {
    return INT32_MAX;
  }
  if (value < INT32_MIN) {
    return INT32_MIN;
  }
  return static_cast<int32_t>(value);
}

// Decimal as std::stoi reads it (leading blanks and a sign, stops at the first non-digit);
// nullopt for text without a number or a value outside 32 bits.
std::optional<int32_t> ToInt32Decimal(const std::string& text) {
  try {
    size_t used = 0;
    const long long value = std::stoll(text, &used, 10);
    if (value < INT32_MIN || value > INT32_MAX) {
      return std::nullopt;
    }
    return static_cast<int32_t>(value);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

int32_t Wrap32(int64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

// The Base64 text of a whole file, or nullopt when it cannot be read or is empty.
std::optional<std::string> EncodeFileBase64(const char* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
  if (bytes.empty() || file.bad()) {
    return std::nullopt;
  }
  return codec::Base64Encode(bytes);
}

bool IsDirectory(const char* path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

// The agent is told about plugged and unplugged devices but has nothing to do with them.
int32_t IgnoreDeviceEvent(int32_t /*event*/, int64_t /*handle*/, void* /*user*/) {
  return 0;
}

}  // namespace

Scanner::Scanner(DeviceLibraries libraries) : libraries_(libraries) {}

bool Scanner::HasImage() {
  return CurrentImage() != nullptr;
}

std::shared_ptr<const std::vector<uint8_t>> Scanner::CurrentImage() {
  std::lock_guard lock(imageLock_);
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

Json::Value Scanner::HandleRequest(const std::string& name, const std::string& parameterText,
                                   devicelib::MatcherHandle matcher) {
  std::lock_guard lock(requestLock_);
  reply_ = Json::Value(Json::objectValue);
  reply_["request"] = name;
  if (name == "getParameters") {
    GetParameters(parameterText, matcher);
  } else if (name == "setParameters") {
    SetParameters(parameterText, matcher);
  } else if (name == "getScannerStatus") {
    GetScannerStatus(parameterText);
  } else if (name == "captureSingle") {
    CaptureSingle(parameterText);
  } else if (name == "startCapturing") {
    StartCapturing(parameterText);
  } else if (name == "abortCapture") {
    AbortCapture(parameterText);
  } else if (name == "autoCapture") {
    AutoCapture(parameterText);
  } else if (name == "getTemplateData") {
    GetTemplateData(parameterText);
  } else if (name == "getImageData") {
    GetImageData(parameterText);
  } else if (name == "saveImageBuffer") {
    SaveImageBuffer(parameterText);
  } else if (name == "version") {
    reply_["API"] = "0.1";
  }
  // "isFingerOn" has no operation behind it: its reply is the request name alone.
  return reply_;
}

void Scanner::SetLibraryError(Library library, int32_t code) {
  scanner::SetLibraryError(reply_, libraries_, library, code);
}

int32_t Scanner::ReadHandle(const std::string& parameterText, int64_t& handle) {
  const int64_t value = http::ReadHandleNumber(http::GetParamSHandle(parameterText));
  if (value == 0) {
    SetWrongParameter(reply_);
    return -1;
  }
  handle = value;
  return 0;
}

int32_t Scanner::ParseParameters(const std::string& parameterText, http::ParameterMap& map) {
  return http::ParseParameters(parameterText, map);
}

void Scanner::ApplyResetTimer(const http::ParameterMap& map) {
  const auto found = map.find("resetTimer");
  if (found == map.end()) {
    return;
  }
  // Taken as unsigned, so a negative number becomes the longest lifetime.
  uint32_t value = static_cast<uint32_t>(ToInt32Base0(found->second));
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
    SetLibraryError(Library::kScanner, status);
    return false;
  }
  rawImage_.clear();
  // A size the library should never report; refusing it keeps a bad size from turning into a
  // huge or negative allocation.
  const int64_t pixels = static_cast<int64_t>(imageWidth_) * imageHeight_;
  if (imageWidth_ <= 0 || imageHeight_ <= 0 || pixels > codec::kBmpMaxPixels) {
    SetLibraryError(Library::kScanner, devicelib::kFailed);
    return false;
  }
  rawImage_.assign(static_cast<size_t>(pixels), 0);
  status = libraries_.scanner.GetCaptureImage(handle, rawImage_.data());
  if (status != 0) {
    SetLibraryError(Library::kScanner, status);
    return false;
  }
  auto bmp = MakeBmp(rawImage_, imageWidth_, imageHeight_);
  std::lock_guard lock(imageLock_);
  bmpImage_ = std::move(bmp);  // stays null when the builder failed
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
  std::lock_guard lock(self->imageLock_);
  self->bmpImage_ = std::move(bmp);
  self->imageUpdated_ = true;
  return 1;
}

void Scanner::StoreBase64(std::span<const uint8_t> bytes) {
  base64Text_ = codec::Base64Encode(bytes);
}

void Scanner::ReleaseCaptureData() {
  std::lock_guard lock(imageLock_);
  std::error_code ignored;
  std::filesystem::remove(kConvertedBmpPath, ignored);
  std::filesystem::remove(kConvertedDatPath, ignored);
  std::filesystem::remove(kConvertedWsqPath, ignored);
  std::string().swap(base64Text_);
  bmpImage_.reset();
}

std::string Scanner::ListScanners() {
  std::lock_guard lock(requestLock_);
  devicelib::ScannerLib& lib = libraries_.scanner;
  int32_t status = lib.Init();
  if (status != 0 && status != devicelib::kAlreadyInitialised) {
    SetLibraryError(Library::kScanner, status);
    return writer_.write(reply_);
  }
  status = lib.SetScannerCallback(IgnoreDeviceEvent, this);
  if (status != 0) {
    SetLibraryError(Library::kScanner, status);
    return writer_.write(reply_);
  }
  int32_t count = 0;
  status = lib.GetScannerNumber(&count);
  if (status != 0) {
    SetLibraryError(Library::kScanner, status);
    return writer_.write(reply_);
  }
  Json::Value infos(Json::arrayValue);
  for (int32_t i = 0; i < count; ++i) {
    char id[devicelib::kIdTextSize] = "";
    int64_t handle = 0;
    status = lib.GetScannerHandle(i, &handle);
    if (status == 0) {
      status = lib.GetScannerID(handle, id);
    }
    if (status == 0) {
      status = lib.GetScannerType(handle, &scannerType_);
    }
    if (status != 0) {
      SetLibraryError(Library::kScanner, status);
      return writer_.write(reply_);
    }
    id[sizeof(id) - 1] = '\0';
    Json::Value info(Json::objectValue);
    info["DeviceIndex"] = i;
    info["ScannerName"] = id;
    info["DeviceHandle"] = Json::Int64(handle);
    info["DeviceType"] = DeviceTypeToName(scannerType_);
    infos.append(info);
  }
  reply_["ScannerInfos"] = infos;
  reply_["ScannerCount"] = count;
  SetSuccess(reply_);
  return writer_.write(reply_);
}

bool Scanner::ReadHandleAndParameters(const std::string& parameterText, int64_t& handle,
                                      http::ParameterMap& map) {
  if (ReadHandle(parameterText, handle) != 0) {
    return false;
  }
  if (ParseParameters(parameterText, map) != 0) {
    SetWrongParameter(reply_);
    return false;
  }
  return true;
}

// ---- Capture control -------------------------------------------------------------------

// The start shared by captureSingle, startCapturing and abortCapture: the handle, then the
// optional "resetTimer" (no other parameter is required, so an empty map is fine).
bool Scanner::BeginCaptureRequest(const std::string& parameterText, int64_t& handle) {
  if (ReadHandle(parameterText, handle) != 0) {
    return false;
  }
  http::ParameterMap map;
  ParseParameters(parameterText, map);
  ApplyResetTimer(map);
  return true;
}

void Scanner::CaptureSingle(const std::string& parameterText) {
  int64_t handle = 0;
  if (!BeginCaptureRequest(parameterText, handle)) {
    return;
  }
  const int32_t status = libraries_.scanner.CaptureSingleImage(handle);
  if (status != 0) {
    SetLibraryError(Library::kScanner, status);
    return;
  }
  if (!FetchCapturedImage(handle)) {
    return;
  }
  SetSuccess(reply_);
}

void Scanner::StartCapturing(const std::string& parameterText) {
  int64_t handle = 0;
  if (!BeginCaptureRequest(parameterText, handle)) {
    return;
  }
  const int32_t status = libraries_.scanner.StartCapturing(handle, &Scanner::OnCaptureFrame, this);
  if (status != 0) {
    SetLibraryError(Library::kScanner, status);
    return;
  }
  SetSuccess(reply_);
}

void Scanner::AbortCapture(const std::string& parameterText) {
  int64_t handle = 0;
  if (!BeginCaptureRequest(parameterText, handle)) {
    return;
  }
  const int32_t status = libraries_.scanner.AbortCapturing(handle);
  if (status != 0) {
    SetLibraryError(Library::kScanner, status);
    return;
  }
  SetSuccess(reply_);
}

void Scanner::AutoCapture(const std::string& parameterText) {
  int64_t handle = 0;
  if (ReadHandle(parameterText, handle) != 0) {
    return;
  }
  const int32_t status =
      libraries_.scanner.StartAutoCapture(handle, &Scanner::OnCaptureFrame, this);
  if (status != 0) {
    SetLibraryError(Library::kScanner, status);
    return;
  }
  SetSuccess(reply_);
}

void Scanner::GetScannerStatus(const std::string& parameterText) {
  int64_t handle = 0;
  if (ReadHandle(parameterText, handle) != 0) {
    return;
  }
  reply_["SensorValid"] = "true";
  int32_t sensorOn = 0;
  int32_t status = libraries_.scanner.IsSensorOn(handle, &sensorOn);
  if (status != 0) {
    SetLibraryError(Library::kScanner, status);
    return;
  }
  reply_["SensorOn"] = sensorOn != 0 ? "true" : "false";
  int32_t capturing = 0;
  status = libraries_.scanner.IsCapturing(handle, &capturing);
  if (status != 0) {
    SetLibraryError(Library::kScanner, status);
    return;
  }
  reply_["IsCapturing"] = capturing != 0 ? "true" : "false";
  bool updated = false;
  {
    std::lock_guard lock(imageLock_);
    updated = imageUpdated_;
    imageUpdated_ = false;
  }
  reply_["IsFingerOn"] = updated ? "true" : "false";
  SetSuccess(reply_);
}

// ---- Parameters --------------------------------------------------------------------------

void Scanner::GetParameters(const std::string& parameterText, devicelib::MatcherHandle matcher) {
  int64_t handle = 0;
  if (ReadHandle(parameterText, handle) != 0) {
    return;
  }
  int32_t brightness = 0, sensitivity = 0, timeout = 0, scannerType = 0;
  int32_t securityLevel = 0, fastMode = 0, matcherType = 0;
  devicelib::ScannerLib& lib = libraries_.scanner;
  devicelib::MatcherLib& matcherLib = libraries_.matcher;
  int32_t status = lib.GetParameter(handle, devicelib::kParamBrightness, &brightness);
  if (status == 0) {
    status = lib.GetParameter(handle, devicelib::kParamSensitivity, &sensitivity);
  }
  if (status == 0) {
    status = lib.GetParameter(handle, devicelib::kParamCaptureTimeout, &timeout);
  }
  if (status == 0) {
    status = lib.GetTemplateType(handle, &scannerType);
  }
  if (status != 0) {
    SetLibraryError(Library::kScanner, status);
    return;
  }
  status = matcherLib.GetParameter(matcher, devicelib::kParamSecurityLevel, &securityLevel);
  if (status == 0) {
    status = matcherLib.GetParameter(matcher, devicelib::kParamFastMode, &fastMode);
  }
  if (status == 0) {
    status = matcherLib.GetTemplateType(matcher, &matcherType);  // read, not reported
  }
  if (status != 0) {
    SetLibraryError(Library::kMatcher, status);
    return;
  }
  reply_["timeout"] = timeout;
  reply_["brightness"] = brightness;
  reply_["sensitivity"] = sensitivity;
  reply_["securitylevel"] = securityLevel;
  reply_["TemplateType"] = scannerType;
  reply_["fastmode"] = fastMode != 0;
  SetSuccess(reply_);
}

void Scanner::SetParameters(const std::string& parameterText, devicelib::MatcherHandle matcher) {
  int64_t handle = 0;
  http::ParameterMap map;
  if (!ReadHandleAndParameters(parameterText, handle, map)) {
    return;
  }
  devicelib::ScannerLib& lib = libraries_.scanner;
  devicelib::MatcherLib& matcherLib = libraries_.matcher;
  std::string unsupported;
  for (const auto& [name, text] : map) {  // ascending name order
    int32_t number = ToInt32Base0(text);
    int32_t status = 0;
    bool scannerSetting = true;
    if (name == "timeout") {
      number = Wrap32(static_cast<int64_t>(number) * 1000);
      status = lib.SetParameter(handle, devicelib::kParamCaptureTimeout, &number);
    } else if (name == "brightness") {
      status = lib.SetParameter(handle, devicelib::kParamBrightness, &number);
    } else if (name == "sensitivity") {
      status = lib.SetParameter(handle, devicelib::kParamSensitivity, &number);
    } else if (name == "templateType") {
      lib.SetTemplateType(handle, number);  // the matcher's answer is the one that counts
      status = matcherLib.SetTemplateType(matcher, number);
    } else if (name == "fastMode") {
      scannerSetting = false;
      status = matcherLib.SetParameter(matcher, devicelib::kParamFastMode, &number);
    } else if (name == "securityLevel") {
      scannerSetting = false;
      status = matcherLib.SetParameter(matcher, devicelib::kParamSecurityLevel, &number);
    } else {
      continue;  // unknown names, "id" among them, are skipped without a word
    }
    if (status == 0) {
      continue;
    }
    if (scannerSetting && status == devicelib::kNotSupported) {
      unsupported += unsupported.empty() ? name : ", " + name;
      continue;
    }
    SetLibraryError(scannerSetting ? Library::kScanner : Library::kMatcher, status);
    return;
  }
  SetSuccess(reply_);
  if (!unsupported.empty()) {
    reply_["unsupportedVariables"] = unsupported;
  }
}

// ---- Export --------------------------------------------------------------------------------

void Scanner::GetTemplateData(const std::string& parameterText) {
  int64_t handle = 0;
  http::ParameterMap map;
  if (!ReadHandleAndParameters(parameterText, handle, map)) {
    return;
  }
  int32_t encrypt = -1;
  int32_t extractEx = -1;
  int32_t qualityLevel = 0;
  std::string encryptKey;
  for (const auto& [name, text] : map) {
    if (name == "encrypt" || name == "extractEx") {
      const std::optional<int32_t> value = ToInt32Decimal(text);
      if (!value) {
        SetWrongParameter(reply_);  // not a number, or beyond 32 bits
        return;
      }
      (name == "encrypt" ? encrypt : extractEx) = *value;
    } else if (name == "encryptKey") {
      encryptKey = text;
    } else if (name == "qualityLevel") {
      qualityLevel = ToInt32Base0(text);
    }
  }

  devicelib::ScannerLib& lib = libraries_.scanner;
  const int32_t templateSize = kTemplateCapacity;
  int32_t status = lib.SetParameter(handle, devicelib::kParamTemplateSize, &templateSize);
  if (status != 0) {
    SetLibraryError(Library::kScanner, status);
    return;
  }
  std::array<uint8_t, kTemplateCapacity> templ{};
  int32_t size = kTemplateCapacity;
  int32_t quality = 0;
  if (extractEx == 1) {
    status = lib.ExtractEx(handle, kTemplateCapacity, templ.data(), &size, &quality);
  } else if (extractEx == 0) {
    status = lib.Extract(handle, templ.data(), &size, &quality);
  } else {
    SetWrongParameter(reply_);
    return;
  }
  if (status == 0 && (size < 0 || size > kTemplateCapacity)) {
    status = devicelib::kBufferTooSmall;  // a library that overstates its size is not trusted
  }
  if (status != 0) {
    SetLibraryError(Library::kScanner, status);
    return;
  }
  if (qualityLevel > quality) {
    SetLibraryError(Library::kScanner, devicelib::kLowQuality);
    return;
  }

  std::lock_guard lock(imageLock_);
  if (encrypt == 1) {
    if (!encryptKey.empty()) {
      std::array<uint8_t, devicelib::kEncryptionKeySize> key{};
      std::memcpy(key.data(), encryptKey.data(), std::min(encryptKey.size(), key.size()));
      status = lib.SetEncryptionKey(handle, key.data());
      if (status != 0 && status != devicelib::kNotSupported) {
        SetLibraryError(Library::kScanner, status);
        return;
      }
    }
    std::array<uint8_t, kEncryptedCapacity> encrypted{};
    int32_t encryptedSize = kEncryptedCapacity;
    status = lib.EncryptTemplate(handle, templ.data(), size, encrypted.data(), &encryptedSize);
    if (status == 0 && (encryptedSize < 0 || encryptedSize > kEncryptedCapacity)) {
      status = devicelib::kBufferTooSmall;
    }
    if (status != 0) {
      SetLibraryError(Library::kScanner, status);
      return;
    }
    StoreBase64({encrypted.data(), static_cast<size_t>(encryptedSize)});
  } else if (encrypt == 0) {
    StoreBase64({templ.data(), static_cast<size_t>(size)});
  } else {
    SetWrongParameter(reply_);
    return;
  }
  reply_["templateBase64"] = base64Text_;
  SetSuccess(reply_);
}

void Scanner::GetImageData(const std::string& parameterText) {
  int64_t handle = 0;
  http::ParameterMap map;
  if (!ReadHandleAndParameters(parameterText, handle, map)) {
    return;
  }
  if (!FetchCapturedImage(handle)) {
    reply_["imageBase64"] = "";
    return;
  }
  std::lock_guard lock(imageLock_);
  reply_["imageBase64"] = "";
  float ratio = kDefaultCompressionRatio;
  for (const auto& [name, value] : map) {  // "compressionRatio" sorts before "fileType"
    if (name == "compressionRatio") {
      ratio = static_cast<float>(std::atof(value.c_str()));
    } else if (name == "fileType") {
      std::optional<std::string> text;
      if (value == "1") {
        if (bmpImage_ != nullptr) {
          text = codec::Base64Encode(*bmpImage_);
        }
      } else if (value == "2") {
        if (libraries_.scanner.SaveCaptureImageToDatFile(handle, kConvertedDatPath) == 0) {
          text = EncodeFileBase64(kConvertedDatPath);
        }
      } else if (value == "3") {
        if (libraries_.scanner.SaveCaptureImageToWsqFile(handle, ratio, kConvertedWsqPath) == 0) {
          text = EncodeFileBase64(kConvertedWsqPath);
        }
      }
      if (text) {
        reply_["imageBase64"] = *text;
      }
    }
  }
  SetSuccess(reply_);
}

void Scanner::SaveImageBuffer(const std::string& parameterText) {
  int64_t handle = 0;
  http::ParameterMap map;
  if (!ReadHandleAndParameters(parameterText, handle, map)) {
    return;
  }
  std::error_code ignored;
  if (!IsDirectory("./html")) {
    std::filesystem::create_directory("./html", ignored);
    if (IsDirectory("./html")) {
      std::filesystem::create_directory("./html/img", ignored);
    }
  } else if (!IsDirectory("./html/img")) {
    std::filesystem::create_directory("./html/img", ignored);
  }
  if (!IsDirectory("./html/img")) {
    reply_["retValue"] = "-1";
    reply_["retString"] = "Cannot create file";
    return;
  }

  int32_t result = 0;
  {
    std::lock_guard lock(imageLock_);
    float ratio = kDefaultCompressionRatio;
    devicelib::ScannerLib& lib = libraries_.scanner;
    for (const auto& [name, value] : map) {
      if (name == "compressionRatio") {
        ratio = static_cast<float>(std::atof(value.c_str()));
      } else if (name == "fileType") {
        if (value == "1") {
          result = lib.SaveCaptureImageToBmpFile(handle, kConvertedBmpPath);
        } else if (value == "2") {
          result = lib.SaveCaptureImageToDatFile(handle, kConvertedDatPath);
        } else if (value == "3") {
          result = lib.SaveCaptureImageToWsqFile(handle, ratio, kConvertedWsqPath);
        }
      }
    }
  }
  if (result == 0) {
    SetSuccess(reply_);
  } else if (result == -1) {
    reply_["retValue"] = "-1";
    reply_["retString"] = "Cannot write file";
  } else {
    SetLibraryError(Library::kScanner, result);
  }
}

}  // namespace scanner
