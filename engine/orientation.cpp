#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "engine/scratch.h"
#include "engine/stages.h"
#include "engine/tuning.h"

namespace engine {

OrientationField EstimateOrientation(const ImageU8& image, const Plane<uint8_t>& mask) {
  using namespace tuning;
  const int w = image.width, h = image.height;
  const int bw = mask.width, bh = mask.height;
  OrientationField f{Plane<float>(bw, bh), Plane<float>(bw, bh)};
  if (w < 3 || h < 3)
    return f;
  // Integral images of the gradient moments (Sobel).
  const size_t stride = static_cast<size_t>(w) + 1;
  const StageScratch scratch;
  Integral& ixx = scratch->sums[0];
  Integral& iyy = scratch->sums[1];
  Integral& ixy = scratch->sums[2];
  ixx.resize(stride * (h + 1));  // every entry is written below: the first row and column here
  iyy.resize(ixx.size());
  ixy.resize(ixx.size());
  std::fill_n(ixx.begin(), stride, 0);
  std::fill_n(iyy.begin(), stride, 0);
  std::fill_n(ixy.begin(), stride, 0);
  for (int y = 1; y <= h; ++y)
    ixx[y * stride] = iyy[y * stride] = ixy[y * stride] = 0;
  for (int y = 0; y < h; ++y) {
    int64_t rxx = 0, ryy = 0, rxy = 0;
    const uint8_t* up = &image.data[static_cast<size_t>(std::max(0, y - 1)) * w];
    const uint8_t* mid = &image.data[static_cast<size_t>(y) * w];
    const uint8_t* dn = &image.data[static_cast<size_t>(std::min(h - 1, y + 1)) * w];
    for (int x = 0; x < w; ++x) {
      const int l = std::max(0, x - 1), r = std::min(w - 1, x + 1);
      const int gx = (up[r] + 2 * mid[r] + dn[r]) - (up[l] + 2 * mid[l] + dn[l]);
      const int gy = (dn[l] + 2 * dn[x] + dn[r]) - (up[l] + 2 * up[x] + up[r]);
      rxx += gx * gx;
      ryy += gy * gy;
      rxy += gx * gy;
      const size_t i = (y + 1) * stride + x + 1, a = y * stride + x + 1;
      ixx[i] = ixx[a] + static_cast<uint32_t>(rxx);
      iyy[i] = iyy[a] + static_cast<uint32_t>(ryy);
      ixy[i] = ixy[a] + static_cast<uint32_t>(rxy);  // two's complement: exact modulo 2^32
    }
  }
  Plane<float> vx(bw, bh), vy(bw, bh);
  for (int by = 0; by < bh; ++by) {
    for (int bx = 0; bx < bw; ++bx) {
      const int cx = bx * kBlock + kBlock / 2, cy = by * kBlock + kBlock / 2;
      const int x0 = std::clamp(cx - kOrientWindow / 2, 0, w),
                x1 = std::clamp(cx + kOrientWindow / 2, 0, w);
      const int y0 = std::clamp(cy - kOrientWindow / 2, 0, h),
                y1 = std::clamp(cy + kOrientWindow / 2, 0, h);
      const double gxx = BoxSum(ixx, stride, x0, y0, x1, y1),
                   gyy = BoxSum(iyy, stride, x0, y0, x1, y1),
                   gxy = static_cast<int32_t>(BoxSum(ixy, stride, x0, y0, x1, y1));
      const double sum = gxx + gyy;
      if (sum <= 1e-6)
        continue;
      const double cx2 = (gxx - gyy) / sum, cy2 = 2 * gxy / sum;
      vx.at(bx, by) = static_cast<float>(cx2);
      vy.at(bx, by) = static_cast<float>(cy2);
      f.coherence.at(bx, by) = static_cast<float>(std::sqrt(cx2 * cx2 + cy2 * cy2));
    }
  }
  // Gaussian smoothing of the doubled-angle vectors (separable), background blocks weighted down.
  const int r = kOrientSmoothRadius;
  std::vector<float> g(2 * r + 1);
  for (int i = -r; i <= r; ++i)
    g[i + r] = std::exp(-0.5f * i * i / (kOrientSmoothSigma * kOrientSmoothSigma));
  auto smooth = [&](Plane<float>& p) {
    Plane<float> t(bw, bh);
    for (int y = 0; y < bh; ++y) {
      for (int x = 0; x < bw; ++x) {
        float s = 0;
        for (int i = -r; i <= r; ++i) {
          const int xx = std::clamp(x + i, 0, bw - 1);
          s += g[i + r] * p.at(xx, y) * (mask.at(xx, y) ? 1.0f : 0.25f);
        }
        t.at(x, y) = s;
      }
    }
    for (int y = 0; y < bh; ++y) {
      for (int x = 0; x < bw; ++x) {
        float s = 0;
        for (int i = -r; i <= r; ++i)
          s += g[i + r] * t.at(x, std::clamp(y + i, 0, bh - 1));
        p.at(x, y) = s;
      }
    }
  };
  smooth(vx);
  smooth(vy);
  const float pi = std::numbers::pi_v<float>;
  for (int i = 0; i < bw * bh; ++i) {
    float a = 0.5f * std::atan2(vy.data[i], vx.data[i]) + pi / 2;  // gradient + 90 degrees
    if (a >= pi)
      a -= pi;
    if (a < 0)
      a += pi;
    f.angle.data[i] = a;
  }
  return f;
}

}  // namespace engine
