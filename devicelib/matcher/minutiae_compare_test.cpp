// The comparison engine on synthetic minutiae sets: what it must tolerate (rotation, shift,
// elastic bend, lost and spurious minutiae, other resolutions) and what it must not be fooled by.
#include "devicelib/matcher/minutiae_compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "devicelib/matcher/minutiae_matcher.h"
#include "devicelib/matcher/test_minutiae.h"

namespace devicelib::matcher {
namespace {

namespace synth = testing;

const int kDefaultThreshold = SecurityLevelThreshold(kDefaultSecurityLevel);

int Score(const codec::FingerTemplate& a, const codec::FingerTemplate& b,
          const CompareOptions& options = FullModeOptions()) {
  PreparedTemplate pa;
  PreparedTemplate pb;
  pa.Prepare(a, options);
  pb.Prepare(b, options);
  Comparator comparator;
  return comparator.Score(pa, pb, options);
}

// Rotates a set about the image centre by `degrees` (counter-clockwise on screen).
codec::FingerTemplate Rotated(const codec::FingerTemplate& t, float degrees) {
  const float r = degrees * std::numbers::pi_v<float> / 180;
  codec::FingerTemplate out = t;
  out.minutiae.clear();
  for (const auto& m : t.minutiae) {
    const float dx = m.x - 160.0f;
    const float dy = m.y - 240.0f;
    // Screen y points down: a counter-clockwise turn is (x, y) -> (x cos + y sin, -x sin + y cos).
    const float x = 160.0f + dx * std::cos(r) + dy * std::sin(r);
    const float y = 240.0f - dx * std::sin(r) + dy * std::cos(r);
    if (x < 0 || y < 0) {
      continue;
    }
    codec::Minutia n = m;
    n.x = static_cast<uint16_t>(std::lround(x));
    n.y = static_cast<uint16_t>(std::lround(y));
    n.angle = static_cast<uint16_t>((m.angle + 360 + static_cast<int>(std::lround(degrees))) % 360);
    out.minutiae.push_back(n);
  }
  return out;
}

TEST(MinutiaeCompare, IdenticalSetsScoreHighestAndImpostorsLow) {
  const auto master = synth::MasterFinger(1);
  EXPECT_GE(Score(master, master), 900);
  for (uint32_t f = 2; f < 40; ++f) {
    EXPECT_LT(Score(master, synth::MasterFinger(f)), kDefaultThreshold) << f;
  }
}

TEST(MinutiaeCompare, RotationUpToThirtyDegreesInEitherSense) {
  const auto master = synth::MasterFinger(3);
  for (float degrees : {-30.0f, -20.0f, -10.0f, -3.0f, 3.0f, 10.0f, 20.0f, 30.0f}) {
    EXPECT_GE(Score(master, Rotated(master, degrees)), 600) << degrees;
    EXPECT_GE(Score(Rotated(master, degrees), master), 600) << degrees;
  }
  // Far beyond how a finger is laid on a sensor: treated as a different finger.
  EXPECT_LT(Score(master, Rotated(master, 120)), kDefaultThreshold);
}

TEST(MinutiaeCompare, GenuineImpressionsMatchInFullAndFastMode) {
  int fullMisses = 0;
  int fastMisses = 0;
  for (uint32_t f = 0; f < 40; ++f) {
    const auto master = synth::MasterFinger(f);
    const auto a = synth::Impression(master, 1);
    const auto b = synth::Impression(master, 2);
    fullMisses += Score(a, b) >= kDefaultThreshold ? 0 : 1;
    fastMisses += Score(a, b, FastModeOptions()) >= kDefaultThreshold ? 0 : 1;
    EXPECT_LT(Score(a, synth::Impression(synth::MasterFinger(f + 100), 1)), kDefaultThreshold);
  }
  EXPECT_EQ(fullMisses, 0);
  EXPECT_LE(fastMisses, 5);  // fast mode gives up some genuine matches for speed
}

TEST(MinutiaeCompare, HardImpressionsStillScoreAboveImpostors) {
  // Strong distortion, a third of the minutiae lost, a quarter spurious, 25 degrees of rotation:
  // far harsher than the virtual scanner. Most genuine pairs must still outscore every impostor
  // pair of the same harshness.
  synth::ImpressionSettings hard;
  hard.maxRotationDegrees = 25;
  hard.distortion = 0.08f;
  hard.lost = 0.3f;
  hard.spurious = 0.25f;
  hard.positionNoise = 3.5f;
  hard.angleNoise = 9;
  constexpr int kFingers = 60;
  std::vector<int> genuine;
  int impostorMax = 0;
  for (uint32_t f = 0; f < kFingers; ++f) {
    const auto master = synth::MasterFinger(f);
    const auto a = synth::Impression(master, 11, hard);
    genuine.push_back(Score(a, synth::Impression(master, 12, hard)));
    impostorMax =
        std::max(impostorMax, Score(a, synth::Impression(synth::MasterFinger(f + 500), 12, hard)));
  }
  const auto above =
      std::count_if(genuine.begin(), genuine.end(), [&](int s) { return s > impostorMax; });
  EXPECT_GE(above, kFingers * 60 / 100) << "highest impostor " << impostorMax;
  EXPECT_LT(impostorMax, SecurityLevelThreshold(kMinSecurityLevel));
}

TEST(MinutiaeCompare, ResolutionIsNormalised) {
  // The same finger recorded at 250 ppi (98 pixels per cm): coordinates halve.
  const auto master = synth::MasterFinger(5);
  codec::FingerTemplate half = synth::Impression(master, 1);
  for (auto& m : half.minutiae) {
    m.x = static_cast<uint16_t>(m.x / 2);
    m.y = static_cast<uint16_t>(m.y / 2);
  }
  half.xResolution = half.yResolution = 98;
  EXPECT_GE(Score(synth::Impression(master, 2), half), kDefaultThreshold);
}

TEST(MinutiaeCompare, DegenerateSetsScoreZeroWithoutHarm) {
  const auto master = synth::MasterFinger(6);
  codec::FingerTemplate empty;
  EXPECT_EQ(Score(empty, master), 0);
  EXPECT_EQ(Score(master, empty), 0);
  codec::FingerTemplate two = master;
  two.minutiae.resize(2);
  EXPECT_EQ(Score(two, two), 0);

  // All minutiae on one spot, and a crowded set of the most a record can hold.
  codec::FingerTemplate stacked;
  stacked.minutiae.assign(255, codec::Minutia{.x = 100, .y = 100, .angle = 0});
  EXPECT_LE(Score(stacked, stacked), kMaxScore);
  codec::FingerTemplate crowded;
  for (int n = 0; n < 255; ++n) {
    crowded.minutiae.push_back({.x = static_cast<uint16_t>(100 + n % 16 * 3),
                                .y = static_cast<uint16_t>(100 + n / 16 * 3),
                                .angle = static_cast<uint16_t>(n * 7 % 360)});
  }
  const int crowdedScore = Score(crowded, crowded);
  EXPECT_GE(crowdedScore, 0);
  EXPECT_LE(crowdedScore, kMaxScore);
  EXPECT_LT(Score(crowded, master), kDefaultThreshold);
}

TEST(MinutiaeCompare, PreparedTemplatesAndComparatorAreReusable) {
  // One comparator and two prepared sets reused across many pairs give the same scores as
  // fresh ones: no state may leak from one comparison into the next.
  PreparedTemplate a;
  PreparedTemplate b;
  Comparator comparator;
  const CompareOptions options = FullModeOptions();
  for (uint32_t f = 0; f < 20; ++f) {
    const auto x = synth::Impression(synth::MasterFinger(f), 1);
    const auto y = synth::Impression(synth::MasterFinger(f % 3 == 0 ? f : f + 50), 2);
    a.Prepare(x, options);
    b.Prepare(y, options);
    EXPECT_EQ(comparator.Score(a, b, options), Score(x, y)) << f;
  }
}

}  // namespace
}  // namespace devicelib::matcher
