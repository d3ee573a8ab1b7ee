// Template and image export: the template as Base64 (optionally encrypted), the image as
// Base64 in one of three formats, and the image saved as files for pages to fetch.
#include <cctype>
#include <cerrno>
#include <cmath>
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

constexpr char kDetailExtractEx[] =
    "extractEx must be 0 (plain extraction) or 1 (extraction with the buffer's capacity)";
constexpr char kDetailEncrypt[] = "encrypt must be 0 (plain template) or 1 (encrypted template)";

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

// The image folder inside the document root, made when missing (the document root too, when
// the agent was started without one). True when the folder is there afterwards.
bool MakeImageFolder() {
  std::error_code ignored;
  if (!IsDirectory(service::kDocumentRoot)) {
    std::filesystem::create_directory(service::kDocumentRoot, ignored);
  }
  if (IsDirectory(service::kDocumentRoot) && !IsDirectory(service::kImageFolder)) {
    std::filesystem::create_directory(service::kImageFolder, ignored);
  }
  return IsDirectory(service::kImageFolder);
}

}  // namespace

std::optional<float> ReadCompressionRatio(std::string_view text) {
  // The whole text must be a number: "abc" or "0.5x" is a page's mistake, not a ratio of 0.
  const std::string copy(text);
  if (copy.empty() || std::isspace(static_cast<unsigned char>(copy.front())) != 0) {
    return std::nullopt;
  }
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || errno == ERANGE || !std::isfinite(value) ||
      value <= 0.0 || value > kMaxCompressionRatio) {
    return std::nullopt;
  }
  return static_cast<float>(value);
}

std::optional<ExportRequest> ReadExportRequest(const service::ParameterMap& map,
                                               std::string* detail) {
  ExportRequest request;
  if (const auto ratio = map.find("compressionRatio"); ratio != map.end()) {
    const std::optional<float> value = ReadCompressionRatio(ratio->second);
    if (!value) {
      if (detail != nullptr) {
        *detail = kDetailRatio;
      }
      return std::nullopt;
    }
    request.ratio = *value;
  }
  if (const auto type = map.find("fileType"); type != map.end()) {
    const std::string& text = type->second;
    if (text != "1" && text != "2" && text != "3") {
      if (detail != nullptr) {
        *detail = kDetailFileType;
      }
      return std::nullopt;
    }
    request.fileType = text[0];
  }
  return request;
}

void Scanner::GetTemplateData(const std::string& parameterText,
                              devicelib::MatcherHandle /*matcher*/) {
  int64_t handle = 0;
  service::ParameterMap map;
  if (!ReadHandleAndParameters(parameterText, handle, map,
                               "extractEx (0 or 1) and encrypt (0 or 1)")) {
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
        // Not a number, or beyond 32 bits.
        service::SetWrongParameter(reply_, name + " must be 0 or 1");
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
    service::SetWrongParameter(reply_, kDetailExtractEx);
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
  // Also when it is below the page's level: that is when the user most needs to know it.
  reply_["quality"] = quality;
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
    service::SetWrongParameter(reply_, kDetailEncrypt);
    return;
  }
  reply_["templateBase64"] = base64Text_;
  service::SetSuccess(reply_);
}

void Scanner::GetImageData(const std::string& parameterText, devicelib::MatcherHandle /*matcher*/) {
  int64_t handle = 0;
  service::ParameterMap map;
  if (!ReadHandleAndParameters(parameterText, handle, map,
                               "fileType (1, 2 or 3) and, for WSQ, compressionRatio")) {
    return;
  }
  reply_["imageBase64"] = "";
  // A request the agent cannot answer with an image is refused before anything changes; the
  // page asked for an image, so no format at all is as wrong as an unknown one.
  std::string detail = "fileType is missing: it must be 1 (BMP), 2 (raw .dat) or 3 (WSQ)";
  const std::optional<ExportRequest> request = ReadExportRequest(map, &detail);
  if (!request || request->fileType == kNoFileType) {
    service::SetWrongParameter(reply_, detail);
    return;
  }
  if (!FetchCapturedImage(handle)) {
    return;  // the library's error is in the reply
  }
  if (request->fileType != '1' && !MakeImageFolder()) {
    SetFileError(kCannotCreateFile);
    return;
  }

  std::lock_guard lock(imageLock_);
  if (request->fileType == '1') {
    if (bmpImage_ == nullptr) {  // released between the fetch and here
      SetLibraryError(service::Library::kScanner, devicelib::kNoImage);
      return;
    }
    reply_["imageBase64"] = codec::Base64Encode(*bmpImage_);
    service::SetSuccess(reply_);
    return;
  }
  // The library writes the raw or WSQ file, and the reply carries that file. Either step can
  // fail (a full disk, a folder removed under the agent, an image the encoder refuses), and the
  // page must learn that rather than receive an empty image as a success.
  const std::string& path =
      request->fileType == '2' ? service::kConvertedDatPath : service::kConvertedWsqPath;
  const int32_t status = WriteConvertedFile(handle, request->fileType, request->ratio);
  if (status != devicelib::kOk) {
    SetConversionError(status);
    return;
  }
  std::optional<std::string> text = EncodeFileBase64(path);
  if (!text) {
    SetFileError(kCannotReadFile);
    return;
  }
  reply_["imageBase64"] = std::move(*text);
  service::SetSuccess(reply_);
}

void Scanner::SaveImageBuffer(const std::string& parameterText,
                              devicelib::MatcherHandle /*matcher*/) {
  int64_t handle = 0;
  service::ParameterMap map;
  if (!ReadHandleAndParameters(parameterText, handle, map,
                               "fileType (1, 2 or 3) and, for WSQ, compressionRatio")) {
    return;
  }
  std::string detail;
  const std::optional<ExportRequest> request = ReadExportRequest(map, &detail);
  if (!request) {
    service::SetWrongParameter(reply_, detail);
    return;
  }
  if (!MakeImageFolder()) {
    SetFileError(kCannotCreateFile);
    return;
  }
  if (request->fileType == kNoFileType) {
    service::SetSuccess(reply_);  // the folder is ready; nothing was asked to be written
    return;
  }
  int32_t status = 0;
  {
    std::lock_guard lock(imageLock_);
    status = WriteConvertedFile(handle, request->fileType, request->ratio);
  }
  if (status != devicelib::kOk) {
    SetConversionError(status);
    return;
  }
  service::SetSuccess(reply_);
}

int32_t Scanner::WriteConvertedFile(int64_t handle, char fileType, float ratio) {
  devicelib::ScannerLib& lib = libraries_.scanner;
  switch (fileType) {
    case '1':
      return lib.SaveCaptureImageToBmpFile(handle, service::kConvertedBmpPath.c_str());
    case '2':
      return lib.SaveCaptureImageToDatFile(handle, service::kConvertedDatPath.c_str());
    default:
      return lib.SaveCaptureImageToWsqFile(handle, ratio, service::kConvertedWsqPath.c_str());
  }
}

void Scanner::SetConversionError(int32_t status) {
  if (status == devicelib::kFailed) {
    SetFileError(kCannotWriteFile);
  } else {
    SetLibraryError(service::Library::kScanner, status);
  }
}

void Scanner::SetFileError(const char* message) {
  reply_["retValue"] = "-1";
  reply_["retString"] = message;
}

}  // namespace scanner
