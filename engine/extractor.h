// Image-based fingerprint minutiae extraction: pixels, size and resolution in; minutiae in the
// input image's coordinates and an image quality out. No knowledge of HTTP, JSON or devices.
// Pipeline and measured accuracy: engine/README.md.
#pragma once

#include <cstdint>
#include <span>

#include "codec/template/minutiae.h"

namespace engine {

struct GreyImage {                  // 8-bit grey, row-major, top-down, no padding
  std::span<const uint8_t> pixels;  // width * height bytes
  int width = 0;
  int height = 0;
  int ppi = 500;  // the image's true resolution
};

struct Extraction {
  codec::FingerTemplate features;  // minutiae in the INPUT image's pixel coordinates;
                                   // width/height = input size; x/yResolution = input ppi in px/cm
  int quality = 0;                 // 0..100 image quality (0 for an empty sensor)
};

// Never throws; bad sizes (too small, too large, pixels shorter than width * height, ppi out of
// 250..1000) give an empty result with quality 0.
Extraction Extract(const GreyImage& image);

// The same, showing each stage's result to `observer` as it is made (engine/stages.h; null =
// nobody watches). For development tools that draw the intermediate images.
class ExtractionObserver;
Extraction Extract(const GreyImage& image, ExtractionObserver* observer);

}  // namespace engine
