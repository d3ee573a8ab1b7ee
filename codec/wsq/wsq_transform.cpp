// The wavelet filter bank and the scaled-integer numbers of the WSQ tables.
//
// Both filters have odd length and are symmetric, so a finite line is extended by reflection
// about its end samples (whole-sample symmetry) before filtering, and the sub-sampled outputs
// inherit symmetries that let the synthesis extend them in turn without any side information:
// the low-pass output keeps the even-indexed samples (ceil(n/2) of them), the high-pass output
// the odd-indexed ones (floor(n/2)). The synthesis filters follow from the analysis pair:
//   g0(j) = (-1)^j h1(j - 1),   g1(j) = (-1)^(j - 1) h0(j - 1),
// which for the normalised pair of the standard needs no further scaling.
#include <algorithm>
#include <cmath>
#include <vector>

#include "codec/wsq/wsq_detail.h"

namespace codec::wsq_detail {
namespace {

// Maps any index onto [0, n) by reflecting at the two ends: whole-sample (about the end sample)
// or half-sample (about the point half a sample beyond it).
int Reflect(int i, int n, bool leftWhole, bool rightWhole) {
  if (n == 1) {
    return 0;
  }
  while (i < 0 || i >= n) {
    if (i < 0) {
      i = leftWhole ? -i : -1 - i;
    } else {
      i = rightWhole ? 2 * (n - 1) - i : 2 * n - 1 - i;
    }
  }
  return i;
}

// Working buffers for one line, reused across the lines of a region.
class LineFilter {
 public:
  explicit LineFilter(const Filters& f)
      : low_(f.low),
        high_(f.high),
        lowHalf_(static_cast<int>(f.low.size()) - 1),
        highHalf_(static_cast<int>(f.high.size()) - 1),
        pad_(std::max(lowHalf_, highHalf_) + 2) {}

  // x[0..n) -> low[0..ceil(n/2)), high[0..floor(n/2)).
  void Analyze(const float* x, int n, float* low, float* high) {
    float* e = Extend(x, n, true, true);
    const int lowCount = (n + 1) / 2;
    const int highCount = n / 2;
    for (int i = 0; i < lowCount; ++i) {
      const float* c = e + 2 * i;
      float s = low_[0] * c[0];
      for (int k = 1; k <= lowHalf_; ++k) {
        s += low_[k] * (c[-k] + c[k]);
      }
      low[i] = s;
    }
    for (int i = 0; i < highCount; ++i) {
      const float* c = e + 2 * i + 1;
      float s = high_[0] * c[0];
      for (int k = 1; k <= highHalf_; ++k) {
        s += high_[k] * (c[-k] + c[k]);
      }
      high[i] = s;
    }
  }

  // low[0..ceil(n/2)), high[0..floor(n/2)) -> x[0..n).
  void Synthesize(const float* low, const float* high, int n, float* x) {
    const int lowCount = (n + 1) / 2;
    const int highCount = n / 2;
    const bool odd = (n % 2) != 0;
    // Low-pass samples sit at even positions: whole-sample symmetric at the left, and at the
    // right whole-sample for odd n, half-sample for even n. High-pass samples sit at odd
    // positions: half-sample at the left, whole-sample at the right for even n.
    const float* a = Extend(low, lowCount, true, odd);
    const float* d = highCount > 0 ? ExtendInto(high, highCount, false, !odd, &highExt_) : nullptr;
    for (int m = 0; m < n; ++m) {
      float s = 0.0f;
      const int p = m / 2;
      if (m % 2 == 0) {
        // g0 at even offsets 2t: +h1(2t - 1) = high_[2|t|]; g1 at odd offsets: -h0(...)
        s += high_[0] * a[p];
        for (int t = 1; 2 * t <= highHalf_; ++t) {
          s += high_[2 * t] * (a[p - t] + a[p + t]);
        }
        if (d != nullptr) {
          // x(2p) gets -h0(2p - 2n' - 1) d(n'): n' = p - 1 - u and p + u, u >= 0, tap 2u + 1.
          for (int u = 0; 2 * u + 1 <= lowHalf_; ++u) {
            s -= low_[2 * u + 1] * (d[p - 1 - u] + d[p + u]);
          }
        }
      } else {
        // x(2p+1) gets -h1-tap at odd offsets from a, and +h0 at even offsets from d.
        for (int u = 0; 2 * u + 1 <= highHalf_; ++u) {
          s -= high_[2 * u + 1] * (a[p - u] + a[p + 1 + u]);
        }
        if (d != nullptr) {
          s += low_[0] * d[p];
          for (int t = 1; 2 * t <= lowHalf_; ++t) {
            s += low_[2 * t] * (d[p - t] + d[p + t]);
          }
        }
      }
      x[m] = s;
    }
  }

 private:
  float* Extend(const float* x, int n, bool leftWhole, bool rightWhole) {
    return ExtendInto(x, n, leftWhole, rightWhole, &ext_);
  }

  // Copies x[0..n) into *buf with pad_ reflected samples on each side; returns a pointer to
  // the copy of x[0].
  float* ExtendInto(const float* x, int n, bool leftWhole, bool rightWhole,
                    std::vector<float>* buf) const {
    buf->resize(static_cast<size_t>(n) + 2 * static_cast<size_t>(pad_));
    float* e = buf->data() + pad_;
    for (int i = -pad_; i < n + pad_; ++i) {
      e[i] = x[Reflect(i, n, leftWhole, rightWhole)];
    }
    return e;
  }

  const std::vector<float>& low_;
  const std::vector<float>& high_;
  int lowHalf_;
  int highHalf_;
  int pad_;
  std::vector<float> ext_;
  std::vector<float> highExt_;
};

// Splits (or joins) one direction of a region. `stride` steps along a line, `step` from one
// line to the next.
void AnalyzeLines(float* origin, int length, int lines, ptrdiff_t stride, ptrdiff_t step,
                  bool highFirst, LineFilter& filter, std::vector<float>& scratch) {
  if (length <= 0 || lines <= 0) {
    return;
  }
  const int lowCount = (length + 1) / 2;
  const int highCount = length / 2;
  scratch.resize(2 * static_cast<size_t>(length));
  float* in = scratch.data();
  float* out = scratch.data() + length;
  for (int l = 0; l < lines; ++l) {
    float* line = origin + l * step;
    for (int i = 0; i < length; ++i) {
      in[i] = line[i * stride];
    }
    float* low = highFirst ? out + highCount : out;
    float* high = highFirst ? out : out + lowCount;
    filter.Analyze(in, length, low, high);
    for (int i = 0; i < length; ++i) {
      line[i * stride] = out[i];
    }
  }
}

void SynthesizeLines(float* origin, int length, int lines, ptrdiff_t stride, ptrdiff_t step,
                     bool highFirst, LineFilter& filter, std::vector<float>& scratch) {
  if (length <= 0 || lines <= 0) {
    return;
  }
  const int lowCount = (length + 1) / 2;
  const int highCount = length / 2;
  scratch.resize(2 * static_cast<size_t>(length));
  float* in = scratch.data();
  float* out = scratch.data() + length;
  for (int l = 0; l < lines; ++l) {
    float* line = origin + l * step;
    for (int i = 0; i < length; ++i) {
      in[i] = line[i * stride];
    }
    const float* low = highFirst ? in + highCount : in;
    const float* high = highFirst ? in : in + lowCount;
    filter.Synthesize(low, high, length, out);
    for (int i = 0; i < length; ++i) {
      line[i * stride] = out[i];
    }
  }
}

}  // namespace

Filters StandardFilters() {
  // The 9/7 biorthogonal spline pair, normalised so that the low-pass filter has gain sqrt(2)
  // at zero frequency and the high-pass filter gain sqrt(2) at the Nyquist frequency.
  return Filters{
      {0.852698679009403f, 0.377402855612654f, -0.110624404418423f, -0.023849465019381f,
       0.037828455506995f},
      {0.788485616405665f, -0.418092273222212f, -0.040689417609558f, 0.064538882628938f},
  };
}

void AnalyzeImage(std::span<float> image, int width, const Layout& layout, const Filters& filters) {
  LineFilter filter(filters);
  std::vector<float> scratch;
  for (const Region& r : layout.nodes) {
    float* origin = image.data() + static_cast<ptrdiff_t>(r.y) * width + r.x;
    AnalyzeLines(origin, r.width, r.height, 1, width, r.invertRows, filter, scratch);
    AnalyzeLines(origin, r.height, r.width, width, 1, r.invertCols, filter, scratch);
  }
}

void SynthesizeImage(std::span<float> image, int width, const Layout& layout,
                     const Filters& filters) {
  LineFilter filter(filters);
  std::vector<float> scratch;
  for (auto it = layout.nodes.rbegin(); it != layout.nodes.rend(); ++it) {
    const Region& r = *it;
    float* origin = image.data() + static_cast<ptrdiff_t>(r.y) * width + r.x;
    SynthesizeLines(origin, r.height, r.width, width, 1, r.invertCols, filter, scratch);
    SynthesizeLines(origin, r.width, r.height, 1, width, r.invertRows, filter, scratch);
  }
}

std::optional<Scaled> ToScaled(double v, uint32_t maxValue) {
  double a = std::fabs(v);
  if (!std::isfinite(a) || std::round(a) > maxValue) {
    return std::nullopt;
  }
  Scaled s;
  // Raise the scale while the next decimal digit still fits: the most precise form.
  while (s.scale < 20 && std::round(a * 10.0) <= maxValue) {
    a *= 10.0;
    ++s.scale;
  }
  s.value = static_cast<uint32_t>(std::round(a));
  return s;
}

double FromScaled(Scaled s) {
  return static_cast<double>(s.value) / std::pow(10.0, s.scale);
}

}  // namespace codec::wsq_detail
