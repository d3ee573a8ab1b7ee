// Synthetic fingerprints for the virtual scanner: each finger identity is a deterministic
// master finger (ridge flow, pattern class, minutiae); each impression of it is a fresh,
// deterministic capture (placement, rotation, distortion, noise) of that master.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/template/minutiae.h"

namespace devicelib::virt {

inline constexpr int32_t kImageWidth = 320;
inline constexpr int32_t kImageHeight = 480;
inline constexpr int32_t kImageResolutionPpi = 500;

struct Impression {
  int32_t width = kImageWidth;
  int32_t height = kImageHeight;
  std::vector<uint8_t> pixels;      // width x height, 8-bit grey, top row first
  codec::FingerTemplate features;   // minutiae as an extractor would report them for this image
  int32_t quality = 0;              // 0..100, what extraction reports
};

// Impression number `impression` of finger `identity` placed with quality `placementQuality`
// (0..100; low values smudge the image and lower the reported quality). Deterministic.
Impression MakeImpression(uint32_t identity, uint32_t impression, int32_t placementQuality = 90);

}  // namespace devicelib::virt
