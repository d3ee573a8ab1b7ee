// Synthetic fingerprints for the virtual scanner: each finger identity is a deterministic
// master finger (ridge flow, pattern class, minutiae); each impression of it is a fresh,
// deterministic capture (placement, rotation, distortion, noise) of that master.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "codec/template/minutiae.h"

namespace devicelib::virt {

inline constexpr int32_t kImageWidth = 320;
inline constexpr int32_t kImageHeight = 480;
inline constexpr int32_t kImageResolutionPpi = 500;

struct Impression {
  int32_t width = kImageWidth;
  int32_t height = kImageHeight;
  std::vector<uint8_t> pixels;     // width x height, 8-bit grey, top row first
  codec::FingerTemplate features;  // minutiae as an extractor would report them for this image
  int32_t quality = 0;             // 0..100, what extraction reports
};

// Impression number `impression` of finger `identity` placed with quality `placementQuality`
// (0..100; low values smudge the image and lower the reported quality). Deterministic.
Impression MakeImpression(uint32_t identity, uint32_t impression, int32_t placementQuality = 90);

// The Henry pattern class of a finger, fixed by its identity with roughly the frequencies met
// in real populations (loops about two thirds, whorls a quarter, arches the rest).
enum class PatternClass { kLeftLoop, kRightLoop, kWhorl, kArch, kTentedArch };
PatternClass PatternClassOf(uint32_t identity);
const char* PatternClassName(PatternClass pattern);

struct Point {
  float x = 0;
  float y = 0;
};

// The ground truth of one finger, in master coordinates (a kImageWidth x kImageHeight canvas
// with the finger upright and centred). Shared read-only between impressions.
struct MasterFinger {
  uint32_t identity = 0;
  PatternClass pattern = PatternClass::kLeftLoop;
  int32_t width = kImageWidth;
  int32_t height = kImageHeight;
  Point contactCentre;       // centre of the elliptical contact area
  float contactRadiusX = 0;  // its semi-axes in pixels
  float contactRadiusY = 0;
  std::vector<float> ridges;  // width x height, about -1 (valley) .. +1 (ridge centre)
  std::vector<Point> cores;
  std::vector<Point> deltas;
  std::vector<codec::Minutia> minutiae;  // endings and bifurcations found on the ridges
};

// The master of a finger, made on first use and kept in a small thread-safe cache.
std::shared_ptr<const MasterFinger> GetMasterFinger(uint32_t identity);

// A frame of the sensor with nothing on it: a light, slightly uneven field with sensor noise.
std::vector<uint8_t> MakeEmptySensorImage(uint32_t frame);

}  // namespace devicelib::virt
