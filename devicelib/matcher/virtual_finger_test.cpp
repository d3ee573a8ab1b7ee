// The matcher on the virtual scanner's synthetic fingers, at the default settings: impressions
// of one finger verify, impressions of different fingers do not, and identification names the
// right finger.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "codec/template/minutiae_record.h"
#include "devicelib/matcher/minutiae_matcher.h"
#include "devicelib/status.h"
#include "devicelib/virtual/synthetic_finger.h"

namespace devicelib {
namespace {

constexpr int kFingers = 50;
constexpr int kImpressions = 4;

using Bytes = std::vector<uint8_t>;

// records[f][i]: impression i of finger f, as the scanner library would extract it.
const std::vector<std::vector<Bytes>>& Records() {
  static const auto records = [] {
    std::vector<std::vector<Bytes>> r(kFingers);
    for (int f = 0; f < kFingers; ++f) {
      for (int i = 0; i < kImpressions; ++i) {
        const auto impression =
            virt::MakeImpression(static_cast<uint32_t>(f + 1), static_cast<uint32_t>(i));
        Bytes record;
        EXPECT_EQ(codec::EncodeIso19794_2(impression.features, &record), codec::RecordError::kOk);
        r[static_cast<size_t>(f)].push_back(std::move(record));
      }
    }
    return r;
  }();
  return records;
}

class VirtualFingerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(lib_->Create(&handle_), kOk); }
  void TearDown() override { lib_->Delete(handle_); }
  int32_t Verify(const Bytes& a, const Bytes& b) {
    int32_t result = -1;
    EXPECT_EQ(lib_->Verify(handle_, a.data(), static_cast<int32_t>(a.size()), b.data(),
                           static_cast<int32_t>(b.size()), &result),
              kOk);
    return result;
  }
  std::unique_ptr<MatcherLib> lib_ = CreateMinutiaeMatcher();
  MatcherHandle handle_ = nullptr;
};

TEST_F(VirtualFingerTest, GenuineImpressionsVerify) {
  int misses = 0;
  int comparisons = 0;
  for (const auto& finger : Records()) {
    for (size_t a = 0; a < finger.size(); ++a) {
      for (size_t b = a + 1; b < finger.size(); ++b) {
        misses += Verify(finger[a], finger[b]) == 1 ? 0 : 1;
        ++comparisons;
      }
    }
  }
  EXPECT_EQ(comparisons, kFingers * 6);
  // Measured: none missed at the default level; one in a hundred is the most tolerated.
  EXPECT_LE(misses, comparisons / 100) << misses << " of " << comparisons;
}

TEST_F(VirtualFingerTest, DifferentFingersDoNotVerify) {
  int falseMatches = 0;
  int comparisons = 0;
  const auto& records = Records();
  for (size_t f = 0; f < records.size(); ++f) {
    for (size_t g = f + 1; g < records.size(); ++g) {
      // Two impression pairs per finger pair, in both orders of probe and template.
      falseMatches += Verify(records[f][0], records[g][1]);
      falseMatches += Verify(records[g][2], records[f][3]);
      comparisons += 2;
    }
  }
  // Measured: 5 of 2,450 at the default level (0.20 %, where real fingerprints give 0.03 %)
  // while the generator annealed its ridges into one minutia layout per pattern class; with its
  // fewer growth passes and warped flow, matcher-calibrate over 100 fingers reads 2 of 19,800.
  // The levels are set on real fingerprints, whose impostor scores run lower than those of
  // virtual fingers (one generator's minutia layout for every finger); under the earlier
  // thresholds, set on virtual fingers, none matched. Scaling the votes by the minutiae's edge
  // counts took this from 2 to 4: every virtual finger has the same even density, so the
  // scaling has nothing to tell apart there and only reshuffles which chance alignments are
  // tried, while on real prints (crowded noisy patches) it lowers the impostor tail. The type
  // loss lowered impostor scores of real prints more than those of virtual fingers, whose
  // spurious minutiae are all endings, so the recalibrated default threshold let one more in.
  EXPECT_LE(falseMatches, 5) << "of " << comparisons;
}

TEST_F(VirtualFingerTest, IdentificationNamesTheFinger) {
  const auto& records = Records();
  std::vector<const uint8_t*> templates;
  std::vector<int32_t> sizes;
  for (const auto& finger : records) {
    templates.push_back(finger[0].data());
    sizes.push_back(static_cast<int32_t>(finger[0].size()));
  }
  int wrong = 0;
  int missed = 0;
  for (int32_t f = 0; f < kFingers; ++f) {
    const Bytes& probe = records[static_cast<size_t>(f)][3];
    int32_t index = -2;
    ASSERT_EQ(lib_->Identify(handle_, probe.data(), static_cast<int32_t>(probe.size()),
                             templates.data(), sizes.data(), kFingers, 5000, &index),
              kOk);
    wrong += index >= 0 && index != f ? 1 : 0;
    missed += index < 0 ? 1 : 0;
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_LE(missed, 1);
}

// Impression 1 of each finger turned about its image centre by up to a quarter turn either way
// (moved onto a larger canvas), against impression 0 as enrolled: still the same finger at the
// default level, in both orders and in both record formats.
TEST_F(VirtualFingerTest, RotatedImpressionsVerifyAtTheDefaultLevel) {
  int misses = 0;
  int comparisons = 0;
  for (int f = 0; f < 20; ++f) {
    const auto impression = virt::MakeImpression(static_cast<uint32_t>(f + 1), 1);
    for (const int degrees : {-90, -60, -30, 30, 60, 90}) {
      codec::FingerTemplate turned = impression.features;
      const double r = degrees * 3.14159265358979 / 180;
      for (auto& m : turned.minutiae) {
        const double dx = m.x - virt::kImageWidth / 2.0;
        const double dy = m.y - virt::kImageHeight / 2.0;
        m.x = static_cast<uint16_t>(std::lround(400 + dx * std::cos(r) + dy * std::sin(r)));
        m.y = static_cast<uint16_t>(std::lround(400 - dx * std::sin(r) + dy * std::cos(r)));
        m.angle = static_cast<uint16_t>((m.angle + 360 + degrees) % 360);
      }
      Bytes iso;
      Bytes ansi;
      ASSERT_EQ(codec::EncodeIso19794_2(turned, &iso), codec::RecordError::kOk);
      ASSERT_EQ(codec::EncodeAnsi378(turned, &ansi), codec::RecordError::kOk);
      const Bytes& enrolled = Records()[static_cast<size_t>(f)][0];
      misses += Verify(iso, enrolled) == 1 ? 0 : 1;
      misses += Verify(enrolled, ansi) == 1 ? 0 : 1;
      comparisons += 2;
    }
  }
  // Measured: none missed; one in a hundred is the most tolerated.
  EXPECT_LE(misses, comparisons / 100) << misses << " of " << comparisons;
}

}  // namespace
}  // namespace devicelib
