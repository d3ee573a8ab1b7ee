#include "engine/extractor.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>
#include <vector>

#include "engine/scratch.h"
#include "engine/stages.h"
#include "engine/tuning.h"

namespace engine {

Extraction Extract(const GreyImage& image) {
  return Extract(image, nullptr);
}

Extraction Extract(const GreyImage& image, ExtractionObserver* observer) {
  using namespace tuning;
  Extraction out;
  try {
    const bool sizeOk = image.width >= kMinSide && image.height >= kMinSide &&
                        image.width <= kMaxSide && image.height <= kMaxSide &&
                        image.ppi >= kMinPpi && image.ppi <= kMaxPpi &&
                        image.pixels.size() >= static_cast<size_t>(image.width) * image.height;
    if (image.width > 0 && image.width <= 65535)
      out.features.width = static_cast<uint16_t>(image.width);
    if (image.height > 0 && image.height <= 65535)
      out.features.height = static_cast<uint16_t>(image.height);
    const int ppi = std::clamp(image.ppi, kMinPpi, kMaxPpi);
    const auto pxPerCm = static_cast<uint16_t>(std::lround(ppi / 2.54));
    out.features.xResolution = out.features.yResolution = pxPerCm;
    if (!sizeOk)
      return out;

    const ScratchScope scratch;  // one set of buffers for all the stages of this image
    ImageU8 work(image.width, image.height);
    std::copy_n(image.pixels.begin(), work.data.size(), work.data.begin());
    if (image.ppi != kWorkPpi)
      work = Resample(work, image.ppi, kWorkPpi);
    if (observer)
      observer->Resampled(work);
    const Plane<uint8_t> mask = SegmentForeground(work);
    if (observer)
      observer->Segmented(mask);
    OrientationField field = EstimateOrientation(work, mask);
    if (observer)
      observer->Oriented(field);
    const Plane<float> period = EstimatePeriod(work, field, mask);
    if (observer)
      observer->PeriodEstimated(period);
    // The weak blocks get a second look: directions from the first binary image, filtered
    // again there alone, from the same normalised grey levels.
    KeptNormalisation normalised;
    ImageU8 skeleton = EnhanceBinary(work, field, period, mask, &normalised);
    if (observer)
      observer->Binarised(skeleton);
    const Plane<uint8_t> redo = RefineOrientation(skeleton, mask, field);
    if (observer)
      observer->Refined(redo, field);
    if (std::find(redo.data.begin(), redo.data.end(), 1) != redo.data.end())
      EnhanceBinaryIn(work, field, period, mask, redo, skeleton, &normalised);
    // Weak blocks deep inside the finger have their binary image filtered once more, with the
    // same directions and periods: a smudged or broken ridge there is redrawn from its
    // neighbours. Rims and padding strips (any finger block missing within kAgainInner blocks)
    // are left as they are, since clean ridges drawn into noise give impostors structure to
    // pair.
    const Plane<uint8_t> again = WeakInnerBlocks(mask, field);
    if (std::find(again.data.begin(), again.data.end(), 1) != again.data.end()) {
      ImageU8 binary(skeleton.width, skeleton.height);
      for (size_t i = 0; i < binary.data.size(); ++i)
        binary.data[i] = skeleton.data[i] ? 0 : 255;
      EnhanceBinaryIn(binary, field, period, mask, again, skeleton);
    }
    if (observer)
      observer->Rebinarised(skeleton);
    FillPores(skeleton, mask);
    const ImageU8 ridges = skeleton;  // the binary image, kept for the ridge counts
    Thin(skeleton);
    RemoveFragments(skeleton);
    if (observer)
      observer->Thinned(skeleton);
    std::vector<RawMinutia> found = DetectMinutiae(skeleton);
    if (observer)
      observer->Detected(found);
    std::vector<RawMinutia> minutiae = FilterMinutiae(std::move(found), skeleton, mask, field);
    WeighDownAtFrame(work, &minutiae);
    if (observer)
      observer->Filtered(minutiae);
    out.quality = ImageQuality(mask, field, minutiae);
    if (observer)
      observer->Rated(out.quality);
    out.features.fingerQuality = static_cast<uint8_t>(out.quality);

    const double back = static_cast<double>(image.ppi) / kWorkPpi;
    const double pi = std::numbers::pi;
    out.features.minutiae.reserve(minutiae.size());
    for (const RawMinutia& m : minutiae) {
      codec::Minutia c;
      c.x = static_cast<uint16_t>(
          std::clamp<long>(std::lround((m.x + 0.5) * back - 0.5), 0, image.width - 1));
      c.y = static_cast<uint16_t>(
          std::clamp<long>(std::lround((m.y + 0.5) * back - 0.5), 0, image.height - 1));
      // The records' convention: an ending points along its ridge, from the end into the ridge
      // (the bisector of the valley fork around it), a bifurcation towards its branches (the
      // bisector of the ridge fork). A ridge that ends beside its neighbour and one that runs
      // into it (dry against wet or pressed skin) are then written with one direction, and
      // only the type differs, which the matcher forgives. The detection traces endings the
      // other way, out of the ridge, which its break rule reads; hence the half turn here.
      const double iso = m.bifurcation ? m.angle : m.angle + pi;
      double deg = -iso * 180.0 / pi;  // y down -> counter-clockwise with y up
      deg = std::fmod(deg, 360.0);
      if (deg < 0)
        deg += 360.0;
      c.angle = static_cast<uint16_t>(static_cast<int>(std::lround(deg)) % 360);
      c.type = m.bifurcation ? codec::MinutiaType::kBifurcation : codec::MinutiaType::kRidgeEnding;
      c.quality =
          static_cast<uint8_t>(std::clamp(static_cast<int>(std::lround(m.quality)), 0, 100));
      out.features.minutiae.push_back(c);
    }
    // Counted at 500 ppi, where the ridges are drawn; a count does not depend on the frame.
    out.features.ridgeCountMethod = codec::RidgeCountMethod::kNonSpecific;
    out.features.ridgeCounts = CountRidges(minutiae, ridges, mask);
  } catch (...) {
    out.features.minutiae.clear();
    out.features.ridgeCounts.clear();
    out.quality = 0;
  }
  return out;
}

}  // namespace engine
