// Template and image export: the template as Base64 (optionally encrypted), the image as
// Base64 in one of three formats, and the image saved as files for pages to fetch.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "codec/base64.h"
#include "devicelib/status.h"
#include "scanner/scanner.h"
#include "service/paths.h"
#include "service/templates.h"

namespace scanner {

namespace {

constexpr float kDefaultCompressionRatio = 0.7f;

// The Base64 text of a whole file, or nullopt when it cannot be read or is empty.
std::optional<std::string> EncodeFileBase64(const std::string& path) {
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

bool IsDirectory(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

}  // namespace

void Scanner::GetTemplateData(const std::string& parameterText,
                              devicelib::MatcherHandle /*matcher*/) {
  int64_t handle = 0;
  service::ParameterMap map;
  if (!ReadHandleAndParameters(parameterText, handle, map)) {
    return;
  }
  int32_t encrypt = -1;
  int32_t extractEx = -1;
  int32_t qualityLevel = 0;
  std::string encryptKey;
  for (const auto& [name, text] : map) {
    if (name == "encrypt" || name == "extractEx") {
      const std::optional<int32_t> value = service::ReadDecimal32(text);
      if (!value) {
        service::SetWrongParameter(reply_);  // not a number, or beyond 32 bits
        return;
      }
      (name == "encrypt" ? encrypt : extractEx) = *value;
    } else if (name == "encryptKey") {
      encryptKey = text;
    } else if (name == "qualityLevel") {
      qualityLevel = service::ReadAutoBase32(text);
    }
  }

  devicelib::ScannerLib& lib = libraries_.scanner;
  int32_t status = service::SetFullTemplateSize(lib, handle);
  if (status != 0) {
    SetLibraryError(service::Library::kScanner, status);
    return;
  }
  if (extractEx != 0 && extractEx != 1) {
    service::SetWrongParameter(reply_);
    return;
  }
  service::TemplateBuffer templ{};
  int32_t size = 0;
  int32_t quality = 0;
  status = service::ExtractTemplate(lib, handle, extractEx == 1, templ, &size, &quality);
  if (status != 0) {
    SetLibraryError(service::Library::kScanner, status);
    return;
  }
  if (qualityLevel > quality) {
    SetLibraryError(service::Library::kScanner, devicelib::kLowQuality);
    return;
  }

  std::lock_guard lock(imageLock_);
  if (encrypt == 1) {
    status = service::ApplyEncryptionKey(lib, handle, encryptKey);
    if (status != 0) {
      SetLibraryError(service::Library::kScanner, status);
      return;
    }
    service::EncryptedBuffer encrypted{};
    int32_t encryptedSize = 0;
    status = service::EncryptTemplate(lib, handle, {templ.data(), static_cast<size_t>(size)},
                                      encrypted, &encryptedSize);
    if (status != 0) {
      SetLibraryError(service::Library::kScanner, status);
      return;
    }
    StoreBase64({encrypted.data(), static_cast<size_t>(encryptedSize)});
  } else if (encrypt == 0) {
    StoreBase64({templ.data(), static_cast<size_t>(size)});
  } else {
    service::SetWrongParameter(reply_);
    return;
  }
  reply_["templateBase64"] = base64Text_;
  service::SetSuccess(reply_);
}

void Scanner::GetImageData(const std::string& parameterText, devicelib::MatcherHandle /*matcher*/) {
  int64_t handle = 0;
  service::ParameterMap map;
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
        if (libraries_.scanner.SaveCaptureImageToDatFile(handle,
                                                         service::kConvertedDatPath.c_str()) == 0) {
          text = EncodeFileBase64(service::kConvertedDatPath.c_str());
        }
      } else if (value == "3") {
        if (libraries_.scanner.SaveCaptureImageToWsqFile(handle, ratio,
                                                         service::kConvertedWsqPath.c_str()) == 0) {
          text = EncodeFileBase64(service::kConvertedWsqPath.c_str());
        }
      }
      if (text) {
        reply_["imageBase64"] = *text;
      }
    }
  }
  service::SetSuccess(reply_);
}

void Scanner::SaveImageBuffer(const std::string& parameterText,
                              devicelib::MatcherHandle /*matcher*/) {
  int64_t handle = 0;
  service::ParameterMap map;
  if (!ReadHandleAndParameters(parameterText, handle, map)) {
    return;
  }
  // The image folder inside the document root, made when missing (the document root only
  // when the agent started without one).
  std::error_code ignored;
  if (!IsDirectory(service::kDocumentRoot)) {
    std::filesystem::create_directory(service::kDocumentRoot, ignored);
  }
  if (IsDirectory(service::kDocumentRoot) && !IsDirectory(service::kImageFolder)) {
    std::filesystem::create_directory(service::kImageFolder, ignored);
  }
  if (!IsDirectory(service::kImageFolder)) {
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
          result = lib.SaveCaptureImageToBmpFile(handle, service::kConvertedBmpPath.c_str());
        } else if (value == "2") {
          result = lib.SaveCaptureImageToDatFile(handle, service::kConvertedDatPath.c_str());
        } else if (value == "3") {
          result = lib.SaveCaptureImageToWsqFile(handle, ratio, service::kConvertedWsqPath.c_str());
        }
      }
    }
  }
  if (result == 0) {
    service::SetSuccess(reply_);
  } else if (result == -1) {
    reply_["retValue"] = "-1";
    reply_["retString"] = "Cannot write file";
  } else {
    SetLibraryError(service::Library::kScanner, result);
  }
}

}  // namespace scanner
