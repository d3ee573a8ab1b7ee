// The comparison engine on synthetic minutiae sets: what it must tolerate (rotation, shift,
// elastic bend, lost and spurious minutiae, other resolutions) and what it must not be fooled by.
#include "devicelib/matcher/minutiae_compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <iterator>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

#include "codec/template/minutiae_record.h"
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

// Rotates a set about the image centre by `degrees` (counter-clockwise on screen), moved right
// and down by `margin` so that quarter turns stay on the canvas.
// Turns minutia m by `degrees` about (cx, cy) and moves it by `shift` on both axes; false when
// it would leave the record's unsigned coordinates.
bool Turned(const codec::Minutia& m, float degrees, float cx, float cy, float shift,
            codec::Minutia* out) {
  const float r = degrees * std::numbers::pi_v<float> / 180;
  const float dx = static_cast<float>(m.x) - cx;
  const float dy = static_cast<float>(m.y) - cy;
  // Screen y points down: a counter-clockwise turn is (x, y) -> (x cos + y sin, -x sin + y cos).
  const float x = shift + cx + dx * std::cos(r) + dy * std::sin(r);
  const float y = shift + cy - dx * std::sin(r) + dy * std::cos(r);
  if (x < 0 || y < 0) {
    return false;
  }
  *out = m;
  out->x = static_cast<uint16_t>(std::lround(x));
  out->y = static_cast<uint16_t>(std::lround(y));
  out->angle =
      static_cast<uint16_t>((m.angle + 360 + static_cast<int>(std::lround(degrees))) % 360);
  return true;
}

codec::FingerTemplate Rotated(const codec::FingerTemplate& t, float degrees, float margin = 0) {
  codec::FingerTemplate out = t;
  out.minutiae.clear();
  for (const auto& m : t.minutiae) {
    codec::Minutia n;
    if (Turned(m, degrees, 160.0f, 240.0f, margin, &n)) {
      out.minutiae.push_back(n);
    }
  }
  return out;
}

// Impressions far harsher than the virtual scanner's: strong distortion, a third of the
// minutiae lost, a quarter spurious, turned by up to 25 degrees; `noisy` adds position and
// angle noise on top.
synth::ImpressionSettings Harsh(bool noisy) {
  synth::ImpressionSettings hard;
  hard.maxRotationDegrees = 25;
  hard.distortion = 0.08f;
  hard.lost = 0.3f;
  hard.spurious = 0.25f;
  if (noisy) {
    hard.positionNoise = 3.5f;
    hard.angleNoise = 9;
  }
  return hard;
}

TEST(MinutiaeCompare, IdenticalSetsScoreHighestAndImpostorsLow) {
  const auto master = synth::MasterFinger(1);
  EXPECT_GE(Score(master, master), 900);
  for (uint32_t f = 2; f < 40; ++f) {
    EXPECT_LT(Score(master, synth::MasterFinger(f)), kDefaultThreshold) << f;
  }
}

// Fast mode's first stage: each minutia's neighbourhood as bits in the minutia's own frame.
// For every minutia of `a`, the similarity of its code to that of the minutia of `b` that
// `map` carries it to (-1 when none lies there).
template <typename Map>
std::vector<float> CorrespondingCodeSimilarities(const PreparedTemplate& a,
                                                 const PreparedTemplate& b, Map map) {
  std::vector<float> out;
  for (int k = 0; k < a.size(); ++k) {
    const auto [x, y] = map(a.x(k), a.y(k));
    int found = -1;
    for (int l = 0; l < b.size(); ++l) {
      if (std::abs(b.x(l) - x) <= 1.0f && std::abs(b.y(l) - y) <= 1.0f) {
        found = l;
      }
    }
    out.push_back(found < 0 ? -1.0f : PreparedTemplate::CodeSimilarity(a.code(k), b.code(found)));
  }
  return out;
}

TEST(MinutiaeCompare, NeighbourhoodCodesFollowTheMinutiaWhenTheWholeSetIsMovedOrTurned) {
  const CompareOptions options = FastModeOptions();
  const auto master = synth::MasterFinger(7);
  PreparedTemplate original;
  original.Prepare(master, options);
  // Moved: the same neighbourhoods, bit for bit.
  codec::FingerTemplate moved = master;
  for (auto& m : moved.minutiae) {
    m.x = static_cast<uint16_t>(m.x + 37);
    m.y = static_cast<uint16_t>(m.y + 21);
  }
  PreparedTemplate shifted;
  shifted.Prepare(moved, options);
  for (float similarity : CorrespondingCodeSimilarities(
           original, shifted, [](float x, float y) { return std::pair(x + 37, y + 21); })) {
    EXPECT_EQ(similarity, 1.0f);
  }
  // A quarter turn (exact in whole pixels and in both angle units): the same up to a cell
  // border that rounding puts on the other side.
  PreparedTemplate quarter;
  quarter.Prepare(Rotated(master, 90, 200), options);
  const auto turned = CorrespondingCodeSimilarities(original, quarter, [](float x, float y) {
    return std::pair(200 + 160 + (y - 240), 200 + 240 - (x - 160));
  });
  ASSERT_EQ(turned.size(), master.minutiae.size());
  for (float similarity : turned) {
    EXPECT_GE(similarity, 0.9f);
  }
  // Turned by 30 degrees, positions rounded to whole pixels: still close, and far closer than
  // the codes of an unrelated finger's minutiae.
  PreparedTemplate thirty;
  thirty.Prepare(Rotated(master, 30, 200), options);
  const float r = 30 * std::numbers::pi_v<float> / 180;
  const auto slanted = CorrespondingCodeSimilarities(original, thirty, [&](float x, float y) {
    const float dx = x - 160;
    const float dy = y - 240;
    return std::pair(200 + 160 + dx * std::cos(r) + dy * std::sin(r),
                     200 + 240 - dx * std::sin(r) + dy * std::cos(r));
  });
  float sum = 0;
  for (float similarity : slanted) {
    ASSERT_GE(similarity, 0.0f) << "minutia lost in the turn";
    sum += similarity;
  }
  const float genuineMean = sum / static_cast<float>(slanted.size());
  EXPECT_GE(genuineMean, 0.8f);
  PreparedTemplate other;
  other.Prepare(synth::MasterFinger(8), options);
  float chance = 0;
  int pairs = 0;
  for (int k = 0; k < original.size(); ++k) {
    for (int l = 0; l < other.size(); ++l) {
      chance += PreparedTemplate::CodeSimilarity(original.code(k), other.code(l));
      ++pairs;
    }
  }
  EXPECT_LT(chance / static_cast<float>(pairs), genuineMean / 3);
}

TEST(MinutiaeCompare, CodeSimilarityIsSymmetricAndHighestForTheSameNeighbourhood) {
  const CompareOptions options = FastModeOptions();
  const auto master = synth::MasterFinger(11);
  PreparedTemplate a;
  PreparedTemplate b;
  a.Prepare(synth::Impression(master, 1), options);
  b.Prepare(synth::Impression(master, 2), options);
  int withNeighbours = 0;
  for (int k = 0; k < a.size(); ++k) {
    const float self = PreparedTemplate::CodeSimilarity(a.code(k), a.code(k));
    if (self > 0) {
      EXPECT_EQ(self, 1.0f);
      ++withNeighbours;
    }
    for (int l = 0; l < b.size(); ++l) {
      const float ab = PreparedTemplate::CodeSimilarity(a.code(k), b.code(l));
      EXPECT_EQ(ab, PreparedTemplate::CodeSimilarity(b.code(l), a.code(k)));
      EXPECT_LE(ab, 1.0f);
      EXPECT_GE(ab, 0.0f);
    }
  }
  EXPECT_GT(withNeighbours, a.size() * 3 / 4);
}

// A code with the given bits in its layers, `ones` counted as Prepare counts them.
PreparedTemplate::Code MakeCode(std::array<uint64_t, PreparedTemplate::kCodeLayers> bits) {
  PreparedTemplate::Code code;
  code.bits = bits;
  for (const uint64_t word : bits) {
    code.ones = static_cast<uint16_t>(code.ones + std::popcount(word));
  }
  return code;
}

// Fast mode ranks its candidates by the fixed-point similarity, the tests and tools read the
// float one: the two must stay one formula, apart from the fixed point's dropped fractions.
void ExpectFixedAgrees(const PreparedTemplate::Code& a, const PreparedTemplate::Code& b) {
  const double exact = static_cast<double>(PreparedTemplate::CodeSimilarity(a, b)) * 65535.0;
  const double fixed = PreparedTemplate::CodeSimilarityFixed(a, b);
  // The float itself is rounded to 2^-24 of its value: 0.004 of a unit at most.
  EXPECT_LE(fixed, exact + 0.01) << a.ones << " and " << b.ones << " bits";
  EXPECT_GT(fixed, exact - 1.01) << a.ones << " and " << b.ones << " bits";
  EXPECT_EQ(fixed, PreparedTemplate::CodeSimilarityFixed(b, a));
}

TEST(MinutiaeCompare, FixedPointCodeSimilarityFollowsTheFloatOne) {
  using Bits = std::array<uint64_t, PreparedTemplate::kCodeLayers>;
  const PreparedTemplate::Code empty = MakeCode({});
  EXPECT_EQ(PreparedTemplate::CodeSimilarityFixed(empty, empty), 0u);
  EXPECT_EQ(PreparedTemplate::CodeSimilarity(empty, empty), 0.0f);

  // Below the floor of 8 bits together the pair is not compared, however alike: 0 in both.
  const PreparedTemplate::Code three = MakeCode({0b111, 0, 0, 0});
  const PreparedTemplate::Code four = MakeCode({0b111, 0, 0, 1});
  EXPECT_EQ(PreparedTemplate::CodeSimilarityFixed(three, four), 0u);  // 7 bits, 6 shared
  EXPECT_EQ(PreparedTemplate::CodeSimilarity(three, four), 0.0f);
  EXPECT_EQ(PreparedTemplate::CodeSimilarityFixed(three, empty), 0u);
  // At the floor they are.
  EXPECT_GE(PreparedTemplate::CodeSimilarityFixed(four, four), 65534u);
  EXPECT_EQ(PreparedTemplate::CodeSimilarity(four, four), 1.0f);
  ExpectFixedAgrees(four, four);
  const PreparedTemplate::Code five = MakeCode({0b11111, 0, 0, 0});
  EXPECT_GT(PreparedTemplate::CodeSimilarityFixed(three, five), 0u);  // 8 bits, 3 shared
  ExpectFixedAgrees(three, five);

  // Identical codes of every size are 1, within the fixed point's step; disjoint ones 0.
  for (int n = 1; n <= 64; ++n) {
    const uint64_t low = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
    for (const Bits& bits : {Bits{low, 0, 0, 0}, Bits{low, low, low, low}, Bits{0, 0, low, 1}}) {
      const PreparedTemplate::Code code = MakeCode(bits);
      SCOPED_TRACE(::testing::Message() << code.ones << " bits");
      ExpectFixedAgrees(code, code);
      if (code.ones >= 4) {
        EXPECT_GE(PreparedTemplate::CodeSimilarityFixed(code, code), 65534u);
      }
      const PreparedTemplate::Code other = MakeCode({~bits[0], ~bits[1], ~bits[2], ~bits[3]});
      EXPECT_EQ(PreparedTemplate::CodeSimilarityFixed(code, other), 0u);
      ExpectFixedAgrees(code, other);
    }
  }

  // Random pairs over the whole range: sparse to dense codes, unrelated to nearly the same.
  std::mt19937_64 rng(5);
  std::uniform_int_distribution<int> density(0, 6);
  std::uniform_real_distribution<double> unit(0, 1);
  const auto random = [&](int shift) {  // each bit set with probability 2^-shift
    Bits bits{};
    for (uint64_t& word : bits) {
      word = ~uint64_t{0};
      for (int s = 0; s < shift; ++s) {
        word &= rng();
      }
    }
    return bits;
  };
  for (int trial = 0; trial < 20000; ++trial) {
    const Bits a = random(density(rng));
    Bits b = random(density(rng));
    const double keep = unit(rng);  // the share of b's words taken from a
    for (size_t l = 0; l < b.size(); ++l) {
      if (unit(rng) < keep) {
        b[l] = a[l] ^ (random(3)[l] & random(2)[l]);  // a with a few bits flipped
      }
    }
    ExpectFixedAgrees(MakeCode(a), MakeCode(b));
    if (HasFailure()) {
      break;
    }
  }

  // And on the codes of real neighbourhoods.
  const CompareOptions options = FastModeOptions();
  const auto master = synth::MasterFinger(12);
  PreparedTemplate p;
  PreparedTemplate q;
  p.Prepare(synth::Impression(master, 1), options);
  q.Prepare(synth::Impression(master, 2), options);
  for (int k = 0; k < p.size(); ++k) {
    for (int l = 0; l < q.size(); ++l) {
      ExpectFixedAgrees(p.code(k), q.code(l));
    }
  }
}

// The wide similarity loop (four gallery codes at a time, AVX2) must find exactly the pairs,
// with exactly the similarities, that the pair-by-pair loop finds: sets of every size modulo
// four, sparse and crowded ones, and sets against themselves (every pair similar).
TEST(MinutiaeCompare, WideCodeLoopFindsExactlyTheSimilarPairsOfThePairByPairLoop) {
  if (!Comparator::WideCodeLoop()) {
    GTEST_SKIP() << "no AVX2 on this processor: only the pair-by-pair loop runs";
  }
  const CompareOptions options = FastModeOptions();
  int compared = 0;
  for (uint32_t f = 0; f < 24; ++f) {
    const int size = 5 + static_cast<int>(f) * 3;  // 5 .. 74 minutiae
    const auto master = synth::MasterFinger(f, size);
    const auto a = synth::Impression(master, 1);
    for (const auto& b : {synth::Impression(master, 2), master,
                          synth::Impression(synth::MasterFinger(f + 50, 80 - size), 2)}) {
      PreparedTemplate pa;
      PreparedTemplate pb;
      pa.Prepare(a, options);
      pb.Prepare(b, options);
      const auto narrow = Comparator::SimilarCodePairs(pa, pb, false);
      EXPECT_EQ(Comparator::SimilarCodePairs(pa, pb, true), narrow) << f;
      EXPECT_EQ(Comparator::SimilarCodePairs(pb, pa, true),
                Comparator::SimilarCodePairs(pb, pa, false))
          << f;
      compared += static_cast<int>(narrow.size());
    }
  }
  EXPECT_GT(compared, 1000);
}

// The candidates' support summed eight candidates at a time in AVX2 registers must equal the
// plain sums exactly (the same float operations; a fused multiply-add would move agreements
// that lie on the radius): fast mode's 24 candidates and up to 96 (every padding of the last
// group of eight), genuine and unrelated pairs of every size.
TEST(MinutiaeCompare, WideSupportSumsExactlyWhatThePlainLoopSums) {
  if (!Comparator::WideCodeLoop()) {
    GTEST_SKIP() << "no AVX2 on this processor: only the plain loop runs";
  }
  const CompareOptions options = FastModeOptions();
  Comparator comparator;
  int agreeing = 0;
  for (uint32_t f = 0; f < 24; ++f) {
    const int size = 5 + static_cast<int>(f) * 3;  // 5 .. 74 minutiae
    const auto master = synth::MasterFinger(f, size);
    const auto a = synth::Impression(master, 1);
    for (const auto& b : {synth::Impression(master, 2),
                          synth::Impression(synth::MasterFinger(f + 50, 80 - size), 2)}) {
      PreparedTemplate pa;
      PreparedTemplate pb;
      pa.Prepare(a, options);
      pb.Prepare(b, options);
      for (const int wanted : {options.codeCandidates, 96}) {
        const auto plain = comparator.CodeSupports(pa, pb, wanted, false);
        EXPECT_EQ(comparator.CodeSupports(pa, pb, wanted, true), plain) << f << " " << wanted;
        // Candidates that some other candidate's alignment agrees with: a support above the
        // candidate's own weight (a code similarity of at most 1 in 1/4096).
        for (const int32_t s : plain) {
          agreeing += s > 4096 ? 1 : 0;
        }
      }
    }
  }
  EXPECT_GT(agreeing, 100);
}

TEST(MinutiaeCompare, FastModeScoresASetAgainstItselfHighestAndUnrelatedSetsLow) {
  const CompareOptions fast = FastModeOptions();
  for (uint32_t f = 0; f < 5; ++f) {
    const auto master = synth::MasterFinger(f);
    EXPECT_GE(Score(master, master, fast), 900) << f;
  }
  const auto master = synth::MasterFinger(1);
  for (uint32_t f = 2; f < 40; ++f) {
    EXPECT_LT(Score(master, synth::MasterFinger(f), fast), kDefaultThreshold) << f;
  }
}

TEST(MinutiaeCompare, SetsAndComparatorCanSwitchBetweenModes) {
  // The matcher's workspace keeps its prepared sets and comparator when fast mode is switched
  // on or off: a set prepared for one mode and compared in the other must score as a fresh
  // one (each mode's first stage needs data of its own).
  const auto master = synth::MasterFinger(21);
  const auto x = synth::Impression(master, 1);
  const auto y = synth::Impression(master, 2);
  const auto z = synth::Impression(synth::MasterFinger(22), 3);
  Comparator comparator;
  for (const auto& [prepared, scored] : {std::pair(FullModeOptions(), FastModeOptions()),
                                         std::pair(FastModeOptions(), FullModeOptions())}) {
    PreparedTemplate a;
    PreparedTemplate b;
    PreparedTemplate c;
    a.Prepare(x, prepared);
    b.Prepare(y, prepared);
    c.Prepare(z, prepared);
    EXPECT_EQ(comparator.Score(a, b, scored), Score(x, y, scored));
    EXPECT_EQ(comparator.Score(a, c, scored), Score(x, z, scored));
    EXPECT_EQ(comparator.Score(a, b, prepared), Score(x, y, prepared));
  }
}

TEST(MinutiaeCompare, RotationUpToAQuarterTurnAndMoreInEitherSense) {
  // A finger may be laid on the sensor at any angle a hand allows; a quarter turn either way
  // and a little beyond must match, in both modes and both orders.
  const auto master = synth::MasterFinger(3);
  for (float degrees :
       {-100.0f, -90.0f, -60.0f, -30.0f, -3.0f, 3.0f, 30.0f, 60.0f, 90.0f, 100.0f}) {
    const auto turned = Rotated(master, degrees, 200);
    EXPECT_GE(Score(master, turned), 600) << degrees;
    EXPECT_GE(Score(master, turned, FastModeOptions()), 600) << degrees;
  }
  // Genuine impressions (bent, with lost and spurious minutiae), turned a quarter turn.
  for (uint32_t f = 0; f < 10; ++f) {
    const auto m = synth::MasterFinger(f);
    const auto a = synth::Impression(m, 1);
    const auto b = synth::Impression(m, 2);
    EXPECT_GE(Score(a, Rotated(b, 90, 200)), kDefaultThreshold) << f;
    EXPECT_GE(Score(Rotated(a, -90, 200), b), kDefaultThreshold) << f;
  }
}

// Twists a set about (cx, cy): each minutia turns by `degrees` times its distance from the
// centre over `reach`, as skin does when a finger is twisted on the glass while its centre
// stays put. Smooth, so nearby minutiae move together, but the rim moves far from where any
// single rotation and shift would put it.
codec::FingerTemplate Twisted(const codec::FingerTemplate& t, float degrees, float reach = 150,
                              float cx = 160, float cy = 240) {
  codec::FingerTemplate out = t;
  out.minutiae.clear();
  for (const auto& m : t.minutiae) {
    const float dx = static_cast<float>(m.x) - cx;
    const float dy = static_cast<float>(m.y) - cy;
    const float turn = degrees * std::min(1.5f, std::sqrt(dx * dx + dy * dy) / reach);
    codec::Minutia n;
    if (Turned(m, turn, cx, cy, 0, &n)) {
      out.minutiae.push_back(n);
    }
  }
  return out;
}

TEST(MinutiaeCompare, TwistedSkinIsFollowedRegionByRegion) {
  // A twist of 20 degrees at 150 px from the centre (30 beyond 225 px) moves minutiae there by
  // 50 px and more relative to the centre: no single rotation and shift brings both the centre
  // and the rim within the rigid pairing's tolerance, so the rigid score loses part of the
  // print; the bent pairing follows the twist outward and keeps it.
  CompareOptions rigid = FullModeOptions();
  rigid.bend = false;
  int gained = 0;
  int sumRigid = 0;
  int sumBent = 0;
  for (uint32_t f = 0; f < 12; ++f) {
    const auto master = synth::MasterFinger(f, 50);
    for (const float degrees : {-20.0f, 20.0f}) {
      const auto twisted = Twisted(master, degrees);
      const int r = Score(master, twisted, rigid);
      const int b = Score(master, twisted);
      EXPECT_GE(b, r) << f << " " << degrees;  // the rigid score is never lost
      gained += b >= r + 100 ? 1 : 0;
      sumRigid += r;
      sumBent += b;
      // Both orders, and the twisted finger laid at a quarter turn, give the same picture.
      EXPECT_EQ(b, Score(twisted, master)) << f;
      EXPECT_GE(Score(master, Rotated(twisted, 90, 200)), b * 3 / 4) << f;
    }
  }
  EXPECT_GE(gained, 18) << "rigid " << sumRigid << " bent " << sumBent;
  EXPECT_GE(sumBent, sumRigid * 6 / 5);
}

TEST(MinutiaeCompare, BendingDoesNotLetPairsPredictThemselves) {
  // A pair's own residual is left out of the displacement that places it: otherwise each pair
  // would partly predict itself, scattered errors (an extractor's jitter, chance pairs of two
  // fingers) would look like distortion that was followed, and every pair would score as if
  // closely aligned. Jitter of 7 px with no distortion: bending has nothing to follow.
  CompareOptions rigid = FullModeOptions();
  rigid.bend = false;
  synth::ImpressionSettings jitter;
  jitter.distortion = 0;
  jitter.positionNoise = 7;
  jitter.lost = 0.1f;
  jitter.spurious = 0.1f;
  int sumRigid = 0;
  int sumBent = 0;
  for (uint32_t f = 0; f < 30; ++f) {
    const auto master = synth::MasterFinger(f);
    const auto a = synth::Impression(master, 1, jitter);
    sumRigid += Score(master, a, rigid);
    sumBent += Score(master, a);
  }
  // Left in, the pairs' own residuals raised this sum by about a tenth.
  EXPECT_LE(sumBent, sumRigid * 103 / 100) << "rigid " << sumRigid;
  // Different fingers: impostor scores may rise a little (one more pairing of the same
  // alignment), never to a match.
  synth::ImpressionSettings hard;
  hard.distortion = 0.08f;
  hard.lost = 0.3f;
  hard.spurious = 0.25f;
  int highest = 0;
  for (uint32_t f = 0; f < 40; ++f) {
    // Large sets, so that chance pairings reach the size at which they are bent.
    const auto a = synth::Impression(synth::MasterFinger(f, 70), 1, hard);
    const auto b = synth::Impression(synth::MasterFinger(f + 700, 70), 2, hard);
    highest = std::max(highest, Score(a, b));
  }
  EXPECT_LT(highest, SecurityLevelThreshold(kMinSecurityLevel));
}

TEST(MinutiaeCompare, SwappingTheTwoSetsGivesExactlyTheSameScore) {
  // Pairs of every kind: genuine and impostor, harsh and mild, unequal sizes, both modes.
  synth::ImpressionSettings hard;
  hard.maxRotationDegrees = 60;
  hard.distortion = 0.08f;
  hard.lost = 0.3f;
  hard.spurious = 0.3f;
  int differing = 0;
  for (uint32_t f = 0; f < 40; ++f) {
    const auto master = synth::MasterFinger(f, 30 + static_cast<int>(f));
    const auto a = synth::Impression(master, 1, hard);
    const auto b = synth::Impression(master, 2);
    const auto c = synth::Impression(synth::MasterFinger(f + 300), 3, hard);
    for (const auto& options : {FullModeOptions(), FastModeOptions()}) {
      differing += Score(a, b, options) != Score(b, a, options) ? 1 : 0;
      differing += Score(a, c, options) != Score(c, a, options) ? 1 : 0;
      differing += Score(b, c, options) != Score(c, b, options) ? 1 : 0;
    }
  }
  EXPECT_EQ(differing, 0);
}

// A finger's ridge counts as the synthetic model of straight parallel ridges gives them, each
// finger with its own ridge direction (so that two fingers' counts differ as two real ones do).
codec::FingerTemplate WithRidgeCounts(codec::FingerTemplate t, uint32_t finger) {
  synth::AddRidgeCounts(&t, 6, 9.0f, 0.3f + 0.7f * static_cast<float>(finger % 4));
  return t;
}

codec::FingerTemplate WithoutRidgeCounts(codec::FingerTemplate t) {
  t.ridgeCounts.clear();
  return t;
}

// The pairing's ridge counts, as the last score compared them.
RidgeEvidence Evidence(const codec::FingerTemplate& a, const codec::FingerTemplate& b,
                       const CompareOptions& options, int* score = nullptr) {
  PreparedTemplate pa;
  PreparedTemplate pb;
  pa.Prepare(a, options);
  pb.Prepare(b, options);
  Comparator comparator;
  const int s = comparator.Score(pa, pb, options);
  if (score != nullptr) {
    *score = s;
  }
  return comparator.LastRidgeEvidence();
}

TEST(MinutiaeCompare, RidgeCountsAreReadIntoTheSetsOwnOrder) {
  // The set is sorted by y; a count must still join the two minutiae the record named.
  const auto master = WithRidgeCounts(synth::MasterFinger(2, 40), 2);
  ASSERT_FALSE(master.ridgeCounts.empty());
  PreparedTemplate p;
  p.Prepare(master, FullModeOptions());
  const auto place = [&](const codec::Minutia& m) {
    for (int k = 0; k < p.size(); ++k) {
      if (p.x(k) == m.x && p.y(k) == m.y) {
        return k;
      }
    }
    return -1;
  };
  std::vector<std::pair<int, int>> listed;
  for (const codec::RidgeCount& r : master.ridgeCounts) {
    const int i = place(master.minutiae[r.from]);
    const int j = place(master.minutiae[r.to]);
    ASSERT_GE(i, 0);
    ASSERT_GE(j, 0);
    EXPECT_EQ(p.RidgeCount(i, j), r.count);
    EXPECT_EQ(p.RidgeCount(j, i), r.count);
    listed.emplace_back(std::min(i, j), std::max(i, j));
  }
  std::sort(listed.begin(), listed.end());
  listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
  EXPECT_EQ(p.ridgeCountPairs(), static_cast<int>(listed.size()));
  // A pair the record does not join has no count.
  int unjoined = 0;
  for (int i = 0; i < p.size(); ++i) {
    for (int j = i + 1; j < p.size(); ++j) {
      if (!std::binary_search(listed.begin(), listed.end(), std::pair(i, j))) {
        EXPECT_EQ(p.RidgeCount(i, j), -1);
        ++unjoined;
      }
    }
  }
  EXPECT_GT(unjoined, 0);

  // A pair listed twice with different counts keeps the smaller, in whichever order the record
  // lists them; counts that name no minutia of the set, or one minutia twice, are dropped.
  codec::FingerTemplate twice = WithoutRidgeCounts(master);
  twice.ridgeCounts = {{0, 1, 5}, {1, 0, 3}, {0, 0, 2}, {0, 200, 1}};
  codec::FingerTemplate reversed = twice;
  std::reverse(reversed.ridgeCounts.begin(), reversed.ridgeCounts.end());
  for (const auto& t : {twice, reversed}) {
    p.Prepare(t, FullModeOptions());
    EXPECT_EQ(p.ridgeCountPairs(), 1);
    EXPECT_EQ(p.RidgeCount(place(t.minutiae[0]), place(t.minutiae[1])), 3);
  }
  // And a set prepared again without counts has none.
  p.Prepare(WithoutRidgeCounts(master), FullModeOptions());
  EXPECT_EQ(p.ridgeCountPairs(), 0);
  EXPECT_EQ(p.RidgeCount(0, 1), -1);
}

TEST(MinutiaeCompare, RidgeCountsAgreeFullyUnderAFingersOwnPairingTurnedOrReordered) {
  // The same finger turned and moved, or its minutiae listed in another order (the counts
  // following them): every comparable count agrees exactly, in both modes.
  for (uint32_t f = 0; f < 6; ++f) {
    const auto master = WithRidgeCounts(synth::MasterFinger(f, 45), f);
    const auto turned = Rotated(master, 20.0f + 10.0f * static_cast<float>(f), 200);
    ASSERT_EQ(turned.minutiae.size(), master.minutiae.size());
    codec::FingerTemplate reordered = master;
    const auto n = static_cast<uint8_t>(master.minutiae.size() - 1);
    std::reverse(reordered.minutiae.begin(), reordered.minutiae.end());
    for (auto& r : reordered.ridgeCounts) {
      r.from = static_cast<uint8_t>(n - r.from);
      r.to = static_cast<uint8_t>(n - r.to);
    }
    for (const auto& other : {turned, reordered}) {
      for (const auto& options : {FullModeOptions(), FastModeOptions()}) {
        const RidgeEvidence e = Evidence(master, other, options);
        // Six counts per minutia, half of them listed at both ends: more than one per minutia.
        EXPECT_GT(e.comparable, static_cast<int>(master.minutiae.size())) << f;
        EXPECT_EQ(e.exact, e.comparable) << f;
      }
    }
  }
}

TEST(MinutiaeCompare, RidgeCountsWeighOnlyWhenBothSetsCarryThem) {
  // Counts on one side only, on neither, or turned off: the score of the pairing alone, exactly.
  int compared = 0;
  for (uint32_t f = 0; f < 12; ++f) {
    const auto master = WithRidgeCounts(synth::MasterFinger(f), f);
    const auto a = synth::Impression(master, 1, Harsh(true));
    const auto b = synth::Impression(master, 2);
    const auto c = synth::Impression(WithRidgeCounts(synth::MasterFinger(f + 300), f + 1), 3);
    for (const auto& [x, y] : {std::pair(a, b), std::pair(a, c), std::pair(b, c)}) {
      for (const auto& options : {FullModeOptions(), FastModeOptions()}) {
        const int bare = Score(WithoutRidgeCounts(x), WithoutRidgeCounts(y), options);
        int oneSide = 0;
        EXPECT_EQ(Evidence(x, WithoutRidgeCounts(y), options, &oneSide).comparable, 0);
        EXPECT_EQ(oneSide, bare) << f;
        EXPECT_EQ(Score(WithoutRidgeCounts(x), y, options), bare) << f;
        CompareOptions without = options;
        without.ridgeCounts = false;
        EXPECT_EQ(Score(x, y, without), bare) << f;
        compared += Evidence(x, y, options).comparable > 0 ? 1 : 0;
      }
    }
  }
  // With counts on both sides every genuine pair above compares them (the impostors mostly
  // score too low for that).
  EXPECT_GE(compared, 24);
}

TEST(MinutiaeCompare, RidgeCountsKeepTheScoreSymmetric) {
  // Genuine and impostor pairs with counts, harsh and mild, both modes (with their pruning of
  // pairs by the counts); also two sets that differ in their counts alone.
  synth::ImpressionSettings noisy = Harsh(true);
  noisy.ridgeCountNoise = 0.3f;
  int differing = 0;
  int pruned = 0;  // scores that the pruning of chance pairs (on by default) changes
  for (uint32_t f = 0; f < 25; ++f) {
    const auto master = WithRidgeCounts(synth::MasterFinger(f, 30 + static_cast<int>(f)), f);
    const auto a = synth::Impression(master, 1, noisy);
    const auto b = synth::Impression(master, 2);
    const auto c = synth::Impression(WithRidgeCounts(synth::MasterFinger(f + 300), f + 1), 3);
    codec::FingerTemplate recounted = b;
    for (auto& r : recounted.ridgeCounts) {
      r.count = static_cast<uint8_t>(r.count + (r.from % 3));
    }
    for (const auto& options : {FullModeOptions(), FastModeOptions()}) {
      for (const auto& [x, y] : {std::pair(a, b), std::pair(a, c), std::pair(b, c),
                                 std::pair(b, recounted), std::pair(a, recounted)}) {
        int xy = 0;
        int yx = 0;
        const RidgeEvidence e = Evidence(x, y, options, &xy);
        const RidgeEvidence swapped = Evidence(y, x, options, &yx);
        differing += xy != yx || e.comparable != swapped.comparable || e.exact != swapped.exact ||
                             e.byOne != swapped.byOne
                         ? 1
                         : 0;
        CompareOptions unpruned = options;
        unpruned.ridgePrune = 0;
        pruned += Score(x, y, unpruned) != xy ? 1 : 0;
      }
    }
  }
  EXPECT_EQ(differing, 0);
  EXPECT_GT(pruned, 0);  // the modes' pruning took part
}

TEST(MinutiaeCompare, RidgeCountsRaiseAScoreWhenTheyAgreeAndLowerItWhenTheyDiffer) {
  // The same genuine pairs with the counts of one side as the finger gives them, one ridge off,
  // or two ridges off; and impostor pairs, whose scores below Comparator::kRidgeFrom stay as
  // they were.
  int lowImpostors = 0;
  for (uint32_t f = 0; f < 10; ++f) {
    const auto master = WithRidgeCounts(synth::MasterFinger(f, 50), f);
    const auto a = synth::Impression(master, 1);
    const auto b = synth::Impression(master, 2);
    const auto offBy = [&](int ridges) {
      codec::FingerTemplate t = b;
      for (auto& r : t.ridgeCounts) {
        r.count = static_cast<uint8_t>(r.count + ridges);
      }
      return t;
    };
    for (const auto& options : {FullModeOptions(), FastModeOptions()}) {
      const int bare = Score(WithoutRidgeCounts(a), WithoutRidgeCounts(b), options);
      ASSERT_GE(bare, Comparator::kRidgeFrom) << f;
      const int agreeing = Score(a, b, options);
      const int oneOff = Score(a, offBy(1), options);
      const int twoOff = Score(a, offBy(2), options);
      EXPECT_GT(agreeing, bare) << f;
      // Off by one is what the extractor's counts often are on a finger's own pairs: it costs
      // little.
      EXPECT_LE(oneOff, bare) << f;
      EXPECT_GT(oneOff, twoOff) << f;
      EXPECT_LT(twoOff, bare * 3 / 4) << f;
      const auto c = synth::Impression(WithRidgeCounts(synth::MasterFinger(f + 500), f + 1), 3);
      const int impostor = Score(WithoutRidgeCounts(a), WithoutRidgeCounts(c), options);
      if (impostor < Comparator::kRidgeFrom) {
        EXPECT_EQ(Score(a, c, options), impostor) << f;
        ++lowImpostors;
      }
    }
  }
  EXPECT_GT(lowImpostors, 0);
}

TEST(MinutiaeCompare, RidgePruningDropsOnlyPairsWhoseCountsDisagreeAndStaysSymmetric) {
  // Pairs left out of the refits' start or of the pairing behind the score by their ridge
  // counts: a finger's own pairs whose counts agree lose nothing, the same pairs two ridges
  // off are left out, and the order of the two sets never matters.
  for (uint32_t f = 0; f < 6; ++f) {
    const auto master = WithRidgeCounts(synth::MasterFinger(f, 50), f);
    const auto a = synth::Impression(master, 1);
    const auto b = synth::Impression(master, 2);
    codec::FingerTemplate twoOff = b;
    for (auto& r : twoOff.ridgeCounts) {
      r.count = static_cast<uint8_t>(r.count + 2);
    }
    const auto c = synth::Impression(WithRidgeCounts(synth::MasterFinger(f + 500), f + 1), 3);
    for (CompareOptions options : {FullModeOptions(), FastModeOptions()}) {
      ASSERT_EQ(options.ridgePrune, 9);  // on by default in both modes
      options.ridgePrune = 0;
      const int agreeing = Score(a, b, options);
      const int disagreeing = Score(a, twoOff, options);
      for (const int rule : {1, 2, 3, 9}) {
        options.ridgePrune = rule;
        EXPECT_EQ(Score(a, b, options), agreeing) << f << ' ' << rule;
        if ((rule & 2) != 0) {
          EXPECT_LT(Score(a, twoOff, options), disagreeing) << f << ' ' << rule;
        }
        for (const codec::FingerTemplate* other :
             std::initializer_list<const codec::FingerTemplate*>{&b, &twoOff, &c}) {
          EXPECT_EQ(Score(a, *other, options), Score(*other, a, options)) << f << ' ' << rule;
        }
      }
    }
  }
}

TEST(MinutiaeCompare, AngleQuantisationOfTheRecordsMovesScoresLittle) {
  // The same minutiae written in 1.4-degree units (ISO) and in 2-degree units (ANSI).
  int largest = 0;
  int flipped = 0;
  for (uint32_t f = 0; f < 40; ++f) {
    const auto master = synth::MasterFinger(f);
    const auto a = synth::Impression(master, 1);
    const auto b = synth::Impression(f % 2 == 0 ? master : synth::MasterFinger(f + 200), 2);
    std::vector<uint8_t> isoA, isoB, ansiA, ansiB;
    ASSERT_EQ(codec::EncodeIso19794_2(a, &isoA), codec::RecordError::kOk);
    ASSERT_EQ(codec::EncodeIso19794_2(b, &isoB), codec::RecordError::kOk);
    ASSERT_EQ(codec::EncodeAnsi378(a, &ansiA), codec::RecordError::kOk);
    ASSERT_EQ(codec::EncodeAnsi378(b, &ansiB), codec::RecordError::kOk);
    const auto score = [](const std::vector<uint8_t>& x, const std::vector<uint8_t>& y) {
      int32_t s = -1;
      EXPECT_EQ(CompareTemplates(x.data(), static_cast<int32_t>(x.size()), y.data(),
                                 static_cast<int32_t>(y.size()), &s),
                0);
      return s;
    };
    const int iso = score(isoA, isoB);
    const int ansi = score(ansiA, ansiB);
    const int mixed = score(isoA, ansiB);
    largest = std::max({largest, std::abs(iso - ansi), std::abs(iso - mixed)});
    flipped += (iso >= kDefaultThreshold) != (ansi >= kDefaultThreshold) ? 1 : 0;
  }
  // Measured: at most 72 points; one pair in 40 may cross the default threshold.
  EXPECT_LE(largest, 100) << largest;
  EXPECT_LE(flipped, 1);
}

TEST(MinutiaeCompare, TwistedFingersScoreAlikeWhateverTheAngleUnit) {
  // Genuine pairs whose second impression is twisted by 20 degrees at 150 px from the centre,
  // each scored with the minutiae as extracted (whole degrees) and with every direction
  // re-quantised to 2-degree steps, as an ANSI record holds them. The refit and the bend reach
  // different heights from different seeds of the finger's own alignment, and which seed pairs
  // first can turn on a degree; the settled score must not. Measured on 100 fingers: largest
  // move 43 points in full mode and 66 in fast mode, none by more than a fifth (without the
  // settling 78 and 183, one and five pairs by more than a fifth).
  const auto twoDegrees = [](codec::FingerTemplate t) {
    for (auto& m : t.minutiae) {
      m.angle = static_cast<uint16_t>((m.angle + 1) / 2 * 2 % 360);
    }
    return t;
  };
  for (const CompareOptions& mode : {FullModeOptions(), FastModeOptions()}) {
    int largest = 0;
    int farMoves = 0;
    for (uint32_t f = 0; f < 100; ++f) {
      const auto master = synth::MasterFinger(f, 60);
      const auto a = synth::Impression(master, 21);
      const auto b = Twisted(synth::Impression(master, 22), f % 2 == 0 ? 20.0f : -20.0f);
      const int whole = Score(a, b, mode);
      const int coarse = Score(twoDegrees(a), twoDegrees(b), mode);
      const int move = std::abs(whole - coarse);
      largest = std::max(largest, move);
      farMoves += 5 * move > std::max(whole, coarse) ? 1 : 0;
    }
    EXPECT_LE(largest, 70) << (mode.edgeVotes ? "full" : "fast");
    EXPECT_EQ(farMoves, 0) << (mode.edgeVotes ? "full" : "fast");
  }
}

TEST(MinutiaeCompare, SecurityLevelThresholdsRiseWithTheLevel) {
  EXPECT_EQ(SecurityLevelThreshold(kMinSecurityLevel - 1), -1);
  EXPECT_EQ(SecurityLevelThreshold(kMaxSecurityLevel + 1), -1);
  for (int32_t level = kMinSecurityLevel; level < kMaxSecurityLevel; ++level) {
    EXPECT_GT(SecurityLevelThreshold(level), 0);
    EXPECT_LT(SecurityLevelThreshold(level), SecurityLevelThreshold(level + 1)) << level;
  }
  EXPECT_LE(SecurityLevelThreshold(kMaxSecurityLevel), kMaxScore);
  EXPECT_GE(kDefaultSecurityLevel, kMinSecurityLevel);
  EXPECT_LE(kDefaultSecurityLevel, kMaxSecurityLevel);
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
  const synth::ImpressionSettings hard = Harsh(true);
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

// matcher-oracle's seed search: every candidate as a seed includes the seeds the normal search
// pairs and refits, so it can only score higher, in both modes and in either order; every pair
// of minutiae as a seed finds a twisted finger's own alignment too.
TEST(MinutiaeCompare, OracleSeedsBoundTheNormalSearch) {
  const synth::ImpressionSettings hard = Harsh(false);
  for (const CompareOptions& mode : {FullModeOptions(), FastModeOptions()}) {
    CompareOptions candidates = mode;
    candidates.oracle = 1;
    for (uint32_t f = 0; f < 12; ++f) {
      const auto master = synth::MasterFinger(f);
      const auto a = synth::Impression(master, 21, hard);
      for (const auto& b : {synth::Impression(master, 22, hard),
                            synth::Impression(synth::MasterFinger(f + 700), 22, hard)}) {
        const int normal = Score(a, b, mode);
        const int oracle = Score(a, b, candidates);
        EXPECT_GE(oracle, normal) << f;
        EXPECT_EQ(Score(b, a, candidates), oracle) << f;
      }
    }
  }
  CompareOptions everyPair = FullModeOptions();
  everyPair.oracle = 2;
  const auto master = synth::MasterFinger(3);
  const auto a = synth::Impression(master, 31, hard);
  const auto b = Rotated(synth::Impression(master, 32, hard), 90, 250);
  EXPECT_GE(Score(a, b, everyPair), kDefaultThreshold);
  EXPECT_LT(Score(a, synth::Impression(synth::MasterFinger(900), 32, hard), everyPair),
            kDefaultThreshold);
}

// The cascade stops a first stage whose seeds all pair poorly, before the refit and the bend:
// it may only lower a score, a stage it stops keeps a score below the point where it takes
// over, and any score that reaches the lowest security level is the exact one. Harsh
// impressions, so that genuine pairs also have stages that start low and are lifted by the
// refit and the bend.
TEST(MinutiaeCompare, CascadeOnlyLowersScoresBelowWhereItTakesOver) {
  const synth::ImpressionSettings hard = Harsh(true);
  CompareOptions edgesAlone = FullModeOptions();
  edgesAlone.localCodes = false;
  const int lowest = SecurityLevelThreshold(kMinSecurityLevel);
  for (const CompareOptions& mode : {FullModeOptions(), FastModeOptions(), edgesAlone}) {
    ASSERT_GT(mode.refineFrom, 0);
    ASSERT_LT(mode.refineFrom, lowest);
    CompareOptions exactMode = mode;
    exactMode.refineFrom = 0;
    const bool oneStage = !(mode.edgeVotes && mode.localCodes);
    int stopped = 0;
    for (uint32_t f = 0; f < 30; ++f) {
      const auto master = synth::MasterFinger(f);
      const auto a = synth::Impression(master, 41, hard);
      for (const auto& b : {synth::Impression(master, 42, hard),
                            synth::Impression(synth::MasterFinger(f + 300), 42, hard),
                            synth::Impression(synth::MasterFinger(f + 400), 43)}) {
        const int cascaded = Score(a, b, mode);
        const int exact = Score(a, b, exactMode);
        EXPECT_LE(cascaded, exact) << f;
        EXPECT_EQ(Score(b, a, mode), cascaded) << f;
        if (exact >= lowest) {
          EXPECT_EQ(cascaded, exact) << f;
        }
        if (cascaded != exact) {
          ++stopped;
          // With one first stage, the score is the stopped stage's own.
          if (oneStage) {
            EXPECT_LT(cascaded, mode.refineFrom) << f;
          }
        }
      }
    }
    // Impostors stop early; otherwise this test would look at nothing.
    EXPECT_GT(stopped, 0);
  }
}

TEST(MinutiaeCompare, MinutiaQualityWeighsUnpairedAndChanceMinutiae) {
  const auto master = synth::MasterFinger(5, 40);
  auto withQuality = [](codec::FingerTemplate t, uint8_t quality) {
    for (auto& m : t.minutiae) {
      m.quality = quality;
    }
    return t;
  };
  // Quality 0 is "not reported" in both standards: such records score as if every minutia were
  // of the best quality, not as if every one were doubtful.
  EXPECT_EQ(Score(withQuality(master, 0), withQuality(master, 0)),
            Score(withQuality(master, 100), withQuality(master, 100)));
  EXPECT_GE(Score(withQuality(master, 0), withQuality(master, 0)), 900);
  // The same finger with ten extra minutiae that pair with nothing: they cost less when the
  // extractor marked them as doubtful, and a uniform quality changes nothing.
  const auto other = synth::MasterFinger(6, 40);
  auto extended = [&](uint8_t extraQuality) {
    codec::FingerTemplate t = withQuality(master, 90);
    for (size_t k = 0; k < 10; ++k) {
      codec::Minutia m = other.minutiae[k];
      m.quality = extraQuality;
      t.minutiae.push_back(m);
    }
    return t;
  };
  const auto probe = withQuality(master, 90);
  EXPECT_GT(Score(probe, extended(10)), Score(probe, extended(90)));
  EXPECT_EQ(Score(withQuality(master, 60), withQuality(master, 60)),
            Score(withQuality(master, 90), withQuality(master, 90)));
}

// The minutiae of a finger's tip alone (above `bottom`), as a fingertip impression or a small
// sensor's partial view gives them.
codec::FingerTemplate Tip(const codec::FingerTemplate& t, int bottom) {
  codec::FingerTemplate out = t;
  out.minutiae.clear();
  std::copy_if(t.minutiae.begin(), t.minutiae.end(), std::back_inserter(out.minutiae),
               [&](const codec::Minutia& m) { return m.y < bottom; });
  return out;
}

TEST(MinutiaeCompare, ASetOfFewMinutiaeIsNotHeldToMoreThanItHolds) {
  // A fingertip of about a dozen minutiae (less weight than the least overlap a set is held
  // to), every one of them paired: as complete a match as a whole print's with itself.
  const auto master = synth::MasterFinger(3);
  const auto tip = Tip(master, 180);
  ASSERT_GE(tip.minutiae.size(), 11u);
  ASSERT_LE(tip.minutiae.size(), 15u);
  EXPECT_EQ(Score(master, master), kMaxScore);
  EXPECT_EQ(Score(tip, tip), kMaxScore);
  // An impression of the tip alone against a whole impression of the finger matches, whichever
  // set comes first.
  synth::ImpressionSettings settings;
  settings.lost = 0.1f;
  const auto tipImpression = Tip(synth::Impression(master, 4, settings), 180);
  const int genuine = Score(tipImpression, synth::Impression(master, 5, settings));
  EXPECT_GE(genuine, kDefaultThreshold);
  EXPECT_EQ(genuine, Score(synth::Impression(master, 5, settings), tipImpression));
  // But a handful of minutiae is still held to more than it holds: four paired minutiae are
  // not a whole finger's evidence.
  codec::FingerTemplate four = tip;
  four.minutiae.resize(4);
  EXPECT_LT(Score(four, four), Score(tip, tip) / 2);
  // And tips of other fingers, or a handful of their minutiae, do not match it.
  for (uint32_t f = 10; f < 40; ++f) {
    const auto other = synth::MasterFinger(f);
    EXPECT_LT(Score(tip, Tip(other, 180)), kDefaultThreshold) << f;
    EXPECT_LT(Score(tipImpression, other), kDefaultThreshold) << f;
    codec::FingerTemplate otherFour = Tip(other, 180);
    otherFour.minutiae.resize(std::min<size_t>(4, otherFour.minutiae.size()));
    EXPECT_LT(Score(four, otherFour), kDefaultThreshold) << f;
  }
}

TEST(MinutiaeCompare, MinutiaTypeWeighsPairsMildly) {
  const auto master = synth::MasterFinger(7);
  const auto a = synth::Impression(master, 1);
  const auto b = synth::Impression(master, 2);
  auto withTypes = [](codec::FingerTemplate t, auto change) {
    for (auto& m : t.minutiae) {
      m.type = change(m.type);
    }
    return t;
  };
  const auto flip = [](codec::MinutiaType type) {
    return type == codec::MinutiaType::kRidgeEnding ? codec::MinutiaType::kBifurcation
                                                    : codec::MinutiaType::kRidgeEnding;
  };
  const auto other = [](codec::MinutiaType) { return codec::MinutiaType::kOther; };
  const auto ending = [](codec::MinutiaType) { return codec::MinutiaType::kRidgeEnding; };
  // Every ending read as a bifurcation and back: the pairs count less, but a type change (which
  // pressure and dryness cause often) must not undo the match.
  const int kept = Score(a, b);
  const int flipped = Score(a, withTypes(b, flip));
  EXPECT_LT(flipped, kept);
  EXPECT_GE(flipped, kDefaultThreshold);
  EXPECT_EQ(flipped, Score(withTypes(b, flip), a));
  // Two sets that differ in nothing but the types are still compared in one order.
  EXPECT_EQ(Score(a, withTypes(a, flip)), Score(withTypes(a, flip), a));
  // "Other" (a record that does not tell the types) agrees with either type, in either set.
  const int agreeing = Score(withTypes(a, ending), withTypes(b, ending));
  EXPECT_EQ(Score(withTypes(a, other), b), agreeing);
  EXPECT_EQ(Score(a, withTypes(b, other)), agreeing);
  EXPECT_GE(agreeing, kept);
}

TEST(MinutiaeCompare, SetsThatDifferOnlyInQualityScoreTheSameEitherWay) {
  // The same minutiae with other qualities (two extractors, or one that rates differently).
  // The sets' order does not look at qualities: they weigh the pairs but must not decide which
  // minutiae pair, or the score would depend on which set comes first.
  const auto master = synth::MasterFinger(9);
  for (uint32_t n = 1; n <= 6; ++n) {
    const auto a = synth::Impression(master, n);
    auto b = a;
    for (size_t k = 0; k < b.minutiae.size(); ++k) {
      b.minutiae[k].quality = static_cast<uint8_t>((k * 37 + n * 11) % 101);
    }
    EXPECT_EQ(Score(a, b), Score(b, a)) << n;
    EXPECT_NE(Score(a, b), Score(a, a)) << n;
  }
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

TEST(MinutiaeCompare, TablesGrowWithTheSetsAndStayCleanAcrossSizes) {
  // The vote table and edge lists are sized by the sets compared, growing when larger ones come:
  // a reused comparator must score small, large and again small sets as fresh ones do (grown
  // cells start empty, old cells were emptied), and hold only what its sets need - every
  // worker thread that ever compares keeps one.
  PreparedTemplate a;
  PreparedTemplate b;
  Comparator comparator;
  const CompareOptions options = FullModeOptions();
  const int sizes[] = {12, 45, 30, 90, 20, 60};
  for (uint32_t n = 0; n < std::size(sizes); ++n) {
    const auto master = synth::MasterFinger(n, sizes[n]);
    const auto x = synth::Impression(master, 1);
    const auto y =
        synth::Impression(n % 2 == 0 ? master : synth::MasterFinger(n + 40, sizes[n]), 2);
    a.Prepare(x, options);
    b.Prepare(y, options);
    EXPECT_EQ(comparator.Score(a, b, options), Score(x, y)) << sizes[n];
    EXPECT_EQ(comparator.Score(b, a, options), Score(x, y)) << sizes[n];
  }
  // After sets of up to about 90 minutiae: far less than room for the most a record can hold
  // (255 x 255 vote cells, about 1 MB, and some 240 KB of edge lists per set).
  EXPECT_LT(comparator.Bytes(), 256u * 1024u);
  EXPECT_LT(a.Bytes() + b.Bytes(), 128u * 1024u);
  // A set keeps room for its own minutiae, not for the most a record can hold: the gallery
  // sets an instance keeps prepared are most of its memory. Fast mode, about 50 minutiae
  // (room for 255 minutiae alone took about 7.8 KB).
  PreparedTemplate kept;
  kept.Prepare(synth::Impression(synth::MasterFinger(7, 53), 1), FastModeOptions());
  EXPECT_LT(sizeof(PreparedTemplate) + kept.Bytes(), 8u * 1024u);
}

}  // namespace
}  // namespace devicelib::matcher
