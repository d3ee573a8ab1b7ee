#include "devicelib/matcher/minutiae_compare.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace devicelib::matcher {
namespace {

// Tolerances, in pixels at 500 ppi and in 1/256 turns (1 unit = 1.4 degrees).
constexpr float kMinRadius = 40.0f;        // neighbourhood radius limits: longer edges bend too
constexpr float kMaxRadius = 100.0f;       // much under distortion, shorter ones carry little
constexpr int kBetaTolerance = 18;         // 25 degrees: direction of a minutia relative to an edge
constexpr int kMaxRotation = 32;           // 45 degrees between two placements of a finger
constexpr int kPairAngleTolerance = 16;    // 22 degrees between paired minutiae
constexpr float kPairRadius = 8.0f;        // position tolerance at the anchor ...
constexpr float kPairRadiusGrowth = 0.1f;  // ... growing with the distance from it ...
constexpr float kMaxPairRadius = 22.0f;    // ... up to this
constexpr float kOverlapMargin = 16.0f;    // minutiae this close to the other's box count
constexpr int kMinEffectiveCount = 12;     // small overlaps do not inflate the score
constexpr int kMinPaired = 3;
constexpr size_t kMaxEdges = kMaxMinutiae * 16;
constexpr int kSurePaired = 12;
constexpr float kUnitsPerRadian = 128.0f / std::numbers::pi_v<float>;

// Length tolerance of an edge of length l: a few pixels plus 8% for elastic stretch.
constexpr int LengthTolerance(int l) {
  return 2 + (l * 8 + 50) / 100;
}

int Wrap(int units) {
  return static_cast<int8_t>(static_cast<uint8_t>(units));
}

int AngleDistance(uint8_t a, uint8_t b) {
  const int d = Wrap(a - b);
  return d < 0 ? -d : d;
}

// atan2 in 1/256 turns, within half a unit; the library call would dominate preparation.
uint8_t Direction(float dx, float dy) {
  const float ax = std::fabs(dx);
  const float ay = std::fabs(dy);
  const float hi = std::max(ax, ay);
  if (hi == 0.0f) {
    return 0;
  }
  const float a = std::min(ax, ay) / hi;
  const float s = a * a;
  float r = ((-0.0464964749f * s + 0.15931422f) * s - 0.327622764f) * s * a + a;
  if (ay > ax) {
    r = std::numbers::pi_v<float> / 2 - r;
  }
  if (dx < 0) {
    r = std::numbers::pi_v<float> - r;
  }
  if (dy < 0) {
    r = -r;
  }
  return static_cast<uint8_t>(static_cast<int>(r * kUnitsPerRadian + 256.5f));
}

}  // namespace

CompareOptions FullModeOptions() {
  return CompareOptions{};
}

CompareOptions FastModeOptions() {
  CompareOptions o;
  o.neighbours = 5;
  o.seeds = 2;
  o.refine = false;
  return o;
}

PreparedTemplate::PreparedTemplate() {
  edges_.reserve(kMaxEdges * 2);
  indexed_.reserve(kMaxEdges);
  unsorted_.reserve(kMaxEdges);
}

void PreparedTemplate::Prepare(const codec::FingerTemplate& tmpl, const CompareOptions& options,
                               Role role) {
  const bool probeSide = (static_cast<int>(role) & static_cast<int>(Role::kProbe)) != 0;
  const bool gallerySide = (static_cast<int>(role) & static_cast<int>(Role::kGallery)) != 0;
  const float sx = tmpl.xResolution > 0 ? 197.0f / tmpl.xResolution : 1.0f;
  const float sy = tmpl.yResolution > 0 ? 197.0f / tmpl.yResolution : 1.0f;
  count_ = static_cast<int>(std::min<size_t>(tmpl.minutiae.size(), kMaxMinutiae));

  // Order by y: key = y * 256 + index.
  std::array<uint32_t, kMaxMinutiae> order;
  for (int i = 0; i < count_; ++i) {
    order[i] = (static_cast<uint32_t>(tmpl.minutiae[i].y) << 8) | static_cast<uint32_t>(i);
  }
  std::sort(order.begin(), order.begin() + count_);
  minX_ = minY_ = 1e9f;
  maxX_ = maxY_ = -1e9f;
  for (int k = 0; k < count_; ++k) {
    const codec::Minutia& m = tmpl.minutiae[order[k] & 0xFF];
    x_[k] = m.x * sx;
    y_[k] = m.y * sy;
    // Records count angles counter-clockwise with y pointing up; here y points down, so the
    // direction flips sign. 1/256 turns let angle arithmetic wrap in a byte.
    angle_[k] = static_cast<uint8_t>(256u - (m.angle % 360u * 256u + 180u) / 360u);
    minX_ = std::min(minX_, x_[k]);
    maxX_ = std::max(maxX_, x_[k]);
    minY_ = std::min(minY_, y_[k]);
    maxY_ = std::max(maxY_, y_[k]);
  }

  if (gallerySide) {
    int k = 0;
    for (int band = 0; band <= kRowBands; ++band) {
      while (k < count_ && y_[k] < static_cast<float>(band * kRowBand)) {
        ++k;
      }
      rowStart_[band] = static_cast<uint8_t>(k);
    }
  }

  // Neighbourhood radius: the print (taken as the ellipse in the minutiae's bounding box) holds
  // about `neighbours` other minutiae within it. A radius rather than the k nearest keeps an
  // edge when some other minutia is lost or added nearby.
  edges_.clear();
  indexed_.clear();
  unsorted_.clear();
  bucketStart_.fill(0);
  if (count_ < 2) {
    return;
  }
  const float area = std::max(1.0f, (maxX_ - minX_) * (maxY_ - minY_)) * 0.785f;
  const float neighbours = static_cast<float>(std::clamp(options.neighbours, 2, 16));
  const float radius = std::clamp(
      std::sqrt(neighbours * area / (std::numbers::pi_v<float> * static_cast<float>(count_))),
      kMinRadius, kMaxRadius);
  const float radius2 = radius * radius;
  for (int i = 0; i < count_; ++i) {
    for (int j = i + 1; j < count_ && y_[j] - y_[i] <= radius; ++j) {
      const float dx = x_[j] - x_[i];
      const float dy = y_[j] - y_[i];
      const float d2 = dx * dx + dy * dy;
      if (d2 > radius2 || d2 < 1.0f) {
        continue;
      }
      if (unsorted_.size() == kMaxEdges) {
        break;  // only crowded, implausible sets get here; their remaining edges are dropped
      }
      Edge e;
      e.from = static_cast<uint8_t>(i);
      e.to = static_cast<uint8_t>(j);
      e.direction = Direction(dx, dy);
      e.betaFrom = static_cast<uint8_t>(angle_[i] - e.direction);
      e.betaTo = static_cast<uint8_t>(angle_[j] - e.direction);
      e.length = static_cast<uint8_t>(std::sqrt(d2) + 0.5f);
      unsorted_.push_back(e);
      if (!probeSide) {
        continue;
      }
      edges_.push_back(e);
      Edge back;
      back.from = e.to;
      back.to = e.from;
      back.direction = static_cast<uint8_t>(e.direction + 128);
      back.betaFrom = static_cast<uint8_t>(angle_[j] - back.direction);
      back.betaTo = static_cast<uint8_t>(angle_[i] - back.direction);
      back.length = e.length;
      edges_.push_back(back);
    }
  }

  // Counting sort of the gallery-side edges into their buckets.
  indexed_.resize(gallerySide ? unsorted_.size() : 0);
  if (!gallerySide) {
    return;
  }
  const auto bucket = [](const Edge& e) {
    return (e.betaFrom >> 4) * kLengthBuckets +
           std::min(e.length / kLengthBucket, kLengthBuckets - 1);
  };
  for (const Edge& e : unsorted_) {
    ++bucketStart_[bucket(e) + 1];
  }
  for (size_t n = 1; n < bucketStart_.size(); ++n) {
    bucketStart_[n] = static_cast<uint16_t>(bucketStart_[n] + bucketStart_[n - 1]);
  }
  std::array<uint16_t, kBetaBuckets * kLengthBuckets> next;
  std::copy(bucketStart_.begin(), bucketStart_.end() - 1, next.begin());
  for (const Edge& e : unsorted_) {
    indexed_[next[bucket(e)]++] = e;
  }
}

Comparator::Comparator() {
  votes_.assign(static_cast<size_t>(kMaxMinutiae) * kMaxMinutiae, 0);
  rotationSum_.assign(votes_.size(), 0);
  touched_.reserve(votes_.size());
}

void Comparator::Vote(const PreparedTemplate& probe, const PreparedTemplate& gallery) {
  using Edge = PreparedTemplate::Edge;
  constexpr int kLengthBuckets = PreparedTemplate::kLengthBuckets;
  constexpr int kLengthBucket = PreparedTemplate::kLengthBucket;
  const auto vote = [&](int i, int j, int rotation) {
    const size_t cell = static_cast<size_t>(i) * kMaxMinutiae + static_cast<size_t>(j);
    if (votes_[cell] == 0) {
      touched_.push_back(static_cast<uint16_t>(cell));
    }
    if (votes_[cell] < 255) {
      ++votes_[cell];
      rotationSum_[cell] = static_cast<int16_t>(rotationSum_[cell] + rotation);
    }
  };
  for (const Edge& e : probe.edges_) {
    const int tolerance = LengthTolerance(e.length);
    const int lo = std::max(0, e.length - tolerance);
    const int hi = e.length + tolerance;
    const int firstLength = std::min(lo / kLengthBucket, kLengthBuckets - 1);
    const int lastLength = std::min(hi / kLengthBucket, kLengthBuckets - 1);
    // The beta buckets that the tolerance window [betaFrom - t, betaFrom + t] touches.
    const int firstBeta = (e.betaFrom - kBetaTolerance) & 0xFF;
    const int betaBuckets = ((firstBeta & 15) + 2 * kBetaTolerance) / 16 + 1;
    for (int b = 0; b < betaBuckets; ++b) {
      const int row = ((firstBeta >> 4) + b) & 15;
      const int begin = gallery.bucketStart_[row * kLengthBuckets + firstLength];
      const int end = gallery.bucketStart_[row * kLengthBuckets + lastLength + 1];
      for (int n = begin; n < end; ++n) {
        const Edge& f = gallery.indexed_[n];
        // Most candidates fail; one combined test costs less than a mispredicted branch each.
        const int rotation = Wrap(f.direction - e.direction);
        const bool agree =
            (static_cast<unsigned>(f.length - lo) <= static_cast<unsigned>(hi - lo)) &
            (static_cast<unsigned>(Wrap(e.betaFrom - f.betaFrom) + kBetaTolerance) <=
             2u * kBetaTolerance) &
            (static_cast<unsigned>(Wrap(e.betaTo - f.betaTo) + kBetaTolerance) <=
             2u * kBetaTolerance) &
            (static_cast<unsigned>(rotation + kMaxRotation) <= 2u * kMaxRotation);
        if (!agree) {
          continue;
        }
        vote(e.from, f.from, rotation);
        vote(e.to, f.to, rotation);
      }
    }
  }
}

Comparator::Pairing Comparator::Pair(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                                     const Alignment& a) {
  std::array<float, kMaxMinutiae> ownerD2;
  std::array<int16_t, kMaxMinutiae> second;
  std::array<float, kMaxMinutiae> secondD2;
  std::fill(owner_.begin(), owner_.begin() + gallery.count_, int16_t{-1});

  // Offers gallery minutia g to probe minutia k; returns the probe minutia that lost out
  // (k itself, a displaced earlier owner, or -1).
  const auto offer = [&](int k, int g, float d2) -> int {
    if (owner_[g] < 0) {
      owner_[g] = static_cast<int16_t>(k);
      ownerD2[g] = d2;
      partner_[k] = static_cast<int16_t>(g);
      return -1;
    }
    if (d2 < ownerD2[g]) {
      const int displaced = owner_[g];
      owner_[g] = static_cast<int16_t>(k);
      ownerD2[g] = d2;
      partner_[k] = static_cast<int16_t>(g);
      partner_[displaced] = -1;
      return displaced;
    }
    return k;
  };

  int probeInside = 0;
  for (int k = 0; k < probe.count_; ++k) {
    partner_[k] = -1;
    second[k] = -1;
    const float dx = probe.x_[k] - a.anchorX;
    const float dy = probe.y_[k] - a.anchorY;
    const float qx = a.targetX + a.cosine * dx - a.sine * dy;
    const float qy = a.targetY + a.sine * dx + a.cosine * dy;
    if (qx >= gallery.minX_ - kOverlapMargin && qx <= gallery.maxX_ + kOverlapMargin &&
        qy >= gallery.minY_ - kOverlapMargin && qy <= gallery.maxY_ + kOverlapMargin) {
      ++probeInside;
    }
    const float radius =
        std::min(kMaxPairRadius, kPairRadius + kPairRadiusGrowth * std::sqrt(dx * dx + dy * dy));
    const float radius2 = radius * radius;
    const uint8_t qa = static_cast<uint8_t>(probe.angle_[k] + a.rotation);
    const float* gy = gallery.y_.data();
    int best = -1;
    float bestD2 = 0;
    float nextD2 = 0;
    const float top = qy - radius;
    const int band = static_cast<int>(std::clamp(top / PreparedTemplate::kRowBand, 0.0f,
                                                 static_cast<float>(PreparedTemplate::kRowBands)));
    int g = gallery.rowStart_[band];
    while (g < gallery.count_ && gy[g] < top) {
      ++g;
    }
    for (; g < gallery.count_ && gy[g] <= qy + radius; ++g) {
      const float ex = gallery.x_[g] - qx;
      const float ey = gy[g] - qy;
      const float d2 = ex * ex + ey * ey;
      if (d2 > radius2 || AngleDistance(gallery.angle_[g], qa) > kPairAngleTolerance) {
        continue;
      }
      if (best < 0 || d2 < bestD2) {
        second[k] = static_cast<int16_t>(best);
        nextD2 = bestD2;
        best = g;
        bestD2 = d2;
      } else if (second[k] < 0 || d2 < nextD2) {
        second[k] = static_cast<int16_t>(g);
        nextD2 = d2;
      }
    }
    secondD2[k] = nextD2;
    if (best < 0) {
      continue;
    }
    // The loser of a contest tries its second choice once.
    const int loser = offer(k, best, bestD2);
    if (loser >= 0 && second[loser] >= 0 && second[loser] != best && owner_[second[loser]] < 0) {
      offer(loser, second[loser], secondD2[loser]);
    }
  }

  Pairing result;
  for (int g = 0; g < gallery.count_; ++g) {
    result.paired += owner_[g] >= 0 ? 1 : 0;
  }
  if (result.paired < kMinPaired) {
    return result;
  }
  // Gallery minutiae inside the probe's box, mapped back by the inverse alignment.
  int galleryInside = 0;
  for (int g = 0; g < gallery.count_; ++g) {
    const float dx = gallery.x_[g] - a.targetX;
    const float dy = gallery.y_[g] - a.targetY;
    const float px = a.anchorX + a.cosine * dx + a.sine * dy;
    const float py = a.anchorY - a.sine * dx + a.cosine * dy;
    if (px >= probe.minX_ - kOverlapMargin && px <= probe.maxX_ + kOverlapMargin &&
        py >= probe.minY_ - kOverlapMargin && py <= probe.maxY_ + kOverlapMargin) {
      ++galleryInside;
    }
  }
  // Minutiae outside the overlap cannot pair and do not count against the score; but an overlap
  // holding few of either set's minutiae is weak evidence, so at least half of each set and
  // kMinEffectiveCount count.
  const int m = result.paired;
  const int np = std::max({probeInside, m, kMinEffectiveCount, probe.count_ / 2});
  const int ng = std::max({galleryInside, m, kMinEffectiveCount, gallery.count_ / 2});
  result.score = static_cast<int>(static_cast<int64_t>(kMaxScore) * m * m / (np * ng));
  return result;
}

bool Comparator::Refit(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                       const std::array<int16_t, kMaxMinutiae>& owner, Alignment* a) {
  float px = 0, py = 0, gx = 0, gy = 0;
  int m = 0;
  for (int g = 0; g < gallery.count_; ++g) {
    if (owner[g] >= 0) {
      px += probe.x_[owner[g]];
      py += probe.y_[owner[g]];
      gx += gallery.x_[g];
      gy += gallery.y_[g];
      ++m;
    }
  }
  if (m < kMinPaired) {
    return false;
  }
  px /= static_cast<float>(m);
  py /= static_cast<float>(m);
  gx /= static_cast<float>(m);
  gy /= static_cast<float>(m);
  float sxx = 0, sxy = 0;
  for (int g = 0; g < gallery.count_; ++g) {
    if (owner[g] >= 0) {
      const float ux = probe.x_[owner[g]] - px;
      const float uy = probe.y_[owner[g]] - py;
      const float vx = gallery.x_[g] - gx;
      const float vy = gallery.y_[g] - gy;
      sxx += ux * vx + uy * vy;
      sxy += ux * vy - uy * vx;
    }
  }
  const float rho = std::atan2(sxy, sxx);
  const int rotation = static_cast<int>(std::lround(rho * kUnitsPerRadian));
  if (rotation > kMaxRotation + 4 || rotation < -kMaxRotation - 4) {
    return false;
  }
  a->cosine = std::cos(rho);
  a->sine = std::sin(rho);
  a->rotation = rotation;
  a->anchorX = px;
  a->anchorY = py;
  a->targetX = gx;
  a->targetY = gy;
  return true;
}

int Comparator::Score(const PreparedTemplate& probe, const PreparedTemplate& gallery,
                      const CompareOptions& options) {
  if (probe.count_ < kMinPaired || gallery.count_ < kMinPaired) {
    return 0;
  }
  touched_.clear();
  Vote(probe, gallery);

  // The cells with the most votes, best first.
  constexpr int kMaxSeeds = 16;
  const int seedCount = std::clamp(options.seeds, 1, kMaxSeeds);
  std::array<uint16_t, kMaxSeeds> seeds;
  int found = 0;
  for (const uint16_t cell : touched_) {
    const uint8_t v = votes_[cell];
    if (found == seedCount && v <= votes_[seeds[found - 1]]) {
      continue;
    }
    int at = found < seedCount ? found++ : seedCount - 1;
    while (at > 0 && votes_[seeds[at - 1]] < v) {
      seeds[at] = seeds[at - 1];
      --at;
    }
    seeds[at] = cell;
  }

  // Try the seeds in turn; a seed that an earlier alignment already paired would repeat it.
  std::array<int16_t, kMaxMinutiae> covered;
  std::fill(covered.begin(), covered.begin() + probe.count_, int16_t{-1});
  int best = 0;
  int bestPaired = 0;
  Alignment bestAlignment;
  for (int s = 0; s < found; ++s) {
    // A correspondence only one edge pair supports is as likely chance as not: past the first
    // two seeds, only those with more support are worth an alignment.
    if (s > 1 && votes_[seeds[s]] < 2) {
      break;
    }
    const int i = seeds[s] / kMaxMinutiae;
    const int j = seeds[s] % kMaxMinutiae;
    if (covered[i] == j) {
      continue;
    }
    Alignment a;
    const float mean = static_cast<float>(rotationSum_[seeds[s]]) / votes_[seeds[s]];
    a.rotation = static_cast<int>(std::lround(mean));
    const float rho = mean / kUnitsPerRadian;
    a.cosine = std::cos(rho);
    a.sine = std::sin(rho);
    a.anchorX = probe.x_[i];
    a.anchorY = probe.y_[i];
    a.targetX = gallery.x_[j];
    a.targetY = gallery.y_[j];
    const Pairing p = Pair(probe, gallery, a);
    for (int k = 0; k < probe.count_; ++k) {
      if (partner_[k] >= 0) {
        covered[k] = partner_[k];
      }
    }
    if (p.paired > bestPaired || (p.paired == bestPaired && p.score > best)) {
      bestPaired = p.paired;
      bestAlignment = a;
      std::copy(owner_.begin(), owner_.begin() + gallery.count_, bestOwner_.begin());
    }
    best = std::max(best, p.score);
    // A pairing this large is the finger's alignment; other seeds would find it again.
    if (p.paired >= kSurePaired && 5 * p.paired >= 2 * std::min(probe.count_, gallery.count_)) {
      break;
    }
  }
  // Re-align the best pairing by least squares and pair once more: the seed's own position
  // and rotation errors no longer limit how far from it minutiae can pair.
  if (options.refine && bestPaired >= kMinPaired &&
      Refit(probe, gallery, bestOwner_, &bestAlignment)) {
    best = std::max(best, Pair(probe, gallery, bestAlignment).score);
  }

  for (const uint16_t cell : touched_) {
    votes_[cell] = 0;
    rotationSum_[cell] = 0;
  }
  return best;
}

}  // namespace devicelib::matcher
