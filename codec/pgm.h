// Binary greymap (PGM, "P5") files as the developer tools read them: test images of fingers kept
// beside the repository and images handed in by hand. Bytes in, image or a reason out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace codec {

// Largest width or height DecodePgm accepts: 8 inches at 500 ppi, far above any finger image.
inline constexpr int32_t kPgmMaxSide = 4000;

struct PgmImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> pixels;  // width x height grey values, top row first
};

// Reads a binary PGM: "P5", then width, height and maxval as decimal numbers separated by white
// space, with "#" comments to the end of a line allowed between them, then one white-space byte
// and the raster, one byte a pixel. A maxval below 255 is stretched to 0..255 (a sample above
// maxval counts as maxval); 16-bit files (maxval above 255) are refused. Bytes after the raster
// are ignored. Returns nullopt with *error (when not null) set to a sentence naming what is
// wrong for anything else: another format, a malformed or truncated header, a side of 0 or above
// kPgmMaxSide, or a raster shorter than the header announces. The pixels are allocated only
// once the file is known to hold them, so a hostile header cannot make it allocate more than the
// file's own size.
std::optional<PgmImage> DecodePgm(std::span<const uint8_t> file, std::string* error);

}  // namespace codec
