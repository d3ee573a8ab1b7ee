// Feeds arbitrary bytes to the PGM decoder and checks what must hold for any input: a refusal
// always says why, an accepted image has sides within the limit and exactly one pixel a
// position, and the pixels never outnumber the bytes the file holds (so a header cannot make
// the decoder allocate more than the file's own size). The input is an exact-size heap block,
// so AddressSanitizer sees any read past its end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec/pgm.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> file(data, data + size);
  std::string error;
  const std::optional<codec::PgmImage> image = codec::DecodePgm(file, &error);
  if (!image) {
    Check(!error.empty());
    return 0;
  }
  Check(image->width >= 1 && image->width <= codec::kPgmMaxSide);
  Check(image->height >= 1 && image->height <= codec::kPgmMaxSide);
  Check(image->pixels.size() == static_cast<size_t>(image->width) * image->height);
  // "P5", three one-digit numbers and the four separators at the very least.
  Check(image->pixels.size() + 9 <= size);

  // Bytes after the raster do not change the image.
  std::vector<uint8_t> longer = file;
  longer.push_back(0x5a);
  const std::optional<codec::PgmImage> again = codec::DecodePgm(longer, nullptr);
  Check(again && again->width == image->width && again->height == image->height &&
        again->pixels == image->pixels);
  return 0;
}
