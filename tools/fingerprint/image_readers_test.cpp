#include "tools/fingerprint/image_readers.h"

#include <gtest/gtest.h>

#include <string>

#include "tools/fingerprint/metrics.h"

namespace tools {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

TEST(ReadPgm, ReadsHeaderWithCommentsAndRaster) {
  std::vector<uint8_t> f = Bytes("P5\n# made by hand\n3 2\n255\n");
  for (uint8_t v : {1, 2, 3, 4, 5, 6})
    f.push_back(v);
  DecodedImage img;
  std::string error;
  ASSERT_TRUE(ReadImage(f, &img, &error)) << error;
  EXPECT_EQ(img.width, 3);
  EXPECT_EQ(img.height, 2);
  EXPECT_EQ(img.pixels, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST(ReadPgm, PassesTheDecodersReasonOn) {
  // The header checks themselves are the PGM decoder's (codec/pgm_test.cpp); the tool must hand
  // on its reason and leave nothing half-filled behind.
  DecodedImage img;
  img.width = 7;
  std::string error;
  EXPECT_FALSE(ReadImage(Bytes("P5\n3 2\n65535\n123456123456"), &img, &error));
  EXPECT_EQ(error, "16-bit PGM (maxval 65535) is not supported, only 8-bit (maxval up to 255)");
  EXPECT_EQ(img.width, 7);
  EXPECT_FALSE(ReadPgm(Bytes("P5\n3 2\n255\n12345"), &img, &error));
  EXPECT_EQ(error, "PGM raster is truncated: 5 of 6 bytes (3 x 2)");
}

std::vector<uint8_t> Bmp(int w, int h, int bpp, bool topDown, size_t cut = 0) {
  const int stride = ((w * bpp + 31) / 32) * 4;
  const int palette = bpp == 8 ? 1024 : 0;
  const uint32_t offset = 54 + palette;
  std::vector<uint8_t> f(offset + static_cast<size_t>(stride) * h, 0);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
      f[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  f[0] = 'B';
  f[1] = 'M';
  put32(2, static_cast<uint32_t>(f.size()));
  put32(10, offset);
  put32(14, 40);
  put32(18, static_cast<uint32_t>(w));
  put32(22, static_cast<uint32_t>(topDown ? -h : h));
  f[26] = 1;
  f[28] = static_cast<uint8_t>(bpp);
  put32(38, 19685);  // 500 ppi
  for (int i = 0; bpp == 8 && i < 256; ++i)
    f[54 + 4 * i] = f[55 + 4 * i] = f[56 + 4 * i] = static_cast<uint8_t>(i);
  for (int y = 0; y < h; ++y) {  // file row y holds image row (topDown ? y : h - 1 - y) = 10 * row
    const int row = topDown ? y : h - 1 - y;
    for (int x = 0; x < w; ++x) {
      const uint8_t v = static_cast<uint8_t>(10 * row + x);
      if (bpp == 8) {
        f[offset + y * stride + x] = v;
      } else {
        for (int c = 0; c < 3; ++c)
          f[offset + y * stride + 3 * x + c] = v;
      }
    }
  }
  f.resize(f.size() - cut);
  return f;
}

TEST(ReadBmp, Reads8BitAnd24BitBothRowOrders) {
  for (int bpp : {8, 24}) {
    for (bool topDown : {false, true}) {
      DecodedImage img;
      std::string error;
      ASSERT_TRUE(ReadImage(Bmp(5, 3, bpp, topDown), &img, &error)) << error;
      EXPECT_EQ(img.width, 5);
      EXPECT_EQ(img.height, 3);
      EXPECT_EQ(img.ppi, 500);
      EXPECT_EQ(img.pixels[0], 0);
      EXPECT_EQ(img.pixels[2 * 5 + 4], 24);
    }
  }
}

TEST(ReadBmp, RejectsTruncatedAndUnsupported) {
  DecodedImage img;
  std::string error;
  EXPECT_FALSE(ReadBmp(Bmp(5, 3, 8, false, 1), &img, &error));
  EXPECT_FALSE(ReadBmp(Bmp(5, 3, 24, false, 1), &img, &error));
  std::vector<uint8_t> f = Bmp(5, 3, 8, false);
  f[28] = 16;  // 16-bit
  EXPECT_FALSE(ReadBmp(f, &img, &error));
  f = Bmp(5, 3, 8, false);
  f[30] = 1;  // RLE
  EXPECT_FALSE(ReadBmp(f, &img, &error));
  f = Bmp(5, 3, 8, false);
  f[21] = 0x7f;  // huge width
  EXPECT_FALSE(ReadBmp(f, &img, &error));
  f = Bmp(5, 3, 8, false);
  f[10] = 0xff;
  f[11] = 0xff;
  f[12] = 0xff;  // pixel data beyond the file
  EXPECT_FALSE(ReadBmp(f, &img, &error));
  for (size_t n = 0; n < 60; ++n)
    EXPECT_FALSE(ReadBmp(std::span(f.data(), n), &img, &error));
}

std::vector<uint8_t> Dat(int w, int h, int bits = 8) {
  std::vector<uint8_t> f = Bytes("VSRI");
  for (int v : {1, 16, w, h, 500, bits}) {
    f.push_back(static_cast<uint8_t>(v));
    f.push_back(static_cast<uint8_t>(v >> 8));
  }
  for (int i = 0; i < w * h; ++i)
    f.push_back(static_cast<uint8_t>(i));
  return f;
}

TEST(ReadDat, ReadsTheAgentsRawLayout) {
  DecodedImage img;
  std::string error;
  ASSERT_TRUE(ReadImage(Dat(4, 3), &img, &error)) << error;
  EXPECT_EQ(img.width, 4);
  EXPECT_EQ(img.height, 3);
  EXPECT_EQ(img.ppi, 500);
  EXPECT_EQ(img.pixels[11], 11);
  std::vector<uint8_t> f = Dat(4, 3);
  f.pop_back();
  EXPECT_FALSE(ReadDat(f, &img, &error));
  EXPECT_FALSE(ReadDat(Dat(4, 3, 16), &img, &error));
  f = Dat(4, 3);
  f[6] = 200;  // header beyond the file
  EXPECT_FALSE(ReadDat(f, &img, &error));
  EXPECT_FALSE(ReadImage(Bytes("GIF89a......"), &img, &error));
  EXPECT_NE(error.find("unsupported"), std::string::npos);
}

TEST(Metrics, SeparatedScoresHaveNoErrors) {
  const ErrorRates r = ComputeErrorRates({50, 60, 70}, {1, 2, 3, 4});
  EXPECT_EQ(r.eer, 0);
  EXPECT_EQ(r.fmr1000, 0);
  EXPECT_EQ(r.zeroFmr, 0);
}

TEST(Metrics, OverlapGivesKnownRates) {
  // Genuine 10..19 (one each), impostors 0..14: at threshold 15 FMR 0, FNMR 5/10.
  std::vector<double> g, im;
  for (int i = 10; i < 20; ++i)
    g.push_back(i);
  for (int i = 0; i < 15; ++i)
    im.push_back(i);
  const ErrorRates r = ComputeErrorRates(g, im);
  EXPECT_DOUBLE_EQ(r.zeroFmr, 50);
  EXPECT_GT(r.eer, 15);
  EXPECT_LT(r.eer, 30);
  const std::string svg = PlotSvg(g, im, "a <test> & more");
  EXPECT_NE(svg.find("<svg"), std::string::npos);
  EXPECT_NE(svg.find("&lt;test>"), std::string::npos);
  EXPECT_NE(svg.find("DET"), std::string::npos);
}

}  // namespace
}  // namespace tools
