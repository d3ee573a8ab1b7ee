// Synthetic minutiae sets for the matcher's tests and benchmark, independent of the virtual
// scanner: a master set per finger (minutiae spread over a finger-shaped area with a minimum
// spacing), and impressions of it moved, rotated, elastically bent, with minutiae lost, added
// and jittered as an extractor would.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/template/minutiae.h"

namespace devicelib::matcher::testing {

struct ImpressionSettings {
  float maxRotationDegrees = 15;
  float maxShift = 25;         // pixels
  float distortion = 0.04f;    // relative stretch at the edge of the print
  float positionNoise = 2.5f;  // pixels, standard deviation
  float angleNoise = 6;        // degrees, standard deviation
  float lost = 0.15f;          // share of master minutiae missing
  float spurious = 0.10f;      // share of extra minutiae
  // Ridge counts of the master between minutiae that both stay are kept (they do not change
  // with the placement or the stretch); this share of them is read one ridge off.
  float ridgeCountNoise = 0.0f;
};

codec::FingerTemplate MasterFinger(uint32_t finger, int count = 45);
codec::FingerTemplate Impression(const codec::FingerTemplate& master, uint32_t seed,
                                 const ImpressionSettings& settings = {});
// Ridge counts from each minutia to its `neighbours` nearest, as a finger of straight parallel
// ridges `period` pixels apart, running at `direction` radians, would give them: the ridges
// the line between the two crosses.
void AddRidgeCounts(codec::FingerTemplate* tmpl, int neighbours = 6, float period = 9.0f,
                    float direction = 0.6f);
// ISO/IEC 19794-2 record of a template.
std::vector<uint8_t> Record(const codec::FingerTemplate& tmpl);

}  // namespace devicelib::matcher::testing
