// The codec's building blocks: subband layout, filter bank, table numbers, Huffman codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include "codec/wsq/wsq_detail.h"

namespace codec::wsq_detail {
namespace {

TEST(WsqLayout, SubbandsTileTheImage) {
  for (auto [w, h] : {std::pair{320, 480}, {32, 32}, {33, 47}, {500, 501}, {1, 1}, {3, 100}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    const Layout layout = BuildLayout(w, h);
    std::vector<int> cover(static_cast<size_t>(w) * h, 0);
    for (int k = 0; k < kCodedSubbands; ++k) {
      const Region& r = layout.bands[k];
      ASSERT_GE(r.width, 0);
      ASSERT_GE(r.height, 0);
      for (int y = r.y; y < r.y + r.height; ++y) {
        for (int x = r.x; x < r.x + r.width; ++x) {
          ASSERT_TRUE(x >= 0 && x < w && y >= 0 && y < h);
          ++cover[static_cast<size_t>(y) * w + x];
        }
      }
    }
    for (int k = kCodedSubbands; k < kSubbands; ++k) {
      EXPECT_EQ(layout.bands[k].width * layout.bands[k].height, 0);
    }
    // Everything is covered once, except the dropped high-pass quadrant at the lower right.
    const int lowW = (w + 1) / 2;
    const int lowH = (h + 1) / 2;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const int expected = (x >= lowW && y >= lowH) ? 0 : 1;
        ASSERT_EQ(cover[static_cast<size_t>(y) * w + x], expected) << x << "," << y;
      }
    }
  }
}

TEST(WsqLayout, SubbandSizesOfA320x480Image) {
  // The coefficient counts of the three blocks follow from these sizes, so a decoder with a
  // different layout would not even parse the reference files.
  const Layout layout = BuildLayout(320, 480);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(layout.bands[k].width, 10);
    EXPECT_EQ(layout.bands[k].height, 15);
  }
  for (int k = 4; k < 51; ++k) {
    EXPECT_EQ(layout.bands[k].width, 20) << k;
    EXPECT_EQ(layout.bands[k].height, 30) << k;
  }
  EXPECT_EQ(layout.bands[51].width, 80);
  for (int k = 52; k < 60; ++k) {
    EXPECT_EQ(layout.bands[k].width, 80) << k;
    EXPECT_EQ(layout.bands[k].height, 120) << k;
  }
  // The lowest subbands sit in the corner, in frequency order.
  EXPECT_EQ(layout.bands[0].x, 0);
  EXPECT_EQ(layout.bands[0].y, 0);
  EXPECT_EQ(layout.bands[1].x, 10);
  EXPECT_EQ(layout.bands[2].y, 15);
}

TEST(WsqFilterBank, ReconstructsPerfectly) {
  const Filters filters = StandardFilters();
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-128.0f, 128.0f);
  for (auto [w, h] : {std::pair{320, 480}, {32, 32}, {33, 47}, {1, 1}, {2, 3}, {5, 64}, {77, 9}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    std::vector<float> image(static_cast<size_t>(w) * h);
    for (float& v : image) {
      v = dist(rng);
    }
    std::vector<float> work = image;
    const Layout layout = BuildLayout(w, h);
    AnalyzeImage(work, w, layout, filters);
    SynthesizeImage(work, w, layout, filters);
    float worst = 0.0f;
    for (size_t i = 0; i < image.size(); ++i) {
      worst = std::max(worst, std::fabs(work[i] - image[i]));
    }
    EXPECT_LT(worst, 2e-3f);
  }
}

TEST(WsqFilterBank, ConstantImageHasNoDetail) {
  // With symmetric extension a constant image has no edges: every high-pass coefficient is zero
  // and the low-pass corner carries the level times sqrt(2) per split and direction.
  const int w = 64;
  const int h = 64;
  std::vector<float> image(w * h, 10.0f);
  const Layout layout = BuildLayout(w, h);
  AnalyzeImage(image, w, layout, StandardFilters());
  for (int k = 1; k < kCodedSubbands; ++k) {
    const Region& r = layout.bands[k];
    for (int y = r.y; y < r.y + r.height; ++y) {
      for (int x = r.x; x < r.x + r.width; ++x) {
        ASSERT_NEAR(image[y * w + x], 0.0f, 1e-3f) << "subband " << k;
      }
    }
  }
  // Band 0 went through five low-pass splits in each direction: gain 2 per split.
  EXPECT_NEAR(image[0], 10.0f * 32.0f, 0.05f);
}

TEST(WsqScaledNumbers, MostPreciseFormThatFits) {
  // What the reference files carry: the frame's mean and scale, and a transform coefficient.
  auto mean = ToScaled(197.41, 0xFFFF);
  ASSERT_TRUE(mean);
  EXPECT_EQ(mean->scale, 2);
  EXPECT_EQ(mean->value, 19741u);
  auto tap = ToScaled(0.852698573, 0xFFFFFFFF);
  ASSERT_TRUE(tap);
  EXPECT_EQ(tap->scale, 9);
  EXPECT_EQ(tap->value, 852698573u);

  for (double v : {0.0, 1e-9, 0.44, 1.2376, 10.254, 655.34, 65535.0}) {
    auto s = ToScaled(v, 0xFFFF);
    ASSERT_TRUE(s) << v;
    EXPECT_LE(s->value, 0xFFFFu);
    // Relative error of at most half a unit in the fifth significant digit, or absolute 1e-20.
    EXPECT_NEAR(FromScaled(*s), v, std::max(v * 1e-4, 1e-20)) << v;
  }
  EXPECT_FALSE(ToScaled(65536.0, 0xFFFF));
  EXPECT_FALSE(ToScaled(std::nan(""), 0xFFFF));
  EXPECT_FALSE(ToScaled(INFINITY, 0xFFFFFFFF));
}

// True when no code is the beginning of another.
bool IsPrefixFree(const HuffmanCode& code) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      if (a == b || code.length[a] == 0 || code.length[b] == 0 || code.length[a] > code.length[b]) {
        continue;
      }
      if ((code.code[b] >> (code.length[b] - code.length[a])) == code.code[a]) {
        return false;
      }
    }
  }
  return true;
}

TEST(WsqHuffman, BuildsValidLimitedCodes) {
  std::vector<std::array<uint32_t, 256>> cases;
  std::array<uint32_t, 256> f{};
  f[7] = 1000;  // a single symbol
  cases.push_back(f);
  f = {};
  // Fibonacci counts make the unlimited optimal code 40 levels deep.
  uint32_t a = 1;
  uint32_t b = 1;
  for (int i = 0; i < 40; ++i) {
    f[100 + i] = a;
    const uint32_t next = a + b;
    a = b;
    b = next;
  }
  cases.push_back(f);
  std::mt19937 rng(3);
  for (auto& v : f) {
    v = rng() % 1000;
  }
  cases.push_back(f);
  f.fill(1);  // all 256 symbols
  cases.push_back(f);

  for (const auto& freq : cases) {
    const HuffmanTable table = BuildHuffmanTable(freq);
    auto code = CanonicalCodes(table);
    ASSERT_TRUE(code);
    EXPECT_TRUE(IsPrefixFree(*code));
    double kraft = 0.0;
    for (int s = 0; s < 256; ++s) {
      EXPECT_EQ(code->length[s] != 0, freq[s] != 0) << s;
      EXPECT_LE(code->length[s], 16);
      if (code->length[s] != 0) {
        kraft += std::ldexp(1.0, -code->length[s]);
        // No code is all ones: it could be mistaken for padding.
        EXPECT_NE(code->code[s], (1u << code->length[s]) - 1) << s;
      }
    }
    EXPECT_LT(kraft, 1.0);
  }

  // Frequent symbols never get longer codes than rare ones.
  f = {};
  f[1] = 500;
  f[2] = 100;
  f[3] = 20;
  f[4] = 4;
  f[5] = 1;
  auto code = CanonicalCodes(BuildHuffmanTable(f));
  ASSERT_TRUE(code);
  for (int s = 1; s < 5; ++s) {
    EXPECT_LE(code->length[s], code->length[s + 1]);
  }
}

TEST(WsqHuffman, RejectsImpossibleTables) {
  HuffmanTable t;
  t.counts[0] = 3;  // three codes of one bit
  t.values = {1, 2, 3};
  EXPECT_FALSE(CanonicalCodes(t));
  t = {};
  t.counts[1] = 2;
  t.values = {9, 9};  // the same value twice
  EXPECT_FALSE(CanonicalCodes(t));
  t = {};
  t.counts[1] = 2;
  t.values = {9};  // fewer values than counts
  EXPECT_FALSE(CanonicalCodes(t));
  t = {};
  t.counts[0] = 2;  // a complete code is allowed when decoding
  t.values = {4, 5};
  EXPECT_TRUE(CanonicalCodes(t));
}

}  // namespace
}  // namespace codec::wsq_detail
