#include <algorithm>
#include <cmath>

#include "engine/stages.h"
#include "engine/tuning.h"

namespace engine {

int ImageQuality(const Plane<uint8_t>& mask, const OrientationField& field,
                 const std::vector<RawMinutia>& minutiae) {
  using namespace tuning;
  int blocks = 0;
  double coherence = 0;
  for (size_t i = 0; i < mask.data.size(); ++i) {
    if (!mask.data[i])
      continue;
    ++blocks;
    coherence += field.coherence.data[i];
  }
  if (blocks == 0 || mask.data.empty())
    return 0;
  const double area =
      std::min(1.0, blocks / (static_cast<double>(kQualityFullArea) * mask.data.size()));
  const double clarity = std::min(1.0, coherence / blocks / 0.6);
  double mq = 0;
  for (const RawMinutia& m : minutiae)
    mq += m.quality;
  const double count = std::min(1.0, static_cast<double>(minutiae.size()) / kQualityFullMinutiae);
  const double minutiaScore = minutiae.empty() ? 0.0 : count * (mq / minutiae.size() / 100.0);
  const double q = 100.0 * std::sqrt(area) * (0.25 + 0.45 * clarity + 0.30 * minutiaScore);
  return std::clamp(static_cast<int>(std::lround(q)), 0, 100);
}

}  // namespace engine
