#include "codec/bmp.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace codec {
namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kInfoHeaderSize = 40;
constexpr size_t kPaletteEntries = 256;
constexpr uint32_t kPixelsPerMetre = 19687;  // about 500 dpi, the scanners' resolution

constexpr std::array<uint8_t, 34> kBlankGif = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01,
                                               0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF,
                                               0xFF, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01,
                                               0x00, 0x00, 0x02, 0x01, 0x4C, 0x00, 0x3B};

void Put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    at[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

uint16_t Get16(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint32_t Get32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
         (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

}  // namespace

bool BuildBmpFile(std::span<const uint8_t> pixels, int32_t width, int32_t height,
                  std::vector<uint8_t>* out) {
  if (out == nullptr || width <= 0 || height <= 0) {
    return false;
  }
  // 64-bit arithmetic: two positive 32-bit values cannot overflow it.
  const int64_t count = int64_t{width} * height;
  if (count > kBmpMaxPixels || static_cast<uint64_t>(count) > pixels.size()) {
    return false;
  }
  const size_t w = static_cast<size_t>(width);
  const size_t h = static_cast<size_t>(height);
  const size_t stride = static_cast<size_t>(BmpStride(width));
  const size_t imageSize = stride * h;
  const size_t fileSize = imageSize + kBmpHeaderSize;

  std::vector<uint8_t> file;
  try {
    file.assign(fileSize, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  uint8_t* p = file.data();
  p[0] = 'B';
  p[1] = 'M';
  Put32(p + 2, static_cast<uint32_t>(fileSize));
  Put32(p + 10, static_cast<uint32_t>(kBmpHeaderSize));
  Put32(p + 14, kInfoHeaderSize);
  Put32(p + 18, static_cast<uint32_t>(width));
  Put32(p + 22, static_cast<uint32_t>(height));
  Put16(p + 26, 1);
  Put16(p + 28, 8);
  Put32(p + 34, static_cast<uint32_t>(imageSize));
  Put32(p + 38, kPixelsPerMetre);
  Put32(p + 42, kPixelsPerMetre);
  uint8_t* palette = p + kFileHeaderSize + kInfoHeaderSize;
  for (size_t i = 0; i < kPaletteEntries; ++i) {
    palette[4 * i] = palette[4 * i + 1] = palette[4 * i + 2] = static_cast<uint8_t>(i);
  }
  // The file stores the bottom row first; the padding bytes stay zero from assign().
  for (size_t r = 0; r < h; ++r) {
    std::memcpy(p + kBmpHeaderSize + (h - 1 - r) * stride, pixels.data() + r * w, w);
  }
  out->swap(file);
  return true;
}

std::span<const uint8_t> BlankGif() {
  return kBlankGif;
}

std::vector<uint8_t> BuildBlankFrame() {
  const std::vector<uint8_t> white(size_t{kBlankFrameWidth} * kBlankFrameHeight, 255);
  std::vector<uint8_t> frame;
  BuildBmpFile(white, kBlankFrameWidth, kBlankFrameHeight, &frame);
  return frame;
}

std::optional<BmpImage> ParseBmpFile(std::span<const uint8_t> file) {
  if (file.size() < kFileHeaderSize + kInfoHeaderSize || file[0] != 'B' || file[1] != 'M') {
    return std::nullopt;
  }
  const uint8_t* p = file.data();
  const uint64_t dataOffset = Get32(p + 10);
  const uint64_t infoSize = Get32(p + 14);
  const int64_t width = static_cast<int32_t>(Get32(p + 18));
  const int64_t signedHeight = static_cast<int32_t>(Get32(p + 22));
  const uint64_t usedColours = Get32(p + 46);
  if (infoSize < kInfoHeaderSize || Get16(p + 26) != 1 || Get16(p + 28) != 8 ||
      Get32(p + 30) != 0 || width <= 0 || signedHeight == 0) {
    return std::nullopt;
  }
  const int64_t height = signedHeight < 0 ? -signedHeight : signedHeight;
  if (width * height > kBmpMaxPixels) {
    return std::nullopt;
  }
  const uint64_t colours = usedColours == 0 ? kPaletteEntries : usedColours;
  const uint64_t paletteStart = kFileHeaderSize + infoSize;
  const uint64_t stride = static_cast<uint64_t>(BmpStride(width));
  if (colours > kPaletteEntries || paletteStart + 4 * colours > dataOffset ||
      dataOffset + stride * static_cast<uint64_t>(height) > file.size()) {
    return std::nullopt;
  }

  std::array<uint8_t, kPaletteEntries> grey{};
  for (size_t i = 0; i < colours; ++i) {
    const uint8_t* entry = p + paletteStart + 4 * i;
    if (entry[0] != entry[1] || entry[1] != entry[2]) {
      return std::nullopt;
    }
    grey[i] = entry[0];
  }

  BmpImage image;
  image.width = static_cast<int32_t>(width);
  image.height = static_cast<int32_t>(height);
  const size_t w = static_cast<size_t>(width);
  const size_t h = static_cast<size_t>(height);
  image.pixels.resize(w * h);
  for (size_t r = 0; r < h; ++r) {
    const size_t stored = signedHeight > 0 ? h - 1 - r : r;
    const uint8_t* row = p + dataOffset + stored * stride;
    for (size_t x = 0; x < w; ++x) {
      if (row[x] >= colours) {
        return std::nullopt;
      }
      image.pixels[r * w + x] = grey[row[x]];
    }
  }
  return image;
}

}  // namespace codec
