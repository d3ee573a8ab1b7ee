// "enroll", "update" and the database's "getTemplateData": putting templates into the store
// from live captures and reading them out again as Base64 text.
#include <algorithm>
#include <array>
#include <span>

#include "database/template_database.h"
#include "devicelib/status.h"

namespace database {

bool TemplateDatabase::SetTemplateSizeParameter(int64_t handle) {
  const int32_t status = service::SetFullTemplateSize(libraries_.scanner, handle);
  if (status != devicelib::kOk) {
    SetLibraryError(service::Library::kScanner, status);
    return false;
  }
  return true;
}

namespace {

constexpr char kDetailExtractEx[] =
    "extractEx must be 0 (plain extraction) or 1 (extraction with the buffer's capacity)";

// A stored record's buffer as the extraction's fixed-size target.
std::span<uint8_t, service::kTemplateCapacity> Buffer(std::vector<uint8_t>& bytes) {
  return std::span<uint8_t, service::kTemplateCapacity>(bytes.data(), service::kTemplateCapacity);
}

}  // namespace

void TemplateDatabase::ExtractIntoFirstTemplate(int64_t handle, bool ex, int32_t serialNo,
                                                int32_t qualityLevel) {
  int32_t status = 0;
  int32_t quality = 0;
  {
    std::lock_guard templateGuard(templateLock_);
    TemplateRecord& record = templates1_[serialNo];
    int32_t size = 0;
    status = service::ExtractTemplate(libraries_.scanner, handle, ex, Buffer(record.templateData),
                                      &size, &quality);
    if (status == devicelib::kOk) {
      record.templateSize = static_cast<uint32_t>(size);
      record.quality = quality;
    }
  }
  if (status != devicelib::kOk) {
    SetLibraryError(service::Library::kScanner, status);
    return;
  }
  reply_["quality"] = quality;
  PublishEnrolSample(handle, 1, 1, quality);
  if (qualityLevel > quality) {
    // The template stays stored; the page learns it is below its level.
    SetLibraryError(service::Library::kScanner, devicelib::kLowQuality);
    return;
  }
  service::SetSuccess(reply_);
}

bool TemplateDatabase::SetKey(int64_t handle, const std::string& encryptKey) {
  const int32_t status = service::ApplyEncryptionKey(libraries_.scanner, handle, encryptKey);
  if (status != devicelib::kOk) {
    SetLibraryError(service::Library::kScanner, status);
    return false;
  }
  return true;
}

void TemplateDatabase::Enroll(const std::string& parameterText) {
  int64_t handle = 0;
  RequestParameters params;
  if (!ReadRequest(parameterText,
                   kUserSerialNo | kUserId | kSelectTemplate | kExtractEx | kQualityLevel |
                       kEncrypt | kEncryptKey,
                   true, handle, params)) {
    return;
  }
  const int32_t serialNo = params.userSerialNo.value_or(0);
  // Templates are stored as extracted; encryption applies only when one is read out.
  const bool ex = params.extractEx.value_or(-1) != 0;

  if (serialNo >= 0 && static_cast<uint32_t>(serialNo) == Count()) {
    if (Count() >= maxUsers_) {
      // Existing users can still be enrolled again; a new one needs a removal first.
      reply_["retValue"] = service::IntToString(kDatabaseFull);
      reply_["retString"] = kDatabaseFullMessage;
      return;
    }
    // The user exists from here on, even if the capture below fails (templateSize stays 0).
    AddUser(params.userID);
  } else if (!IsValidUserIndex(serialNo)) {
    const std::string next = std::to_string(Count());
    SetIntegerWrongParameter(
        Count() == 0 ? "userSerialNo must be 0, the next free number"
                     : "userSerialNo must be " + next +
                           ", the next free number, or that of an enrolled user (0 to " +
                           std::to_string(Count() - 1) + ") to enrol it again");
    return;
  }
  // An existing user keeps its userID; only its templates are replaced.

  if (!SetTemplateSizeParameter(handle)) {
    return;
  }

  if (params.selectTemplate.value_or(0) != 1) {
    const int32_t captureStatus = CaptureImage(handle, "enroll");
    if (captureStatus != devicelib::kOk) {
      SetLibraryError(service::Library::kScanner, captureStatus);
      return;
    }
    ExtractIntoFirstTemplate(handle, ex, serialNo, params.qualityLevel);
    return;
  }

  // Two templates chosen by the library from four captures. Nothing is stored until the
  // selection has succeeded.
  constexpr int kCaptures = 4;
  constexpr int kChosen = 2;
  std::array<std::vector<uint8_t>, kCaptures> captured;
  std::array<const uint8_t*, kCaptures> capturedPointers{};
  std::array<int32_t, kCaptures> capturedSizes{};
  // The reply's "quality" is the weakest sample's: the one a retry would have to improve.
  int32_t lowestQuality = 0;
  for (int i = 0; i < kCaptures; ++i) {
    const int32_t captureStatus = CaptureImage(handle, "enroll");
    if (captureStatus != devicelib::kOk) {
      SetLibraryError(service::Library::kScanner, captureStatus);
      return;
    }
    captured[i].assign(kTemplateBufferSize, 0);
    int32_t quality = 0;
    const int32_t status = service::ExtractTemplate(
        libraries_.scanner, handle, ex, Buffer(captured[i]), &capturedSizes[i], &quality);
    if (status != devicelib::kOk) {
      SetLibraryError(service::Library::kScanner, status);
      return;
    }
    lowestQuality = i == 0 ? quality : std::min(lowestQuality, quality);
    reply_["quality"] = lowestQuality;
    PublishEnrolSample(handle, i + 1, kCaptures, quality);
    if (params.qualityLevel > quality) {
      SetLibraryError(service::Library::kScanner, devicelib::kLowQuality);
      return;
    }
    capturedPointers[i] = captured[i].data();
  }

  std::array<std::vector<uint8_t>, kChosen> chosen;
  std::array<uint8_t*, kChosen> chosenPointers{};
  std::array<int32_t, kChosen> chosenSizes{};
  for (int i = 0; i < kChosen; ++i) {
    chosen[i].assign(kTemplateBufferSize, 0);
    chosenPointers[i] = chosen[i].data();
  }
  int32_t status =
      ex ? libraries_.scanner.SelectTemplateEx(
               handle, static_cast<int32_t>(kTemplateBufferSize), capturedPointers.data(),
               capturedSizes.data(), kCaptures, chosenPointers.data(), chosenSizes.data(), kChosen)
         : libraries_.scanner.SelectTemplate(handle, capturedPointers.data(), capturedSizes.data(),
                                             kCaptures, chosenPointers.data(), chosenSizes.data(),
                                             kChosen);
  for (const int32_t size : chosenSizes) {
    if (status == devicelib::kOk && !service::SizeFits(size, service::kTemplateCapacity)) {
      status = devicelib::kBufferTooSmall;
    }
  }
  if (status != devicelib::kOk) {
    SetLibraryError(service::Library::kScanner, status);
    return;
  }
  {
    std::lock_guard templateGuard(templateLock_);
    TemplateRecord* records[kChosen] = {&templates1_[serialNo], &templates2_[serialNo]};
    for (int i = 0; i < kChosen; ++i) {
      std::copy(chosen[i].begin(), chosen[i].end(), records[i]->templateData.begin());
      records[i]->templateSize = static_cast<uint32_t>(chosenSizes[i]);
      records[i]->quality = kSelectedQuality;
    }
  }
  service::SetSuccess(reply_);
}

void TemplateDatabase::UpdateTemplate(const std::string& parameterText) {
  int64_t handle = 0;
  RequestParameters params;
  if (!ReadRequest(parameterText, kUserSerialNo | kExtractEx | kQualityLevel, false, handle,
                   params)) {
    return;
  }
  if (!RequireExistingUser(params.userSerialNo)) {
    return;
  }
  const int32_t serialNo = *params.userSerialNo;

  const int32_t captureStatus = CaptureImage(handle, "update");
  if (captureStatus != devicelib::kOk) {
    SetLibraryError(service::Library::kScanner, captureStatus);
    return;
  }
  if (!SetTemplateSizeParameter(handle)) {
    return;
  }
  const int32_t extractEx = params.extractEx.value_or(-1);
  if (extractEx != 0 && extractEx != 1) {
    SetWrongParameter(kDetailExtractEx);
    return;
  }
  ExtractIntoFirstTemplate(handle, extractEx == 1, serialNo, params.qualityLevel);
}

void TemplateDatabase::GetTemplateData(const std::string& parameterText) {
  int64_t handle = 0;
  RequestParameters params;
  if (!ReadRequest(parameterText, kUserSerialNo | kEncrypt | kEncryptKey, false, handle, params)) {
    return;
  }
  if (!RequireExistingUser(params.userSerialNo)) {
    return;
  }
  // Held for the whole read-out, so the template cannot change while it is encrypted.
  std::lock_guard templateGuard(templateLock_);
  const TemplateRecord& record = templates1_[*params.userSerialNo];
  if (!params.encrypt) {
    SetLibraryError(service::Library::kScanner, 0);
    return;
  }
  if (*params.encrypt == 1) {
    if (!SetKey(handle, params.encryptKey)) {
      return;
    }
    service::EncryptedBuffer encrypted{};
    int32_t encryptedSize = 0;
    const int32_t status = service::EncryptTemplate(
        libraries_.scanner, handle, {record.templateData.data(), record.templateSize}, encrypted,
        &encryptedSize);
    if (status != devicelib::kOk) {
      SetLibraryError(service::Library::kScanner, status);
      return;
    }
    StoreBase64(std::span<const uint8_t>(encrypted.data(), static_cast<size_t>(encryptedSize)));
  } else if (*params.encrypt == 0) {
    StoreBase64(std::span<const uint8_t>(record.templateData.data(), record.templateSize));
  } else {
    // Neither plain nor encrypted: refused rather than answering with an earlier read-out,
    // which may well be another user's template.
    SetWrongParameter("encrypt must be 0 (plain template) or 1 (encrypted template)");
    return;
  }
  reply_["templateBase64"] = base64Text_;
  service::SetSuccess(reply_);
}

}  // namespace database
