// PNG files for the developer tools' pictures (montages of synthetic fingers, the extractor's
// stages): 8-bit grey or 8-bit RGB, compressed with zlib. Image in, file bytes out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace codec {

enum class PngColour {
  kGrey,  // one byte a pixel
  kRgb,   // three bytes a pixel: red, green, blue
};

// Largest image EncodePng accepts, in pixels. Far above any picture the tools draw, and small
// enough that the whole compressed raster fits one IDAT chunk and zlib's 32-bit counters.
inline constexpr int64_t kPngMaxPixels = int64_t{64} * 1024 * 1024;

// Encodes width x height pixels, given top row first with no padding, as a non-interlaced 8-bit
// PNG (IHDR, one IDAT, IEND; every row with filter type 0). `pixels` must hold exactly
// width x height x (1 for grey, 3 for RGB) bytes. Returns nullopt when a side is not positive,
// the image exceeds kPngMaxPixels, `pixels` has another size, zlib fails or memory cannot be
// had.
std::optional<std::vector<uint8_t>> EncodePng(std::span<const uint8_t> pixels, int32_t width,
                                              int32_t height, PngColour colour);

}  // namespace codec
