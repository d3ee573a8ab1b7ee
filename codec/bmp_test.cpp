#include "codec/bmp.h"

#include <gtest/gtest.h>

#include <limits>
#include <numeric>
#include <random>
#include <vector>

namespace codec {
namespace {

uint32_t U32(const std::vector<uint8_t>& file, size_t at) {
  return static_cast<uint32_t>(file[at]) | (static_cast<uint32_t>(file[at + 1]) << 8) |
         (static_cast<uint32_t>(file[at + 2]) << 16) | (static_cast<uint32_t>(file[at + 3]) << 24);
}

uint16_t U16(const std::vector<uint8_t>& file, size_t at) {
  return static_cast<uint16_t>(file[at] | (file[at + 1] << 8));
}

std::vector<uint8_t> Ramp(size_t count) {
  std::vector<uint8_t> pixels(count);
  std::iota(pixels.begin(), pixels.end(), uint8_t{1});
  return pixels;
}

// Checks every header field and the palette against the layout the pages' browsers read.
void ExpectHeader(const std::vector<uint8_t>& file, int32_t width, int32_t height) {
  const uint32_t stride = static_cast<uint32_t>(BmpStride(width));
  const uint32_t imageSize = stride * static_cast<uint32_t>(height);
  ASSERT_EQ(file.size(), imageSize + 1078u);
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[1], 'M');
  EXPECT_EQ(U32(file, 2), imageSize + 1078u);
  EXPECT_EQ(U32(file, 6), 0u);
  EXPECT_EQ(U32(file, 10), 1078u);
  EXPECT_EQ(U32(file, 14), 40u);
  EXPECT_EQ(static_cast<int32_t>(U32(file, 18)), width);
  EXPECT_EQ(static_cast<int32_t>(U32(file, 22)), height);
  EXPECT_EQ(U16(file, 26), 1u);
  EXPECT_EQ(U16(file, 28), 8u);
  EXPECT_EQ(U32(file, 30), 0u);
  EXPECT_EQ(U32(file, 34), imageSize);
  EXPECT_EQ(U32(file, 38), 19687u);
  EXPECT_EQ(U32(file, 42), 19687u);
  EXPECT_EQ(U32(file, 46), 0u);
  EXPECT_EQ(U32(file, 50), 0u);
  for (size_t i = 0; i < 256; ++i) {
    const size_t at = 54 + 4 * i;
    ASSERT_EQ(file[at], i);
    ASSERT_EQ(file[at + 1], i);
    ASSERT_EQ(file[at + 2], i);
    ASSERT_EQ(file[at + 3], 0);
  }
}

// Checks that source row r sits at file row height - 1 - r, with zero padding to the stride.
void ExpectRows(const std::vector<uint8_t>& file, const std::vector<uint8_t>& pixels, int32_t width,
                int32_t height) {
  const size_t w = static_cast<size_t>(width);
  const size_t stride = static_cast<size_t>(BmpStride(width));
  for (size_t r = 0; r < static_cast<size_t>(height); ++r) {
    const size_t at = 1078 + (static_cast<size_t>(height) - 1 - r) * stride;
    for (size_t x = 0; x < w; ++x) {
      ASSERT_EQ(file[at + x], pixels[r * w + x]) << "row " << r << " column " << x;
    }
    for (size_t x = w; x < stride; ++x) {
      ASSERT_EQ(file[at + x], 0) << "padding of row " << r;
    }
  }
}

TEST(BuildBmpFile, ThreeByTwo) {
  const std::vector<uint8_t> pixels = {10, 20, 30, 40, 50, 60};
  std::vector<uint8_t> file;
  ASSERT_TRUE(BuildBmpFile(pixels, 3, 2, &file));
  ASSERT_EQ(file.size(), 1086u);
  ExpectHeader(file, 3, 2);
  // Bottom row first, each padded with one zero byte to the stride of 4.
  const std::vector<uint8_t> rows(file.begin() + 1078, file.end());
  EXPECT_EQ(rows, (std::vector<uint8_t>{40, 50, 60, 0, 10, 20, 30, 0}));
}

TEST(BuildBmpFile, StrideAndRowOrderForOddAndEvenWidths) {
  for (int32_t width : {1, 2, 3, 4, 5, 7, 8, 13}) {
    for (int32_t height : {1, 2, 5}) {
      SCOPED_TRACE(testing::Message() << width << " x " << height);
      const auto pixels = Ramp(static_cast<size_t>(width * height));
      std::vector<uint8_t> file;
      ASSERT_TRUE(BuildBmpFile(pixels, width, height, &file));
      ExpectHeader(file, width, height);
      ExpectRows(file, pixels, width, height);
    }
  }
  EXPECT_EQ(BmpStride(1), 4);
  EXPECT_EQ(BmpStride(4), 4);
  EXPECT_EQ(BmpStride(5), 8);
  EXPECT_EQ(BmpStride(7), 8);
}

TEST(BuildBmpFile, ReadsOnlyWidthTimesHeightPixels) {
  const std::vector<uint8_t> pixels = {1, 2, 3, 4, 99, 99};
  std::vector<uint8_t> file;
  ASSERT_TRUE(BuildBmpFile(pixels, 2, 2, &file));
  ExpectRows(file, pixels, 2, 2);
}

TEST(BuildBmpFile, RefusesBadSizesAndLeavesOutputAlone) {
  const std::vector<uint8_t> pixels(64, 7);
  const std::vector<uint8_t> before = {1, 2, 3};
  std::vector<uint8_t> out = before;
  EXPECT_FALSE(BuildBmpFile(pixels, 0, 4, &out));
  EXPECT_FALSE(BuildBmpFile(pixels, 4, 0, &out));
  EXPECT_FALSE(BuildBmpFile(pixels, -4, 4, &out));
  EXPECT_FALSE(BuildBmpFile(pixels, 4, -4, &out));
  EXPECT_FALSE(BuildBmpFile(pixels, 8, 9, &out));  // 72 pixels wanted, 64 given
  EXPECT_FALSE(BuildBmpFile({}, 1, 1, &out));
  // Products that overflow 32 bits, or merely exceed the limit, are refused before any read.
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  EXPECT_FALSE(BuildBmpFile(pixels, kMax, kMax, &out));
  EXPECT_FALSE(BuildBmpFile(pixels, 65536, 65536, &out));
  EXPECT_FALSE(BuildBmpFile(pixels, 8193, 8192, &out));
  EXPECT_EQ(out, before);
  EXPECT_FALSE(BuildBmpFile(pixels, 8, 8, nullptr));
  EXPECT_TRUE(BuildBmpFile(pixels, 8, 8, &out));
}

TEST(BlankImages, GifBytes) {
  const std::vector<uint8_t> expected = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01,
                                         0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF,
                                         0xFF, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01,
                                         0x00, 0x00, 0x02, 0x01, 0x4C, 0x00, 0x3B};
  const auto gif = BlankGif();
  EXPECT_EQ(std::vector<uint8_t>(gif.begin(), gif.end()), expected);
}

TEST(BlankImages, WhiteFrame) {
  const auto frame = BuildBlankFrame();
  ASSERT_EQ(frame.size(), 154678u);
  ASSERT_EQ(frame.size(), kBlankFrameSize);
  ExpectHeader(frame, 320, 480);
  for (size_t i = 1078; i < frame.size(); ++i) {
    ASSERT_EQ(frame[i], 255) << "byte " << i;
  }
}

TEST(ParseBmpFile, RoundTrip) {
  for (int32_t width : {1, 3, 5, 7, 256}) {
    const int32_t height = 3;
    const auto pixels = Ramp(static_cast<size_t>(width * height));
    std::vector<uint8_t> file;
    ASSERT_TRUE(BuildBmpFile(pixels, width, height, &file));
    const auto image = ParseBmpFile(file);
    ASSERT_TRUE(image.has_value()) << width;
    EXPECT_EQ(image->width, width);
    EXPECT_EQ(image->height, height);
    EXPECT_EQ(image->pixels, pixels);
  }
}

TEST(ParseBmpFile, TopDownAndPaletteLookup) {
  // Top-down file (negative height) with a reversed grey palette: index i means grey 255 - i.
  std::vector<uint8_t> file;
  ASSERT_TRUE(BuildBmpFile(std::vector<uint8_t>{0, 1, 2, 3}, 2, 2, &file));
  const int32_t negative = -2;
  for (int i = 0; i < 4; ++i) {
    file[22 + i] = static_cast<uint8_t>(static_cast<uint32_t>(negative) >> (8 * i));
  }
  for (size_t i = 0; i < 256; ++i) {
    file[54 + 4 * i] = file[55 + 4 * i] = file[56 + 4 * i] = static_cast<uint8_t>(255 - i);
  }
  // Stored rows are {2, 3} then {0, 1}; read top-down they stay in that order.
  const auto image = ParseBmpFile(file);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->pixels, (std::vector<uint8_t>{253, 252, 255, 254}));
}

TEST(ParseBmpFile, RefusesOtherFiles) {
  std::vector<uint8_t> good;
  ASSERT_TRUE(BuildBmpFile(Ramp(12), 4, 3, &good));
  ASSERT_TRUE(ParseBmpFile(good).has_value());

  auto changed = [&](size_t at, uint8_t value) {
    auto file = good;
    file[at] = value;
    return ParseBmpFile(file);
  };
  EXPECT_FALSE(changed(0, 'X').has_value());    // signature
  EXPECT_FALSE(changed(28, 24).has_value());    // 24 bits per pixel
  EXPECT_FALSE(changed(30, 1).has_value());     // RLE compression
  EXPECT_FALSE(changed(26, 2).has_value());     // planes
  EXPECT_FALSE(changed(14, 12).has_value());    // old core header
  EXPECT_FALSE(changed(18, 0).has_value());     // width 0
  EXPECT_FALSE(changed(22, 0).has_value());     // height 0
  EXPECT_FALSE(changed(22, 200).has_value());   // more rows than the file holds
  EXPECT_FALSE(changed(13, 0x10).has_value());  // pixel offset far beyond the end
  EXPECT_FALSE(changed(10, 0).has_value());     // pixel offset inside the palette
  EXPECT_FALSE(changed(55, 9).has_value());     // a coloured palette entry
  EXPECT_FALSE(changed(46, 4).has_value());     // 4 colours but pixels use index up to 12
  EXPECT_FALSE(changed(48, 1).has_value());     // 65536 colours
  EXPECT_FALSE(ParseBmpFile(std::vector<uint8_t>(good.begin(), good.end() - 1)).has_value());
  EXPECT_FALSE(ParseBmpFile(std::vector<uint8_t>(good.begin(), good.begin() + 53)).has_value());
  EXPECT_FALSE(ParseBmpFile({}).has_value());
  EXPECT_FALSE(ParseBmpFile(BlankGif()).has_value());
}

TEST(ParseBmpFile, DamagedHeadersNeverReadOutside) {
  // Random damage to the header and palette: whatever the parser answers, it must stay inside
  // the file (AddressSanitizer watches the reads) and a success must be self-consistent.
  std::vector<uint8_t> good;
  ASSERT_TRUE(BuildBmpFile(Ramp(35), 7, 5, &good));
  std::mt19937 random(7);
  std::uniform_int_distribution<size_t> where(0, 1078 + 8 * 5 - 1);
  std::uniform_int_distribution<int> value(0, 255);
  for (int round = 0; round < 20000; ++round) {
    auto file = good;
    for (int n = 0; n < 3; ++n) {
      file[where(random)] = static_cast<uint8_t>(value(random));
    }
    file.resize(file.size() - static_cast<size_t>(round % 3) * 4);
    const auto image = ParseBmpFile(file);
    if (image) {
      ASSERT_GT(image->width, 0);
      ASSERT_GT(image->height, 0);
      ASSERT_EQ(image->pixels.size(),
                static_cast<size_t>(image->width) * static_cast<size_t>(image->height));
    }
  }
}

}  // namespace
}  // namespace codec
