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

// Applies one kernel to the `n` (at most kBlock) consecutive pixels from `in`, into `out`. The
// direction and period are per block, so a block's run of pixels in a row shares one kernel:
// with the taps outer and the pixels inner, each tap reads kBlock contiguous values (vector
// loads and multiply-adds) instead of one scattered value per pixel. Each pixel's sum still
// adds the taps in the kernel's order, so it rounds exactly as a pixel filtered alone would.
inline void FilterRun(const Kernel& k, const float* in, int n, float* out) {
  using tuning::kBlock;
  const size_t taps = k.offset.size();
  const int* offset = k.offset.data();
  const float* weight = k.weight.data();
  float acc[kBlock] = {};
  if (n == kBlock) {
    for (size_t i = 0; i < taps; ++i) {
      const float wv = weight[i];
      const float* p = in + offset[i];
      for (int j = 0; j < kBlock; ++j)
        acc[j] += wv * p[j];
    }
  } else {
    for (size_t i = 0; i < taps; ++i) {
      const float wv = weight[i];
      const float* p = in + offset[i];
      for (int j = 0; j < n; ++j)
        acc[j] += wv * p[j];
    }
  }
  std::copy_n(acc, n, out);
}

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

namespace {

// The enhancement, one output row at a time: local normalisation into a rolling window of
// padded rows, the across-ridge filter into a second one, the along-ridge filter handed to
// `emit(y, x, value)` for the masked pixels of each image row in order (the others are 0).
// Each window holds the kRows rows its filter reaches, stored twice (slots s and s + kRows of
// a 2 kRows-row buffer), so that the rows around any centre lie contiguous and the kernels'
// offsets apply as in one whole padded image. A few dozen rows instead of two padded
// image-sized planes, with the same arithmetic in the same order.
// With `only`, the output is limited to its blocks (and the filters below to what they read).
// The normalisation does not depend on the directions: `keep` receives it (where computed) for
// a later pass, which reads it back from `reuse` instead of computing it again.
template <typename Emit>
void EnhanceRows(const ImageU8& image, const OrientationField& field, const Plane<float>& period,
                 const Plane<uint8_t>& mask, Emit emit, const Plane<uint8_t>* only = nullptr,
                 ImageF* keep = nullptr, const ImageF* reuse = nullptr) {
  using namespace tuning;
  const int w = image.width, h = image.height;
  const int pw = w + 2 * kPad;
  constexpr int kRows = 2 * kPad + 1;
  const size_t rowSize = static_cast<size_t>(pw);
  const StageScratch scratch;
  std::vector<float>& norm = scratch->rings[0];
  std::vector<float>& across = scratch->rings[1];
  norm.assign(2 * kRows * rowSize, 0.0f);
  across.assign(2 * kRows * rowSize, 0.0f);
  const auto slot = [](int row) { return ((row % kRows) + kRows) % kRows; };
  // Row `row` (padded columns included) as written: its first copy.
  const auto written = [&](std::vector<float>& ring, int row) {
    return ring.data() + static_cast<size_t>(slot(row)) * rowSize;
  };
  // Where pixel (0, row) lies in the copy of `row` that has kPad whole rows before and after it.
  const auto centre = [&](int row) {
    return static_cast<size_t>(slot(row - kPad) + kPad) * rowSize + kPad;
  };
  const auto mirror = [&](std::vector<float>& ring, int row) {
    float* first = written(ring, row);
    std::copy_n(first, rowSize, first + kRows * rowSize);
  };

  // The blocks each filter covers: the output's, the band-pass's one block around them (the
  // along-ridge filter reaches at most kAlongRadius < kBlock pixels) and the normalisation's one
  // block around that. Without `only` the output is the whole mask.
  const auto grow = [](const Plane<uint8_t>& in) {
    Plane<uint8_t> out(in.width, in.height);
    for (int by = 0; by < in.height; ++by) {
      for (int bx = 0; bx < in.width; ++bx) {
        for (int dy = -1; dy <= 1 && !out.at(bx, by); ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            if (in.inside(bx + dx, by + dy) && in.at(bx + dx, by + dy)) {
              out.at(bx, by) = 1;
              break;
            }
          }
        }
      }
    }
    return out;
  };
  Plane<uint8_t> emitted = mask, filtered = mask;
  if (only) {
    filtered = grow(*only);
    for (size_t i = 0; i < mask.data.size(); ++i) {
      emitted.data[i] = mask.data[i] && only->data[i];
      filtered.data[i] = mask.data[i] && filtered.data[i];
    }
  }
  const Plane<uint8_t> near = grow(filtered);
  // Block rows with any work for each filter: the others are only cleared (a second pass over a
  // few weak blocks then costs little more than its own rows).
  const auto busyRows = [](const Plane<uint8_t>& blocks) {
    std::vector<uint8_t> rows(static_cast<size_t>(blocks.height), 0);
    for (int by = 0; by < blocks.height; ++by)
      rows[by] = std::any_of(blocks.data.begin() + static_cast<ptrdiff_t>(by) * blocks.width,
                             blocks.data.begin() + static_cast<ptrdiff_t>(by + 1) * blocks.width,
                             [](uint8_t v) { return v != 0; });
    return rows;
  };
  const std::vector<uint8_t> nearRows = busyRows(near), filteredRows = busyRows(filtered),
                             emittedRows = busyRows(emitted);
  SlidingBox sums(scratch->columns[0], scratch->prefix[0], w, h, kNormRadius);
  SlidingBox squares(scratch->columns[1], scratch->prefix[1], w, h, kNormRadius);
  // Local normalisation (ridges positive) of row y; rows outside the image are 0.
  const auto normalise = [&](int y) {
    float* out = written(norm, y);
    std::fill_n(out, rowSize, 0.0f);
    if (y >= 0 && y < h && nearRows[y / kBlock] && reuse) {
      for (int x = 0; x < w; ++x) {
        if (near.at(x / kBlock, y / kBlock))
          out[x + kPad] = reuse->at(x, y);
      }
    } else if (y >= 0 && y < h && nearRows[y / kBlock]) {
      sums.Advance(y, [&](int x, int row) { return static_cast<uint32_t>(image.at(x, row)); });
      squares.Advance(y, [&](int x, int row) {
        const uint32_t v = image.at(x, row);
        return v * v;
      });
      for (int x = 0; x < w; ++x) {
        if (!near.at(x / kBlock, y / kBlock))
          continue;
        int count = 0;
        const double sum = sums.Sum(x, &count);
        const double sq = squares.Sum(x, &count);
        const double n = count;
        const double mean = sum / n;
        const double sd = std::sqrt(std::max(0.0, sq / n - mean * mean));
        const float v = static_cast<float>((mean - image.at(x, y)) / (sd + 4.0));
        out[x + kPad] = std::clamp(v, -2.5f, 2.5f);
        if (keep)
          keep->at(x, y) = out[x + kPad];
      }
    }
    mirror(norm, y);
  };

  KernelBank& bank = scratch->bank;
  if (bank.stride != pw)
    bank.Build(pw);
  const int blockColumns = std::min(mask.width, (w + kBlock - 1) / kBlock);
  const float angleScale = kAngleSteps / std::numbers::pi_v<float>;
  auto angleIndex = [&](int bx, int by) {
    return std::clamp(static_cast<int>(field.angle.at(bx, by) * angleScale), 0, kAngleSteps - 1);
  };
  // The across-ridge band-pass of row y; rows outside the image are 0.
  const auto filterAcross = [&](int y) {
    float* out = written(across, y);
    std::fill_n(out, rowSize, 0.0f);
    if (y >= 0 && y < h && filteredRows[y / kBlock]) {
      const int by = y / kBlock;
      const float* in = norm.data() + centre(y);
      for (int bx = 0; bx < blockColumns; ++bx) {
        if (!filtered.at(bx, by))
          continue;
        const int p = std::clamp(
            static_cast<int>(std::lround((period.at(bx, by) - kMinPeriod) / kPeriodStep)), 0,
            kPeriods - 1);
        const int x0 = bx * kBlock;
        FilterRun(bank.across[angleIndex(bx, by) * kPeriods + p], in + x0, std::min(kBlock, w - x0),
                  out + kPad + x0);
      }
    }
    mirror(across, y);
  };
  // The along-ridge smoothing of row y, which is inside the image.
  const auto filterAlong = [&](int y) {
    const int by = y / kBlock;
    if (!emittedRows[by])
      return;
    const float* in = across.data() + centre(y);
    float run[kBlock];
    for (int bx = 0; bx < blockColumns; ++bx) {
      if (!emitted.at(bx, by))
        continue;
      const int x0 = bx * kBlock, n = std::min(kBlock, w - x0);
      FilterRun(bank.along[angleIndex(bx, by)], in + x0, n, run);
      for (int j = 0; j < n; ++j)
        emit(y, x0 + j, run[j]);
    }
  };
  // Row t of the normalisation, row t - kPad of the band-pass (which reads normalised rows up to
  // t) and row t - 2 kPad of the output (which reads band-passed rows up to t - kPad): each
  // window then holds exactly the rows still to be read.
  for (int t = -kPad; t < h + 2 * kPad; ++t) {
    if (t < h + kPad)
      normalise(t);
    if (t - kPad >= -kPad && t - kPad < h + kPad)
      filterAcross(t - kPad);
    if (t - 2 * kPad >= 0 && t - 2 * kPad < h)
      filterAlong(t - 2 * kPad);
  }
}

}  // namespace

ImageF Enhance(const ImageU8& image, const OrientationField& field, const Plane<float>& period,
               const Plane<uint8_t>& mask) {
  ImageF out(image.width, image.height, 0.0f);
  if (image.width <= 0 || image.height <= 0)
    return out;
  EnhanceRows(image, field, period, mask, [&](int y, int x, float v) { out.at(x, y) = v; });
  return out;
}

ImageU8 EnhanceBinary(const ImageU8& image, const OrientationField& field,
                      const Plane<float>& period, const Plane<uint8_t>& mask, ImageF* normalised) {
  ImageU8 out(image.width, image.height, 0);
  if (image.width <= 0 || image.height <= 0)
    return out;
  if (normalised)
    *normalised = ImageF(image.width, image.height, 0.0f);
  EnhanceRows(
      image, field, period, mask, [&](int y, int x, float v) { out.at(x, y) = v > 0 ? 1 : 0; },
      nullptr, normalised);
  return out;
}

void EnhanceBinaryIn(const ImageU8& image, const OrientationField& field,
                     const Plane<float>& period, const Plane<uint8_t>& mask,
                     const Plane<uint8_t>& only, ImageU8& binary, const ImageF* normalised) {
  if (image.width <= 0 || image.height <= 0 || binary.width != image.width ||
      binary.height != image.height || only.width != mask.width || only.height != mask.height)
    return;
  if (normalised && (normalised->width != image.width || normalised->height != image.height))
    normalised = nullptr;
  EnhanceRows(
      image, field, period, mask, [&](int y, int x, float v) { binary.at(x, y) = v > 0 ? 1 : 0; },
      &only, nullptr, normalised);
}

}  // namespace engine
