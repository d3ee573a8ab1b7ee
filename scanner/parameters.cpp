// Capture and matching parameters: time-out, brightness, sensitivity on the scanner; security
// level, fast mode and template type on the matcher.
#include "devicelib/status.h"
#include "scanner/scanner.h"

namespace scanner {

namespace {

int32_t Wrap32(int64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

}  // namespace

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
    SetLibraryError(service::Library::kScanner, status);
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
    SetLibraryError(service::Library::kMatcher, status);
    return;
  }
  reply_["timeout"] = timeout;
  reply_["brightness"] = brightness;
  reply_["sensitivity"] = sensitivity;
  reply_["securitylevel"] = securityLevel;
  reply_["TemplateType"] = scannerType;
  reply_["fastmode"] = fastMode != 0;
  service::SetSuccess(reply_);
}

void Scanner::SetParameters(const std::string& parameterText, devicelib::MatcherHandle matcher) {
  int64_t handle = 0;
  service::ParameterMap map;
  if (!ReadHandleAndParameters(
          parameterText, handle, map,
          "at least one of timeout, brightness, sensitivity, templateType, fastMode, "
          "securityLevel")) {
    return;
  }
  devicelib::ScannerLib& lib = libraries_.scanner;
  devicelib::MatcherLib& matcherLib = libraries_.matcher;
  std::string unsupported;
  for (const auto& [name, text] : map) {  // ascending name order
    int32_t number = service::ReadAutoBase32(text);
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
    SetLibraryError(scannerSetting ? service::Library::kScanner : service::Library::kMatcher,
                    status);
    return;
  }
  service::SetSuccess(reply_);
  if (!unsupported.empty()) {
    reply_["unsupportedVariables"] = unsupported;
  }
}

}  // namespace scanner
