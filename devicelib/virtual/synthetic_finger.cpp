// How a synthetic finger is made.
//
// Master finger (once per identity, cached):
//   1. Pattern class and singular points (cores, deltas) are drawn from the identity.
//   2. The ridge orientation follows the zero-pole model (half the sum of the angles seen from
//      the cores minus those seen from the deltas), or a smooth arch flow for plain arches,
//      evaluated on a randomly warped plane and with a slow random wobble, so that two fingers
//      of one class curve differently and differ everywhere.
//   3. Ridges are grown from noise by a few passes of space-variant Gabor filtering along that
//      orientation at a local ridge period of about 9 px (500 ppi); the clipping between passes
//      lets ridges compete, which leaves the endings and bifurcations a real finger has, many
//      of them where the noise put them rather than where the flow alone would.
//   4. Minutiae are read from the thinned, binarised ridges (crossing number), with spurious
//      ones near the contact edge, near singular points and in tight clusters removed.
// Impression (every capture):
//   a rigid move (shift, a few degrees of rotation), a smooth elastic distortion that grows
//   away from the centre of contact, pressure (contact size, ridge width), skin dryness, pores,
//   illumination, optical blur and sensor noise; a low placement quality adds blur, blotches
//   and lost contrast. The ground-truth minutiae follow the same move.
#include "devicelib/virtual/synthetic_finger.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <numbers>

namespace devicelib::virt {
namespace {

constexpr float kPi = std::numbers::pi_v<float>;
constexpr int kWidth = kImageWidth;
constexpr int kHeight = kImageHeight;

// SplitMix64: small, fast, and the same sequence on every platform, which keeps fingers and
// impressions identical across builds (std:: distributions are not portable).
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  float Uniform() { return static_cast<float>(Next() >> 40) * (1.0f / 16777216.0f); }
  float Uniform(float lo, float hi) { return lo + (hi - lo) * Uniform(); }
  int Int(int lo, int hi) {  // inclusive
    return lo + static_cast<int>(Next() % static_cast<uint64_t>(hi - lo + 1));
  }
  float Normal() {
    if (hasSpare_) {
      hasSpare_ = false;
      return spare_;
    }
    const float u = std::max(Uniform(), 1e-7f);
    const float v = Uniform();
    const float r = std::sqrt(-2.0f * std::log(u));
    spare_ = r * std::sin(2 * kPi * v);
    hasSpare_ = true;
    return r * std::cos(2 * kPi * v);
  }

 private:
  uint64_t state_;
  float spare_ = 0;
  bool hasSpare_ = false;
};

uint64_t Hash(uint64_t a, uint64_t b = 0, uint64_t c = 0) {
  Rng r(a * 0x9e3779b97f4a7c15ULL ^ (b + 0x632be59bd9b4e019ULL) * 0xc2b2ae3d27d4eb4fULL ^
        (c + 0x165667b19e3779f9ULL) * 0x27d4eb2f165667c5ULL);
  r.Next();
  return r.Next();
}

float SmoothStep(float e0, float e1, float x) {
  const float t = std::clamp((x - e0) / (e1 - e0), 0.0f, 1.0f);
  return t * t * (3 - 2 * t);
}

// Smooth random field in about -1..1 with features of `cell` pixels (value noise).
class ValueNoise {
 public:
  ValueNoise(uint64_t seed, float cell) : seed_(seed), cell_(cell) {}
  float operator()(float x, float y) const {
    const float fx = x / cell_;
    const float fy = y / cell_;
    const float x0 = std::floor(fx);
    const float y0 = std::floor(fy);
    const float tx = SmoothStep(0, 1, fx - x0);
    const float ty = SmoothStep(0, 1, fy - y0);
    const auto ix = static_cast<int64_t>(x0);
    const auto iy = static_cast<int64_t>(y0);
    const float a = Corner(ix, iy), b = Corner(ix + 1, iy);
    const float c = Corner(ix, iy + 1), d = Corner(ix + 1, iy + 1);
    return (a + (b - a) * tx) * (1 - ty) + (c + (d - c) * tx) * ty;
  }

 private:
  float Corner(int64_t x, int64_t y) const {
    const uint64_t h = Hash(seed_, static_cast<uint64_t>(x), static_cast<uint64_t>(y));
    return static_cast<float>(h >> 40) * (2.0f / 16777216.0f) - 1.0f;
  }
  uint64_t seed_;
  float cell_;
};

// ---------------------------------------------------------------------------------------------
// Gabor kernel bank: orientation in 36 steps of 5 degrees, ridge period 6.5..12.5 px.

constexpr int kKernelRadius = 9;
constexpr int kKernelSide = 2 * kKernelRadius + 1;
constexpr int kOrientationBins = 36;
constexpr float kPeriodMin = 6.5f;
constexpr float kPeriodStep = 0.25f;
constexpr int kPeriodBins = 25;

using Kernel = std::array<float, kKernelSide * kKernelSide>;

const std::vector<Kernel>& KernelBank() {
  static const std::vector<Kernel> bank = [] {
    std::vector<Kernel> kernels(kOrientationBins * kPeriodBins);
    for (int o = 0; o < kOrientationBins; ++o) {
      const float theta = kPi * static_cast<float>(o) / kOrientationBins;
      const float ux = std::cos(theta), uy = std::sin(theta);  // along the ridges
      for (int p = 0; p < kPeriodBins; ++p) {
        const float period = kPeriodMin + kPeriodStep * static_cast<float>(p);
        const float sigmaAcross = 0.42f * period;
        const float sigmaAlong = 0.45f * period;
        Kernel& k = kernels[o * kPeriodBins + p];
        float envSum = 0, cosEnvSum = 0;
        std::array<float, kKernelSide * kKernelSide> env{}, wave{};
        for (int dy = -kKernelRadius; dy <= kKernelRadius; ++dy) {
          for (int dx = -kKernelRadius; dx <= kKernelRadius; ++dx) {
            const float along = dx * ux + dy * uy;
            const float across = -dx * uy + dy * ux;
            const int i = (dy + kKernelRadius) * kKernelSide + dx + kKernelRadius;
            env[i] = std::exp(-0.5f * (across * across / (sigmaAcross * sigmaAcross) +
                                       along * along / (sigmaAlong * sigmaAlong)));
            wave[i] = std::cos(2 * kPi * across / period);
            envSum += env[i];
            cosEnvSum += env[i] * wave[i];
          }
        }
        // Zero DC response, and unit gain for a matching sinusoid.
        const float dc = cosEnvSum / envSum;
        float gain = 0;
        for (size_t i = 0; i < k.size(); ++i) {
          k[i] = env[i] * (wave[i] - dc);
          gain += k[i] * wave[i];
        }
        for (float& v : k) {
          v /= gain;
        }
      }
    }
    return kernels;
  }();
  return bank;
}

int KernelIndex(float theta, float period) {
  float t = std::fmod(theta, kPi);
  if (t < 0) {
    t += kPi;
  }
  const int o = static_cast<int>(std::lround(t / kPi * kOrientationBins)) % kOrientationBins;
  const int p = std::clamp(static_cast<int>(std::lround((period - kPeriodMin) / kPeriodStep)), 0,
                           kPeriodBins - 1);
  return o * kPeriodBins + p;
}

// ---------------------------------------------------------------------------------------------
// Orientation model.

struct FlowModel {
  PatternClass pattern = PatternClass::kLeftLoop;
  std::vector<Point> cores, deltas;
  float baseAngle = 0;
  // plain arch: ridges y = y0 - h(y) * exp(-((x - xc) / w)^2)
  float archX = 0, archY = 0, archHeight = 0, archWidth = 0, archSpread = 0;
  // slow wobble
  std::array<float, 12> wobble{};
  // a smooth warp of the plane the model is evaluated in, three waves of
  // (amplitude x, amplitude y, wave vector x, wave vector y, phase)
  std::array<float, 15> warp{};

  Point Warp(float x, float y) const {
    Point p{x, y};
    for (size_t i = 0; i < warp.size(); i += 5) {
      const float s = std::sin(warp[i + 2] * x + warp[i + 3] * y + warp[i + 4]);
      p.x += warp[i] * s;
      p.y += warp[i + 1] * s;
    }
    return p;
  }

  float Orientation(float x0, float y0) const {
    const Point w = Warp(x0, y0);
    const float x = w.x, y = w.y;
    float theta = baseAngle;
    if (pattern == PatternClass::kArch) {
      const float u = (x - archX) / archWidth;
      const float v = (y - archY) / archSpread;
      const float h = archHeight * std::exp(-v * v);
      theta += std::atan(2 * h * u / archWidth * std::exp(-u * u));
    } else {
      for (const Point& c : cores) {
        theta += 0.5f * std::atan2(y - c.y, x - c.x);
      }
      for (const Point& d : deltas) {
        theta -= 0.5f * std::atan2(y - d.y, x - d.x);
      }
    }
    for (size_t i = 0; i < wobble.size(); i += 4) {
      theta += wobble[i] * std::sin(wobble[i + 1] * x0 + wobble[i + 2] * y0 + wobble[i + 3]);
    }
    return theta;
  }
};

// ---------------------------------------------------------------------------------------------
// Minutiae on a binary skeleton.

// Zhang-Suen thinning of a 0/1 image in place.
void Thin(std::vector<uint8_t>& img, int w, int h) {
  std::vector<int> remove;
  bool changed = true;
  while (changed) {
    changed = false;
    for (int pass = 0; pass < 2; ++pass) {
      remove.clear();
      for (int y = 1; y < h - 1; ++y) {
        for (int x = 1; x < w - 1; ++x) {
          const int i = y * w + x;
          if (!img[i]) {
            continue;
          }
          const int p2 = img[i - w], p3 = img[i - w + 1], p4 = img[i + 1], p5 = img[i + w + 1];
          const int p6 = img[i + w], p7 = img[i + w - 1], p8 = img[i - 1], p9 = img[i - w - 1];
          const int b = p2 + p3 + p4 + p5 + p6 + p7 + p8 + p9;
          if (b < 2 || b > 6) {
            continue;
          }
          const int seq[9] = {p2, p3, p4, p5, p6, p7, p8, p9, p2};
          int a = 0;
          for (int k = 0; k < 8; ++k) {
            a += (seq[k] == 0 && seq[k + 1] == 1);
          }
          if (a != 1) {
            continue;
          }
          if (pass == 0 ? (p2 * p4 * p6 == 0 && p4 * p6 * p8 == 0)
                        : (p2 * p4 * p8 == 0 && p2 * p6 * p8 == 0)) {
            remove.push_back(i);
          }
        }
      }
      for (int i : remove) {
        img[i] = 0;
      }
      changed = changed || !remove.empty();
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Master finger.

PatternClass DrawPattern(uint32_t identity) {
  const float u = static_cast<float>(Hash(identity, 0x5eed) >> 40) / 16777216.0f;
  if (u < 0.33f)
    return PatternClass::kRightLoop;
  if (u < 0.66f)
    return PatternClass::kLeftLoop;
  if (u < 0.92f)
    return PatternClass::kWhorl;
  if (u < 0.96f)
    return PatternClass::kArch;
  return PatternClass::kTentedArch;
}

std::shared_ptr<MasterFinger> BuildMaster(uint32_t identity) {
  auto master = std::make_shared<MasterFinger>();
  MasterFinger& m = *master;
  m.identity = identity;
  m.pattern = DrawPattern(identity);
  Rng rng(Hash(identity, 0xf1a9e5));

  m.contactCentre = {kWidth / 2.0f + rng.Uniform(-6, 6), 276 + rng.Uniform(-8, 8)};
  m.contactRadiusX = rng.Uniform(118, 134);
  m.contactRadiusY = rng.Uniform(190, 212);
  const float cx = m.contactCentre.x;
  const float cy = m.contactCentre.y;

  FlowModel flow;
  flow.pattern = m.pattern;
  flow.baseAngle = rng.Uniform(-0.08f, 0.08f);
  const float coreY = cy - rng.Uniform(35, 70);
  switch (m.pattern) {
    case PatternClass::kLeftLoop:
    case PatternClass::kRightLoop: {
      // Ridges of a left loop enter and leave on the left, so its delta lies to the right.
      const float side = m.pattern == PatternClass::kLeftLoop ? 1.0f : -1.0f;
      // The core anywhere in the upper middle, the delta 50-140 px to the side and 60-160 px
      // below it: the ridge count between them, and so the loop's size and slant, differ from
      // finger to finger as they do on real hands.
      const Point core{cx - side * rng.Uniform(-10, 30), cy - rng.Uniform(20, 90)};
      flow.cores = {core};
      flow.deltas = {{core.x + side * rng.Uniform(50, 140), core.y + rng.Uniform(60, 160)}};
      break;
    }
    case PatternClass::kWhorl: {
      const float tilt = rng.Uniform(-8, 8);
      const float gap = rng.Uniform(14, 26);
      const Point centre{cx + rng.Uniform(-10, 10), coreY + 10};
      flow.cores = {{centre.x - tilt, centre.y - gap / 2}, {centre.x + tilt, centre.y + gap / 2}};
      const float dy = rng.Uniform(85, 120);
      flow.deltas = {{centre.x - rng.Uniform(85, 105), centre.y + dy + rng.Uniform(-12, 12)},
                     {centre.x + rng.Uniform(85, 105), centre.y + dy + rng.Uniform(-12, 12)}};
      break;
    }
    case PatternClass::kTentedArch: {
      const Point core{cx + rng.Uniform(-8, 8), coreY + 15};
      flow.cores = {core};
      flow.deltas = {{core.x + rng.Uniform(-4, 4), core.y + rng.Uniform(38, 52)}};
      break;
    }
    case PatternClass::kArch:
      flow.archX = cx + rng.Uniform(-10, 10);
      flow.archY = cy + rng.Uniform(-10, 30);
      flow.archHeight = rng.Uniform(45, 70);
      flow.archWidth = rng.Uniform(60, 85);
      flow.archSpread = rng.Uniform(110, 150);
      break;
  }
  for (size_t i = 0; i < flow.wobble.size(); i += 4) {
    const float wavelength = rng.Uniform(160, 420);
    const float dir = rng.Uniform(0, 2 * kPi);
    flow.wobble[i] = rng.Uniform(0.08f, 0.18f);
    flow.wobble[i + 1] = 2 * kPi / wavelength * std::cos(dir);
    flow.wobble[i + 2] = 2 * kPi / wavelength * std::sin(dir);
    flow.wobble[i + 3] = rng.Uniform(0, 2 * kPi);
  }
  // The warp bends the whole pattern: how far the ridges below a core curve, where a loop's
  // ridges turn, how wide a whorl's circuits are. Three waves of 180-360 px moving the model's
  // plane by 30-55 px each.
  {
    for (size_t i = 0; i < flow.warp.size(); i += 5) {
      const float wavelength = rng.Uniform(180, 360);
      const float dir = rng.Uniform(0, 2 * kPi);
      const float along = rng.Uniform(0, 2 * kPi);
      const float a = rng.Uniform(30, 55);
      flow.warp[i] = a * std::cos(along);
      flow.warp[i + 1] = a * std::sin(along);
      flow.warp[i + 2] = 2 * kPi / wavelength * std::cos(dir);
      flow.warp[i + 3] = 2 * kPi / wavelength * std::sin(dir);
      flow.warp[i + 4] = rng.Uniform(0, 2 * kPi);
    }
  }
  // Where the singular points land in the image: the points the warp carries onto them.
  const auto unwarp = [&flow](Point q) {
    Point p = q;
    for (int i = 0; i < 8; ++i) {
      const Point w = flow.Warp(p.x, p.y);
      p = {p.x + q.x - w.x, p.y + q.y - w.y};
    }
    return p;
  };
  for (const Point& c : flow.cores) {
    m.cores.push_back(unwarp(c));
  }
  for (const Point& d : flow.deltas) {
    m.deltas.push_back(unwarp(d));
  }

  // Ridge period: about 9 px, a little wider towards the lower part of the finger.
  const float basePeriod = rng.Uniform(8.4f, 9.6f);
  const ValueNoise periodNoise(Hash(identity, 0x9e71), 90);

  // The grid where ridges grow: the contact ellipse with a margin, padded for the kernel.
  constexpr int pad = kKernelRadius;
  constexpr int pw = kWidth + 2 * pad;
  constexpr int ph = kHeight + 2 * pad;
  const float margin = 16;
  std::vector<int> active;        // index into the padded grid
  std::vector<uint16_t> kernels;  // kernel per active pixel
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const float ex = (x - cx) / (m.contactRadiusX + margin);
      const float ey = (y - cy) / (m.contactRadiusY + margin);
      if (ex * ex + ey * ey > 1) {
        continue;
      }
      const float period = basePeriod +
                           0.5f * periodNoise(static_cast<float>(x), static_cast<float>(y)) +
                           0.6f * (y - cy) / m.contactRadiusY;
      active.push_back((y + pad) * pw + x + pad);
      kernels.push_back(static_cast<uint16_t>(
          KernelIndex(flow.Orientation(static_cast<float>(x), static_cast<float>(y)), period)));
    }
  }

  const std::vector<Kernel>& bank = KernelBank();
  std::vector<float> a(pw * ph, 0.0f), b(pw * ph, 0.0f);
  // Start from smoothed noise, so that ridges nucleate at a natural density.
  {
    const ValueNoise seed(Hash(identity, 0x5eed5), 4.5f);
    for (int i : active) {
      const int x = i % pw - pad, y = i / pw - pad;
      a[i] = 0.5f * seed(static_cast<float>(x), static_cast<float>(y));
    }
  }
  // Few passes: the ridges saturate but keep many of the dislocations (endings, forks) the
  // noise seeded, wherever it seeded them, with either sense. Twelve passes let the flow's own
  // divergence dictate most minutiae, and every finger of a class then put the same minutiae,
  // pointing the same way, in the same places.
  constexpr int iterations = 5;
  for (int it = 0; it <= iterations; ++it) {
    for (size_t n = 0; n < active.size(); ++n) {
      const Kernel& k = bank[kernels[n]];
      const float* src = &a[active[n] - pad * pw - pad];
      float sum = 0;
      for (int dy = 0; dy < kKernelSide; ++dy) {
        const float* row = src + dy * pw;
        const float* kr = &k[dy * kKernelSide];
        for (int dx = 0; dx < kKernelSide; ++dx) {
          sum += row[dx] * kr[dx];
        }
      }
      // Clipping makes ridges saturate and compete; the last pass keeps the smooth profile.
      b[active[n]] = it < iterations ? std::clamp(2.4f * sum, -1.0f, 1.0f) : sum;
    }
    std::swap(a, b);
  }

  m.ridges.assign(kWidth * kHeight, 0.0f);
  for (int i : active) {
    const int x = i % pw - pad, y = i / pw - pad;
    m.ridges[y * kWidth + x] = std::tanh(1.6f * a[i]);
  }

  // Minutiae from the skeleton of the ridges.
  std::vector<uint8_t> bin(kWidth * kHeight, 0);
  auto rho = [&](float x, float y) {
    const float ex = (x - cx) / m.contactRadiusX;
    const float ey = (y - cy) / m.contactRadiusY;
    return std::sqrt(ex * ex + ey * ey);
  };
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      bin[y * kWidth + x] =
          rho(static_cast<float>(x), static_cast<float>(y)) < 1.02f && m.ridges[y * kWidth + x] > 0;
    }
  }
  Thin(bin, kWidth, kHeight);

  struct Candidate {
    int x, y;
    codec::MinutiaType type;
    bool keep = true;
  };
  std::vector<Candidate> found;
  const int dx8[8] = {0, 1, 1, 1, 0, -1, -1, -1};
  const int dy8[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
  for (int y = 1; y < kHeight - 1; ++y) {
    for (int x = 1; x < kWidth - 1; ++x) {
      if (!bin[y * kWidth + x]) {
        continue;
      }
      int cn = 0;
      for (int k = 0; k < 8; ++k) {
        const int p = bin[(y + dy8[k]) * kWidth + x + dx8[k]];
        const int q = bin[(y + dy8[(k + 1) % 8]) * kWidth + x + dx8[(k + 1) % 8]];
        cn += std::abs(p - q);
      }
      cn /= 2;
      if (cn != 1 && cn != 3) {
        continue;
      }
      const float edge = (1 - rho(static_cast<float>(x), static_cast<float>(y))) *
                         std::min(m.contactRadiusX, m.contactRadiusY);
      if (edge < 14) {
        continue;  // ridges cut by the edge of the grown area are no minutiae
      }
      found.push_back(
          {x, y, cn == 1 ? codec::MinutiaType::kRidgeEnding : codec::MinutiaType::kBifurcation});
    }
  }
  // Close pairs are breaks, spurs or tiny islands of the thinning, not real minutiae.
  for (size_t i = 0; i < found.size(); ++i) {
    for (size_t j = i + 1; j < found.size(); ++j) {
      const int ddx = found[i].x - found[j].x, ddy = found[i].y - found[j].y;
      if (ddx * ddx + ddy * ddy < 8 * 8) {
        found[i].keep = found[j].keep = false;
      }
    }
  }
  std::vector<Point> singular = m.cores;
  singular.insert(singular.end(), m.deltas.begin(), m.deltas.end());
  for (Candidate& c : found) {
    for (const Point& s : singular) {
      if (std::hypot(c.x - s.x, c.y - s.y) < 12) {
        c.keep = false;
      }
    }
  }
  for (const Candidate& c : found) {
    if (!c.keep) {
      continue;
    }
    // Direction, as ISO/IEC 19794-2 records define it: along the local ridge flow, into the
    // ridge for an ending and away from the stem (between the branches) for a bifurcation.
    // Both point to the side with one ridge more, so an ending that touches its neighbour and
    // becomes a fork keeps its direction. That side holds more skeleton near the point.
    const float theta = flow.Orientation(static_cast<float>(c.x), static_cast<float>(c.y));
    const float ux = std::cos(theta), uy = std::sin(theta);
    int ahead = 0, behind = 0;
    for (int dy = -7; dy <= 7; ++dy) {
      for (int dx = -7; dx <= 7; ++dx) {
        const int x = c.x + dx, y = c.y + dy;
        if (x < 0 || y < 0 || x >= kWidth || y >= kHeight || !bin[y * kWidth + x] ||
            dx * dx + dy * dy > 49) {
          continue;
        }
        const float s = dx * ux + dy * uy;
        ahead += s > 1.5f;
        behind += s < -1.5f;
      }
    }
    const bool forward = ahead > behind;  // the skeleton-rich side
    const float dirX = forward ? ux : -ux;
    const float dirY = forward ? uy : -uy;
    float deg = std::atan2(-dirY, dirX) * 180 / kPi;  // counter-clockwise, y axis up
    if (deg < 0) {
      deg += 360;
    }
    codec::Minutia mn;
    mn.x = static_cast<uint16_t>(c.x);
    mn.y = static_cast<uint16_t>(c.y);
    mn.angle = static_cast<uint16_t>(static_cast<int>(std::lround(deg)) % 360);
    mn.type = c.type;
    const float edge = (1 - rho(static_cast<float>(c.x), static_cast<float>(c.y))) *
                       std::min(m.contactRadiusX, m.contactRadiusY);
    mn.quality = static_cast<uint8_t>(
        std::clamp(55.0f + 40.0f * std::min(1.0f, edge / 60) - rng.Uniform(0, 12), 0.0f, 100.0f));
    m.minutiae.push_back(mn);
  }

  // Sweat pores: small light dots along the ridge crests, part of the finger's skin.
  const int pores = static_cast<int>(active.size() / 70);
  for (int n = 0; n < pores; ++n) {
    const int x = rng.Int(2, kWidth - 3), y = rng.Int(2, kHeight - 3);
    if (m.ridges[y * kWidth + x] < 0.7f) {
      continue;
    }
    const float px = x + rng.Uniform(-0.5f, 0.5f), py = y + rng.Uniform(-0.5f, 0.5f);
    for (int dy = -2; dy <= 2; ++dy) {
      for (int dx = -2; dx <= 2; ++dx) {
        const float d2 = (x + dx - px) * (x + dx - px) + (y + dy - py) * (y + dy - py);
        m.ridges[(y + dy) * kWidth + x + dx] -= 1.1f * std::exp(-d2 / 1.3f);
      }
    }
  }
  return master;
}

// ---------------------------------------------------------------------------------------------
// Master cache: bounded, least recently used out first. A master being built is shared as a
// future, so concurrent requests for one identity build it once.

class MasterCache {
 public:
  std::shared_ptr<const MasterFinger> Get(uint32_t identity) {
    std::shared_future<std::shared_ptr<const MasterFinger>> future;
    std::promise<std::shared_ptr<const MasterFinger>> promise;
    bool build = false;
    {
      std::lock_guard lock(mutex_);
      auto it = entries_.find(identity);
      if (it != entries_.end()) {
        order_.splice(order_.begin(), order_, it->second.position);
        future = it->second.future;
      } else {
        future = promise.get_future().share();
        order_.push_front(identity);
        entries_.emplace(identity, Entry{future, order_.begin()});
        build = true;
        while (entries_.size() > kCapacity) {
          entries_.erase(order_.back());
          order_.pop_back();
        }
      }
    }
    if (build) {
      promise.set_value(BuildMaster(identity));
    }
    return future.get();
  }

 private:
  static constexpr size_t kCapacity = 32;
  struct Entry {
    std::shared_future<std::shared_ptr<const MasterFinger>> future;
    std::list<uint32_t>::iterator position;
  };
  std::mutex mutex_;
  std::list<uint32_t> order_;
  std::map<uint32_t, Entry> entries_;
};

// ---------------------------------------------------------------------------------------------
// Impressions.

struct Blotch {
  Point centre;
  float radius;
  bool wet;  // wet: ridges run together into a dark smear; dry: ridges fade
};

float Bilinear(const std::vector<float>& img, float x, float y) {
  if (x < 0 || y < 0 || x > kWidth - 1.001f || y > kHeight - 1.001f) {
    return 0;
  }
  const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
  const float tx = x - x0, ty = y - y0;
  const float* p = &img[y0 * kWidth + x0];
  return (p[0] * (1 - tx) + p[1] * tx) * (1 - ty) +
         (p[kWidth] * (1 - tx) + p[kWidth + 1] * tx) * ty;
}

// Separable Gaussian blur of a float image in place.
void GaussianBlur(std::vector<float>& img, float sigma) {
  if (sigma < 0.3f) {
    return;
  }
  const int r = static_cast<int>(std::ceil(2.5f * sigma));
  std::vector<float> k(2 * r + 1);
  float sum = 0;
  for (int i = -r; i <= r; ++i) {
    k[i + r] = std::exp(-0.5f * i * i / (sigma * sigma));
    sum += k[i + r];
  }
  for (float& v : k) {
    v /= sum;
  }
  std::vector<float> tmp(img.size());
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      float s = 0;
      for (int i = -r; i <= r; ++i) {
        s += k[i + r] * img[y * kWidth + std::clamp(x + i, 0, kWidth - 1)];
      }
      tmp[y * kWidth + x] = s;
    }
  }
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      float s = 0;
      for (int i = -r; i <= r; ++i) {
        s += k[i + r] * tmp[std::clamp(y + i, 0, kHeight - 1) * kWidth + x];
      }
      img[y * kWidth + x] = s;
    }
  }
}

MasterCache& Cache() {
  static MasterCache cache;
  return cache;
}

}  // namespace

PatternClass PatternClassOf(uint32_t identity) {
  return DrawPattern(identity);
}

const char* PatternClassName(PatternClass pattern) {
  switch (pattern) {
    case PatternClass::kLeftLoop:
      return "left loop";
    case PatternClass::kRightLoop:
      return "right loop";
    case PatternClass::kWhorl:
      return "whorl";
    case PatternClass::kArch:
      return "arch";
    case PatternClass::kTentedArch:
      return "tented arch";
  }
  return "unknown";
}

std::shared_ptr<const MasterFinger> GetMasterFinger(uint32_t identity) {
  return Cache().Get(identity);
}

Impression MakeImpression(uint32_t identity, uint32_t impression, int32_t placementQuality) {
  const std::shared_ptr<const MasterFinger> master = GetMasterFinger(identity);
  const MasterFinger& m = *master;
  const int32_t placement = std::clamp(placementQuality, 0, 100);
  Rng rng(Hash(identity, impression, 0x1a9e55 + static_cast<uint64_t>(placement)));
  // Smudge severity: none above 70, full at 0.
  const float smudge = std::clamp((70.0f - static_cast<float>(placement)) / 70.0f, 0.0f, 1.0f);

  // Placement: the contact centre lands at `to`, turned by `angle`.
  const float angle = rng.Uniform(-7, 7) * kPi / 180 * (1 + smudge);
  const Point to{m.contactCentre.x + rng.Uniform(-16, 16),
                 m.contactCentre.y + rng.Uniform(-20, 16)};
  const float cosA = std::cos(angle), sinA = std::sin(angle);
  const float pressure = rng.Uniform(0.2f, 0.8f);
  const float contactScale = 0.9f + 0.1f * pressure;
  std::array<float, 12> warp{};  // elastic distortion: two sine terms per axis
  for (size_t i = 0; i < warp.size(); i += 3) {
    warp[i] = rng.Uniform(1.5f, 3.5f) * (rng.Uniform() < 0.5f ? -1.0f : 1.0f);
    warp[i + 1] = 2 * kPi / rng.Uniform(180, 360);
    warp[i + 2] = rng.Uniform(0, 2 * kPi);
  }
  auto distortion = [&](float px, float py) {
    const float r = std::hypot(px - to.x, py - to.y);
    const float s = std::pow(std::min(1.0f, r / 170.0f), 1.5f);
    const float dx =
        warp[0] * std::sin(warp[1] * py + warp[2]) + warp[3] * std::sin(warp[4] * px + warp[5]);
    const float dy =
        warp[6] * std::sin(warp[7] * px + warp[8]) + warp[9] * std::sin(warp[10] * py + warp[11]);
    return Point{s * dx, s * dy};
  };
  // Image point -> master point.
  auto toMaster = [&](float px, float py) {
    const float rx = px - to.x, ry = py - to.y;
    const Point d = distortion(px, py);
    return Point{m.contactCentre.x + cosA * rx + sinA * ry + d.x,
                 m.contactCentre.y - sinA * rx + cosA * ry + d.y};
  };
  // Master point -> image point (fixed-point inversion of the small distortion).
  auto toImage = [&](float qx, float qy) {
    Point p{to.x, to.y};
    Point d{0, 0};
    for (int i = 0; i < 4; ++i) {
      const float rx = qx - m.contactCentre.x - d.x, ry = qy - m.contactCentre.y - d.y;
      p = {to.x + cosA * rx - sinA * ry, to.y + sinA * rx + cosA * ry};
      d = distortion(p.x, p.y);
    }
    return p;
  };
  // Contact: 1 well inside the (pressure-scaled) ellipse, falling to 0 over its soft rim.
  const float rimWidth = 12;
  auto contact = [&](const Point& q) {
    const float ex = (q.x - m.contactCentre.x) / (m.contactRadiusX * contactScale);
    const float ey = (q.y - m.contactCentre.y) / (m.contactRadiusY * contactScale);
    const float edge = (1 - std::sqrt(ex * ex + ey * ey)) * m.contactRadiusX * contactScale;
    return SmoothStep(-rimWidth * 0.3f, rimWidth, edge);
  };

  std::vector<Blotch> blotches;
  if (smudge > 0) {
    const int count = 2 + static_cast<int>(std::lround(7 * smudge));
    for (int i = 0; i < count; ++i) {
      const float a = rng.Uniform(0, 2 * kPi), r = std::sqrt(rng.Uniform()) * 0.8f;
      blotches.push_back(
          {{to.x + r * m.contactRadiusX * std::cos(a), to.y + r * m.contactRadiusY * std::sin(a)},
           rng.Uniform(16, 30 + 25 * smudge),
           rng.Uniform() < 0.55f});
    }
  }
  auto blotchAt = [&](float px, float py, bool wet) {
    float w = 0;
    for (const Blotch& b : blotches) {
      if (b.wet != wet) {
        continue;
      }
      const float d = std::hypot(px - b.centre.x, py - b.centre.y) / b.radius;
      w = std::max(w, 1 - SmoothStep(0.5f, 1.0f, d));
    }
    return w;
  };

  const float background = 236 + rng.Uniform(-3, 3);
  const float valley = 212 + rng.Uniform(-8, 6);
  const float ridge = 58 + rng.Uniform(-12, 14) + 60 * smudge;
  const float contrast = 1 - 0.45f * smudge;
  const float ridgeBias = 0.35f * (pressure - 0.5f) + 0.05f;  // heavier press, wider ridges
  const float dryness = rng.Uniform(0.0f, 0.25f);
  const ValueNoise dryNoise(Hash(identity, impression, 0xd27), 5.5f);
  const ValueNoise shading(Hash(identity, impression, 0x5ade), 140);
  Rng noise(Hash(identity, impression, 0x0153));
  const float noiseSigma = 3.5f + 5 * smudge;

  std::vector<float> img(kWidth * kHeight);
  int visible = 0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const float fx = static_cast<float>(x), fy = static_cast<float>(y);
      const Point q = toMaster(fx, fy);
      const float w = contact(q);
      float value = background;
      if (w > 0) {
        visible += w > 0.5f;
        const float r = Bilinear(m.ridges, q.x, q.y);
        float ink = SmoothStep(-0.45f, 0.45f, r + ridgeBias);
        // Dry skin: ridges break up in small patches, more towards the rim.
        const float dry = SmoothStep(0.25f, 0.75f, dryNoise(fx, fy) + dryness + 0.4f * (1 - w));
        ink *= 1 - 0.75f * dry * SmoothStep(0.0f, 0.6f, dryness + 0.3f * (1 - w));
        if (!blotches.empty()) {
          const float wet = blotchAt(fx, fy, true);
          const float dryB = blotchAt(fx, fy, false);
          ink = ink * (1 - wet) + 0.8f * wet;
          ink *= 1 - 0.85f * dryB;
        }
        ink *= SmoothStep(0.0f, 0.8f, w);  // light contact at the rim
        const float shade = 1 + 0.06f * shading(fx, fy);
        const float inside = valley + (ridge - valley) * ink * contrast * shade;
        value = background + (inside - background) * w;
      }
      img[y * kWidth + x] = value;
    }
  }
  GaussianBlur(img, 0.7f + 2.4f * smudge);

  Impression out;
  out.pixels.resize(img.size());
  for (size_t i = 0; i < img.size(); ++i) {
    const float v = img[i] + noiseSigma * noise.Normal();
    out.pixels[i] = static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
  }

  // Quality as an extractor would judge it: the placement, less for a small visible area.
  const float area = static_cast<float>(visible) / (kWidth * kHeight);
  const float areaPenalty = std::max(0.0f, (0.42f - area) * 120);
  out.quality = std::clamp(static_cast<int32_t>(std::lround(0.9f * static_cast<float>(placement) +
                                                            8 + 2.5f * rng.Normal() - areaPenalty)),
                           0, 100);

  // Features: the master's minutiae carried by the same move, as an extractor finds them.
  codec::FingerTemplate& f = out.features;
  f.width = static_cast<uint16_t>(kWidth);
  f.height = static_cast<uint16_t>(kHeight);
  f.fingerQuality = static_cast<uint8_t>(out.quality);
  const float posSigma = 1.2f + 2.5f * smudge;
  const float angleSigma = 4 + 10 * smudge;
  for (const codec::Minutia& mn : m.minutiae) {
    const float a = static_cast<float>(mn.angle) * kPi / 180;
    const Point p = toImage(mn.x, mn.y);
    const Point p2 = toImage(mn.x + 6 * std::cos(a), mn.y - 6 * std::sin(a));
    const bool drop = rng.Uniform() < 0.06f + 0.3f * smudge;
    const float jx = posSigma * rng.Normal(), jy = posSigma * rng.Normal();
    const float ja = angleSigma * rng.Normal();
    const bool flip = rng.Uniform() < 0.04f + 0.1f * smudge;
    if (drop || p.x < 6 || p.y < 6 || p.x > kWidth - 7 || p.y > kHeight - 7) {
      continue;
    }
    // Near the rim, or under a blotch, an extractor does not see the minutia.
    const Point q = toMaster(p.x, p.y);
    const float ex = (q.x - m.contactCentre.x) / (m.contactRadiusX * contactScale);
    const float ey = (q.y - m.contactCentre.y) / (m.contactRadiusY * contactScale);
    if ((1 - std::sqrt(ex * ex + ey * ey)) * m.contactRadiusX * contactScale < rimWidth + 6) {
      continue;
    }
    if (!blotches.empty() && std::max(blotchAt(p.x, p.y, true), blotchAt(p.x, p.y, false)) > 0.5f) {
      continue;
    }
    float deg = std::atan2(-(p2.y - p.y), p2.x - p.x) * 180 / kPi + ja;
    deg = std::fmod(deg + 720, 360.0f);
    codec::Minutia moved = mn;
    moved.x = static_cast<uint16_t>(std::clamp(std::lround(p.x + jx), 0L, long{kWidth - 1}));
    moved.y = static_cast<uint16_t>(std::clamp(std::lround(p.y + jy), 0L, long{kHeight - 1}));
    moved.angle = static_cast<uint16_t>(std::lround(deg) % 360);
    if (flip) {
      moved.type = mn.type == codec::MinutiaType::kRidgeEnding ? codec::MinutiaType::kBifurcation
                                                               : codec::MinutiaType::kRidgeEnding;
    }
    moved.quality = static_cast<uint8_t>(std::clamp(
        static_cast<float>(mn.quality) * (1 - 0.5f * smudge) + rng.Uniform(-6, 4), 5.0f, 100.0f));
    f.minutiae.push_back(moved);
  }
  // A few false minutiae from noise, scars or creases.
  const int spurious = rng.Int(0, 2) + static_cast<int>(std::lround(6 * smudge));
  for (int i = 0, tries = 0; i < spurious && tries < 50; ++tries) {
    const float px = rng.Uniform(10, kWidth - 11), py = rng.Uniform(10, kHeight - 11);
    if (contact(toMaster(px, py)) < 0.95f) {
      continue;
    }
    codec::Minutia s;
    s.x = static_cast<uint16_t>(px);
    s.y = static_cast<uint16_t>(py);
    s.angle = static_cast<uint16_t>(rng.Int(0, 359));
    s.type =
        rng.Uniform() < 0.5f ? codec::MinutiaType::kRidgeEnding : codec::MinutiaType::kBifurcation;
    s.quality = static_cast<uint8_t>(rng.Int(15, 50));
    f.minutiae.push_back(s);
    ++i;
  }
  return out;
}

std::vector<uint8_t> MakeEmptySensorImage(uint32_t frame) {
  Rng noise(Hash(frame, 0xe3b7));
  const ValueNoise shading(0x5e45, 160);  // the glass's own unevenness, the same every frame
  std::vector<uint8_t> pixels(kWidth * kHeight);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const float dx = (x - kWidth / 2.0f) / kWidth, dy = (y - kHeight / 2.0f) / kHeight;
      const float v = 240 - 14 * (dx * dx + dy * dy) +
                      3 * shading(static_cast<float>(x), static_cast<float>(y)) +
                      3 * noise.Normal();
      pixels[y * kWidth + x] = static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
    }
  }
  return pixels;
}

}  // namespace devicelib::virt
