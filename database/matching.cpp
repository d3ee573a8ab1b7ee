// "verify", "verifyTemplate", "identify" and "abortIdentify": matching a live finger against
// one stored user, against a template the page sends, or against every stored user.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "codec/base64.h"
#include "database/template_database.h"
#include "devicelib/status.h"

namespace database {

namespace {

constexpr char kNotRegistered[] = "Not Registered";
constexpr char kHintPlain[] = " <<Template data might be encrypted>>";
constexpr char kHintEncrypted[] = " <<Template data might be encrypted with another key>>";
constexpr char kDetailExtractEx[] =
    "extractEx must be 0 (plain extraction) or 1 (extraction with the buffer's capacity)";

}  // namespace

// The live finger's template, local to one request.
struct TemplateDatabase::Probe {
  service::TemplateBuffer data{};
  int32_t size = 0;
  int32_t quality = 0;
};

namespace {

// "extractEx" of verify and identify: 1 and 0 choose, anything else (absence too) is refused.
ExtractChoice StrictChoice(const std::optional<int32_t>& extractEx) {
  if (extractEx == 1) {
    return ExtractChoice::kEx;
  }
  if (extractEx == 0) {
    return ExtractChoice::kPlain;
  }
  return ExtractChoice::kRefuse;
}

}  // namespace

bool TemplateDatabase::CaptureProbe(int64_t handle, ExtractChoice choice, int32_t qualityLevel,
                                    Probe& probe, const char* mode) {
  const int32_t captureStatus = CaptureImage(handle, mode);
  if (captureStatus != devicelib::kOk) {
    SetLibraryError(service::Library::kScanner, captureStatus);
    return false;
  }
  if (!SetTemplateSizeParameter(handle)) {
    return false;
  }
  if (choice == ExtractChoice::kRefuse) {
    SetWrongParameter(kDetailExtractEx);
    return false;
  }
  const int32_t status =
      service::ExtractTemplate(libraries_.scanner, handle, choice == ExtractChoice::kEx, probe.data,
                               &probe.size, &probe.quality);
  if (status != devicelib::kOk) {
    SetLibraryError(service::Library::kScanner, status);
    return false;
  }
  reply_["quality"] = probe.quality;
  // Equal quality passes; a probe below the page's level is never matched.
  if (qualityLevel > probe.quality) {
    SetLibraryError(service::Library::kScanner, devicelib::kLowQuality);
    return false;
  }
  return true;
}

// "retVerify" by the matcher's result (nothing for a result other than 1 or 0), then success.
void TemplateDatabase::SetVerifyResult(int32_t result) {
  if (result == 1) {
    reply_["retVerify"] = "Success";
  } else if (result == 0) {
    reply_["retVerify"] = "Fail";
  }
  service::SetSuccess(reply_);
}

void TemplateDatabase::Verify(const std::string& parameterText) {
  int64_t handle = 0;
  RequestParameters params;
  if (!ReadRequest(parameterText, kUserSerialNo | kExtractEx | kQualityLevel, false, handle,
                   params)) {
    return;
  }
  // Checked before the capture, so a wrong number costs the user no finger placement.
  if (!RequireExistingUser(params.userSerialNo)) {
    return;
  }
  Probe probe;
  if (!CaptureProbe(handle, StrictChoice(params.extractEx), params.qualityLevel, probe, "verify")) {
    return;
  }
  int32_t result = -1;
  int32_t status = 0;
  {
    std::lock_guard templateGuard(templateLock_);
    const TemplateRecord& record = templates1_[*params.userSerialNo];
    status = libraries_.matcher.Verify(matcher_.load(), probe.data.data(), probe.size,
                                       record.templateData.data(),
                                       static_cast<int32_t>(record.templateSize), &result);
  }
  if (status != devicelib::kOk) {
    SetLibraryError(service::Library::kMatcher, status);
    if (status == devicelib::kInvalidTemplate) {
      reply_["detail"] = "user " + std::to_string(*params.userSerialNo) +
                         " has no usable template (its enrolment failed?): enrol it again";
    }
    return;
  }
  SetMatchScore();
  SetVerifyResult(result);
}

void TemplateDatabase::VerifyTemplate(const std::string& parameterText) {
  int64_t handle = 0;
  RequestParameters params;
  if (!ReadRequest(parameterText,
                   kTempData | kTempLen | kEncrypt | kEncryptKey | kExtractEx | kQualityLevel,
                   false, handle, params)) {
    return;
  }
  const int32_t tempLen = params.tempLen.value_or(0);
  const int32_t encrypt = params.encrypt.value_or(-1);  // absent: the template is encrypted
  const std::string& tempData = params.tempData;
  if (tempData.size() > kMaxTempDataLength) {
    SetWrongParameter("tempData must be at most " + std::to_string(kMaxTempDataLength) +
                      " characters, not " + std::to_string(tempData.size()));
    return;
  }
  if (tempLen < 0 || tempLen > static_cast<int32_t>(kTemplateBufferSize)) {
    SetWrongParameter("tempLen must be 0 to " + std::to_string(kTemplateBufferSize));
    return;
  }

  // Pages may percent-escape "+" and "/" (%2B, %2F); the parameter text reaches us undecoded.
  // Only the second character after "%" is looked at; any other escape leaves a zero byte,
  // which ends the text for the decoder.
  std::array<char, kMaxTempDataLength + 1> unescaped{};
  size_t out = 0;
  for (size_t in = 0; in < tempData.size();) {
    if (tempData[in] == '%') {
      if (in + 2 >= tempData.size()) {
        SetWrongParameter("tempData ends inside a \"%\" escape");
        return;
      }
      const char code = tempData[in + 2];
      if (code == 'B') {
        unescaped[out] = '+';
      } else if (code == 'F') {
        unescaped[out] = '/';
      }
      ++out;
      in += 3;
    } else {
      unescaped[out++] = tempData[in++];
    }
  }

  // Lenient: no padding needed; malformed padding counts as an empty template.
  std::vector<uint8_t> decoded =
      codec::Base64Decode(std::string_view(unescaped.data())).value_or(std::vector<uint8_t>{});
  // "tempLen" is the room the page announces for its template: plain data must fit in it.
  // Encrypted data is longer than the template it carries (the cipher adds up to 16 bytes), so
  // it only has to be something a template buffer could have been sealed into; the room for
  // the decrypted template is "tempLen", which the library must respect.
  const size_t room = encrypt != 0 ? static_cast<size_t>(service::kEncryptedCapacity)
                                   : static_cast<size_t>(tempLen);
  if (decoded.size() > room) {
    SetWrongParameter(
        "tempData decodes to " + std::to_string(decoded.size()) + " bytes, more than " +
        (encrypt != 0 ? "an encrypted template can hold (" + std::to_string(room) + ")"
                      : "tempLen (" + std::to_string(room) + ")"));
    return;
  }

  std::array<uint8_t, kTemplateBufferSize> templ{};
  int32_t templLength = tempLen;
  if (encrypt != 0) {
    if (!SetKey(handle, params.encryptKey)) {
      return;
    }
    const int32_t status = libraries_.scanner.DecryptTemplate(
        handle, decoded.data(), static_cast<int32_t>(decoded.size()), templ.data(), &templLength);
    if (status != devicelib::kOk) {
      SetLibraryError(service::Library::kScanner, status);
      return;
    }
    if (templLength < 0 || templLength > tempLen) {
      // The library claims more than the room it was given.
      SetWrongParameter("the decrypted template does not fit in tempLen (" +
                        std::to_string(tempLen) + " bytes)");
      return;
    }
  } else {
    std::copy(decoded.begin(), decoded.end(), templ.begin());
  }
  decoded.clear();
  decoded.shrink_to_fit();

  Probe probe;
  if (!CaptureProbe(handle,
                    params.extractEx.value_or(-1) == 0 ? ExtractChoice::kPlain : ExtractChoice::kEx,
                    params.qualityLevel, probe, "verifyTemplate")) {
    return;
  }
  // The store is not involved, so templateLock is not taken.
  int32_t result = -1;
  const int32_t status = libraries_.matcher.Verify(matcher_.load(), probe.data.data(), probe.size,
                                                   templ.data(), templLength, &result);
  if (status != devicelib::kOk) {
    SetLibraryError(service::Library::kMatcher, status);
    if (status == devicelib::kInvalidTemplate) {
      reply_["retString"] =
          reply_["retString"].asString() + (encrypt == 0 ? kHintPlain : kHintEncrypted);
      reply_["detail"] =
          encrypt == 0 ? "the matcher cannot read tempData as a template: if it was read out "
                         "encrypted, send encrypt=1 and its encryptKey"
                       : "the matcher cannot read the decrypted tempData: was it encrypted with "
                         "another encryptKey, or not encrypted at all (encrypt=0)?";
    }
    return;
  }
  SetMatchScore();
  SetVerifyResult(result);
}

void TemplateDatabase::Identify(const std::string& parameterText) {
  int64_t handle = 0;
  RequestParameters params;
  if (!ReadRequest(parameterText, kExtractEx | kQualityLevel, false, handle, params)) {
    return;
  }
  Probe probe;
  if (!CaptureProbe(handle, StrictChoice(params.extractEx), params.qualityLevel, probe,
                    "identify")) {
    return;
  }
  int32_t index = -1;
  int32_t status = 0;
  std::string matchedId;
  {
    // Held while the matcher runs, so the gallery cannot change under it; only
    // "abortIdentify" (which takes no lock) can reach the matcher meanwhile.
    std::lock_guard templateGuard(templateLock_);
    const uint32_t count = Count();
    std::vector<const uint8_t*> templates(count);
    std::vector<int32_t> sizes(count);
    for (uint32_t i = 0; i < count; ++i) {
      templates[i] = templates1_[i].templateData.data();
      sizes[i] = static_cast<int32_t>(templates1_[i].templateSize);
    }
    status = libraries_.matcher.Identify(matcher_.load(), probe.data.data(), probe.size,
                                         templates.data(), sizes.data(),
                                         static_cast<int32_t>(count), kIdentifyTimeLimit, &index);
    if (status == devicelib::kOk) {
      matchedId = IsValidUserIndex(index) ? templates1_[index].userID : kNotRegistered;
    }
  }
  if (status != devicelib::kOk) {
    SetLibraryError(service::Library::kMatcher, status);
    return;
  }
  reply_["matchedIndex"] = index;
  reply_["matchedID"] = matchedId;
  SetMatchScore();
  service::SetSuccess(reply_);
}

Json::Value TemplateDatabase::AbortIdentify() {
  // A document of its own, never reply_: that belongs to the request holding the API lock.
  Json::Value reply = service::NewReply();
  const int32_t status = libraries_.matcher.AbortIdentify(matcher_.load());
  if (status == devicelib::kOk) {
    service::SetSuccess(reply);
  } else {
    service::SetLibraryError(reply, libraries_, service::Library::kMatcher, status);
  }
  return reply;
}

}  // namespace database
