// Per-stage tests of the extractor on images whose answer is known by construction.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "engine/extractor.h"
#include "engine/stages.h"
#include "engine/tuning.h"

namespace engine {
namespace {

constexpr float kPi = std::numbers::pi_v<float>;

// Parallel ridges along direction `theta` (radians, image coordinates), period `period`, with
// Gaussian noise of `noise` grey levels.
ImageU8 Ridges(int w, int h, float theta, float period, float noise = 0, uint32_t seed = 1) {
  ImageU8 img(w, h);
  std::mt19937 rng(seed);
  std::normal_distribution<float> n(0, noise > 0 ? noise : 1);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const float t = -x * std::sin(theta) + y * std::cos(theta);
      const float v = 128 + 80 * std::cos(2 * kPi * t / period) + (noise > 0 ? n(rng) : 0);
      img.at(x, y) = static_cast<uint8_t>(std::clamp(v, 0.0f, 255.0f));
    }
  }
  return img;
}

ImageU8 Blank(int w, int h, uint32_t seed = 2) {
  ImageU8 img(w, h);
  std::mt19937 rng(seed);
  std::normal_distribution<float> n(0, 2.5f);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      img.at(x, y) = static_cast<uint8_t>(std::clamp(225 + 10.0f * x / w + n(rng), 0.0f, 255.0f));
    }
  }
  return img;
}

float AxisDiff(float a, float b) {  // difference of two orientations, 0..pi/2
  float d = std::fmod(std::fabs(a - b), kPi);
  return d > kPi / 2 ? kPi - d : d;
}

int Foreground(const Plane<uint8_t>& m) {
  int n = 0;
  for (uint8_t v : m.data)
    n += v;
  return n;
}

TEST(Resample, ScalesSizeAndKeepsFlatAndRampImages) {
  ImageU8 ramp(569, 100);
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 569; ++x)
      ramp.at(x, y) = static_cast<uint8_t>(x * 255 / 568);
  }
  const ImageU8 out = Resample(ramp, 569, 500);
  EXPECT_EQ(out.width, 500);
  EXPECT_EQ(out.height, 88);
  for (int x = 1; x < out.width; ++x)
    EXPECT_GE(out.at(x, 40), out.at(x - 1, 40));  // still a ramp
  EXPECT_NEAR(out.at(250, 40), 128, 2);
  const ImageU8 same = Resample(ramp, 500, 500);
  EXPECT_EQ(same.data, ramp.data);
}

TEST(Segmentation, BlankSensorHasNoForegroundRidgesAreForeground) {
  EXPECT_EQ(Foreground(SegmentForeground(Blank(320, 480))), 0);
  const Plane<uint8_t> m = SegmentForeground(Ridges(320, 480, 0.5f, 9, 8));
  EXPECT_GT(Foreground(m), static_cast<int>(0.9 * m.data.size()));
}

TEST(Segmentation, FindsTheFingerBesideEmptySensor) {
  // Left half ridges, right half empty sensor.
  ImageU8 img = Blank(320, 320);
  const ImageU8 r = Ridges(320, 320, 1.0f, 9, 5);
  for (int y = 0; y < 320; ++y) {
    for (int x = 0; x < 160; ++x)
      img.at(x, y) = r.at(x, y);
  }
  const Plane<uint8_t> m = SegmentForeground(img);
  int left = 0, right = 0;
  for (int by = 0; by < m.height; ++by) {
    for (int bx = 0; bx < m.width; ++bx) {
      if (bx < 18)
        left += m.at(bx, by);
      if (bx > 22)
        right += m.at(bx, by);
    }
  }
  EXPECT_GT(left, 18 * m.height * 9 / 10);
  EXPECT_EQ(right, 0);
}

// A faint print (dry skin, light pressure) is still a finger: its ridges are far weaker than a
// good print's but still well above the sensor's noise. Alone it must fill the mask, and beside
// a strong print (the same finger pressed harder on one side) it must not be cut away by the
// threshold taken relative to the strong part.
TEST(Segmentation, FaintRidgesKeepTheirForeground) {
  const auto ridges = [](int w, int h, float amplitude, uint32_t seed) {
    ImageU8 img(w, h);
    std::mt19937 rng(seed);
    std::normal_distribution<float> n(0, 2.5f);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const float t = -x * std::sin(0.7f) + y * std::cos(0.7f);
        const float v = 200 + amplitude * std::cos(2 * kPi * t / 9) + n(rng);
        img.at(x, y) = static_cast<uint8_t>(std::clamp(v, 0.0f, 255.0f));
      }
    }
    return img;
  };
  const Plane<uint8_t> faint = SegmentForeground(ridges(320, 320, 10, 3));
  EXPECT_GT(Foreground(faint), static_cast<int>(0.9 * faint.data.size()));

  ImageU8 img = ridges(320, 320, 80, 4);
  const ImageU8 dry = ridges(320, 320, 25, 5);
  for (int y = 0; y < 320; ++y) {
    for (int x = 160; x < 320; ++x)
      img.at(x, y) = dry.at(x, y);
  }
  const Plane<uint8_t> m = SegmentForeground(img);
  int strong = 0, weak = 0;
  for (int by = 0; by < m.height; ++by) {
    for (int bx = 0; bx < m.width; ++bx)
      (bx < m.width / 2 ? strong : weak) += m.at(bx, by);
  }
  const int half = m.width / 2 * m.height;
  EXPECT_GT(strong, half * 9 / 10);
  EXPECT_GT(weak, half * 9 / 10);
}

// The rim distance is the distance to the nearest pixel of a background block or to the image
// edge, however far: checked against every pixel of a mask with scattered holes, a large
// background area and a finger filling a whole side.
TEST(Segmentation, RimDistanceIsTheNearestBackgroundOrEdge) {
  constexpr int kW = 300, kH = 236;  // not whole blocks: the last block row and column are cut
  const int bw = (kW + tuning::kBlock - 1) / tuning::kBlock;
  const int bh = (kH + tuning::kBlock - 1) / tuning::kBlock;
  Plane<uint8_t> mask(bw, bh, 1);
  std::mt19937 rng(7);
  for (int i = 0; i < 6; ++i)
    mask.at(static_cast<int>(rng() % bw), static_cast<int>(rng() % bh)) = 0;
  for (int by = 20; by < bh; ++by) {
    for (int bx = 25; bx < bw; ++bx)
      mask.at(bx, by) = 0;
  }
  for (int n = 0; n < 200; ++n) {
    const int x = static_cast<int>(rng() % kW), y = static_cast<int>(rng() % kH);
    const int edge = std::min({x + 1, y + 1, kW - x, kH - y});
    int best2 = edge * edge;
    for (int py = 0; py < kH; ++py) {
      for (int px = 0; px < kW; ++px) {
        if (!mask.at(px / tuning::kBlock, py / tuning::kBlock))
          best2 = std::min(best2, (x - px) * (x - px) + (y - py) * (y - py));
      }
    }
    ASSERT_EQ(RimDistance(mask, kW, kH, x, y), std::sqrt(static_cast<float>(best2)))
        << x << "," << y;
  }
}

TEST(Orientation, SyntheticRidgesAtKnownAngles) {
  for (int deg = 0; deg < 180; deg += 15) {
    const float theta = deg * kPi / 180;
    const ImageU8 img = Ridges(200, 200, theta, 9, 10, static_cast<uint32_t>(deg));
    const Plane<uint8_t> mask(img.width / tuning::kBlock, img.height / tuning::kBlock, 1);
    const OrientationField f = EstimateOrientation(img, mask);
    for (int by = 3; by < f.angle.height - 3; by += 4) {
      for (int bx = 3; bx < f.angle.width - 3; bx += 4) {
        EXPECT_LT(AxisDiff(f.angle.at(bx, by), theta), 4 * kPi / 180)
            << deg << " degrees at " << bx << "," << by;
        EXPECT_GT(f.coherence.at(bx, by), 0.6f);
      }
    }
  }
}

TEST(Orientation, NoiseHasLowCoherence) {
  ImageU8 img(128, 128);
  std::mt19937 rng(3);
  for (uint8_t& v : img.data)
    v = static_cast<uint8_t>(rng() & 255);
  const OrientationField f = EstimateOrientation(img, Plane<uint8_t>(16, 16, 1));
  double mean = 0;
  for (float c : f.coherence.data)
    mean += c;
  EXPECT_LT(mean / f.coherence.data.size(), 0.25);
}

// A print with a smudged patch: inside it the grey image's gradients are mostly noise, so the
// first field's direction there is bent and its coherence low; the first binary image still
// shows the ridges, and the second pass takes its direction from them.
TEST(Orientation, SecondPassRecoversTheDirectionInANoisyPatch) {
  const float theta = 0.6f, period = 9;
  ImageU8 img = Ridges(240, 240, theta, period, 8, 4);
  const ImageU8 smudge = Ridges(240, 240, theta, period, 130, 5);
  for (int y = 80; y < 160; ++y) {
    for (int x = 80; x < 160; ++x)
      img.at(x, y) = smudge.at(x, y);
  }
  const Plane<uint8_t> mask(30, 30, 1);
  OrientationField field = EstimateOrientation(img, mask);
  const OrientationField first = field;
  const Plane<float> period2 = EstimatePeriod(img, field, mask);
  KeptNormalisation normalised;
  ImageU8 binary = EnhanceBinary(img, field, period2, mask, &normalised);
  const Plane<uint8_t> redo = RefineOrientation(binary, mask, field);
  // The second estimate reads only the blocks around the weak ones, but must give what the
  // whole binary image gives there.
  ImageU8 scaled = binary;
  for (uint8_t& v : scaled.data)
    v = v ? 255 : 0;
  const OrientationField whole = EstimateOrientation(scaled, mask);
  int redone = 0, weak = 0;
  float worstBefore = 0, worstAfter = 0;
  for (int by = 0; by < 30; ++by) {
    for (int bx = 0; bx < 30; ++bx) {
      const int i = by * 30 + bx;
      weak += first.coherence.data[i] < tuning::kRefineCoherence;
      redone += redo.data[i];
      EXPECT_EQ(field.coherence.data[i], first.coherence.data[i]);  // the coherence stays
      if (!redo.data[i]) {
        EXPECT_EQ(field.angle.data[i], first.angle.data[i]) << bx << "," << by;
        continue;
      }
      EXPECT_NEAR(field.angle.data[i], whole.angle.data[i], 1e-5f) << bx << "," << by;
      worstBefore = std::max(worstBefore, AxisDiff(first.angle.data[i], theta));
      worstAfter = std::max(worstAfter, AxisDiff(field.angle.data[i], theta));
    }
  }
  EXPECT_GT(weak, 0);
  EXPECT_LT(redone, 100);                 // the patch and its rim, not the clear ridges around it
  EXPECT_GT(worstBefore, 5 * kPi / 180);  // about 7 degrees
  EXPECT_LT(worstAfter, 3 * kPi / 180);   // about 1.3 degrees
}

// Enhancing again in some blocks gives there what a whole pass with the new directions gives,
// and leaves every other pixel as it was; with the kept normalisation or without.
TEST(Enhance, SecondPassInSomeBlocksMatchesAWholePass) {
  const ImageU8 img = Ridges(160, 120, 0.3f, 9, 40, 6);
  Plane<uint8_t> mask(20, 15, 1);
  for (int bx = 0; bx < 20; ++bx)
    mask.at(bx, 0) = mask.at(bx, 14) = 0;
  const OrientationField field = EstimateOrientation(img, mask);
  const Plane<float> period = EstimatePeriod(img, field, mask);
  KeptNormalisation normalised;
  const ImageU8 before = EnhanceBinary(img, field, period, mask, &normalised);
  OrientationField turned = field;
  Plane<uint8_t> only(20, 15);
  for (int by = 0; by < 15; ++by) {
    for (int bx = 0; bx < 20; ++bx) {
      if ((bx / 3 + by / 3) % 2 == 0 || by == 0) {  // patches, and a row outside the mask
        only.at(bx, by) = 1;
        turned.angle.at(bx, by) = std::fmod(field.angle.at(bx, by) + 0.5f, kPi);
      }
    }
  }
  const ImageU8 whole = EnhanceBinary(img, turned, period, mask);
  const KeptNormalisation* const keptOrNot[] = {&normalised, nullptr};
  for (const KeptNormalisation* kept : keptOrNot) {
    ImageU8 part = before;
    EnhanceBinaryIn(img, turned, period, mask, only, part, kept);
    int changed = 0;
    for (int y = 0; y < img.height; ++y) {
      for (int x = 0; x < img.width; ++x) {
        const int bx = x / tuning::kBlock, by = y / tuning::kBlock;
        const uint8_t want = only.at(bx, by) && mask.at(bx, by) ? whole.at(x, y) : before.at(x, y);
        ASSERT_EQ(part.at(x, y), want) << x << "," << y << (kept ? " kept" : " computed");
        changed += part.at(x, y) != before.at(x, y);
      }
    }
    EXPECT_GT(changed, 200);  // the turned directions did change the ridges
  }
}

// The blocks filtered again are the weak ones whose whole 5 x 5 neighbourhood is finger: not the
// strong ones, not those near the rim, the image edge or a hole in the mask.
TEST(Enhance, FilteredAgainOnlyInWeakInnerBlocks) {
  Plane<uint8_t> mask(20, 15);
  for (int by = 2; by <= 12; ++by) {
    for (int bx = 2; bx <= 17; ++bx)
      mask.at(bx, by) = 1;
  }
  mask.at(13, 7) = 0;  // a hole
  OrientationField field{Plane<float>(20, 15), Plane<float>(20, 15, 0.2f)};
  field.coherence.at(6, 6) = 0.9f;
  field.coherence.at(7, 6) = tuning::kAgainCoherence;  // at the threshold: not weak
  const Plane<uint8_t> chosen = WeakInnerBlocks(mask, field);
  for (int by = 0; by < 15; ++by) {
    for (int bx = 0; bx < 20; ++bx) {
      bool inner = true;
      for (int dy = -2; dy <= 2; ++dy) {
        for (int dx = -2; dx <= 2; ++dx)
          inner = inner && mask.inside(bx + dx, by + dy) && mask.at(bx + dx, by + dy);
      }
      const bool weak = !(bx == 6 && by == 6) && !(bx == 7 && by == 6);
      EXPECT_EQ(chosen.at(bx, by), inner && weak ? 1 : 0) << bx << "," << by;
    }
  }
  EXPECT_EQ(chosen.at(4, 4), 1);
  EXPECT_EQ(chosen.at(3, 4), 0);   // two blocks from the rim
  EXPECT_EQ(chosen.at(11, 7), 0);  // two blocks from the hole
  EXPECT_EQ(chosen.at(10, 7), 1);
  EXPECT_EQ(chosen.at(6, 6), 0);
  EXPECT_EQ(chosen.at(7, 6), 0);
}

// Filtering the binary image again (ridges dark) with the right directions and period redraws a
// patch where the ridges ran together (as it redraws the unbroken one) and leaves every block
// outside the chosen ones as it was.
TEST(Enhance, FilteringTheBinaryImageAgainReopensABlottedValley) {
  const ImageU8 img = Ridges(160, 120, 0.3f, 9);
  const Plane<uint8_t> mask(20, 15, 1);
  const OrientationField field = EstimateOrientation(img, mask);
  const Plane<float> period = EstimatePeriod(img, field, mask);
  const ImageU8 clean = EnhanceBinary(img, field, period, mask);
  ImageU8 blotted = clean;
  for (int y = 60; y < 66; ++y) {  // a wet blot: ridges run together
    for (int x = 76; x < 84; ++x)
      blotted.at(x, y) = 1;
  }
  Plane<uint8_t> only(20, 15);
  only.at(9, 7) = only.at(10, 7) = only.at(9, 8) = only.at(10, 8) = 1;
  ImageU8 binary(img.width, img.height);
  for (size_t i = 0; i < binary.data.size(); ++i)
    binary.data[i] = blotted.data[i] ? 0 : 255;
  ImageU8 again = blotted;
  EnhanceBinaryIn(binary, field, period, mask, only, again);
  // What the same filtering makes of the unbroken ridges (their edges move by a pixel or so).
  for (size_t i = 0; i < binary.data.size(); ++i)
    binary.data[i] = clean.data[i] ? 0 : 255;
  ImageU8 cleanAgain = clean;
  EnhanceBinaryIn(binary, field, period, mask, only, cleanAgain);
  int wrongBefore = 0, wrongAfter = 0;
  for (int y = 0; y < img.height; ++y) {
    for (int x = 0; x < img.width; ++x) {
      if (!only.at(x / tuning::kBlock, y / tuning::kBlock)) {
        ASSERT_EQ(again.at(x, y), blotted.at(x, y)) << x << "," << y;
      } else if (y >= 60 && y < 66 && x >= 76 && x < 84) {
        wrongBefore += blotted.at(x, y) != clean.at(x, y);
        wrongAfter += again.at(x, y) != cleanAgain.at(x, y);
      }
    }
  }
  EXPECT_GT(wrongBefore, 25);
  EXPECT_LE(wrongAfter, wrongBefore / 4) << wrongBefore;
}

// A kept normalisation serves only the image it came from, and only where it was computed: one
// kept from another image of the same size, or from a pass over a smaller mask, must not leak
// into the second pass, which then gives what it gives computing the normalisation itself.
TEST(Enhance, SecondPassIgnoresANormalisationKeptForAnotherImageOrMask) {
  const ImageU8 img = Ridges(160, 120, 0.3f, 9, 40, 6);
  ImageU8 other = Ridges(160, 120, 1.2f, 7, 60, 3);
  const Plane<uint8_t> mask(20, 15, 1);
  const OrientationField field = EstimateOrientation(img, mask);
  const Plane<float> period = EstimatePeriod(img, field, mask);
  Plane<uint8_t> only(20, 15);
  for (int by = 4; by < 11; ++by) {
    for (int bx = 5; bx < 15; ++bx)
      only.at(bx, by) = 1;
  }
  const ImageU8 start(160, 120, 0);
  ImageU8 fresh = start;
  EnhanceBinaryIn(img, field, period, mask, only, fresh);
  int ridge = 0;
  for (const uint8_t v : fresh.data)
    ridge += v;
  ASSERT_GT(ridge, 1000);

  const auto secondPass = [&](const KeptNormalisation& kept) {
    ImageU8 part = start;
    EnhanceBinaryIn(img, field, period, mask, only, part, &kept);
    return part.data;
  };
  KeptNormalisation fromOther;
  EnhanceBinary(other, field, period, mask, &fromOther);
  EXPECT_EQ(secondPass(fromOther), fresh.data) << "another image";
  // The same image but for one pixel inside the redone blocks.
  other = img;
  other.at(80, 60) = static_cast<uint8_t>(other.at(80, 60) ^ 0x80);
  KeptNormalisation fromChanged;
  EnhanceBinary(other, field, period, mask, &fromChanged);
  EXPECT_EQ(secondPass(fromChanged), fresh.data) << "one pixel changed";
  // The same image over a mask that leaves out blocks the second pass reads.
  Plane<uint8_t> narrow = mask;
  for (int by = 0; by < 15; ++by) {
    for (int bx = 8; bx < 20; ++bx)
      narrow.at(bx, by) = 0;
  }
  KeptNormalisation fromNarrow;
  EnhanceBinary(img, field, period, narrow, &fromNarrow);
  EXPECT_EQ(secondPass(fromNarrow), fresh.data) << "narrower mask";
  // And the right one is used as it is.
  KeptNormalisation right;
  EnhanceBinary(img, field, period, mask, &right);
  EXPECT_EQ(secondPass(right), fresh.data);
  EXPECT_EQ(secondPass(KeptNormalisation()), fresh.data) << "empty";
}

TEST(Frequency, PeriodOfKnownSinusoids) {
  for (float period : {6.0f, 8.0f, 9.0f, 11.0f, 13.0f}) {
    for (float theta : {0.2f, 1.1f, 2.4f}) {
      const ImageU8 img = Ridges(192, 192, theta, period, 6);
      const Plane<uint8_t> mask(24, 24, 1);
      const OrientationField f = EstimateOrientation(img, mask);
      const Plane<float> p = EstimatePeriod(img, f, mask);
      for (int by = 4; by < 20; by += 3) {
        for (int bx = 4; bx < 20; bx += 3)
          EXPECT_NEAR(p.at(bx, by), period, 0.7f) << period << " " << theta;
      }
    }
  }
}

TEST(Enhance, RestoresNoisyRidges) {
  const float theta = 0.7f, period = 9;
  const ImageU8 clean = Ridges(160, 160, theta, period);
  const ImageU8 noisy = Ridges(160, 160, theta, period, 70, 9);
  const Plane<uint8_t> mask(20, 20, 1);
  const OrientationField f = EstimateOrientation(noisy, mask);
  const ImageF e = Enhance(noisy, f, EstimatePeriod(noisy, f, mask), mask);
  int agree = 0, total = 0;
  for (int y = 16; y < 144; ++y) {
    for (int x = 16; x < 144; ++x) {
      const int c = clean.at(x, y) - 128;
      if (std::abs(c) < 40)
        continue;  // near the ridge flanks the sign is ambiguous
      ++total;
      agree += (e.at(x, y) > 0) == (c < 0);  // ridges are dark: enhanced ridges are positive
    }
  }
  EXPECT_GT(agree, total * 95 / 100);
}

// Thinning: one pixel wide (no 2x2 square of set pixels, no pixel removable without breaking
// a line) and the 8-connected components kept.
int Components8(const ImageU8& b) {
  Plane<int> label(b.width, b.height, -1);
  int n = 0;
  std::vector<int> stack;
  for (int i = 0; i < static_cast<int>(b.data.size()); ++i) {
    if (!b.data[i] || label.data[i] >= 0)
      continue;
    stack.push_back(i);
    label.data[i] = n;
    while (!stack.empty()) {
      const int p = stack.back();
      stack.pop_back();
      const int x = p % b.width, y = p / b.width;
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          if (b.inside(x + dx, y + dy) && b.at(x + dx, y + dy) && label.at(x + dx, y + dy) < 0) {
            label.at(x + dx, y + dy) = n;
            stack.push_back((y + dy) * b.width + x + dx);
          }
        }
      }
    }
    ++n;
  }
  return n;
}

TEST(Thinning, OnePixelWideAndConnectivityKept) {
  ImageU8 b(120, 120);
  auto disc = [&](float cx, float cy, float r0, float r1) {
    for (int y = 0; y < 120; ++y) {
      for (int x = 0; x < 120; ++x) {
        const float d = std::hypot(x - cx, y - cy);
        if (d >= r0 && d <= r1)
          b.at(x, y) = 1;
      }
    }
  };
  disc(40, 40, 20, 25);  // a thick ring
  for (int y = 70; y < 76; ++y) {
    for (int x = 10; x < 110; ++x)
      b.at(x, y) = 1;  // a thick bar ...
  }
  for (int y = 76; y < 110; ++y) {
    for (int x = 60 - (y - 76) / 3; x < 65 + (y - 76) / 4; ++x)
      b.at(x, y) = 1;  // ... with a leg
  }
  b.at(100, 20) = b.at(101, 20) = b.at(100, 21) = b.at(101, 21) = 1;  // a 2x2 speck
  const int before = Components8(b);
  Thin(b);
  EXPECT_EQ(Components8(b), before);
  for (int y = 0; y + 1 < 120; ++y) {
    for (int x = 0; x + 1 < 120; ++x) {
      EXPECT_FALSE(b.at(x, y) && b.at(x + 1, y) && b.at(x, y + 1) && b.at(x + 1, y + 1))
          << x << "," << y;
    }
  }
  // The ring stays a closed loop: the inside is still separated from the outside.
  EXPECT_EQ(b.at(40, 40), 0);
  int ringPixels = 0;
  for (int y = 0; y < 70; ++y) {
    for (int x = 0; x < 80; ++x)
      ringPixels += b.at(x, y);
  }
  EXPECT_GT(ringPixels, 120);  // about 2 pi 22.5
  EXPECT_LT(ringPixels, 170);
}

TEST(Cleaning, PoresFilledValleysAndOpenGapsKept) {
  // A thick ridge with a 3 x 3 pore, a 4 x 6 hole (24 px: a real enclosed valley, kept), and a
  // notch open to the valley; a second ridge with a small gap at the image edge.
  ImageU8 b(80, 60);
  for (int y = 10; y < 30; ++y) {
    for (int x = 5; x < 75; ++x)
      b.at(x, y) = 1;
  }
  auto clear = [&](int x0, int y0, int x1, int y1) {
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x)
        b.at(x, y) = 0;
    }
  };
  clear(15, 18, 18, 21);  // pore: 9 px
  clear(40, 17, 44, 23);  // enclosed valley: 24 px
  clear(60, 10, 62, 14);  // notch open to the valley above
  for (int y = 40; y < 50; ++y) {
    for (int x = 0; x < 80; ++x)
      b.at(x, y) = x != 0 && x != 1;  // 2 x 10 gap on the image edge: not enclosed
  }
  static_assert(tuning::kPoreArea >= 9 && tuning::kPoreArea < 24);
  ImageU8 want = b;
  for (int y = 18; y < 21; ++y) {
    for (int x = 15; x < 18; ++x)
      want.at(x, y) = 1;
  }
  FillPores(b, Plane<uint8_t>(10, 8, 1));
  EXPECT_EQ(b.data, want.data);
  // The filled ridge thins without a loop at the pore: one component, no enclosed background.
  ImageU8 plain(80, 60), pored(80, 60);
  for (int y = 10; y < 30; ++y) {
    for (int x = 5; x < 35; ++x)
      plain.at(x, y) = pored.at(x, y) = 1;
  }
  pored.at(20, 19) = pored.at(21, 19) = pored.at(20, 20) = pored.at(21, 20) = 0;
  FillPores(pored, Plane<uint8_t>(10, 8, 1));
  Thin(plain);
  Thin(pored);
  EXPECT_EQ(pored.data, plain.data);
}

TEST(Cleaning, ShortSkeletonPiecesGoRidgesStay) {
  ImageU8 s(100, 60);
  auto line = [&](int x0, int x1, int y) {
    for (int x = x0; x <= x1; ++x)
      s.at(x, y) = 1;
  };
  line(10, 90, 10);                                // a long ridge
  line(20, 20 + tuning::kFragmentPixels - 2, 20);  // a dash one pixel short of the limit
  line(20, 20 + tuning::kFragmentPixels - 1, 30);  // a ridge at the limit: kept
  s.at(50, 40) = 1;                                // a dot
  // A short diagonal piece (8-connected) and a short bent one.
  for (int i = 0; i < 6; ++i)
    s.at(60 + i, 40 + i) = 1;
  line(70, 75, 50);
  for (int y = 44; y < 50; ++y)
    s.at(75, y) = 1;
  ImageU8 want(100, 60);
  for (int x = 10; x <= 90; ++x)
    want.at(x, 10) = 1;
  for (int x = 20; x <= 20 + tuning::kFragmentPixels - 1; ++x)
    want.at(x, 30) = 1;
  RemoveFragments(s);
  EXPECT_EQ(s.data, want.data);
  // Minutiae on the kept ridges only: two endings each.
  EXPECT_EQ(DetectMinutiae(s).size(), 4u);
}

ImageU8 Draw(int w, int h, std::initializer_list<std::array<int, 4>> segments) {
  ImageU8 s(w, h);
  for (const auto& seg : segments) {
    const int n = std::max(std::abs(seg[2] - seg[0]), std::abs(seg[3] - seg[1]));
    for (int i = 0; i <= n; ++i) {
      const int x = seg[0] + (seg[2] - seg[0]) * i / std::max(1, n);
      const int y = seg[1] + (seg[3] - seg[1]) * i / std::max(1, n);
      s.at(x, y) = 1;
    }
  }
  Thin(s);
  return s;
}

float Deg(float rad) {
  float d = rad * 180 / kPi;
  d = std::fmod(d, 360.0f);
  return d < 0 ? d + 360 : d;
}

float DegDiff(float a, float b) {
  const float d = std::fmod(std::fabs(a - b), 360.0f);
  return d > 180 ? 360 - d : d;
}

TEST(Detection, EndingsPointAwayFromTheirRidge) {
  // A line from (20, 50) to (80, 50): endings at both ends, pointing outwards.
  const ImageU8 s = Draw(100, 100, {{20, 50, 80, 50}});
  const auto m = DetectMinutiae(s);
  ASSERT_EQ(m.size(), 2u);
  for (const RawMinutia& r : m) {
    EXPECT_FALSE(r.bifurcation);
    if (r.x < 50) {
      EXPECT_EQ(r.x, 20);
      EXPECT_LT(DegDiff(Deg(r.angle), 180), 10);
    } else {
      EXPECT_EQ(r.x, 80);
      EXPECT_LT(DegDiff(Deg(r.angle), 0), 10);
    }
  }
  // A diagonal ridge running down-right: the lower end points down-right (45 degrees in image
  // coordinates, y down).
  const auto d = DetectMinutiae(Draw(100, 100, {{20, 20, 70, 70}}));
  ASSERT_EQ(d.size(), 2u);
  const RawMinutia& low = d[0].y > d[1].y ? d[0] : d[1];
  EXPECT_LT(DegDiff(Deg(low.angle), 45), 10);
}

TEST(Detection, BifurcationPointsTowardsItsBranches) {
  // Stem from the left to (50, 50), branches up-right and down-right.
  const ImageU8 s = Draw(100, 100, {{10, 50, 50, 50}, {50, 50, 90, 30}, {50, 50, 90, 70}});
  const auto m = DetectMinutiae(s);
  int forks = 0;
  for (const RawMinutia& r : m) {
    if (!r.bifurcation)
      continue;
    ++forks;
    EXPECT_NEAR(r.x, 50, 2);
    EXPECT_NEAR(r.y, 50, 2);
    EXPECT_LT(DegDiff(Deg(r.angle), 0), 15);
  }
  EXPECT_EQ(forks, 1);
}

TEST(Filtering, SpursBridgesAndBreaksGoRealMinutiaeStay) {
  const Plane<uint8_t> mask(25, 25, 1);  // 200 x 200, all finger
  OrientationField f{Plane<float>(25, 25, 0.0f), Plane<float>(25, 25, 0.9f)};
  // Two long horizontal ridges; the first has a 6-pixel spur, the second a 6-pixel break;
  // a third ends genuinely at (100, 150) and a fourth forks genuinely.
  const ImageU8 s = Draw(200, 200,
                         {{20, 40, 180, 40},
                          {100, 40, 104, 34},  // spur
                          {20, 70, 97, 70},
                          {103, 70, 180, 70},  // break
                          {20, 100, 180, 100},
                          {20, 106, 180, 106},
                          {90, 100, 90, 106},   // bridge
                          {20, 150, 100, 150},  // ending
                          {20, 180, 100, 180},
                          {100, 180, 180, 150},
                          {100, 180, 180, 196}});  // fork
  const auto found = DetectMinutiae(s);
  const auto kept = FilterMinutiae(found, s, mask, f);
  bool ending = false, fork = false;
  for (const RawMinutia& m : kept) {
    EXPECT_FALSE(m.y < 120 && m.x > 40 && m.x < 160)
        << "false minutia kept at " << m.x << "," << m.y;
    ending = ending || (!m.bifurcation && std::abs(m.x - 100) <= 1 && m.y == 150);
    fork = fork || (m.bifurcation && std::abs(m.x - 100) <= 5 && std::abs(m.y - 180) <= 2);
  }
  EXPECT_TRUE(ending);
  EXPECT_TRUE(fork);
}

TEST(Filtering, MinutiaeBesideAPaddingFrameWeighLittle) {
  // A sensor's padding: saturated columns at both sides, the left one's inner edge slanting
  // (40 px wide at the top, 10 at the bottom), the right one 20 px wide; grey finger between.
  const int w = 240, h = 160;
  ImageU8 img(w, h);
  const auto leftEdge = [](int y) { return 40 - 30 * y / (h - 1); };
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x)
      img.at(x, y) = (x < leftEdge(y) || x >= w - 20) ? 255 : 120;
  }
  const auto at = [](int x, int y, float quality) {
    RawMinutia m;
    m.x = x;
    m.y = y;
    m.quality = quality;
    return m;
  };
  std::vector<RawMinutia> ms = {
      at(leftEdge(10) + 3, 10, 80),                              // beside the slanted edge: down
      at(leftEdge(150) + tuning::kBorderDistance - 1, 150, 60),  // just inside the reach: down
      at(leftEdge(80) + tuning::kBorderDistance, 80, 70),        // at the reach: kept
      at(w - 20 - 4, 50, 90),                                    // beside the right frame: down
      at(w / 2, 60, 75),                                         // inside the finger: kept
      at(leftEdge(30) + 2, 30, 5),                               // weak already: still not 0
  };
  const std::vector<RawMinutia> before = ms;
  WeighDownAtFrame(img, &ms);
  EXPECT_FLOAT_EQ(ms[0].quality, 80 * tuning::kFrameQualityScale);
  EXPECT_FLOAT_EQ(ms[1].quality, 60 * tuning::kFrameQualityScale);
  EXPECT_FLOAT_EQ(ms[2].quality, 70);
  EXPECT_FLOAT_EQ(ms[3].quality, 90 * tuning::kFrameQualityScale);
  EXPECT_FLOAT_EQ(ms[4].quality, 75);
  EXPECT_FLOAT_EQ(ms[5].quality, 1);
  for (size_t i = 0; i < ms.size(); ++i) {
    EXPECT_EQ(ms[i].x, before[i].x);
    EXPECT_EQ(ms[i].y, before[i].y);
  }

  // A finger on a wide white background (wider than any padding) and a few saturated pixels at
  // the side (a speck, not a frame): the mask's rim handles these, the qualities stay.
  ImageU8 wide(w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x)
      wide.at(x, y) =
          x < tuning::kFrameMaxRun + 1 ? 255 : (x < tuning::kFrameMaxRun + 3 ? 90 : 140);
    for (int x = w - tuning::kFrameMinRun + 1; x < w; ++x)
      wide.at(x, y) = 255;
  }
  std::vector<RawMinutia> rim = {at(tuning::kFrameMaxRun + 4, 40, 50), at(w - 6, 90, 65)};
  WeighDownAtFrame(wide, &rim);
  EXPECT_FLOAT_EQ(rim[0].quality, 50);
  EXPECT_FLOAT_EQ(rim[1].quality, 65);
}

TEST(Extract, BadSizesGiveAnEmptyResult) {
  std::vector<uint8_t> px(100 * 100, 128);
  EXPECT_TRUE(Extract({px, 100, 200, 500}).features.minutiae.empty());  // pixels too short
  EXPECT_TRUE(Extract({px, 10, 10, 500}).features.minutiae.empty());
  EXPECT_TRUE(Extract({px, -5, 100, 500}).features.minutiae.empty());
  EXPECT_TRUE(Extract({px, 100, 100, 0}).features.minutiae.empty());
  EXPECT_EQ(Extract({{}, 0, 0, 500}).quality, 0);
}

TEST(Extract, BlankSensorHasQualityZeroAndNoMinutiae) {
  const ImageU8 b = Blank(320, 480, 7);
  const Extraction e = Extract({b.data, b.width, b.height, 500});
  EXPECT_EQ(e.quality, 0);
  EXPECT_LE(e.features.minutiae.size(), 2u);
  EXPECT_EQ(e.features.width, 320);
  EXPECT_EQ(e.features.xResolution, 197);
}

TEST(Extract, CoordinatesAreInTheInputImage) {
  // The same ridges at 569 ppi: minutiae land inside the input image, resolution says 569 ppi.
  ImageU8 img = Ridges(296, 560, 0.4f, 10, 4);
  for (int y = 200; y < 360; ++y) {
    for (int x = 140; x < 296; ++x)
      img.at(x, y) = 220;  // a cut: endings along its edge
  }
  const Extraction e = Extract({img.data, img.width, img.height, 569});
  EXPECT_EQ(e.features.xResolution, 224);  // 569 / 2.54
  for (const codec::Minutia& m : e.features.minutiae) {
    EXPECT_LT(m.x, 296);
    EXPECT_LT(m.y, 560);
  }
}

// Ridges along `theta` (radians, image coordinates) of period `period` with one ridge more on
// the side of +theta than on the other, the extra ridge beginning at the centre: a ridge ending
// there when `valleyEnds` is false (its end points along theta), else a fork whose two branches
// run towards theta (the valley between them ends). Phase model: cos(across + turn around the
// centre), ridges dark.
ImageU8 Dislocation(int w, int h, float theta, float period, bool valleyEnds) {
  ImageU8 img(w, h);
  const float ux = std::cos(theta), uy = std::sin(theta);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const float px = x - w / 2.0f, py = y - h / 2.0f;
      const float along = px * ux + py * uy, across = -px * uy + py * ux;
      const float phase =
          2 * kPi * across / period + std::atan2(across, along) + (valleyEnds ? kPi : 0.0f);
      img.at(x, y) = static_cast<uint8_t>(128 - 80 * std::cos(phase));
    }
  }
  return img;
}

TEST(Extract, AnEndingAndAForkOfTheSameRidgeShareTheirDirection) {
  // A ridge that stops beside its neighbour and one that runs into it differ in type only: the
  // record must give both the direction of the extra ridge (an ending along its ridge, a fork
  // towards its branches), or a finger pressed harder no longer pairs with itself.
  for (const float theta : {0.0f, 1.0f, 2.3f, 4.0f}) {
    const int expected = static_cast<int>(std::lround(Deg(-theta)));  // y up in the record
    for (const bool valleyEnds : {false, true}) {
      SCOPED_TRACE(testing::Message() << "theta " << theta << (valleyEnds ? " fork" : " ending"));
      const ImageU8 img = Dislocation(240, 240, theta, 10, valleyEnds);
      const Extraction e = Extract({img.data, img.width, img.height, 500});
      const codec::Minutia* centre = nullptr;
      for (const codec::Minutia& m : e.features.minutiae) {
        if (std::hypot(m.x - 120.0, m.y - 120.0) < 12)  // thinning shortens an ending a little
          centre = &m;
      }
      ASSERT_NE(centre, nullptr);
      EXPECT_EQ(centre->type,
                valleyEnds ? codec::MinutiaType::kBifurcation : codec::MinutiaType::kRidgeEnding);
      EXPECT_LT(DegDiff(centre->angle, static_cast<float>(expected)), 20);
    }
  }
}

// Writes down each stage Extract shows, and checks the sizes of what it is shown.
struct StageLog : ExtractionObserver {
  int width = 0, height = 0;  // the working image's, from the first call
  std::vector<std::string> stages;
  std::vector<RawMinutia> kept;
  int quality = -1;

  void Pixels(const char* stage, const ImageU8& image) {
    stages.push_back(stage);
    EXPECT_EQ(image.width, width) << stage;
    EXPECT_EQ(image.height, height) << stage;
    EXPECT_EQ(image.data.size(), static_cast<size_t>(width) * height) << stage;
  }
  template <typename T>
  void Blocks(const char* stage, const Plane<T>& plane) {
    EXPECT_EQ(plane.width, (width + tuning::kBlock - 1) / tuning::kBlock) << stage;
    EXPECT_EQ(plane.height, (height + tuning::kBlock - 1) / tuning::kBlock) << stage;
    EXPECT_EQ(plane.data.size(), static_cast<size_t>(plane.width) * plane.height) << stage;
  }
  void Field(const char* stage, const OrientationField& field) {
    Blocks(stage, field.angle);
    Blocks(stage, field.coherence);
  }

  void Resampled(const ImageU8& image) override {
    width = image.width;
    height = image.height;
    Pixels("resampled", image);
  }
  void Segmented(const Plane<uint8_t>& mask) override {
    stages.push_back("segmented");
    Blocks("segmented", mask);
  }
  void Oriented(const OrientationField& field) override {
    stages.push_back("oriented");
    Field("oriented", field);
  }
  void PeriodEstimated(const Plane<float>& period) override {
    stages.push_back("period");
    Blocks("period", period);
  }
  void Binarised(const ImageU8& binary) override { Pixels("binarised", binary); }
  void Refined(const Plane<uint8_t>& redone, const OrientationField& field) override {
    stages.push_back("refined");
    Blocks("refined", redone);
    Field("refined", field);
  }
  void Rebinarised(const ImageU8& binary) override { Pixels("rebinarised", binary); }
  void Thinned(const ImageU8& skeleton) override { Pixels("thinned", skeleton); }
  void Detected(const std::vector<RawMinutia>&) override { stages.push_back("detected"); }
  void Filtered(const std::vector<RawMinutia>& minutiae) override {
    stages.push_back("filtered");
    kept = minutiae;
  }
  void Rated(int q) override {
    stages.push_back("rated");
    quality = q;
  }
};

// A binary image of parallel ridges (1 = ridge) along direction `theta`, period `period`, each
// ridge half a period wide; ridge k's centre line lies (k + 1/4) periods across from the origin.
ImageU8 BinaryRidges(int w, int h, float theta, float period) {
  ImageU8 img(w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const float t = -x * std::sin(theta) + y * std::cos(theta);
      const float phase = t / period - std::floor(t / period);
      img.at(x, y) = phase < 0.5f ? 1 : 0;
    }
  }
  return img;
}

// A point on ridge k's centre line, `along` pixels along it from the foot of the origin.
RawMinutia OnRidge(float theta, float period, int k, float along) {
  const float across = (static_cast<float>(k) + 0.25f) * period;
  RawMinutia m;
  m.x = static_cast<int>(std::lround(-across * std::sin(theta) + along * std::cos(theta)));
  m.y = static_cast<int>(std::lround(across * std::cos(theta) + along * std::sin(theta)));
  return m;
}

TEST(RidgeCount, ParallelRidgesOfKnownPeriodAndAngle) {
  const Plane<uint8_t> mask(40, 40, 1);  // 320 x 320, all finger
  for (float period : {7.0f, 9.0f, 12.0f}) {
    for (float deg : {0.0f, 30.0f, 45.0f, 75.0f, 100.0f, 135.0f, 160.0f}) {
      const float theta = deg * kPi / 180;
      const ImageU8 b = BinaryRidges(320, 320, theta, period);
      // Ridge numbers reach the image's middle from either side of the origin's foot.
      const int mid =
          static_cast<int>(std::lround((-160 * std::sin(theta) + 160 * std::cos(theta)) / period));
      for (int gap = 0; gap <= 7; ++gap) {
        // Straight across, and slanted by up to about 60 degrees from the ridges' normal.
        for (float slant : {0.0f, 0.6f, -1.7f}) {
          const float along = 160 * std::cos(theta) + 160 * std::sin(theta);
          const RawMinutia a = OnRidge(theta, period, mid - gap / 2, along);
          const RawMinutia c =
              OnRidge(theta, period, mid - gap / 2 + gap, along + slant * gap * period);
          const int expected = gap == 0 ? 0 : gap - 1;  // the two minutiae's ridges not counted
          EXPECT_EQ(RidgesBetween(b, mask, a, c), expected)
              << "period " << period << ", " << deg << " deg, gap " << gap << ", slant " << slant;
          EXPECT_EQ(RidgesBetween(b, mask, c, a), expected);
        }
      }
    }
  }
}

TEST(RidgeCount, BreaksAndSpecksAlongTheSegment) {
  const Plane<uint8_t> mask(25, 25, 1);  // 200 x 200
  const float period = 9;
  ImageU8 b = BinaryRidges(200, 200, 0, period);  // horizontal ridges
  // From ridge 5 to ridge 11, straight down at x = 100: ridges 6..10 lie between.
  const RawMinutia a = OnRidge(0, period, 5, 100);
  const RawMinutia c = OnRidge(0, period, 11, 100);
  ASSERT_EQ(RidgesBetween(b, mask, a, c), 5);
  // A ridge broken well away from the segment: the same count.
  const int ridge7 = OnRidge(0, period, 7, 0).y;
  for (int x = 40; x < 60; ++x)
    for (int y = ridge7 - 3; y <= ridge7 + 3; ++y)
      b.at(x, y) = 0;
  EXPECT_EQ(RidgesBetween(b, mask, a, c), 5);
  // A one-pixel crack along ridge 8 where the segment crosses it, and a one-pixel speck in the
  // valley below it: noise, the same count.
  const int ridge8 = OnRidge(0, period, 8, 0).y;
  for (int x = 90; x < 110; ++x) {
    b.at(x, ridge8) = 0;
    b.at(x, ridge8 + 5) = 1;
  }
  EXPECT_EQ(RidgesBetween(b, mask, a, c), 5);
  // Ridge 7 broken where the segment crosses it: what the image shows is one ridge fewer.
  for (int x = 96; x < 105; ++x)
    for (int y = ridge7 - 3; y <= ridge7 + 3; ++y)
      b.at(x, y) = 0;
  EXPECT_EQ(RidgesBetween(b, mask, a, c), 4);
  // Two thick valleys' worth of ridge pixels joined across a valley: one ridge fewer too.
  const int ridge9 = OnRidge(0, period, 9, 0).y;
  for (int y = ridge9; y <= ridge9 + static_cast<int>(period); ++y)
    b.at(100, y) = b.at(99, y) = b.at(101, y) = 1;
  EXPECT_EQ(RidgesBetween(b, mask, a, c), 3);
}

TEST(RidgeCount, NearestNeighboursInsideTheFingerEachPairOnce) {
  Plane<uint8_t> mask(40, 40, 1);  // 320 x 320
  const ImageU8 b = BinaryRidges(320, 320, 0.3f, 9);
  // A row of minutiae 20 px apart, one more 150 px below it (beyond reach of all), and a pair
  // 30 px apart across a background block.
  std::vector<RawMinutia> m;
  for (int i = 0; i < 8; ++i)
    m.push_back({.x = 20 + 20 * i, .y = 40});
  m.push_back({.x = 90, .y = 190});   // 8: alone
  m.push_back({.x = 220, .y = 260});  // 9
  m.push_back({.x = 250, .y = 260});  // 10: across the hole from 9
  m.push_back({.x = 220, .y = 300});  // 11: 40 px below 9
  mask.at(235 / 8, 260 / 8) = 0;      // the hole
  const std::vector<codec::RidgeCount> rc = CountRidges(m, b, mask);
  std::vector<std::pair<int, int>> pairs;
  for (const codec::RidgeCount& r : rc) {
    EXPECT_LT(r.from, r.to);
    pairs.emplace_back(r.from, r.to);
    EXPECT_EQ(r.count, RidgesBetween(b, mask, m[r.from], m[r.to]));
  }
  EXPECT_TRUE(std::is_sorted(pairs.begin(), pairs.end()));
  EXPECT_EQ(std::adjacent_find(pairs.begin(), pairs.end()), pairs.end());
  const auto has = [&](int i, int j) {
    return std::find(pairs.begin(), pairs.end(), std::make_pair(i, j)) != pairs.end();
  };
  // In the row, each minutia's four nearest: 0 reaches 1..4, never 5, nor 5 it (its nearest are
  // 3, 4, 6, 7); 7 reaches 3.
  EXPECT_TRUE(has(0, 4));
  EXPECT_FALSE(has(0, 5));
  EXPECT_TRUE(has(3, 7));
  EXPECT_FALSE(has(2, 7));
  for (const auto& [i, j] : pairs) {
    EXPECT_NE(i, 8);
    EXPECT_NE(j, 8);
  }
  // 9 and 10 are nearest to each other but their segment crosses the background: 10 has no
  // pair within reach on the finger but 9's and 11's, 50 px away.
  EXPECT_FALSE(has(9, 10));
  EXPECT_TRUE(has(9, 11));
  EXPECT_TRUE(has(10, 11));
  // Fewer than two minutiae: nothing.
  EXPECT_TRUE(CountRidges({m[0]}, b, mask).empty());
}

TEST(Extract, ShowsEveryStageOnceInOrder) {
  const std::vector<std::string> order = {"resampled", "segmented", "oriented",    "period",
                                          "binarised", "refined",   "rebinarised", "thinned",
                                          "detected",  "filtered",  "rated"};
  const ImageU8 img = Dislocation(240, 200, 1.0f, 10, false);
  for (const int ppi : {500, 569}) {
    SCOPED_TRACE(testing::Message() << ppi << " ppi");
    StageLog log;
    const Extraction watched = Extract({img.data, img.width, img.height, ppi}, &log);
    EXPECT_EQ(log.stages, order);
    if (ppi == 500) {  // the working resolution: the planes have the image's own size
      EXPECT_EQ(log.width, img.width);
      EXPECT_EQ(log.height, img.height);
    } else {
      EXPECT_LT(log.width, img.width);
    }
    // What it is shown is what it returns, and watching changes nothing.
    EXPECT_EQ(log.quality, watched.quality);
    EXPECT_EQ(log.kept.size(), watched.features.minutiae.size());
    const Extraction alone = Extract({img.data, img.width, img.height, ppi});
    EXPECT_EQ(alone.quality, watched.quality);
    ASSERT_EQ(alone.features.minutiae.size(), watched.features.minutiae.size());
    for (size_t i = 0; i < alone.features.minutiae.size(); ++i) {
      const codec::Minutia &a = alone.features.minutiae[i], &b = watched.features.minutiae[i];
      EXPECT_TRUE(a.x == b.x && a.y == b.y && a.angle == b.angle && a.type == b.type &&
                  a.quality == b.quality)
          << i;
    }
  }
  StageLog rejected;  // too small: nothing to show
  EXPECT_TRUE(Extract({img.data, 10, 10, 500}, &rejected).features.minutiae.empty());
  EXPECT_TRUE(rejected.stages.empty());
}

}  // namespace
}  // namespace engine
