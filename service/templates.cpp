#include "service/templates.h"

#include <algorithm>

#include "devicelib/status.h"

namespace service {

EncryptionKey PadEncryptionKey(std::string_view text) {
  EncryptionKey key{};
  std::copy_n(text.begin(), std::min(text.size(), key.size()), key.begin());
  return key;
}

int32_t ApplyEncryptionKey(devicelib::ScannerLib& lib, int64_t handle, std::string_view keyText) {
  if (keyText.empty()) {
    return devicelib::kOk;
  }
  const EncryptionKey key = PadEncryptionKey(keyText);
  const int32_t status = lib.SetEncryptionKey(handle, key.data());
  return status == devicelib::kNotSupported ? devicelib::kOk : status;
}

int32_t SetFullTemplateSize(devicelib::ScannerLib& lib, int64_t handle) {
  const int32_t size = kTemplateCapacity;
  return lib.SetParameter(handle, devicelib::kParamTemplateSize, &size);
}

int32_t ExtractTemplate(devicelib::ScannerLib& lib, int64_t handle, bool ex,
                        std::span<uint8_t, kTemplateCapacity> buffer, int32_t* size,
                        int32_t* quality) {
  *size = kTemplateCapacity;
  const int32_t status = ex ? lib.ExtractEx(handle, kTemplateCapacity, buffer.data(), size, quality)
                            : lib.Extract(handle, buffer.data(), size, quality);
  if (status == devicelib::kOk && !SizeFits(*size, kTemplateCapacity)) {
    return devicelib::kBufferTooSmall;
  }
  return status;
}

int32_t EncryptTemplate(devicelib::ScannerLib& lib, int64_t handle, std::span<const uint8_t> templ,
                        EncryptedBuffer& out, int32_t* outSize) {
  *outSize = kEncryptedCapacity;
  const int32_t status = lib.EncryptTemplate(
      handle, templ.data(), static_cast<int32_t>(templ.size()), out.data(), outSize);
  if (status == devicelib::kOk && !SizeFits(*outSize, kEncryptedCapacity)) {
    return devicelib::kBufferTooSmall;
  }
  return status;
}

}  // namespace service
