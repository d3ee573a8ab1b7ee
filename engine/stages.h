// The extractor's pipeline stages, each a small pure function testable alone. Extract
// (extractor.cpp) runs them in this order. Angles here are radians in image coordinates
// (x right, y down); a ridge orientation is the direction along the ridges, in [0, pi).
#pragma once

#include <cstdint>
#include <vector>

#include "codec/template/minutiae.h"
#include "engine/plane.h"

namespace engine {

// 1. Resolution normalisation: bilinear resampling to `toPpi` (the sets' 512 and 569 ppi shrink
// by at most 12 %, too little for aliasing to matter). Returns the input unchanged when the
// resolutions are equal.
ImageU8 Resample(const ImageU8& in, int fromPpi, int toPpi);

// 2. Foreground segmentation: one flag per kBlock x kBlock block (1 = finger), from the local
// grey-level spread; closed, holes filled, small components dropped, eroded at the rim.
Plane<uint8_t> SegmentForeground(const ImageU8& image);

// 3. Ridge orientation per block from smoothed gradient moments; coherence 0..1 beside it.
struct OrientationField {
  Plane<float> angle;      // ridge direction per block, [0, pi)
  Plane<float> coherence;  // 0 (no direction) .. 1 (perfectly parallel ridges)
};
OrientationField EstimateOrientation(const ImageU8& image, const Plane<uint8_t>& mask);

// 3b. Second look at the weak areas: the blocks of the mask whose coherence is below
// kRefineCoherence, and kRefineGrowBlocks around them, take the ridge direction estimated from
// the first binary image (1 = ridge); their coherence stays. Returns those blocks (1 = redone),
// which EnhanceBinaryIn then filters again with the new directions.
Plane<uint8_t> RefineOrientation(const ImageU8& binary, const Plane<uint8_t>& mask,
                                 OrientationField& field);

// 4. Ridge period per block in pixels (kMinPeriod..kMaxPeriod), from the oriented grey-level
// signature across the ridges; blocks without a clear period take their neighbours' value.
Plane<float> EstimatePeriod(const ImageU8& image, const OrientationField& field,
                            const Plane<uint8_t>& mask);

// 5. Contextual enhancement: local normalisation, then an oriented separable Gabor filter tuned
// per block. Output: ridges positive, valleys negative, 0 outside the mask.
ImageF Enhance(const ImageU8& image, const OrientationField& field, const Plane<float>& period,
               const Plane<uint8_t>& mask);
// The local normalisation of one image as EnhanceBinary computed it, kept for EnhanceBinaryIn
// (it does not depend on the directions). Only the enhancement reads or fills it: it holds the
// values, the blocks where they were computed and a digest of the image's pixels, and
// EnhanceBinaryIn uses it only for the same image and only where it covers every block the
// second pass reads; otherwise it computes the normalisation again.
class KeptNormalisation {
 private:
  friend struct KeptNormalisationAccess;  // enhance.cpp
  ImageF values_;
  Plane<uint8_t> blocks_;  // 1 = computed
  uint64_t digest_ = 0;
};

// The same followed by Binarise, without the float image in between (what Extract uses).
// `normalised`, when given, receives the local normalisation for EnhanceBinaryIn, which then
// need not compute it again.
ImageU8 EnhanceBinary(const ImageU8& image, const OrientationField& field,
                      const Plane<float>& period, const Plane<uint8_t>& mask,
                      KeptNormalisation* normalised = nullptr);

// The same again in the blocks of `only` alone, written into `binary` (the rest unchanged),
// with the filters reading the same pixels as a whole-image pass: cost in proportion to `only`.
void EnhanceBinaryIn(const ImageU8& image, const OrientationField& field,
                     const Plane<float>& period, const Plane<uint8_t>& mask,
                     const Plane<uint8_t>& only, ImageU8& binary,
                     const KeptNormalisation* normalised = nullptr);

// 5b. The weak blocks deep inside the finger: coherence below kAgainCoherence and every block
// within kAgainInner of them in the mask (1 = chosen). Extract filters the binary image again
// there (EnhanceBinaryIn on the binary image, ridges dark) with the same directions and periods.
Plane<uint8_t> WeakInnerBlocks(const Plane<uint8_t>& mask, const OrientationField& field);

// 6. Binarisation (1 = ridge) inside the mask, and thinning to one-pixel-wide 8-connected
// skeletons.
ImageU8 Binarise(const ImageF& enhanced);
// Before thinning: valley areas of at most kPoreArea pixels wholly enclosed by ridge inside the
// mask (sweat pores, specks of wet prints) become ridge, so that they do not thin into small
// loops, each two false bifurcations that hide the true minutiae beside them from the structure
// rules.
void FillPores(ImageU8& binary, const Plane<uint8_t>& mask);  // in place
void Thin(ImageU8& binary);  // in place; any non-zero pixel is ridge, skeleton pixels come out 1
// After thinning: skeleton pieces of fewer than kFragmentPixels pixels (dots and short dashes
// of noise, mostly in the valleys) are erased, so that their ends neither count as minutiae nor
// pair with true endings nearby in the break and short-ridge rules.
void RemoveFragments(ImageU8& skeleton);  // in place

// 7. Minutia detection on the skeleton (crossing number), with direction from ridge tracing.
struct RawMinutia {
  int x = 0, y = 0;
  float angle = 0;  // radians, image coordinates: ending points away from its ridge,
                    // bifurcation towards its branches (Extract turns endings round: the
                    // records point them into their ridge)
  bool bifurcation = false;
  float quality = 0;  // 0..100
};
std::vector<RawMinutia> DetectMinutiae(const ImageU8& skeleton);

// 8. Removal of false minutiae: border, spurs, bridges and holes, short ridges, breaks,
// clusters; then a quality per minutia from the local ridge clarity and the distance to the rim.
std::vector<RawMinutia> FilterMinutiae(std::vector<RawMinutia> found, const ImageU8& skeleton,
                                       const Plane<uint8_t>& mask, const OrientationField& field);

// 8b. Minutiae within tuning::kBorderDistance of a padding frame of saturated pixels at the
// image's left or right side (on their own row) keep a tenth of their quality (see
// tuning::kFrameLevel); never 0, which the records read as "not reported".
void WeighDownAtFrame(const ImageU8& image, std::vector<RawMinutia>* minutiae);

// 9. Image quality 0..100 from foreground area, ridge clarity and the minutiae.
int ImageQuality(const Plane<uint8_t>& mask, const OrientationField& field,
                 const std::vector<RawMinutia>& minutiae);

// 10. Ridge counts between minutiae, on the binary ridge image the skeleton was thinned from
// (1 = ridge): for each minutia, its kRidgeCountNeighbours nearest minutiae within
// kRidgeCountReach whose straight segment stays inside the foreground mask. Each pair once,
// `from` < `to` (indices into `minutiae`), in index order.
std::vector<codec::RidgeCount> CountRidges(const std::vector<RawMinutia>& minutiae,
                                           const ImageU8& binary, const Plane<uint8_t>& mask);
// The number of ridges the straight segment from a to b crosses strictly between them: the two
// minutiae's own ridges are not counted, and a ridge or valley run of kRidgeCountNoiseRun pixels
// or fewer between two runs of the other kind is noise. -1 when the segment leaves the mask.
int RidgesBetween(const ImageU8& binary, const Plane<uint8_t>& mask, const RawMinutia& a,
                  const RawMinutia& b);

// Distance in pixels from (x, y) to the nearest background: a background block of the mask or
// the image edge. Used for the border rule and minutia quality.
float RimDistance(const Plane<uint8_t>& mask, int width, int height, int x, int y);

// What Extract(image, observer) shows of its work, one call per stage in this order, all at the
// working resolution. The arguments are Extract's own buffers, valid during the call only (some
// are changed in place by the next stage): copy what you keep. Nothing is called for an image
// Extract rejects. The defaults ignore the stage.
class ExtractionObserver {
 public:
  virtual ~ExtractionObserver() = default;
  virtual void Resampled(const ImageU8& /*image*/) {}
  virtual void Segmented(const Plane<uint8_t>& /*mask*/) {}
  virtual void Oriented(const OrientationField& /*field*/) {}
  virtual void PeriodEstimated(const Plane<float>& /*period*/) {}
  virtual void Binarised(const ImageU8& /*binary*/) {}  // the first enhancement, 1 = ridge
  // The second look: the blocks redone (1) and the field with their new directions.
  virtual void Refined(const Plane<uint8_t>& /*redone*/, const OrientationField& /*field*/) {}
  virtual void Rebinarised(const ImageU8& /*binary*/) {}  // after the redone blocks' pass
  virtual void Thinned(const ImageU8& /*skeleton*/) {}    // pores filled, fragments removed
  virtual void Detected(const std::vector<RawMinutia>& /*found*/) {}
  virtual void Filtered(const std::vector<RawMinutia>& /*kept*/) {}
  virtual void Rated(int /*quality*/) {}
};

}  // namespace engine
