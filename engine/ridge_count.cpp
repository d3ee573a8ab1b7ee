#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "engine/stages.h"
#include "engine/tuning.h"

namespace engine {

namespace {

struct Run {
  bool ridge = false;
  int length = 0;
};

// The ridge and valley runs of the binary image along the straight segment from a to b (both
// ends included), or false when the segment leaves the foreground mask.
bool RunsAlong(const ImageU8& binary, const Plane<uint8_t>& mask, const RawMinutia& a,
               const RawMinutia& b, std::vector<Run>* runs) {
  using tuning::kBlock;
  runs->clear();
  const int dx = b.x - a.x;
  const int dy = b.y - a.y;
  const int steps = std::max(std::abs(dx), std::abs(dy));
  for (int s = 0; s <= steps; ++s) {
    // The nearest pixel to the point s / steps of the way, halves rounded away from a, in
    // integers.
    const int num = 2 * s;
    const int den = 2 * std::max(steps, 1);
    const int ox = (dx * num + (dx >= 0 ? steps : -steps)) / den;
    const int oy = (dy * num + (dy >= 0 ? steps : -steps)) / den;
    const int x = a.x + ox;
    const int y = a.y + oy;
    if (!binary.inside(x, y) || !mask.inside(x / kBlock, y / kBlock) ||
        !mask.at(x / kBlock, y / kBlock)) {
      return false;
    }
    const bool ridge = binary.at(x, y) != 0;
    if (runs->empty() || runs->back().ridge != ridge) {
      runs->push_back({ridge, 1});
    } else {
      ++runs->back().length;
    }
  }
  return true;
}

}  // namespace

int RidgesBetween(const ImageU8& binary, const Plane<uint8_t>& mask, const RawMinutia& a,
                  const RawMinutia& b) {
  using namespace tuning;
  std::vector<Run> raw;
  if (!RunsAlong(binary, mask, a, b, &raw)) {
    return -1;
  }
  // A run of one pixel between two runs of the other kind is noise (a speck in a valley, a
  // crack across a ridge, a diagonal step of a ridge's edge): it joins its neighbours.
  std::vector<Run> runs;
  runs.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    const bool inner = i > 0 && i + 1 < raw.size();
    if (inner && raw[i].length <= kRidgeCountNoiseRun && !runs.empty()) {
      runs.back().length += raw[i].length;
      continue;
    }
    if (!runs.empty() && runs.back().ridge == raw[i].ridge) {
      runs.back().length += raw[i].length;
    } else {
      runs.push_back(raw[i]);
    }
  }
  // The minutiae's own ridges are not counted: the ridge run at either end, or the first one
  // within kRidgeCountOwnReach of the end when the minutia's pixel itself reads as valley (a
  // minutia sits on its ridge's skeleton, but the binary image's edge may pass a pixel from it).
  size_t first = 0;
  size_t last = runs.size();  // one past
  if (first < last && !runs[first].ridge && runs[first].length <= kRidgeCountOwnReach)
    ++first;
  if (first < last && runs[first].ridge)
    ++first;
  if (first < last && !runs[last - 1].ridge && runs[last - 1].length <= kRidgeCountOwnReach)
    --last;
  if (first < last && runs[last - 1].ridge)
    --last;
  int count = 0;
  for (size_t i = first; i < last; ++i) {
    count += runs[i].ridge ? 1 : 0;
  }
  return count;
}

std::vector<codec::RidgeCount> CountRidges(const std::vector<RawMinutia>& minutiae,
                                           const ImageU8& binary, const Plane<uint8_t>& mask) {
  using namespace tuning;
  const size_t n = std::min<size_t>(minutiae.size(), 255);  // the records' indices are bytes
  // Each minutia's nearest neighbours within reach, nearest first; a pair whose segment leaves
  // the finger gives way to the next nearest.
  struct Near {
    int d2 = 0;
    size_t j = 0;
  };
  std::vector<Near> near;
  std::vector<int> counted(n * n, -2);  // -2 not tried, -1 leaves the mask, else the count
  const int reach2 = kRidgeCountReach * kRidgeCountReach;
  for (size_t i = 0; i < n; ++i) {
    near.clear();
    for (size_t j = 0; j < n; ++j) {
      const int dx = minutiae[j].x - minutiae[i].x;
      const int dy = minutiae[j].y - minutiae[i].y;
      const int d2 = dx * dx + dy * dy;
      if (j != i && d2 <= reach2)
        near.push_back({d2, j});
    }
    std::sort(near.begin(), near.end(),
              [](const Near& p, const Near& q) { return p.d2 != q.d2 ? p.d2 < q.d2 : p.j < q.j; });
    int taken = 0;
    for (const Near& p : near) {
      if (taken == kRidgeCountNeighbours)
        break;
      const size_t lo = std::min(i, p.j);
      const size_t hi = std::max(i, p.j);
      int& c = counted[lo * n + hi];
      if (c == -2)
        c = RidgesBetween(binary, mask, minutiae[lo], minutiae[hi]);
      taken += c >= 0 ? 1 : 0;
    }
  }
  // Each pair once, the lower index first, in index order.
  std::vector<codec::RidgeCount> out;
  for (size_t lo = 0; lo < n; ++lo) {
    for (size_t hi = lo + 1; hi < n; ++hi) {
      const int c = counted[lo * n + hi];
      if (c >= 0) {
        out.push_back({.from = static_cast<uint8_t>(lo),
                       .to = static_cast<uint8_t>(hi),
                       .count = static_cast<uint8_t>(std::min(c, 255))});
      }
    }
  }
  return out;
}

}  // namespace engine
