#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/stages.h"
#include "engine/tuning.h"

namespace engine {

Plane<float> EstimatePeriod(const ImageU8& image, const OrientationField& field,
                            const Plane<uint8_t>& mask) {
  using namespace tuning;
  const int bw = mask.width, bh = mask.height;
  Plane<float> period(bw, bh, 0.0f);  // 0 = unknown
  std::vector<float> sig(kFreqAcross);
  std::vector<float> valid;
  for (int by = 0; by < bh; ++by) {
    for (int bx = 0; bx < bw; ++bx) {
      // Every other block in each direction; the smoothing below fills the rest.
      if (!mask.at(bx, by) || (bx % kFreqBlockStep) || (by % kFreqBlockStep))
        continue;
      const float a = field.angle.at(bx, by);
      const float ux = std::cos(a), uy = std::sin(a);  // along
      const float nx = -uy, ny = ux;                   // across
      const float cx = bx * kBlock + kBlock / 2.0f, cy = by * kBlock + kBlock / 2.0f;
      for (int k = 0; k < kFreqAcross; ++k) {
        const float t = k - kFreqAcross / 2.0f;
        float s = 0;
        int n = 0;
        float fx = cx + t * nx - kFreqAlong / 2 * ux + 0.5f,
              fy = cy + t * ny - kFreqAlong / 2 * uy + 0.5f;
        for (int j = 0; j < kFreqAlong; ++j, fx += ux, fy += uy) {
          if (fx < 0 || fy < 0)
            continue;
          const int x = static_cast<int>(fx), y = static_cast<int>(fy);
          if (x >= image.width || y >= image.height)
            continue;
          s += image.data[static_cast<size_t>(y) * image.width + x];
          ++n;
        }
        sig[k] = n ? s / n : -1;
      }
      // Smooth [1 2 1], find local maxima, average their spacing.
      std::vector<float> sm(kFreqAcross);
      bool ok = true;
      for (int k = 0; k < kFreqAcross; ++k) {
        if (sig[k] < 0)
          ok = false;
        const float l = sig[std::max(0, k - 1)], r = sig[std::min(kFreqAcross - 1, k + 1)];
        sm[k] = 0.25f * l + 0.5f * sig[k] + 0.25f * r;
      }
      if (!ok)
        continue;
      int first = -1, last = -1, peaks = 0;
      float amp = 0;
      const float lo = *std::min_element(sm.begin(), sm.end());
      for (int k = 1; k + 1 < kFreqAcross; ++k) {
        if (sm[k] > sm[k - 1] && sm[k] >= sm[k + 1]) {
          if (first < 0)
            first = k;
          last = k;
          ++peaks;
          amp += sm[k] - lo;
        }
      }
      if (peaks < 2)
        continue;
      amp /= peaks;
      const float p = static_cast<float>(last - first) / (peaks - 1);
      if (p >= kMinPeriod && p <= kMaxPeriod && amp > 2.0f) {
        period.at(bx, by) = p;
        valid.push_back(p);
      }
    }
  }
  float fallback = kDefaultPeriod;
  if (!valid.empty()) {
    std::nth_element(valid.begin(), valid.begin() + valid.size() / 2, valid.end());
    fallback = valid[valid.size() / 2];
  }
  // Smooth over the valid neighbours; unknown blocks take the neighbours' mean or the median.
  Plane<float> out(bw, bh, fallback);
  const int r = kFreqSmoothRadius;
  for (int by = 0; by < bh; ++by) {
    for (int bx = 0; bx < bw; ++bx) {
      float s = 0;
      int n = 0;
      for (int dy = -r; dy <= r; ++dy) {
        for (int dx = -r; dx <= r; ++dx) {
          if (!period.inside(bx + dx, by + dy))
            continue;
          const float p = period.at(bx + dx, by + dy);
          if (p > 0) {
            s += p;
            ++n;
          }
        }
      }
      if (n >= 1)
        out.at(bx, by) = s / n;
    }
  }
  return out;
}

}  // namespace engine
