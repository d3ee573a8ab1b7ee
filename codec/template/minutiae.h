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

// How the minutiae a ridge count joins were picked: any pairs, or each minutia's nearest
// neighbour in each quadrant or octant around it (the records' own codes).
enum class RidgeCountMethod : uint8_t { kNonSpecific = 0, kFourNeighbour = 1, kEightNeighbour = 2 };

// The number of ridges the straight line between two minutiae of the same view crosses.
// `from` and `to` index FingerTemplate::minutiae (0-based here, whatever the record counts from).
struct RidgeCount {
  uint8_t from = 0;
  uint8_t to = 0;
  uint8_t count = 0;
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
  // Optional: empty when the record has no ridge count data.
  RidgeCountMethod ridgeCountMethod = RidgeCountMethod::kNonSpecific;
  std::vector<RidgeCount> ridgeCounts;
};

}  // namespace codec
