#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/scratch.h"
#include "engine/stages.h"
#include "engine/tuning.h"

namespace engine {
namespace {

// Morphology on the block grid; blocks outside the grid count as `outside`.
Plane<uint8_t> Dilate(const Plane<uint8_t>& m, int r, uint8_t outside, bool erode) {
  Plane<uint8_t> out(m.width, m.height);
  for (int y = 0; y < m.height; ++y) {
    for (int x = 0; x < m.width; ++x) {
      uint8_t v = erode ? 1 : 0;
      for (int dy = -r; dy <= r; ++dy) {
        for (int dx = -r; dx <= r; ++dx) {
          const uint8_t s = m.inside(x + dx, y + dy) ? m.at(x + dx, y + dy) : outside;
          v = erode ? (v & s) : (v | s);
        }
      }
      out.at(x, y) = v;
    }
  }
  return out;
}

// Labels 4-connected components of value `value`; returns the size of each, labels in `label`.
std::vector<int> Components(const Plane<uint8_t>& m, uint8_t value, Plane<int>& label) {
  label = Plane<int>(m.width, m.height, -1);
  std::vector<int> sizes;
  std::vector<int> stack;
  for (int i = 0; i < static_cast<int>(m.data.size()); ++i) {
    if (m.data[i] != value || label.data[i] >= 0)
      continue;
    const int id = static_cast<int>(sizes.size());
    sizes.push_back(0);
    stack.push_back(i);
    label.data[i] = id;
    while (!stack.empty()) {
      const int p = stack.back();
      stack.pop_back();
      ++sizes[id];
      const int x = p % m.width, y = p / m.width;
      const int nx[4] = {x - 1, x + 1, x, x};
      const int ny[4] = {y, y, y - 1, y + 1};
      for (int k = 0; k < 4; ++k) {
        if (!m.inside(nx[k], ny[k]))
          continue;
        const int q = ny[k] * m.width + nx[k];
        if (m.data[q] == value && label.data[q] < 0) {
          label.data[q] = id;
          stack.push_back(q);
        }
      }
    }
  }
  return sizes;
}

}  // namespace

Plane<uint8_t> SegmentForeground(const ImageU8& image) {
  using namespace tuning;
  const int w = image.width, h = image.height;
  const int bw = (w + kBlock - 1) / kBlock, bh = (h + kBlock - 1) / kBlock;
  Plane<uint8_t> mask(bw, bh);
  if (w < kSegWindow || h < kSegWindow)
    return mask;
  // Ridge contrast: mean absolute difference between each pixel and its local mean over a
  // window of about half a ridge period. Ridges score high everywhere; a step between a uniform
  // background and the finger only along a narrow band, and sensor noise little. The local
  // means come from a box sliding down the image, the differences go straight into the cells
  // of the block windows: no image-sized buffer.
  const StageScratch scratch;
  SlidingBox local(scratch->columns[0], scratch->prefix[0], w, h, kSegDetailRadius);
  BlockSums d(scratch->blocks[0], scratch->spans[0], w, h, kBlock, kSegWindow);
  std::vector<uint32_t>& prefix = scratch->rowPrefix[0];
  prefix.assign(static_cast<size_t>(w) + 1, 0);
  const int r = kSegDetailRadius;
  for (int y = 0; y < h; ++y) {
    local.Advance(y, image.data.data(), SlidingBox::Value::kGrey);
    const uint8_t* grey = &image.at(0, y);
    const auto add = [&](int x, int64_t mean16) {  // mean16: the local mean in 1/16 grey units
      prefix[x + 1] = prefix[x] + static_cast<uint32_t>(std::abs(mean16 - 16 * grey[x]));
    };
    const auto edge = [&](int x) {
      int n = 0;
      const int64_t sum = local.Sum(x, &n);  // sets n: read it only after the call
      add(x, sum * 16 / n);
    };
    // Away from the side edges every box holds the same n pixels, and the division by n is a
    // multiplication by ceil(2^40 / n) and a shift: exact, since 16 x a box sum stays below
    // 2^18 (49 x 255 x 16), so the rounding up adds less than 2^-22 to a quotient whose
    // fraction is at most (n - 1) / n, with n at most 49.
    const int x0 = std::min(r, w), x1 = std::max(x0, w - r);
    const uint64_t n = static_cast<uint64_t>(2 * r + 1) * local.Rows();
    const uint64_t reciprocal = ((uint64_t{1} << 40) + n - 1) / n;
    const uint32_t* box = local.Prefix();
    for (int x = 0; x < x0; ++x)
      edge(x);
    for (int x = x0; x < x1; ++x) {
      const uint64_t sum16 = static_cast<uint64_t>(box[x + r + 1] - box[x - r]) * 16;
      add(x, static_cast<int64_t>((sum16 * reciprocal) >> 40));
    }
    for (int x = x1; x < w; ++x)
      edge(x);
    d.AddRow(y, prefix.data());
  }
  Plane<float> spread(bw, bh);
  std::vector<float> all;
  all.reserve(spread.data.size());
  for (int by = 0; by < bh; ++by) {
    for (int bx = 0; bx < bw; ++bx) {
      const int cx = bx * kBlock + kBlock / 2, cy = by * kBlock + kBlock / 2;
      const int x0 = std::clamp(cx - kSegWindow / 2, 0, w),
                x1 = std::clamp(cx + kSegWindow / 2, 0, w);
      const int y0 = std::clamp(cy - kSegWindow / 2, 0, h),
                y1 = std::clamp(cy + kSegWindow / 2, 0, h);
      const double n = static_cast<double>(x1 - x0) * (y1 - y0);
      if (n <= 0)
        continue;
      spread.at(bx, by) = static_cast<float>(static_cast<int64_t>(d.At(bx, by)) / (16.0 * n));
      all.push_back(spread.at(bx, by));
    }
  }
  if (all.empty())
    return mask;
  const size_t k95 = all.size() * 95 / 100;
  std::nth_element(all.begin(), all.begin() + k95, all.end());
  const float threshold = std::max(kSegAbsContrast, kSegRelContrast * all[k95]);
  for (size_t i = 0; i < mask.data.size(); ++i)
    mask.data[i] = spread.data[i] >= threshold;

  // Close small gaps, fill holes, drop small components, erode the rim.
  mask = Dilate(Dilate(mask, kSegCloseBlocks, 1, false), kSegCloseBlocks, 1, true);
  Plane<int> label;
  {
    std::vector<int> sizes = Components(mask, 0, label);
    std::vector<uint8_t> touches(sizes.size(), 0);
    for (int y = 0; y < bh; ++y) {
      for (int x = 0; x < bw; ++x) {
        if ((x == 0 || y == 0 || x == bw - 1 || y == bh - 1) && label.at(x, y) >= 0)
          touches[label.at(x, y)] = 1;
      }
    }
    for (size_t i = 0; i < mask.data.size(); ++i) {
      if (label.data[i] >= 0 && !touches[label.data[i]])
        mask.data[i] = 1;  // a hole
    }
  }
  {
    std::vector<int> sizes = Components(mask, 1, label);
    const int minSize = std::max(4, static_cast<int>(kSegMinComponent * bw * bh));
    for (size_t i = 0; i < mask.data.size(); ++i) {
      if (label.data[i] >= 0 && sizes[label.data[i]] < minSize)
        mask.data[i] = 0;
    }
  }
  if (kSegErodeBlocks > 0)
    mask = Dilate(mask, kSegErodeBlocks, 1, true);
  return mask;
}

float RimDistance(const Plane<uint8_t>& mask, int width, int height, int x, int y) {
  using tuning::kBlock;
  // Nearest background: the image edge, or the nearest pixel of a background block nearby.
  const int edge = std::min({x + 1, y + 1, width - x, height - y});
  int best2 = edge * edge;  // squared distances
  const int reach = edge / kBlock + 1;
  const int bx = x / kBlock, by = y / kBlock;
  const auto visit = [&](int dx, int dy) {
    const int cx = bx + dx, cy = by + dy;
    if (!mask.inside(cx, cy) || mask.at(cx, cy))
      return;
    const int nx = std::clamp(x, cx * kBlock, cx * kBlock + kBlock - 1);
    const int ny = std::clamp(y, cy * kBlock, cy * kBlock + kBlock - 1);
    best2 = std::min(best2, (x - nx) * (x - nx) + (y - ny) * (y - ny));
  };
  // Rings of blocks outwards: every pixel of ring d (d blocks away in x or y) is at least
  // (d - 1) kBlock + 1 pixels away, so the search stops at the first ring that cannot come
  // nearer than what was found (deep inside a finger that saves scanning thousands of blocks).
  visit(0, 0);
  for (int d = 1; d <= reach; ++d) {
    const int least = (d - 1) * kBlock + 1;
    if (least * least >= best2)
      break;
    for (int dx = -d; dx <= d; ++dx) {
      visit(dx, -d);
      visit(dx, d);
    }
    for (int dy = -d + 1; dy < d; ++dy) {
      visit(-d, dy);
      visit(d, dy);
    }
  }
  return std::sqrt(static_cast<float>(best2));
}

}  // namespace engine
