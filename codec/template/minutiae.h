// Finger minutiae templates and their standard records: ISO/IEC 19794-2:2005 finger minutiae
// record format and ANSI INCITS 378-2004. Pure functions: no I/O, no global state.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace codec {

enum class MinutiaType : uint8_t { kOther = 0, kRidgeEnding = 1, kBifurcation = 2 };

struct Minutia {
  uint16_t x = 0;      // pixels from the left edge
  uint16_t y = 0;      // pixels from the top edge
  uint16_t angle = 0;  // degrees 0..359, counter-clockwise from the positive x axis
  MinutiaType type = MinutiaType::kRidgeEnding;
  uint8_t quality = 0;  // 0..100
};

// One finger view: what both record formats carry for a single finger.
struct FingerTemplate {
  uint16_t width = 0;  // image size in pixels
  uint16_t height = 0;
  uint16_t xResolution = 197;  // pixels per centimetre (197 = 500 ppi)
  uint16_t yResolution = 197;
  uint8_t fingerPosition = 0;  // 0 = unknown
  uint8_t impressionType = 0;  // 0 = live-scan plain
  uint8_t fingerQuality = 0;   // 0..100
  std::vector<Minutia> minutiae;
};

}  // namespace codec
