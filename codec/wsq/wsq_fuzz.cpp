// libFuzzer entry point for the WSQ decoder: any input must decode or be refused, within
// bounds, and a decoded image must have the size its header states.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "codec/wsq/wsq.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  codec::WsqImage image;
  if (codec::DecodeWsq(std::span<const uint8_t>(data, size), &image) == codec::WsqError::kOk) {
    if (image.width <= 0 || image.height <= 0 ||
        image.pixels.size() != static_cast<size_t>(image.width) * image.height) {
      std::abort();
    }
  }
  return 0;
}
