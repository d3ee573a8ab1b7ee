// Every tuning constant of the extractor, in one place. Lengths are in pixels at the internal
// resolution of 500 ppi (ridge period about 9 px) unless a name says otherwise.
#pragma once

namespace engine::tuning {

// Input limits.
inline constexpr int kMinPpi = 250;
inline constexpr int kMaxPpi = 1000;
inline constexpr int kMinSide = 32;    // smaller images give an empty result
inline constexpr int kMaxSide = 2000;  // larger ones too (after normalisation)
inline constexpr int kWorkPpi = 500;   // internal resolution

// Blocks: orientation, frequency, segmentation and quality are kept per block.
inline constexpr int kBlock = 8;

// Segmentation (segmentation.cpp).
inline constexpr int kSegWindow = 16;           // side of the window for the local statistics
inline constexpr int kSegDetailRadius = 3;      // local mean for the ridge contrast
inline constexpr float kSegAbsContrast = 4.0f;  // mean |grey - local mean| below this: never finger
inline constexpr float kSegRelContrast = 0.25f;   // ... nor below this share of the 95th percentile
inline constexpr int kSegCloseBlocks = 1;         // closing radius (blocks)
inline constexpr int kSegErodeBlocks = 0;         // erosion after the closing (blocks)
inline constexpr float kSegMinComponent = 0.02f;  // drop components below this share of the image

// Local normalisation before enhancement (enhance.cpp).
inline constexpr int kNormRadius =
    12;  // box radius for local mean and std (8..20 tried: see README)

// Orientation (orientation.cpp).
inline constexpr int kOrientWindow = 16;           // gradient window per block
inline constexpr float kOrientSmoothSigma = 1.6f;  // Gaussian smoothing of doubled angles (blocks)
inline constexpr int kOrientSmoothRadius = 3;      // its radius (blocks)

// Second orientation pass in weak areas (orientation.cpp, enhance.cpp).
inline constexpr float kRefineCoherence = 0.3f;  // blocks below this coherence are redone ...
inline constexpr int kRefineGrowBlocks = 0;      // ... with this many blocks around them

// Ridge frequency (frequency.cpp).
inline constexpr int kFreqAcross = 32;  // window across the ridges
inline constexpr int kFreqAlong = 16;   // window along the ridges
inline constexpr float kMinPeriod = 5.0f;
inline constexpr float kMaxPeriod = 15.0f;
inline constexpr float kDefaultPeriod = 9.0f;
inline constexpr int kFreqSmoothRadius = 2;  // blocks
inline constexpr int kFreqBlockStep = 2;     // the period is measured on every other block

// Enhancement (enhance.cpp): oriented separable Gabor, across-ridge band-pass then along-ridge
// smoothing, with kernels looked up by quantised angle and period.
inline constexpr int kAngleSteps = 32;      // over 180 degrees
inline constexpr float kPeriodStep = 0.5f;  // kernel periods kMinPeriod..kMaxPeriod
inline constexpr float kAcrossSigmaPerPeriod = 0.42f;
inline constexpr int kAcrossRadius = 7;
inline constexpr float kAlongSigma = 3.2f;
inline constexpr int kAlongRadius = 7;
inline constexpr int kAlongStep = 1;  // 2 (every other pixel) was faster but lost accuracy

// Binary and skeleton cleaning (thinning.cpp).
inline constexpr int kPoreArea = 12;        // enclosed valley areas up to this many pixels: filled
inline constexpr int kFragmentPixels = 20;  // skeleton pieces shorter than this: erased

// Minutia filtering (minutiae.cpp).
inline constexpr int kBorderDistance = 12;      // minutiae nearer the mask edge are dropped
inline constexpr int kTraceLength = 12;         // ridge tracing for direction
inline constexpr int kSpurLength = 12;          // ending to bifurcation shorter than this: spur
inline constexpr int kBridgeLength = 14;        // bifurcation to bifurcation: bridge / hole
inline constexpr int kIslandLength = 20;        // ending to ending along a ridge: short ridge
inline constexpr float kBreakDistance = 16.0f;  // two facing endings nearer than this: break
inline constexpr float kBreakAngle = 50.0f;     // degrees from facing each other
inline constexpr float kClusterRadius = 14.0f;
inline constexpr int kClusterCount = 4;             // more neighbours than this within the radius
inline constexpr float kFlowClearCoherence = 0.5f;  // where the smoothed flow is trusted ...
inline constexpr float kFlowSnapDegrees = 45.0f;    // ... a traced direction this close snaps to it
inline constexpr float kFlowDropDegrees = 180.0f;   // ... and one farther than this is dropped
inline constexpr float kMinMinutiaQuality = 10.0f;
inline constexpr int kMaxMinutiae = 120;
// A sensor that pads its image to a fixed width leaves a frame of saturated pixels at the left
// and right sides (FVC2004 DB2: 20-40 px on either side, its inner edge slanting across the
// finger). On a row, the frame is a run of pixels at least kFrameLevel from the image's side,
// kFrameMinRun to kFrameMaxRun long (a wider run is a background the finger lies on, which
// the mask already knows). The frame's edge cuts ridges short and is a contrast step the filter
// draws ridges along, at the same place in every image of the sensor, so the minutiae within
// kBorderDistance of it pair across different fingers. Their quality is scaled by
// kFrameQualityScale: kept as structure for the alignment, they weigh little in the score.
// Measured on the real sets (mean of five, ISO records, full mode, EER / FNMR at FMR 1 % / 0.1 %
// / ZeroFMR / 1 - AUC): 4.13 / 6.79 / 9.71 / 11.50 / 1.55 % -> 3.96 / 6.21 / 8.86 / 9.43 / 1.54 %
// (FVC2004 DB2 10.23 / 17.50 / 24.29 / 30.71 / 4.42 -> 9.35 / 14.64 / 20.00 / 20.36 / 4.38 %);
// dropping them instead: 4.12 / 6.43 / 8.86 / 10.14 / 1.84 % (their own finger's pairs lost too);
// scale 0.2: 3.97 / 6.21 / 8.86 / 9.71 / 1.53 %; within 8, 16, 20 px: 3.96 / 6.21 / 8.86 /
// 9.93, 3.89 / 6.07 / 8.86 / 9.50 / 1.58, 3.90 / 6.07 / 8.93 / 9.50 / 1.57 %; without the
// longest run, every run of white from the side (FVC2004 DB1's white background): FVC2004 DB1
// EER 6.13 -> 7.06 %.
inline constexpr int kFrameLevel = 250;
inline constexpr int kFrameMinRun = 4;
inline constexpr int kFrameMaxRun = 64;
inline constexpr float kFrameQualityScale = 0.1f;
// Weak blocks (coherence below this) whose binary image is filtered once more, when every block
// within kAgainInner of them is finger.
inline constexpr float kAgainCoherence = 0.5f;
inline constexpr int kAgainInner = 2;

// Ridge counts between minutiae (ridge_count.cpp).
inline constexpr int kRidgeCountNeighbours = 4;  // per minutia, the nearest ones ...
inline constexpr int kRidgeCountReach = 100;     // ... within this distance
inline constexpr int kRidgeCountNoiseRun = 1;    // ridge or valley runs this short: noise
inline constexpr int kRidgeCountOwnReach = 2;    // a minutia's own ridge begins this near it

// Image quality (quality.cpp).
inline constexpr float kQualityFullArea = 0.45f;  // foreground share that counts as a full finger
inline constexpr int kQualityFullMinutiae = 35;   // minutiae count that counts as plenty

}  // namespace engine::tuning
