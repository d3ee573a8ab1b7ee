// Feeds arbitrary bytes to the Base64 decoder and checks what must hold for any input: the decoded
// size agrees across the entry points and stays within three quarters of the alphabet characters,
// re-encoding round-trips, and the bounded decoder never writes past its buffer (the buffers are
// exact-size heap blocks, so AddressSanitizer sees any overrun).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "codec/base64.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

bool IsAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/' || c == ' ';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // Alphabet characters the decoder takes: up to the NUL or the first pad.
  size_t taken = 0;
  bool atPad = false;
  for (char c : text) {
    if (c == '\0') {
      break;
    }
    if (c == '=') {
      atPad = true;
      break;
    }
    taken += IsAlphabet(c) ? 1 : 0;
  }
  const bool malformed = atPad && taken % 4 < 2;

  const auto decoded = codec::Base64Decode(text);
  const auto decodedSize = codec::Base64DecodedSize(text);
  Check(decoded.has_value() == !malformed);
  Check(decodedSize.has_value() == !malformed);

  if (decoded) {
    Check(decoded->size() == *decodedSize);
    // Every 6 bits taken end up in whole bytes; only the leftover bits are lost.
    Check(decoded->size() == taken * 6 / 8);
    const std::string again = codec::Base64Encode(*decoded);
    Check(again.size() == codec::Base64EncodedLength(decoded->size()));
    Check(again.size() <= size + 4);
    Check(codec::Base64Decode(again) == decoded);
  }

  // Bounded decode with a capacity chosen by the input itself.
  const size_t capacity = size == 0 ? 0 : data[0] % (size + 1);
  std::vector<uint8_t> buffer(capacity);
  const auto result = codec::Base64DecodeInto(text, buffer);
  if (malformed) {
    Check(result.status == codec::Base64Status::kMalformedPadding);
  } else if (decoded->size() <= capacity) {
    Check(result.status == codec::Base64Status::kOk);
    Check(result.size == decoded->size());
    Check(std::equal(decoded->begin(), decoded->end(), buffer.begin()));
  } else {
    Check(result.status == codec::Base64Status::kNoRoom);
    Check(result.size == decoded->size());
  }

  // The encoder round-trips any bytes.
  const std::string encoded = codec::Base64Encode({data, size});
  const auto back = codec::Base64Decode(encoded);
  Check(back.has_value() && back->size() == size && std::equal(back->begin(), back->end(), data));
  return 0;
}
