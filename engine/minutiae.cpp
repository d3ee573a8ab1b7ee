#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "engine/stages.h"
#include "engine/tuning.h"

namespace engine {
namespace {

constexpr int kDx[8] = {0, 1, 1, 1, 0, -1, -1, -1};
constexpr int kDy[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
constexpr float kPi = std::numbers::pi_v<float>;

bool On(const ImageU8& s, int x, int y) {
  return s.inside(x, y) && s.at(x, y);
}

int Ring(const ImageU8& s, int x, int y) {
  int m = 0;
  for (int k = 0; k < 8; ++k)
    m |= On(s, x + kDx[k], y + kDy[k]) << k;
  return m;
}

int CrossingNumber(int m) {
  int c = 0;
  for (int k = 0; k < 8; ++k)
    c += ((m >> k) & 1) != ((m >> ((k + 1) & 7)) & 1);
  return c / 2;
}

// Follows the skeleton from (x, y) through the first step (sx, sy) for at most `steps` pixels,
// not entering `avoid` pixels. Stops on a pixel that is not a plain ridge pixel (crossing number
// other than 2). Returns the last position, the steps taken and whether it stopped on such a
// pixel.
struct Trace {
  int x = 0, y = 0, steps = 0;
  bool stoppedAtMinutia = false;
};

Trace Follow(const ImageU8& s, int x, int y, int sx, int sy, int steps,
             std::vector<std::pair<int, int>> avoid) {
  Trace t{x, y, 0, false};
  int px = x, py = y, cx = sx, cy = sy;
  avoid.push_back({x, y});
  for (int n = 1; n <= steps; ++n) {
    t.x = cx;
    t.y = cy;
    t.steps = n;
    const int cn = CrossingNumber(Ring(s, cx, cy));
    if (cn != 2) {
      t.stoppedAtMinutia = true;
      return t;
    }
    avoid.push_back({cx, cy});
    // Next pixel: an unvisited neighbour, edge neighbours first.
    int nx = -1, ny = -1;
    for (int pass = 0; pass < 2 && nx < 0; ++pass) {
      for (int k = pass; k < 8; k += 2) {
        const int xx = cx + kDx[k], yy = cy + kDy[k];
        if (!On(s, xx, yy) || (xx == px && yy == py))
          continue;
        bool seen = false;
        for (const auto& a : avoid)
          seen = seen || (a.first == xx && a.second == yy);
        if (seen)
          continue;
        nx = xx;
        ny = yy;
        break;
      }
    }
    if (nx < 0)
      return t;
    px = cx;
    py = cy;
    cx = nx;
    cy = ny;
  }
  return t;
}

// The neighbours of a junction pixel, one per branch (runs of set ring pixels, edge first).
std::vector<std::pair<int, int>> Branches(const ImageU8& s, int x, int y) {
  const int m = Ring(s, x, y);
  std::vector<std::pair<int, int>> out;
  int start = 0;
  while (start < 8 && ((m >> start) & 1))
    ++start;  // begin after a gap
  if (start == 8)
    return out;
  for (int i = 1; i <= 8; ++i) {
    const int k = (start + i) & 7;
    if (!((m >> k) & 1))
      continue;
    if ((m >> ((k + 7) & 7)) & 1)
      continue;  // not the first of its run
    int best = k;
    for (int j = k; (m >> (j & 7)) & 1; ++j) {
      if ((j & 7) % 2 == 0) {
        best = j & 7;
        break;
      }
      if (j - k > 8)
        break;
    }
    out.push_back({x + kDx[best], y + kDy[best]});
  }
  return out;
}

float Angle(float dx, float dy) {
  return std::atan2(dy, dx);
}

float AngleDiff(float a, float b) {  // absolute, 0..pi
  float d = std::fmod(std::fabs(a - b), 2 * kPi);
  return d > kPi ? 2 * kPi - d : d;
}

}  // namespace

std::vector<RawMinutia> DetectMinutiae(const ImageU8& s) {
  using namespace tuning;
  std::vector<RawMinutia> out;
  for (int y = 1; y + 1 < s.height; ++y) {
    for (int x = 1; x + 1 < s.width; ++x) {
      if (!s.at(x, y))
        continue;
      const int m = Ring(s, x, y);
      const int cn = CrossingNumber(m);
      if (cn == 1) {
        int k = 0;
        while (!((m >> k) & 1))
          ++k;
        // An ending with two adjacent neighbours: step onto the edge one.
        for (int j = 0; j < 8; j += 2) {
          if ((m >> j) & 1)
            k = j;
        }
        const Trace t = Follow(s, x, y, x + kDx[k], y + kDy[k], kTraceLength, {});
        if (t.steps < 3)
          continue;  // an isolated speck
        RawMinutia mn;
        mn.x = x;
        mn.y = y;
        mn.angle = Angle(static_cast<float>(x - t.x), static_cast<float>(y - t.y));
        mn.bifurcation = false;
        out.push_back(mn);
      } else if (cn == 3) {
        const auto br = Branches(s, x, y);
        if (br.size() != 3)
          continue;
        float dir[3];
        for (int i = 0; i < 3; ++i) {
          std::vector<std::pair<int, int>> avoid;
          for (int j = 0; j < 3; ++j) {
            if (j != i)
              avoid.push_back(br[j]);
          }
          const Trace t = Follow(s, x, y, br[i].first, br[i].second, kTraceLength, avoid);
          dir[i] = Angle(static_cast<float>(t.x - x), static_cast<float>(t.y - y));
        }
        // The stem is the branch farthest from the other two.
        int stem = 0;
        float bestSep = -1;
        for (int i = 0; i < 3; ++i) {
          const float sep =
              AngleDiff(dir[i], dir[(i + 1) % 3]) + AngleDiff(dir[i], dir[(i + 2) % 3]);
          if (sep > bestSep) {
            bestSep = sep;
            stem = i;
          }
        }
        RawMinutia mn;
        mn.x = x;
        mn.y = y;
        mn.angle = dir[stem] + kPi;
        mn.bifurcation = true;
        out.push_back(mn);
      }
    }
  }
  return out;
}

std::vector<RawMinutia> FilterMinutiae(std::vector<RawMinutia> found, const ImageU8& s,
                                       const Plane<uint8_t>& mask, const OrientationField& field) {
  using namespace tuning;
  const int n = static_cast<int>(found.size());
  std::vector<uint8_t> drop(n, 0);
  std::vector<float> rim(n);
  for (int i = 0; i < n; ++i)
    rim[i] = RimDistance(mask, s.width, s.height, found[i].x, found[i].y);

  // Border.
  for (int i = 0; i < n; ++i) {
    if (rim[i] < kBorderDistance)
      drop[i] = 1;
  }
  // Structure along the skeleton: spurs, short ridges, bridges and holes.
  auto hit = [&](const Trace& t) -> int {
    if (!t.stoppedAtMinutia)
      return -1;
    for (int j = 0; j < n; ++j) {  // exact position first, then a neighbour
      if (found[j].x == t.x && found[j].y == t.y)
        return j;
    }
    for (int j = 0; j < n; ++j) {
      if (std::abs(found[j].x - t.x) <= 1 && std::abs(found[j].y - t.y) <= 1)
        return j;
    }
    return -1;
  };
  std::vector<uint8_t> structural(n, 0);
  for (int i = 0; i < n; ++i) {
    const RawMinutia& m = found[i];
    const auto br = m.bifurcation ? Branches(s, m.x, m.y) : std::vector<std::pair<int, int>>{};
    std::vector<std::pair<int, int>> starts = br;
    if (!m.bifurcation) {
      const int ring = Ring(s, m.x, m.y);
      for (int k = 0; k < 8; ++k) {
        if ((ring >> k) & 1) {
          starts.push_back({m.x + kDx[k], m.y + kDy[k]});
          break;
        }
      }
    }
    for (size_t b = 0; b < starts.size(); ++b) {
      std::vector<std::pair<int, int>> avoid;
      for (size_t j = 0; j < starts.size(); ++j) {
        if (j != b)
          avoid.push_back(starts[j]);
      }
      const int len = std::max({kSpurLength, kIslandLength, kBridgeLength});
      const Trace t = Follow(s, m.x, m.y, starts[b].first, starts[b].second, len, avoid);
      const int j = hit(t);
      if (j < 0 || j == i)
        continue;
      const RawMinutia& o = found[j];
      bool bad = false;
      if (!m.bifurcation && o.bifurcation)
        bad = t.steps <= kSpurLength;  // spur
      else if (!m.bifurcation && !o.bifurcation)
        bad = t.steps <= kIslandLength;  // short ridge
      else if (m.bifurcation && o.bifurcation)
        bad = t.steps <= kBridgeLength;  // bridge, hole
      else
        bad = t.steps <= kSpurLength;  // spur (seen from the fork)
      if (bad)
        structural[i] = structural[j] = 1;
    }
  }
  // Breaks: two endings facing each other across a short gap.
  for (int i = 0; i < n; ++i) {
    if (found[i].bifurcation)
      continue;
    for (int j = i + 1; j < n; ++j) {
      if (found[j].bifurcation)
        continue;
      const float dx = static_cast<float>(found[j].x - found[i].x),
                  dy = static_cast<float>(found[j].y - found[i].y);
      const float d = std::hypot(dx, dy);
      if (d > kBreakDistance || d < 1)
        continue;
      const float facing = AngleDiff(found[i].angle, found[j].angle + kPi);
      const float towards = AngleDiff(found[i].angle, std::atan2(dy, dx));
      const float lim = kBreakAngle * kPi / 180;
      if (facing < lim && towards < lim)
        structural[i] = structural[j] = 1;
    }
  }
  for (int i = 0; i < n; ++i)
    drop[i] |= structural[i];
  // Clusters.
  std::vector<uint8_t> cluster(n, 0);
  const float r2 = kClusterRadius * kClusterRadius;
  for (int i = 0; i < n; ++i) {
    if (drop[i])
      continue;
    int near = 0;
    for (int j = 0; j < n; ++j) {
      if (j == i || drop[j])
        continue;
      const float dx = static_cast<float>(found[j].x - found[i].x),
                  dy = static_cast<float>(found[j].y - found[i].y);
      near += dx * dx + dy * dy < r2;
    }
    cluster[i] = near > kClusterCount;
  }
  std::vector<RawMinutia> out;
  for (int i = 0; i < n; ++i) {
    if (drop[i] || cluster[i])
      continue;
    RawMinutia m = found[i];
    // Direction: snap to the smoothed ridge flow where it is clear, keeping the traced sense.
    const int bx = m.x / kBlock, by = m.y / kBlock;
    const float coh = field.coherence.at(bx, by);
    float flow = field.angle.at(bx, by);
    if (AngleDiff(flow, m.angle) > kPi / 2)
      flow += kPi;
    const float deviation = AngleDiff(flow, m.angle);
    if (coh > kFlowClearCoherence && deviation > kFlowDropDegrees * kPi / 180)
      continue;  // crosses the flow
    if (coh > kFlowClearCoherence && deviation < kFlowSnapDegrees * kPi / 180)
      m.angle = flow;
    // Quality: ridge clarity here and distance from the rim.
    const float inside = std::min(1.0f, rim[i] / 32.0f);
    const float clarity = std::min(1.0f, coh / 0.6f);
    m.quality = 100.0f * clarity * (0.4f + 0.6f * inside);
    if (m.quality < kMinMinutiaQuality)
      continue;
    out.push_back(m);
  }
  if (static_cast<int>(out.size()) > kMaxMinutiae) {
    std::stable_sort(out.begin(), out.end(), [](const RawMinutia& a, const RawMinutia& b) {
      return a.quality > b.quality;
    });
    out.resize(kMaxMinutiae);
  }
  return out;
}

void WeighDownAtFrame(const ImageU8& image, std::vector<RawMinutia>* minutiae) {
  using namespace tuning;
  for (RawMinutia& m : *minutiae) {
    if (m.y < 0 || m.y >= image.height)
      continue;
    const uint8_t* row = image.data.data() + static_cast<size_t>(m.y) * image.width;
    // The frame's width on this row at either side, 0 when there is none. The runs are read
    // only up to one pixel past the longest frame.
    const int reach = std::min(image.width, kFrameMaxRun + 1);
    int left = 0;
    while (left < reach && row[left] >= kFrameLevel)
      ++left;
    int right = 0;
    while (right < reach && row[image.width - 1 - right] >= kFrameLevel)
      ++right;
    const bool leftFrame = left >= kFrameMinRun && left <= kFrameMaxRun;
    const bool rightFrame = right >= kFrameMinRun && right <= kFrameMaxRun;
    if ((leftFrame && m.x - left < kBorderDistance) ||
        (rightFrame && image.width - 1 - right - m.x < kBorderDistance))
      m.quality = std::max(1.0f, m.quality * kFrameQualityScale);
  }
}

}  // namespace engine
