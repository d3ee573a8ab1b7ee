// The image formats the agent sends: 8-bit grey BMP files built from raw scanner pixels, the fixed
// 1 x 1 GIF sent when there is nothing to show, and the white frame of an idle preview stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace codec {

// File header (14) + information header (40) + palette of 256 grey entries (1024).
inline constexpr size_t kBmpHeaderSize = 1078;

// Largest image BuildBmpFile accepts, in pixels. Far above any sensor, and small enough that the
// file size always fits the format's 32-bit size fields.
inline constexpr int64_t kBmpMaxPixels = int64_t{64} * 1024 * 1024;

// Size of the blank preview frame: 320 x 480 white pixels.
inline constexpr int32_t kBlankFrameWidth = 320;
inline constexpr int32_t kBlankFrameHeight = 480;
inline constexpr size_t kBlankFrameSize = 154678;

// Bytes per stored BMP row: width rounded up to a multiple of 4.
constexpr int64_t BmpStride(int64_t width) {
  return (width + 3) / 4 * 4;
}

// Builds an 8-bit grey BMP file (grey palette, 19687 pixels per metre, rows bottom-up, each row
// zero-padded to the stride) from width x height grey pixels given top row first. Only the first
// width x height bytes of `pixels` are read. Returns false, leaving *out untouched, when a size is
// not positive, the image exceeds kBmpMaxPixels, `pixels` is too short, `out` is null or memory
// cannot be had.
bool BuildBmpFile(std::span<const uint8_t> pixels, int32_t width, int32_t height,
                  std::vector<uint8_t>* out);

// The 34 bytes of a 1 x 1 GIF89a, always the same.
std::span<const uint8_t> BlankGif();

// The preview stream's frame while no image exists: a 320 x 480 all-white BMP (154678 bytes).
std::vector<uint8_t> BuildBlankFrame();

struct BmpImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> pixels;  // width x height grey values, top row first
};

// Reads back an uncompressed 8-bit BMP with a grey palette (as BuildBmpFile writes it; top-down
// files with a negative height are read too). Pixel values are looked up in the palette. Returns
// nullopt for anything else or for a file too short for what its headers announce.
std::optional<BmpImage> ParseBmpFile(std::span<const uint8_t> file);

}  // namespace codec
