#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// One pixel's local normalisation from the sum and the sum of squares of the `n` grey levels
// in its box: ridges (darker than the mean) positive, in standard deviations (plus a floor of 4
// grey levels, so flat areas stay near 0), clipped to +-2.5.
inline float Normalised(double sum, double sq, double n, int value) {
  const double mean = sum / n;
  const double var = sq / n - mean * mean;
  const double sd = std::sqrt(var > 0.0 ? var : 0.0);
  const float v = static_cast<float>((mean - value) / (sd + 4.0));
  const float low = v < -2.5f ? -2.5f : v;
  return low > 2.5f ? 2.5f : low;
}

// Normalised for kBlock pixels whose boxes hold `n` pixels each: box sums from the prefix
// differences `sumHi[j] - sumLo[j]` and `sqHi[j] - sqLo[j]`. With SSE2, two pixels at a time
// with the same operations in the same order (each rounds as in Normalised: max, min and the
// conversions are exact, and the box sums stay below 2^31, so they convert as signed).
inline void NormaliseRun(const uint32_t* sumHi, const uint32_t* sumLo, const uint32_t* sqHi,
                         const uint32_t* sqLo, double n, const uint8_t* grey, float* out) {
#if defined(__SSE2__)
  const auto load = [](const uint32_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  };
  const __m128d count = _mm_set1_pd(n), zero = _mm_setzero_pd(), floor = _mm_set1_pd(4.0);
  const __m128 low = _mm_set1_ps(-2.5f), high = _mm_set1_ps(2.5f);
  for (int q = 0; q < tuning::kBlock; q += 4) {
    const __m128i sum4 = _mm_sub_epi32(load(sumHi + q), load(sumLo + q));
    const __m128i sq4 = _mm_sub_epi32(load(sqHi + q), load(sqLo + q));
    for (int half = 0; half < 2; ++half) {
      const __m128i sum2 = half ? _mm_srli_si128(sum4, 8) : sum4;
      const __m128i sq2 = half ? _mm_srli_si128(sq4, 8) : sq4;
      const int j = q + 2 * half;
      const __m128d value =
          _mm_cvtepi32_pd(_mm_set_epi32(0, 0, static_cast<int>(grey[j + 1]), grey[j]));
      const __m128d mean = _mm_div_pd(_mm_cvtepi32_pd(sum2), count);
      const __m128d var =
          _mm_sub_pd(_mm_div_pd(_mm_cvtepi32_pd(sq2), count), _mm_mul_pd(mean, mean));
      const __m128d sd = _mm_sqrt_pd(_mm_max_pd(var, zero));  // var > 0 ? var : 0
      const __m128 v = _mm_cvtpd_ps(_mm_div_pd(_mm_sub_pd(mean, value), _mm_add_pd(sd, floor)));
      // max(low, v) = low > v ? low : v; min(high, .) = high < . ? high : . (as Normalised).
      const __m128 clipped = _mm_min_ps(high, _mm_max_ps(low, v));
      _mm_storel_pi(reinterpret_cast<__m64*>(out + j), clipped);
    }
  }
#else
  for (int j = 0; j < tuning::kBlock; ++j) {
    out[j] = Normalised(static_cast<int32_t>(sumHi[j] - sumLo[j]),
                        static_cast<int32_t>(sqHi[j] - sqLo[j]), n, grey[j]);
  }
#endif
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

// What the enhancement does with a KeptNormalisation (its only reader and writer).
struct KeptNormalisationAccess {
  // A digest of the image's size and pixels: four interleaved multiply-xor chains over 8-byte
  // words (a few hundredths of a millisecond for 640 x 480), so that an image changed by even
  // one pixel reads as another.
  static uint64_t Digest(const ImageU8& image) {
    constexpr uint64_t kMul = 0x9e3779b97f4a7c15ull;
    uint64_t lane[4] = {static_cast<uint64_t>(image.width), static_cast<uint64_t>(image.height),
                        image.data.size(), kMul};
    const uint8_t* p = image.data.data();
    const size_t n = image.data.size();
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
      for (int k = 0; k < 4; ++k) {
        uint64_t v;
        std::memcpy(&v, p + i + 8 * k, 8);
        lane[k] = (lane[k] ^ v) * kMul;
        lane[k] ^= lane[k] >> 29;
      }
    }
    for (; i < n; ++i)
      lane[i % 4] = (lane[i % 4] ^ p[i]) * kMul;
    uint64_t h = 0;
    for (const uint64_t l : lane)
      h = ((h ^ l) * kMul) ^ (h >> 31);
    return h;
  }
  // Empties `kept` for `image`, to be computed in the blocks of `blocks`: its values to fill.
  static ImageF& Start(KeptNormalisation& kept, const ImageU8& image,
                       const Plane<uint8_t>& blocks) {
    kept.values_ = ImageF(image.width, image.height, 0.0f);
    kept.blocks_ = blocks;
    kept.digest_ = Digest(image);
    return kept.values_;
  }
  // Whether `kept` was computed from `image` in every block of `blocks`.
  static bool Covers(const KeptNormalisation& kept, const ImageU8& image,
                     const Plane<uint8_t>& blocks) {
    if (kept.values_.width != image.width || kept.values_.height != image.height ||
        kept.blocks_.width != blocks.width || kept.blocks_.height != blocks.height)
      return false;
    for (size_t i = 0; i < blocks.data.size(); ++i) {
      if (blocks.data[i] && !kept.blocks_.data[i])
        return false;
    }
    return kept.digest_ == Digest(image);
  }
  static const ImageF& Values(const KeptNormalisation& kept) { return kept.values_; }
};

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
// a later pass, which reads it back from `kept` instead of computing it again where that holds
// this image's values for every block it reads.
template <typename Emit>
void EnhanceRows(const ImageU8& image, const OrientationField& field, const Plane<float>& period,
                 const Plane<uint8_t>& mask, Emit emit, const Plane<uint8_t>* only = nullptr,
                 KeptNormalisation* keep = nullptr, const KeptNormalisation* kept = nullptr) {
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
  // Slots known to hold zeros in both copies: a row without work need not clear them again (in
  // the second pass most rows have none).
  std::array<bool, kRows> normClear, acrossClear;
  normClear.fill(true);
  acrossClear.fill(true);
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
  // The kept normalisation serves only the image it was computed from, and only if it was
  // computed in every block this pass reads; anything else computes it afresh.
  const ImageF* reuse = nullptr;
  if (kept && KeptNormalisationAccess::Covers(*kept, image, near))
    reuse = &KeptNormalisationAccess::Values(*kept);
  ImageF* keepValues = nullptr;
  if (keep)
    keepValues = &KeptNormalisationAccess::Start(*keep, image, near);
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
  const int blockColumns = std::min(mask.width, (w + kBlock - 1) / kBlock);
  SlidingBox sums(scratch->columns[0], scratch->prefix[0], w, h, kNormRadius);
  SlidingBox squares(scratch->columns[1], scratch->prefix[1], w, h, kNormRadius);
  // Local normalisation (ridges positive) of row y; rows outside the image are 0.
  const auto normalise = [&](int y) {
    float* out = written(norm, y);
    if (y < 0 || y >= h || !nearRows[y / kBlock]) {
      if (!normClear[slot(y)]) {
        std::fill_n(out, rowSize, 0.0f);
        mirror(norm, y);
        normClear[slot(y)] = true;
      }
      return;
    }
    std::fill_n(out, rowSize, 0.0f);
    normClear[slot(y)] = false;
    const int by = y / kBlock;
    if (reuse) {
      for (int bx = 0; bx < blockColumns; ++bx) {
        if (near.at(bx, by)) {
          const int x0 = bx * kBlock;
          std::copy_n(&reuse->at(x0, y), std::min(kBlock, w - x0), out + kPad + x0);
        }
      }
      mirror(norm, y);
      return;
    }
    sums.Advance(y, image.data.data(), SlidingBox::Value::kGrey);
    squares.Advance(y, image.data.data(), SlidingBox::Value::kSquare);
    const uint8_t* grey = &image.at(0, y);
    // Away from the left and right edges every box holds the same number of pixels, and a
    // block's run of them is normalised two at a time.
    const int r = kNormRadius;
    const double inner = static_cast<double>((2 * r + 1) * sums.Rows());
    const uint32_t* ps = sums.Prefix();
    const uint32_t* pq = squares.Prefix();
    for (int bx = 0; bx < blockColumns; ++bx) {
      if (!near.at(bx, by))
        continue;
      const int x0 = bx * kBlock, n = std::min(kBlock, w - x0);
      float* o = out + kPad + x0;
      if (n == kBlock && x0 - r >= 0 && x0 + kBlock + r <= w) {
        NormaliseRun(ps + x0 + r + 1, ps + x0 - r, pq + x0 + r + 1, pq + x0 - r, inner, grey + x0,
                     o);
      } else {
        for (int j = 0; j < n; ++j) {
          int count = 0;
          const double sum = sums.Sum(x0 + j, &count);
          const double sq = squares.Sum(x0 + j, &count);
          o[j] = Normalised(sum, sq, count, grey[x0 + j]);
        }
      }
      if (keepValues)
        std::copy_n(o, n, &keepValues->at(x0, y));
    }
    mirror(norm, y);
  };

  KernelBank& bank = scratch->bank;
  if (bank.stride != pw)
    bank.Build(pw);
  const float angleScale = kAngleSteps / std::numbers::pi_v<float>;
  auto angleIndex = [&](int bx, int by) {
    return std::clamp(static_cast<int>(field.angle.at(bx, by) * angleScale), 0, kAngleSteps - 1);
  };
  // The across-ridge band-pass of row y; rows outside the image are 0.
  // Each filtered block's band-pass kernel, looked up once instead of on each of its rows.
  Plane<uint16_t> acrossKernel(mask.width, mask.height);
  for (int by = 0; by < mask.height; ++by) {
    for (int bx = 0; bx < blockColumns; ++bx) {
      if (!filtered.at(bx, by))
        continue;
      const int p =
          std::clamp(static_cast<int>(std::lround((period.at(bx, by) - kMinPeriod) / kPeriodStep)),
                     0, kPeriods - 1);
      acrossKernel.at(bx, by) = static_cast<uint16_t>(angleIndex(bx, by) * kPeriods + p);
    }
  }
  const auto filterAcross = [&](int y) {
    float* out = written(across, y);
    const bool busy = y >= 0 && y < h && filteredRows[y / kBlock];
    if (!busy && acrossClear[slot(y)])
      return;
    std::fill_n(out, rowSize, 0.0f);
    acrossClear[slot(y)] = !busy;
    if (busy) {
      const int by = y / kBlock;
      const float* in = norm.data() + centre(y);
      for (int bx = 0; bx < blockColumns; ++bx) {
        if (!filtered.at(bx, by))
          continue;
        const int x0 = bx * kBlock;
        FilterRun(bank.across[acrossKernel.at(bx, by)], in + x0, std::min(kBlock, w - x0),
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
                      const Plane<float>& period, const Plane<uint8_t>& mask,
                      KeptNormalisation* normalised) {
  ImageU8 out(image.width, image.height, 0);
  if (normalised)
    *normalised = KeptNormalisation();
  if (image.width <= 0 || image.height <= 0)
    return out;
  EnhanceRows(
      image, field, period, mask, [&](int y, int x, float v) { out.at(x, y) = v > 0 ? 1 : 0; },
      nullptr, normalised);
  return out;
}

void EnhanceBinaryIn(const ImageU8& image, const OrientationField& field,
                     const Plane<float>& period, const Plane<uint8_t>& mask,
                     const Plane<uint8_t>& only, ImageU8& binary,
                     const KeptNormalisation* normalised) {
  if (image.width <= 0 || image.height <= 0 || binary.width != image.width ||
      binary.height != image.height || only.width != mask.width || only.height != mask.height)
    return;
  EnhanceRows(
      image, field, period, mask, [&](int y, int x, float v) { binary.at(x, y) = v > 0 ? 1 : 0; },
      &only, nullptr, normalised);
}

Plane<uint8_t> WeakInnerBlocks(const Plane<uint8_t>& mask, const OrientationField& field) {
  using namespace tuning;
  Plane<uint8_t> chosen(mask.width, mask.height);
  for (int by = 0; by < mask.height; ++by) {
    for (int bx = 0; bx < mask.width; ++bx) {
      if (!mask.at(bx, by) || field.coherence.at(bx, by) >= kAgainCoherence)
        continue;
      bool inner = true;
      for (int dy = -kAgainInner; dy <= kAgainInner && inner; ++dy) {
        for (int dx = -kAgainInner; dx <= kAgainInner && inner; ++dx)
          inner = mask.inside(bx + dx, by + dy) && mask.at(bx + dx, by + dy);
      }
      chosen.at(bx, by) = inner ? 1 : 0;
    }
  }
  return chosen;
}

}  // namespace engine
