#include "devicelib/matcher/test_minutiae.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <random>
#include <utility>

#include "codec/template/minutiae_record.h"

namespace devicelib::matcher::testing {
namespace {

constexpr float kPi = std::numbers::pi_v<float>;
constexpr int kWidth = 320;
constexpr int kHeight = 480;

// Inside an ellipse that stands for the finger's contact area.
bool InFinger(float x, float y) {
  const float u = (x - kWidth / 2.0f) / 140.0f;
  const float v = (y - kHeight / 2.0f) / 210.0f;
  return u * u + v * v <= 1.0f;
}

}  // namespace

codec::FingerTemplate MasterFinger(uint32_t finger, int count) {
  std::mt19937 rng(finger * 7919u + 17u);
  std::uniform_real_distribution<float> ux(0, kWidth);
  std::uniform_real_distribution<float> uy(0, kHeight);
  std::uniform_int_distribution<int> angle(0, 359);
  std::uniform_int_distribution<int> quality(40, 100);
  codec::FingerTemplate t;
  t.width = kWidth;
  t.height = kHeight;
  t.fingerQuality = 80;
  for (int tries = 0; tries < 20000 && static_cast<int>(t.minutiae.size()) < count; ++tries) {
    const float x = ux(rng);
    const float y = uy(rng);
    if (!InFinger(x, y)) {
      continue;
    }
    bool crowded = false;
    for (const auto& m : t.minutiae) {
      const float dx = m.x - x;
      const float dy = m.y - y;
      crowded = crowded || dx * dx + dy * dy < 18.0f * 18.0f;
    }
    if (crowded) {
      continue;
    }
    codec::Minutia m;
    m.x = static_cast<uint16_t>(x);
    m.y = static_cast<uint16_t>(y);
    m.angle = static_cast<uint16_t>(angle(rng));
    m.type = (rng() & 1) != 0 ? codec::MinutiaType::kRidgeEnding : codec::MinutiaType::kBifurcation;
    m.quality = static_cast<uint8_t>(quality(rng));
    t.minutiae.push_back(m);
  }
  return t;
}

codec::FingerTemplate Impression(const codec::FingerTemplate& master, uint32_t seed,
                                 const ImpressionSettings& s) {
  std::mt19937 rng(seed * 104729u + 3u);
  std::uniform_real_distribution<float> unit(-1, 1);
  std::uniform_real_distribution<float> zeroOne(0, 1);
  std::normal_distribution<float> noise(0, 1);
  const float rotation = unit(rng) * s.maxRotationDegrees * kPi / 180;
  const float shiftX = unit(rng) * s.maxShift;
  const float shiftY = unit(rng) * s.maxShift;
  // A smooth bend: stretch along a random direction, growing with the distance from the centre.
  const float bendDir = zeroOne(rng) * kPi;
  const float bend = unit(rng) * s.distortion;
  const float cx = kWidth / 2.0f;
  const float cy = kHeight / 2.0f;
  const float c = std::cos(rotation);
  const float sn = std::sin(rotation);

  codec::FingerTemplate t = master;
  t.minutiae.clear();
  t.ridgeCounts.clear();
  const auto place = [&](float x, float y, float degrees, codec::Minutia m) {
    float dx = x - cx;
    float dy = y - cy;
    const float along = dx * std::cos(bendDir) + dy * std::sin(bendDir);
    const float r = std::sqrt(dx * dx + dy * dy) / 240.0f;
    dx += std::cos(bendDir) * along * bend * r;
    dy += std::sin(bendDir) * along * bend * r;
    const float nx = cx + c * dx - sn * dy + shiftX + noise(rng) * s.positionNoise;
    const float ny = cy + sn * dx + c * dy + shiftY + noise(rng) * s.positionNoise;
    if (nx < 0 || ny < 0 || nx >= kWidth || ny >= kHeight) {
      return;
    }
    // Image y points down, so a clockwise turn on screen (positive here) lowers the angle.
    float a = degrees - rotation * 180 / kPi + noise(rng) * s.angleNoise;
    a = std::fmod(std::fmod(a, 360.0f) + 360.0f, 360.0f);
    m.x = static_cast<uint16_t>(nx);
    m.y = static_cast<uint16_t>(ny);
    m.angle = static_cast<uint16_t>(static_cast<int>(a) % 360);
    t.minutiae.push_back(m);
  };
  // Where each master minutia went (-1: lost).
  std::vector<int> placed(master.minutiae.size(), -1);
  for (size_t n = 0; n < master.minutiae.size(); ++n) {
    const auto& m = master.minutiae[n];
    if (zeroOne(rng) < s.lost) {
      continue;
    }
    const size_t before = t.minutiae.size();
    place(m.x, m.y, m.angle, m);
    placed[n] = t.minutiae.size() > before ? static_cast<int>(before) : -1;
  }
  const int extra = static_cast<int>(s.spurious * static_cast<float>(master.minutiae.size()));
  for (int n = 0; n < extra; ++n) {
    const float x = zeroOne(rng) * kWidth;
    const float y = zeroOne(rng) * kHeight;
    if (InFinger(x, y)) {
      codec::Minutia m;
      m.quality = 30;
      place(x, y, zeroOne(rng) * 360, m);
    }
  }
  for (const codec::RidgeCount& r : master.ridgeCounts) {
    if (r.from >= placed.size() || r.to >= placed.size() || placed[r.from] < 0 ||
        placed[r.to] < 0) {
      continue;
    }
    codec::RidgeCount kept{static_cast<uint8_t>(placed[r.from]), static_cast<uint8_t>(placed[r.to]),
                           r.count};
    if (s.ridgeCountNoise > 0 && zeroOne(rng) < s.ridgeCountNoise) {
      kept.count = static_cast<uint8_t>(kept.count == 0 || (rng() & 1) != 0 ? kept.count + 1
                                                                            : kept.count - 1);
    }
    t.ridgeCounts.push_back(kept);
  }
  return t;
}

void AddRidgeCounts(codec::FingerTemplate* tmpl, int neighbours, float period, float direction) {
  const auto& m = tmpl->minutiae;
  const float c = std::cos(direction);
  const float sn = std::sin(direction);
  // Which ridge a point lies on: its distance across the ridges, in periods.
  const auto ridge = [&](const codec::Minutia& p) {
    return static_cast<int>(std::floor((-sn * p.x + c * p.y) / period));
  };
  tmpl->ridgeCounts.clear();
  tmpl->ridgeCountMethod = codec::RidgeCountMethod::kNonSpecific;
  for (size_t i = 0; i < m.size() && i < 256; ++i) {
    std::vector<std::pair<float, size_t>> byDistance;
    for (size_t j = 0; j < m.size() && j < 256; ++j) {
      if (j != i) {
        const float dx = static_cast<float>(m[j].x) - m[i].x;
        const float dy = static_cast<float>(m[j].y) - m[i].y;
        byDistance.emplace_back(dx * dx + dy * dy, j);
      }
    }
    std::sort(byDistance.begin(), byDistance.end());
    for (size_t n = 0; n < byDistance.size() && n < static_cast<size_t>(neighbours); ++n) {
      const size_t j = byDistance[n].second;
      tmpl->ridgeCounts.push_back({static_cast<uint8_t>(i), static_cast<uint8_t>(j),
                                   static_cast<uint8_t>(std::abs(ridge(m[i]) - ridge(m[j])))});
    }
  }
}

std::vector<uint8_t> Record(const codec::FingerTemplate& tmpl) {
  std::vector<uint8_t> out;
  codec::EncodeIso19794_2(tmpl, &out);
  return out;
}

}  // namespace devicelib::matcher::testing
