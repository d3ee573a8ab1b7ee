// Template handling both APIs share: the buffer sizes, the encryption key a page sends, and the
// size checks that keep a library's answer inside the buffer it was given.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "devicelib/scanner_lib.h"

namespace service {

// Every template buffer, and the room for an encrypted template (the cipher adds at most 16
// bytes).
inline constexpr int32_t kTemplateCapacity = devicelib::kMaxTemplateSize;
inline constexpr int32_t kEncryptedCapacity = kTemplateCapacity + 16;
using TemplateBuffer = std::array<uint8_t, kTemplateCapacity>;
using EncryptedBuffer = std::array<uint8_t, kEncryptedCapacity>;
using EncryptionKey = std::array<uint8_t, devicelib::kEncryptionKeySize>;

// True when a size a library reported lies within [0, capacity]. A size beyond the buffer would
// make every later reader (matcher, Base64 read-out) run past its end.
constexpr bool SizeFits(int32_t size, int32_t capacity) {
  return size >= 0 && size <= capacity;
}

// The key a page sent as text: its first bytes, zero-padded to the library's key size.
EncryptionKey PadEncryptionKey(std::string_view text);

// Sets the page's key when it sent one (an empty text keeps the library's current key). The
// library answering "not supported" keeps its own key, and the operation goes on with it.
// Returns the status that ends the operation, or 0.
int32_t ApplyEncryptionKey(devicelib::ScannerLib& lib, int64_t handle, std::string_view keyText);

// Lets extraction fill the whole template buffer.
int32_t SetFullTemplateSize(devicelib::ScannerLib& lib, int64_t handle);

// Extracts from the last capture into `buffer` (ExtractEx when `ex`); a size beyond the buffer
// is reported as kBufferTooSmall.
int32_t ExtractTemplate(devicelib::ScannerLib& lib, int64_t handle, bool ex,
                        std::span<uint8_t, kTemplateCapacity> buffer, int32_t* size,
                        int32_t* quality);

// Encrypts `templ` into `out`; a size beyond `out` is reported as kBufferTooSmall.
int32_t EncryptTemplate(devicelib::ScannerLib& lib, int64_t handle, std::span<const uint8_t> templ,
                        EncryptedBuffer& out, int32_t* outSize);

}  // namespace service
