#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "engine/scratch.h"
#include "engine/stages.h"
#include "engine/tuning.h"

namespace engine {
namespace {

constexpr int kPad = std::max(tuning::kAcrossRadius, tuning::kAlongRadius) + 1;
constexpr int kPeriods =
    static_cast<int>((tuning::kMaxPeriod - tuning::kMinPeriod) / tuning::kPeriodStep) + 1;

}  // namespace

void KernelBank::Build(int s) {
  using namespace tuning;
  stride = s;
  const float pi = std::numbers::pi_v<float>;
  across.assign(kAngleSteps * kPeriods, {});
  along.assign(kAngleSteps, {});
  for (int a = 0; a < kAngleSteps; ++a) {
    const float th = (a + 0.5f) * pi / kAngleSteps;
    const float ux = std::cos(th), uy = std::sin(th), nx = -uy, ny = ux;
    for (int p = 0; p < kPeriods; ++p) {
      const float period = kMinPeriod + p * kPeriodStep;
      const float sigma = kAcrossSigmaPerPeriod * period;
      const int r = std::min(kAcrossRadius, static_cast<int>(std::ceil(2.5f * sigma)));
      Kernel& k = across[a * kPeriods + p];
      float mean = 0, gsum = 0;
      for (int t = -r; t <= r; ++t) {
        const float g = std::exp(-0.5f * t * t / (sigma * sigma));
        const float v = g * std::cos(2 * pi * t / period);
        k.offset.push_back(static_cast<int>(std::lround(t * ny)) * s +
                           static_cast<int>(std::lround(t * nx)));
        k.weight.push_back(v);
        mean += v;
        gsum += g;
      }
      // Remove the DC response (weighted by the envelope), normalise to unit gain on a ridge
      // profile of the kernel's own period.
      float gain = 0;
      for (size_t i = 0; i < k.weight.size(); ++i) {
        const int t = static_cast<int>(i) - r;
        const float g = std::exp(-0.5f * t * t / (sigma * sigma));
        k.weight[i] -= mean * g / gsum;
        gain += k.weight[i] * std::cos(2 * pi * t / period);
      }
      for (float& wv : k.weight)
        wv /= gain;
    }
    Kernel& k = along[a];
    float sum = 0;
    // Every kAlongStep-th pixel: along the ridge the band-passed signal changes slowly.
    for (int t = -kAlongRadius; t <= kAlongRadius; t += kAlongStep) {
      const float g = std::exp(-0.5f * t * t / (kAlongSigma * kAlongSigma));
      k.offset.push_back(static_cast<int>(std::lround(t * uy)) * s +
                         static_cast<int>(std::lround(t * ux)));
      k.weight.push_back(g);
      sum += g;
    }
    for (float& wv : k.weight)
      wv /= sum;
  }
}

ImageF Enhance(const ImageU8& image, const OrientationField& field, const Plane<float>& period,
               const Plane<uint8_t>& mask) {
  using namespace tuning;
  const int w = image.width, h = image.height;
  ImageF out(w, h, 0.0f);
  if (w <= 0 || h <= 0)
    return out;
  // Local normalisation (ridges positive) into a padded image.
  const int pw = w + 2 * kPad, ph = h + 2 * kPad;
  const StageScratch scratch;
  std::vector<float>& norm = scratch->planes[0];
  std::vector<float>& across = scratch->planes[1];
  norm.assign(static_cast<size_t>(pw) * ph, 0.0f);
  {
    const size_t stride = static_cast<size_t>(w) + 1;
    Integral& s = scratch->sums[0];
    Integral& q = scratch->sums[1];
    s.resize(stride * (h + 1));  // every entry is written below: the first row and column here
    q.resize(s.size());
    std::fill_n(s.begin(), stride, 0);
    std::fill_n(q.begin(), stride, 0);
    for (int y = 1; y <= h; ++y)
      s[y * stride] = q[y * stride] = 0;
    for (int y = 0; y < h; ++y) {
      int64_t rs = 0, rq = 0;
      for (int x = 0; x < w; ++x) {
        const int64_t v = image.at(x, y);
        rs += v;
        rq += v * v;
        s[(y + 1) * stride + x + 1] = s[y * stride + x + 1] + static_cast<uint32_t>(rs);
        q[(y + 1) * stride + x + 1] = q[y * stride + x + 1] + static_cast<uint32_t>(rq);
      }
    }
    const int r = kNormRadius;
    // Only where the filters below read: the mask and one block around it.
    Plane<uint8_t> near(mask.width, mask.height);
    for (int by = 0; by < mask.height; ++by) {
      for (int bx = 0; bx < mask.width; ++bx) {
        for (int dy = -1; dy <= 1 && !near.at(bx, by); ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            if (mask.inside(bx + dx, by + dy) && mask.at(bx + dx, by + dy)) {
              near.at(bx, by) = 1;
              break;
            }
          }
        }
      }
    }
    for (int y = 0; y < h; ++y) {
      const int y0 = std::max(0, y - r), y1 = std::min(h, y + r + 1);
      for (int x = 0; x < w; ++x) {
        if (!near.at(x / kBlock, y / kBlock))
          continue;
        const int x0 = std::max(0, x - r), x1 = std::min(w, x + r + 1);
        const double n = static_cast<double>(x1 - x0) * (y1 - y0);
        const double sum = BoxSum(s, stride, x0, y0, x1, y1);
        const double sq = BoxSum(q, stride, x0, y0, x1, y1);
        const double mean = sum / n;
        const double sd = std::sqrt(std::max(0.0, sq / n - mean * mean));
        const float v = static_cast<float>((mean - image.at(x, y)) / (sd + 4.0));
        norm[static_cast<size_t>(y + kPad) * pw + x + kPad] = std::clamp(v, -2.5f, 2.5f);
      }
    }
  }
  KernelBank& bank = scratch->bank;
  if (bank.stride != pw)
    bank.Build(pw);

  const float angleScale = kAngleSteps / std::numbers::pi_v<float>;
  auto angleIndex = [&](int bx, int by) {
    return std::clamp(static_cast<int>(field.angle.at(bx, by) * angleScale), 0, kAngleSteps - 1);
  };
  across.assign(norm.size(), 0.0f);
  for (int y = 0; y < h; ++y) {
    const int by = y / kBlock;
    for (int x = 0; x < w; ++x) {
      const int bx = x / kBlock;
      if (!mask.at(bx, by))
        continue;
      const int p =
          std::clamp(static_cast<int>(std::lround((period.at(bx, by) - kMinPeriod) / kPeriodStep)),
                     0, kPeriods - 1);
      const Kernel& k = bank.across[angleIndex(bx, by) * kPeriods + p];
      const size_t c = static_cast<size_t>(y + kPad) * pw + x + kPad;
      float s = 0;
      for (size_t i = 0; i < k.offset.size(); ++i)
        s += k.weight[i] * norm[c + k.offset[i]];
      across[c] = s;
    }
  }
  for (int y = 0; y < h; ++y) {
    const int by = y / kBlock;
    for (int x = 0; x < w; ++x) {
      const int bx = x / kBlock;
      if (!mask.at(bx, by))
        continue;
      const Kernel& k = bank.along[angleIndex(bx, by)];
      const size_t c = static_cast<size_t>(y + kPad) * pw + x + kPad;
      float s = 0;
      for (size_t i = 0; i < k.offset.size(); ++i)
        s += k.weight[i] * across[c + k.offset[i]];
      out.at(x, y) = s;
    }
  }
  return out;
}

}  // namespace engine
