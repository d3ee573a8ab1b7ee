// The extractor on the virtual scanner's synthetic fingers, whose planted minutiae are the
// ground truth: detection recall and precision within 10 px and 20 degrees, and image quality
// of good against smudged placements. Thresholds: measured figures (engine/README.md) with margin.
#include <gtest/gtest.h>

#include <cmath>

#include "devicelib/virtual/synthetic_finger.h"
#include "engine/extractor.h"

namespace engine {
namespace {

struct Counts {
  int truePositives = 0, missed = 0, spurious = 0;
  double quality = 0;
};

Counts Measure(int placementQuality, uint32_t fingers) {
  Counts c;
  for (uint32_t id = 1; id <= fingers; ++id) {
    for (uint32_t n = 0; n < 2; ++n) {
      const auto imp = devicelib::virt::MakeImpression(id, n, placementQuality);
      const Extraction e = Extract({imp.pixels, imp.width, imp.height, 500});
      c.quality += e.quality;
      const auto& got = e.features.minutiae;
      std::vector<bool> used(got.size(), false);
      for (const codec::Minutia& t : imp.features.minutiae) {
        int best = -1;
        double bestDistance = 1e9;
        for (size_t j = 0; j < got.size(); ++j) {
          const double d = std::hypot(t.x - got[j].x, t.y - got[j].y);
          int da = std::abs(static_cast<int>(t.angle) - static_cast<int>(got[j].angle)) % 360;
          da = std::min(da, 360 - da);
          if (d <= 10 && da <= 20 && !used[j] && d < bestDistance) {
            bestDistance = d;
            best = static_cast<int>(j);
          }
        }
        if (best >= 0) {
          used[best] = true;
          ++c.truePositives;
        } else {
          ++c.missed;
        }
      }
      for (bool u : used)
        c.spurious += !u;
    }
  }
  c.quality /= 2.0 * fingers;
  return c;
}

TEST(VirtualFingers, RecallAndPrecisionAgainstPlantedMinutiae) {
  const Counts c = Measure(90, 20);
  const double recall = static_cast<double>(c.truePositives) / (c.truePositives + c.missed);
  const double precision = static_cast<double>(c.truePositives) / (c.truePositives + c.spurious);
  RecordProperty("recall", std::to_string(recall));
  RecordProperty("precision", std::to_string(precision));
  EXPECT_GE(recall, 0.72);     // measured 0.76
  EXPECT_GE(precision, 0.64);  // measured 0.77
}

TEST(VirtualFingers, SmudgedPlacementHasClearlyLowerQuality) {
  const Counts good = Measure(90, 8);
  const Counts smudged = Measure(10, 8);
  EXPECT_GE(good.quality, 80);                    // measured 97
  EXPECT_LE(smudged.quality, good.quality - 30);  // measured 47
}

TEST(VirtualFingers, EmptySensorHasQualityZero) {
  for (uint32_t frame = 0; frame < 4; ++frame) {
    const auto px = devicelib::virt::MakeEmptySensorImage(frame);
    const Extraction e =
        Extract({px, devicelib::virt::kImageWidth, devicelib::virt::kImageHeight, 500});
    EXPECT_EQ(e.quality, 0);
    EXPECT_LE(e.features.minutiae.size(), 2u);
  }
}

}  // namespace
}  // namespace engine
