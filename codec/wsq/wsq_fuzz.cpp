// libFuzzer entry point for the WSQ decoder: any input must decode or be refused, within
// bounds, and a decoded image must have the size its header states. Small decoded images are
// also compressed again, which gives the encoder a stream of unusual pictures: that must
// always succeed and decode to the same size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "codec/wsq/wsq.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  codec::WsqImage image;
  if (codec::DecodeWsq(std::span<const uint8_t>(data, size), &image) != codec::WsqError::kOk) {
    return 0;
  }
  if (image.width <= 0 || image.height <= 0 ||
      image.pixels.size() != static_cast<size_t>(image.width) * image.height) {
    std::abort();
  }
  if (image.width < codec::kWsqMinDimension || image.height < codec::kWsqMinDimension ||
      image.pixels.size() > 256 * 256) {
    return 0;
  }
  std::vector<uint8_t> file;
  codec::WsqEncodeOptions options;
  options.bitRate = 0.1f + static_cast<float>(size % 80) / 10.0f;
  if (codec::EncodeWsq(image.pixels, image.width, image.height, options, &file) !=
      codec::WsqError::kOk) {
    std::abort();
  }
  codec::WsqImage again;
  if (codec::DecodeWsq(file, &again) != codec::WsqError::kOk || again.width != image.width ||
      again.height != image.height) {
    std::abort();
  }
  return 0;
}
