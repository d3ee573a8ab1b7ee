// Interoperability with the reference WSQ files, round trips, and the encoder's interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "codec/wsq/wsq.h"
#include "codec/wsq/wsq_test_util.h"

namespace codec {
namespace {

using wsq_test::Gray;
using wsq_test::Psnr;

struct Reference {
  const char* image;
  const char* rate;
  float bitRate;
  double psnr;  // of the reference decoding against the source, from the testdata README
};
constexpr Reference kReferences[] = {
    {"finger1", "0.75", 0.75f, 33.86}, {"finger1", "2.25", 2.25f, 38.53},
    {"finger2", "0.75", 0.75f, 31.40}, {"finger2", "2.25", 2.25f, 37.15},
    {"finger3", "0.75", 0.75f, 34.50}, {"finger3", "2.25", 2.25f, 39.10},
};

// The 64 bin widths of a file's quantisation table.
std::vector<double> BinWidths(const std::vector<uint8_t>& file) {
  std::vector<double> q(64, -1.0);
  for (const auto& m : wsq_test::Markers(file)) {
    if (m.code != 0xA5 || m.offset + 4 + 3 + 64 * 6 > file.size()) {
      continue;
    }
    for (int k = 0; k < 64; ++k) {
      const uint8_t* e = &file[m.offset + 4 + 3 + 6 * k];
      q[k] = ((e[1] << 8) | e[2]) / std::pow(10.0, e[0]);
    }
  }
  return q;
}

class WsqReferenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = wsq_test::TestdataDir();
    if (dir_.empty() || !std::filesystem::is_directory(dir_)) {
      GTEST_SKIP() << "WSQ reference files not found at '" << dir_.string()
                   << "': interoperability not checked";
    }
  }
  std::filesystem::path dir_;
};

TEST_F(WsqReferenceTest, DecoderReproducesReferenceDecodings) {
  for (const Reference& ref : kReferences) {
    SCOPED_TRACE(std::string(ref.image) + " at " + ref.rate);
    const std::string stem = std::string(ref.image) + "_rate" + ref.rate;
    auto file = wsq_test::ReadFile(dir_ / (stem + ".wsq"));
    auto expected = wsq_test::ReadPgm(dir_ / (stem + ".decoded.pgm"));
    ASSERT_TRUE(file && expected);

    WsqImage image;
    ASSERT_EQ(DecodeWsq(*file, &image), WsqError::kOk);
    ASSERT_EQ(image.width, expected->width);
    ASSERT_EQ(image.height, expected->height);
    EXPECT_EQ(image.ppi, 500);
    ASSERT_EQ(image.comments.size(), 1u);
    EXPECT_EQ(image.comments[0].rfind("NIST_COM", 0), 0u);

    size_t close = 0;
    for (size_t i = 0; i < image.pixels.size(); ++i) {
      if (std::abs(image.pixels[i] - expected->pixels[i]) <= 1) {
        ++close;
      }
    }
    EXPECT_GE(static_cast<double>(close), 0.999 * static_cast<double>(image.pixels.size()));
  }
}

TEST_F(WsqReferenceTest, EncoderMatchesReferenceSizeAndQuality) {
  for (const Reference& ref : kReferences) {
    SCOPED_TRACE(std::string(ref.image) + " at " + ref.rate);
    auto source = wsq_test::ReadPgm(dir_ / (std::string(ref.image) + ".pgm"));
    auto refFile =
        wsq_test::ReadFile(dir_ / (std::string(ref.image) + "_rate" + ref.rate + ".wsq"));
    ASSERT_TRUE(source && refFile);

    std::vector<uint8_t> file;
    WsqEncodeOptions options;
    options.bitRate = ref.bitRate;
    ASSERT_EQ(EncodeWsq(source->pixels, source->width, source->height, options, &file),
              WsqError::kOk);
    // Same model and tables as the reference encoder: the sizes agree to a few per cent.
    EXPECT_NEAR(static_cast<double>(file.size()), static_cast<double>(refFile->size()),
                0.05 * static_cast<double>(refFile->size()));

    // Same variance windows, weights and rate equation: the same subbands coded, with the same
    // bin widths up to the rounding of the table's last digit.
    const auto ours = BinWidths(file);
    const auto theirs = BinWidths(*refFile);
    for (int k = 0; k < 64; ++k) {
      EXPECT_NEAR(ours[k], theirs[k], 5e-4 * theirs[k]) << "subband " << k;
    }

    WsqImage decoded;
    ASSERT_EQ(DecodeWsq(file, &decoded), WsqError::kOk);
    const double psnr = Psnr(decoded.pixels, source->pixels);
    EXPECT_GE(psnr, ref.psnr - 0.5);
    // The usual setting keeps a fingerprint well above 30 dB.
    EXPECT_GE(psnr, 30.0);
  }
}

TEST(WsqRoundTrip, SyntheticFingerAtBothSettings) {
  // Odd sizes make every split of the decomposition uneven somewhere.
  const Gray finger = wsq_test::SyntheticFinger(357, 411);
  std::vector<uint8_t> usual;
  std::vector<uint8_t> fine;
  WsqEncodeOptions options;
  options.bitRate = WsqBitRateForCompressionRatio(0.7f);  // the agent's default
  ASSERT_EQ(EncodeWsq(finger.pixels, finger.width, finger.height, options, &usual), WsqError::kOk);
  options.bitRate = 2.25f;
  ASSERT_EQ(EncodeWsq(finger.pixels, finger.width, finger.height, options, &fine), WsqError::kOk);

  WsqImage a;
  WsqImage b;
  ASSERT_EQ(DecodeWsq(usual, &a), WsqError::kOk);
  ASSERT_EQ(DecodeWsq(fine, &b), WsqError::kOk);
  ASSERT_EQ(a.width, finger.width);
  ASSERT_EQ(a.height, finger.height);
  const double psnrUsual = Psnr(a.pixels, finger.pixels);
  const double psnrFine = Psnr(b.pixels, finger.pixels);
  EXPECT_GE(psnrUsual, 30.0);
  EXPECT_GT(psnrFine, psnrUsual + 2.0);
  EXPECT_GT(fine.size(), 2 * usual.size());
  // The rate is a target the encoder stays below, not far below.
  const double bitsPerPixel = 8.0 * static_cast<double>(usual.size()) / finger.pixels.size();
  EXPECT_LT(bitsPerPixel, 0.75 * 1.1);
  EXPECT_GT(bitsPerPixel, 0.75 * 0.3);
}

TEST(WsqRoundTrip, ImageSizesAndContents) {
  struct Case {
    const char* name;
    int width;
    int height;
    float bitRate;
    double minPsnr;
  };
  // Small images leave some variance windows empty and carry a large fixed overhead; the
  // highest rate makes the bins so narrow that indices need the 16-bit escape codes.
  const Case cases[] = {
      {"smallest", 32, 32, 0.75f, 30.0},
      {"thin", 32, 301, 0.75f, 30.0},
      {"odd", 97, 65, 2.25f, 37.0},
      {"sensor", 256, 360, 0.75f, 33.0},
      {"highest rate", 256, 360, kWsqMaxBitRate, 42.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Gray g = wsq_test::SyntheticFinger(c.width, c.height);
    std::vector<uint8_t> file;
    WsqEncodeOptions options;
    options.bitRate = c.bitRate;
    ASSERT_EQ(EncodeWsq(g.pixels, g.width, g.height, options, &file), WsqError::kOk);
    WsqImage out;
    ASSERT_EQ(DecodeWsq(file, &out), WsqError::kOk);
    ASSERT_EQ(out.pixels.size(), g.pixels.size());
    EXPECT_GE(Psnr(out.pixels, g.pixels), c.minPsnr);
  }

  // A flat image has no detail at all: it comes back exactly.
  std::vector<uint8_t> flat(64 * 48, 77);
  std::vector<uint8_t> file;
  ASSERT_EQ(EncodeWsq(flat, 64, 48, {}, &file), WsqError::kOk);
  WsqImage out;
  ASSERT_EQ(DecodeWsq(file, &out), WsqError::kOk);
  EXPECT_EQ(out.pixels, flat);

  // A small finger in the middle of a large blank area: zero runs of about 200000 coefficients
  // between subbands, longer than one 16-bit run escape can hold.
  {
    const int w = 1300;
    const int h = 1300;
    const int n = 160;
    std::vector<uint8_t> big(static_cast<size_t>(w) * h, 128);
    const Gray patch = wsq_test::SyntheticFinger(n, n);
    for (int y = 0; y < n; ++y) {
      std::copy_n(&patch.pixels[static_cast<size_t>(y) * n], n,
                  &big[static_cast<size_t>(y + (h - n) / 2) * w + (w - n) / 2]);
    }
    ASSERT_EQ(EncodeWsq(big, w, h, {}, &file), WsqError::kOk);
    ASSERT_EQ(DecodeWsq(file, &out), WsqError::kOk);
    EXPECT_GE(Psnr(out.pixels, big), 40.0);
  }

  // White noise at the highest rate: every symbol category, long and short runs. WSQ drops the
  // quadrant of highest diagonal frequencies, a quarter of white noise's energy, which bounds
  // the PSNR at about 17 dB whatever the rate.
  std::vector<uint8_t> noise(128 * 96);
  uint32_t s = 1;
  for (auto& p : noise) {
    s = s * 1103515245u + 12345u;
    p = static_cast<uint8_t>(s >> 23);
  }
  WsqEncodeOptions options;
  options.bitRate = kWsqMaxBitRate;
  ASSERT_EQ(EncodeWsq(noise, 128, 96, options, &file), WsqError::kOk);
  ASSERT_EQ(DecodeWsq(file, &out), WsqError::kOk);
  EXPECT_GE(Psnr(out.pixels, noise), 15.5);
}

TEST(WsqRoundTrip, FileLayoutAndComments) {
  const Gray g = wsq_test::SyntheticFinger(64, 96);
  std::vector<uint8_t> file;
  WsqEncodeOptions options;
  options.ppi = 1000;
  options.comment = "scanner 7";
  ASSERT_EQ(EncodeWsq(g.pixels, g.width, g.height, options, &file), WsqError::kOk);

  // SOI, two comments, the transform, quantisation tables and frame, then the first block with
  // its own Huffman table and the two others sharing a second table, EOI.
  std::vector<uint8_t> codes;
  for (const auto& m : wsq_test::Markers(file)) {
    codes.push_back(m.code);
  }
  const std::vector<uint8_t> expected = {0xA0, 0xA8, 0xA8, 0xA4, 0xA5, 0xA2,
                                         0xA6, 0xA3, 0xA6, 0xA3, 0xA3, 0xA1};
  EXPECT_EQ(codes, expected);

  WsqImage out;
  ASSERT_EQ(DecodeWsq(file, &out), WsqError::kOk);
  EXPECT_EQ(out.ppi, 1000);
  ASSERT_EQ(out.comments.size(), 2u);
  EXPECT_NE(out.comments[0].find("PIX_WIDTH 64\nPIX_HEIGHT 96\n"), std::string::npos);
  EXPECT_EQ(out.comments[1], "scanner 7");

  options.ppi = -1;
  options.comment = {};
  ASSERT_EQ(EncodeWsq(g.pixels, g.width, g.height, options, &file), WsqError::kOk);
  ASSERT_EQ(DecodeWsq(file, &out), WsqError::kOk);
  EXPECT_EQ(out.ppi, -1);
  EXPECT_EQ(out.comments.size(), 1u);
}

TEST(WsqEncode, RefusesInvalidInput) {
  const std::vector<uint8_t> pixels(64 * 64, 128);
  std::vector<uint8_t> out = {1, 2, 3};
  WsqEncodeOptions ok;
  EXPECT_EQ(EncodeWsq(pixels, 64, 64, ok, &out), WsqError::kOk);

  EXPECT_EQ(EncodeWsq(pixels, 31, 64 * 64 / 31, ok, &out), WsqError::kInvalidInput);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(EncodeWsq(pixels, 64, 63, ok, &out), WsqError::kInvalidInput);  // size mismatch
  EXPECT_EQ(EncodeWsq(pixels, -64, -64, ok, &out), WsqError::kInvalidInput);
  EXPECT_EQ(EncodeWsq({}, 70000, 32, ok, &out), WsqError::kInvalidInput);
  EXPECT_EQ(EncodeWsq({}, 8192, 8192, ok, &out), WsqError::kInvalidInput);  // too many pixels

  for (float rate : {0.0f, -1.0f, 0.05f, 8.5f, std::numeric_limits<float>::quiet_NaN(),
                     std::numeric_limits<float>::infinity()}) {
    WsqEncodeOptions bad;
    bad.bitRate = rate;
    EXPECT_EQ(EncodeWsq(pixels, 64, 64, bad, &out), WsqError::kInvalidInput) << rate;
  }
  std::string longComment(70000, 'x');
  WsqEncodeOptions bad;
  bad.comment = longComment;
  EXPECT_EQ(EncodeWsq(pixels, 64, 64, bad, &out), WsqError::kInvalidInput);
}

TEST(WsqCompressionRatio, MapsToBitRate) {
  // At or below 1, and NaN: the usual setting.
  for (float r : {0.7f, 1.0f, 0.0f, -3.0f, -std::numeric_limits<float>::infinity(),
                  std::numeric_limits<float>::quiet_NaN()}) {
    EXPECT_EQ(WsqBitRateForCompressionRatio(r), 0.75f) << r;
  }
  // Above 1: a compression ratio against 8-bit pixels.
  EXPECT_FLOAT_EQ(WsqBitRateForCompressionRatio(10.0f), 0.8f);
  EXPECT_FLOAT_EQ(WsqBitRateForCompressionRatio(15.0f), 8.0f / 15.0f);
  EXPECT_FLOAT_EQ(WsqBitRateForCompressionRatio(2.0f), 4.0f);
  // Absurd ratios stay within what the encoder accepts.
  EXPECT_EQ(WsqBitRateForCompressionRatio(1.0001f), 8.0f / 1.0001f);
  EXPECT_EQ(WsqBitRateForCompressionRatio(1000.0f), kWsqMinBitRate);
  EXPECT_EQ(WsqBitRateForCompressionRatio(std::numeric_limits<float>::infinity()), kWsqMinBitRate);
  EXPECT_EQ(WsqBitRateForCompressionRatio(std::numeric_limits<float>::max()), kWsqMinBitRate);
}

}  // namespace
}  // namespace codec
