#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/stages.h"
#include "engine/tuning.h"

namespace engine {
namespace {

// Neighbour bits, clockwise from north: N NE E SE S SW W NW.
constexpr int kDx[8] = {0, 1, 1, 1, 0, -1, -1, -1};
constexpr int kDy[8] = {-1, -1, 0, 1, 1, 1, 0, -1};

int Bits(int m) {
  int n = 0;
  for (; m; m &= m - 1)
    ++n;
  return n;
}

int Transitions(int m) {  // 0 -> 1 transitions around the ring
  int a = 0;
  for (int k = 0; k < 8; ++k)
    a += !((m >> k) & 1) && ((m >> ((k + 1) & 7)) & 1);
  return a;
}

// Simple point (8-connected foreground, 4-connected background): removing the centre keeps the
// number of foreground components and of background components.
bool Simple(int m) {
  // Foreground components among the neighbours, 8-adjacent within the ring (diagonal
  // neighbours join their two ring neighbours; edge neighbours also join across a corner).
  int seen = 0, comps = 0;
  for (int s = 0; s < 8; ++s) {
    if (!((m >> s) & 1) || ((seen >> s) & 1))
      continue;
    ++comps;
    std::array<int, 8> st{};
    int n = 0;
    st[n++] = s;
    seen |= 1 << s;
    while (n) {
      const int c = st[--n];
      for (int t = 0; t < 8; ++t) {
        if (!((m >> t) & 1) || ((seen >> t) & 1))
          continue;
        const int dx = kDx[c] - kDx[t], dy = kDy[c] - kDy[t];
        if (dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1) {
          seen |= 1 << t;
          st[n++] = t;
        }
      }
    }
  }
  // Background components 4-adjacent to the centre, 4-connected within the ring.
  int bseen = 0, bcomps = 0;
  for (int s = 0; s < 8; s += 2) {
    if (((m >> s) & 1) || ((bseen >> s) & 1))
      continue;
    ++bcomps;
    std::array<int, 8> st{};
    int n = 0;
    st[n++] = s;
    bseen |= 1 << s;
    while (n) {
      const int c = st[--n];
      for (int t = 0; t < 8; ++t) {
        if (((m >> t) & 1) || ((bseen >> t) & 1))
          continue;
        const int dx = kDx[c] - kDx[t], dy = kDy[c] - kDy[t];
        if ((dx == 0 && (dy == 1 || dy == -1)) || (dy == 0 && (dx == 1 || dx == -1))) {
          bseen |= 1 << t;
          st[n++] = t;
        }
      }
    }
  }
  return comps == 1 && bcomps == 1;
}

struct Tables {
  std::array<uint8_t, 256> zs1{}, zs2{}, stair{};
  Tables() {
    for (int m = 0; m < 256; ++m) {
      const int b = Bits(m), a = Transitions(m);
      const bool n = m & 1, e = m & 4, s = m & 16, w = m & 64;
      const bool base = b >= 2 && b <= 6 && a == 1;
      zs1[m] = base && !(n && e && s) && !(e && s && w);
      zs2[m] = base && !(n && e && w) && !(n && s && w);
      // A corner of a staircase: two perpendicular edge neighbours, removable without changing
      // the topology and without shortening a line.
      stair[m] = b >= 2 && Simple(m) && ((n && e) || (e && s) || (s && w) || (w && n));
    }
  }
};

const Tables& T() {
  static const Tables t;
  return t;
}

// Labels the component of `start` (pixels of value `value`, neighbours at the offsets `dx`,
// `dy`) with `kCurrent`, as long as it stays below `limit` pixels, stays clear of the image edge
// and meets no pixel of value `known`. Returns true when the whole component was found that way
// (it is then listed in `comp`); false when it is large, or touches the edge or a `known` pixel.
// The pixels visited are left at kCurrent either way, so the caller relabels `comp`: the search
// needs no image-sized buffer and stops after `limit` pixels, so every pixel is visited at most
// once in all.
constexpr uint8_t kCurrent = 3;

template <int N>
bool SmallComponent(ImageU8& b, int start, uint8_t value, uint8_t known, int limit,
                    const int (&dx)[N], const int (&dy)[N], std::vector<int>& comp,
                    std::vector<int>& stack) {
  const int w = b.width;
  comp.assign(1, start);
  stack.assign(1, start);
  b.data[start] = kCurrent;
  bool small = true;
  while (!stack.empty() && small) {
    const int p = stack.back();
    stack.pop_back();
    const int x = p % w, y = p / w;
    for (int k = 0; k < N; ++k) {
      const int xx = x + dx[k], yy = y + dy[k];
      if (!b.inside(xx, yy)) {
        small = false;
        break;
      }
      const int q = yy * w + xx;
      if (b.data[q] == known) {
        small = false;
        break;
      }
      if (b.data[q] != value)
        continue;
      b.data[q] = kCurrent;
      comp.push_back(q);
      stack.push_back(q);
      if (static_cast<int>(comp.size()) >= limit) {
        small = false;
        break;
      }
    }
  }
  return small;
}

// Relabels the marks of FillPores and RemoveFragments (values 0..2) to 0/1, eight pixels at a
// time: with `nonZero` every mark becomes 1, without it only 1 stays 1.
void Unmark(ImageU8& b, bool nonZero) {
  uint8_t* p = b.data.data();
  const size_t n = b.data.size();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v;
    std::memcpy(&v, p + i, 8);
    v = (nonZero ? v | v >> 1 : v) & 0x0101010101010101ull;
    std::memcpy(p + i, &v, 8);
  }
  for (; i < n; ++i)
    p[i] = nonZero ? p[i] != 0 : p[i] == 1;
}
}  // namespace

ImageU8 Binarise(const ImageF& enhanced) {
  ImageU8 b(enhanced.width, enhanced.height);
  for (size_t i = 0; i < b.data.size(); ++i)
    b.data[i] = enhanced.data[i] > 0 ? 1 : 0;
  return b;
}

void Thin(ImageU8& b) {
  const Tables& t = T();
  // The outermost pixels are cleared, so that the neighbours of every live pixel are inside.
  if (b.width < 3 || b.height < 3) {
    std::fill(b.data.begin(), b.data.end(), 0);
    return;
  }
  for (int x = 0; x < b.width; ++x)
    b.at(x, 0) = b.at(x, b.height - 1) = 0;
  for (int y = 0; y < b.height; ++y)
    b.at(0, y) = b.at(b.width - 1, y) = 0;
  const int w = b.width;
  // A live pixel is bit 0; bits 1 and 2 say that its neighbourhood changed since the first or
  // the second sub-iteration last looked at it. A pixel whose neighbours stayed put gets the
  // same answer as last time (it was kept), so only those near the last deletions are looked
  // at again: the later sweeps, which peel a pixel here and there, cost little.
  constexpr uint8_t kDue[2] = {2, 4};
  constexpr uint8_t kDueBoth = 6;
  const int off[8] = {-w, -w + 1, 1, w + 1, w, w - 1, -1, -w - 1};
  auto ring = [&](int i) {
    const uint8_t* p = &b.data[i];
    return (p[-w] & 1) | (p[-w + 1] & 1) << 1 | (p[1] & 1) << 2 | (p[w + 1] & 1) << 3 |
           (p[w] & 1) << 4 | (p[w - 1] & 1) << 5 | (p[-1] & 1) << 6 | (p[-w - 1] & 1) << 7;
  };
  // The lists are filled without branches (write every candidate, advance by the test), which
  // the live pixels' mixed answers would otherwise mispredict half the time; they are sized
  // for the live pixels and left uninitialised (every entry read was written first).
  const size_t size = b.data.size();
  uint8_t* const pixels = b.data.data();
  size_t count = 0;
  for (size_t i = 0; i < size; ++i)
    count += pixels[i] != 0;
  const auto live = std::make_unique_for_overwrite<int[]>(count + 8);
  const auto del = std::make_unique_for_overwrite<int[]>(count + 1);
  const auto delRing = std::make_unique_for_overwrite<int[]>(count + 1);
  size_t lives = 0;
  for (size_t i = 0; i < size; ++i) {
    uint64_t word = 0;
    if (i + 8 <= size && (std::memcpy(&word, pixels + i, 8), word == 0)) {
      i += 7;  // eight background pixels at once: most of the image is valley or background
      continue;
    }
    uint8_t& v = pixels[i];
    live[lives] = static_cast<int>(i);
    lives += v != 0;
    v = v ? 1 | kDueBoth : 0;
  }
  bool changed = true;
  while (changed) {
    changed = false;
    for (int pass = 0; pass < 2; ++pass) {
      const auto& lut = pass == 0 ? t.zs1 : t.zs2;
      const uint8_t due = kDue[pass];
      size_t dels = 0;
      for (size_t k = 0; k < lives; ++k) {
        const int i = live[k];
        uint8_t& v = b.data[i];
        if (!(v & due))
          continue;
        v &= static_cast<uint8_t>(~due);
        const int m = ring(i);
        del[dels] = i;
        delRing[dels] = m;
        dels += lut[m];
      }
      for (size_t k = 0; k < dels; ++k)
        b.data[del[k]] = 0;
      changed = changed || dels > 0;
      // The parallel sweep erases a lone 2 x 2 square whole: keep one pixel of it (its
      // neighbours are all gone, so it never becomes deletable again).
      for (size_t k = 0; k < dels; ++k) {
        if (Bits(delRing[k]) == 3 && ring(del[k]) == 0)
          b.data[del[k]] = 1;
      }
      // Live neighbours (bit 0) of the deleted pixels are due again in both sub-iterations.
      for (size_t k = 0; k < dels; ++k) {
        uint8_t* p = &b.data[del[k]];
        for (int j = 0; j < 8; ++j)
          p[off[j]] |= static_cast<uint8_t>((p[off[j]] & 1) * kDueBoth);
      }
    }
    size_t kept = 0;
    for (size_t k = 0; k < lives; ++k) {
      const int i = live[k];
      live[kept] = i;
      kept += b.data[i] != 0;
    }
    lives = kept;
  }
  for (size_t k = 0; k < lives; ++k)
    b.data[live[k]] = 1;
  // Staircases: sequential removal of simple corner pixels leaves one-pixel-wide lines.
  for (size_t k = 0; k < lives; ++k) {
    const int i = live[k];
    if (b.data[i] && t.stair[ring(i)])
      b.data[i] = 0;
  }
}

void FillPores(ImageU8& b, const Plane<uint8_t>& mask) {
  // Valley pixels: 0 unvisited, 2 known to belong to a large or open valley, kCurrent while
  // searched. Ridge pixels stay 1. Background blocks are open valley from the start, so that
  // the search covers the finger only.
  using tuning::kBlock;
  constexpr int ex[4] = {1, -1, 0, 0}, ey[4] = {0, 0, 1, -1};
  const int w = b.width;
  for (int by = 0; by < mask.height; ++by) {
    for (int bx = 0; bx < mask.width; ++bx) {
      if (mask.at(bx, by))
        continue;
      const int x0 = bx * kBlock, x1 = std::min(w, x0 + kBlock);
      for (int y = by * kBlock; y < std::min(b.height, by * kBlock + kBlock); ++y)
        std::fill(&b.data[static_cast<size_t>(y) * w + x0],
                  &b.data[static_cast<size_t>(y) * w + x1], uint8_t{2});
    }
  }
  // Row by row, a run of valley pixels at a time: a run under a known open valley is open
  // itself; only a run with ridge above all of it starts a search.
  std::vector<int> comp, stack;
  for (int y = 0; y < b.height; ++y) {
    uint8_t* row = &b.data[static_cast<size_t>(y) * w];
    const uint8_t* up = y > 0 ? row - w : nullptr;
    for (int x = 0; x < w;) {
      const void* next = std::memchr(row + x, 0, static_cast<size_t>(w - x));
      if (!next)
        break;
      const int x0 = static_cast<int>(static_cast<const uint8_t*>(next) - row);
      int x1 = x0;
      while (x1 < w && row[x1] == 0)
        ++x1;
      x = x1;
      const bool open = (x0 > 0 && row[x0 - 1] == 2) || (x1 < w && row[x1] == 2) ||
                        (up && std::memchr(up + x0, 2, static_cast<size_t>(x1 - x0)));
      if (open || x1 - x0 > tuning::kPoreArea) {
        std::fill(row + x0, row + x1, uint8_t{2});
        continue;
      }
      const bool pore =
          SmallComponent(b, y * w + x0, 0, 2, tuning::kPoreArea + 1, ex, ey, comp, stack);
      for (const int p : comp)
        b.data[p] = pore ? 1 : 2;
    }
  }
  Unmark(b, false);
}

void RemoveFragments(ImageU8& s) {
  // Skeleton pixels: 1 unvisited, 2 known to belong to a long ridge, kCurrent while searched.
  std::vector<int> comp, stack;
  const int w = s.width;
  for (int y = 0; y < s.height; ++y) {
    uint8_t* row = &s.data[static_cast<size_t>(y) * w];
    for (int x = 0; x < w; ++x) {
      uint64_t word;
      if (x + 8 <= w && (std::memcpy(&word, row + x, 8), word == 0)) {
        x += 7;  // eight background pixels at once: the skeleton is sparse
        continue;
      }
      if (row[x] != 1)
        continue;
      if ((x > 0 && row[x - 1] == 2) ||
          (y > 0 && (row[x - w] == 2 || (x > 0 && row[x - w - 1] == 2) ||
                     (x + 1 < w && row[x - w + 1] == 2)))) {
        row[x] = 2;  // joins a long ridge already found: no search
        continue;
      }
      const bool fragment =
          SmallComponent(s, y * w + x, 1, 2, tuning::kFragmentPixels, kDx, kDy, comp, stack);
      for (const int p : comp)
        s.data[p] = fragment ? 0 : 2;
    }
  }
  Unmark(s, true);
}

}  // namespace engine
