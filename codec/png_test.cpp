#include "codec/png.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <numeric>
#include <string>
#include <vector>

namespace codec {
namespace {

uint32_t Be32(const std::vector<uint8_t>& file, size_t at) {
  return (static_cast<uint32_t>(file[at]) << 24) | (static_cast<uint32_t>(file[at + 1]) << 16) |
         (static_cast<uint32_t>(file[at + 2]) << 8) | static_cast<uint32_t>(file[at + 3]);
}

struct Chunk {
  std::string type;
  std::vector<uint8_t> data;
};

// Splits a PNG into its chunks, checking the signature, every length against the file and every
// CRC, as a viewer does before it trusts a byte.
std::vector<Chunk> Chunks(const std::vector<uint8_t>& file) {
  const std::vector<uint8_t> signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  EXPECT_TRUE(file.size() >= 8 && std::equal(signature.begin(), signature.end(), file.begin()));
  std::vector<Chunk> chunks;
  size_t at = 8;
  while (at + 12 <= file.size()) {
    const uint32_t length = Be32(file, at);
    if (at + 12 + length > file.size()) {
      ADD_FAILURE() << "chunk at " << at << " runs past the end";
      return chunks;
    }
    const uLong crc = crc32(0, file.data() + at + 4, 4 + length);
    EXPECT_EQ(Be32(file, at + 8 + length), crc) << "CRC of chunk at " << at;
    chunks.push_back(
        {std::string(file.begin() + static_cast<ptrdiff_t>(at + 4),
                     file.begin() + static_cast<ptrdiff_t>(at + 8)),
         std::vector<uint8_t>(file.begin() + static_cast<ptrdiff_t>(at + 8),
                              file.begin() + static_cast<ptrdiff_t>(at + 8 + length))});
    at += 12 + length;
  }
  EXPECT_EQ(at, file.size()) << "bytes after the last chunk";
  return chunks;
}

// Checks the file's structure and header, inflates its raster and returns the pixels with the
// filter bytes removed (each of which must be 0).
std::vector<uint8_t> Decode(const std::vector<uint8_t>& file, uint32_t width, uint32_t height,
                            uint8_t colourType) {
  const std::vector<Chunk> chunks = Chunks(file);
  if (chunks.size() != 3) {
    ADD_FAILURE() << chunks.size() << " chunks";
    return {};
  }
  EXPECT_EQ(chunks[0].type, "IHDR");
  EXPECT_EQ(chunks[1].type, "IDAT");
  EXPECT_EQ(chunks[2].type, "IEND");
  EXPECT_TRUE(chunks[2].data.empty());
  // The IEND chunk is always the same 12 bytes.
  EXPECT_EQ(std::vector<uint8_t>(file.end() - 12, file.end()),
            (std::vector<uint8_t>{0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82}));

  const std::vector<uint8_t>& ihdr = chunks[0].data;
  EXPECT_EQ(ihdr.size(), 13u);
  EXPECT_EQ(Be32(ihdr, 0), width);
  EXPECT_EQ(Be32(ihdr, 4), height);
  EXPECT_EQ(std::vector<uint8_t>(ihdr.begin() + 8, ihdr.end()),
            (std::vector<uint8_t>{8, colourType, 0, 0, 0}));

  const size_t channels = colourType == 2 ? 3 : 1;
  const size_t rowBytes = width * channels;
  std::vector<uint8_t> raw(height * (rowBytes + 1) + 1);  // one spare byte: catches extra data
  uLongf rawSize = raw.size();
  EXPECT_EQ(uncompress(raw.data(), &rawSize, chunks[1].data.data(), chunks[1].data.size()), Z_OK);
  EXPECT_EQ(rawSize, height * (rowBytes + 1));
  std::vector<uint8_t> pixels;
  for (size_t y = 0; y < height; ++y) {
    EXPECT_EQ(raw[y * (rowBytes + 1)], 0) << "filter byte of row " << y;
    const auto row = raw.begin() + static_cast<ptrdiff_t>(y * (rowBytes + 1) + 1);
    pixels.insert(pixels.end(), row, row + static_cast<ptrdiff_t>(rowBytes));
  }
  return pixels;
}

std::vector<uint8_t> Ramp(size_t count) {
  std::vector<uint8_t> pixels(count);
  std::iota(pixels.begin(), pixels.end(), uint8_t{7});
  return pixels;
}

TEST(EncodePng, GreyAndRgbRoundTripThroughZlib) {
  const struct {
    int32_t width, height;
    PngColour colour;
    uint8_t colourType;
    size_t channels;
  } cases[] = {
      {1, 1, PngColour::kGrey, 0, 1},     {5, 3, PngColour::kGrey, 0, 1},
      {1, 1, PngColour::kRgb, 2, 3},      {7, 4, PngColour::kRgb, 2, 3},
      {300, 400, PngColour::kGrey, 0, 1}, {1, 1000, PngColour::kRgb, 2, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + " x " +
                 std::to_string(c.channels));
    const std::vector<uint8_t> pixels = Ramp(static_cast<size_t>(c.width) * c.height * c.channels);
    const std::optional<std::vector<uint8_t>> png = EncodePng(pixels, c.width, c.height, c.colour);
    ASSERT_TRUE(png.has_value());
    EXPECT_EQ(
        Decode(*png, static_cast<uint32_t>(c.width), static_cast<uint32_t>(c.height), c.colourType),
        pixels);
  }
}

TEST(EncodePng, CompressesAFlatImage) {
  // A 320 x 480 white frame: stored deflate blocks would take over 150 KB.
  const std::vector<uint8_t> white(320 * 480, 255);
  const std::optional<std::vector<uint8_t>> png = EncodePng(white, 320, 480, PngColour::kGrey);
  ASSERT_TRUE(png.has_value());
  EXPECT_LT(png->size(), 2000u);
  EXPECT_EQ(Decode(*png, 320, 480, 0), white);
}

TEST(EncodePng, RefusesBadSizes) {
  const std::vector<uint8_t> six(6, 1);
  EXPECT_FALSE(EncodePng(six, 0, 6, PngColour::kGrey).has_value());
  EXPECT_FALSE(EncodePng(six, 6, 0, PngColour::kGrey).has_value());
  EXPECT_FALSE(EncodePng(six, -1, -6, PngColour::kGrey).has_value());
  EXPECT_FALSE(EncodePng({}, 0, 0, PngColour::kRgb).has_value());
  // The pixel count must match the size exactly, both ways.
  EXPECT_FALSE(EncodePng(six, 2, 2, PngColour::kGrey).has_value());
  EXPECT_FALSE(EncodePng(six, 7, 1, PngColour::kGrey).has_value());
  EXPECT_FALSE(EncodePng(six, 6, 1, PngColour::kRgb).has_value());
  EXPECT_TRUE(EncodePng(six, 2, 1, PngColour::kRgb).has_value());
  EXPECT_TRUE(EncodePng(six, 3, 2, PngColour::kGrey).has_value());
  // Above the pixel limit, checked before the size of `pixels` is looked at, and with sides whose
  // product overflows 32 bits.
  EXPECT_FALSE(EncodePng(six, 1 << 16, 1 << 16, PngColour::kGrey).has_value());
  EXPECT_FALSE(EncodePng(six, INT32_MAX, INT32_MAX, PngColour::kRgb).has_value());
}

}  // namespace
}  // namespace codec
