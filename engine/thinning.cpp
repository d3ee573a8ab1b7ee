#include <algorithm>
#include <array>
#include <vector>

#include "engine/stages.h"
#include "engine/tuning.h"

namespace engine {
namespace {

// Neighbour bits, clockwise from north: N NE E SE S SW W NW.
constexpr int kDx[8] = {0, 1, 1, 1, 0, -1, -1, -1};
constexpr int kDy[8] = {-1, -1, 0, 1, 1, 1, 0, -1};

int Bits(int m) {
  return __builtin_popcount(static_cast<unsigned>(m));
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
  const int off[8] = {-w, -w + 1, 1, w + 1, w, w - 1, -1, -w - 1};
  auto ring = [&](int i) {
    const uint8_t* p = &b.data[i];
    int m = 0;
    for (int k = 0; k < 8; ++k)
      m |= (p[off[k]] != 0) << k;
    return m;
  };
  std::vector<int> del, delRing;
  std::vector<int> live;
  for (int i = 0; i < static_cast<int>(b.data.size()); ++i) {
    if (b.data[i])
      live.push_back(i);
  }
  bool changed = true;
  while (changed) {
    changed = false;
    for (int pass = 0; pass < 2; ++pass) {
      const auto& lut = pass == 0 ? t.zs1 : t.zs2;
      del.clear();
      delRing.clear();
      for (int i : live) {
        if (!b.data[i])
          continue;
        const int m = ring(i);
        if (lut[m]) {
          del.push_back(i);
          delRing.push_back(m);
        }
      }
      for (int i : del)
        b.data[i] = 0;
      changed = changed || !del.empty();
      // The parallel sweep erases a lone 2 x 2 square whole: keep one pixel of it.
      for (size_t k = 0; k < del.size(); ++k) {
        if (Bits(delRing[k]) == 3 && ring(del[k]) == 0)
          b.data[del[k]] = 1;
      }
    }
    size_t k = 0;
    for (int i : live) {
      if (b.data[i])
        live[k++] = i;
    }
    live.resize(k);
  }
  // Staircases: sequential removal of simple corner pixels leaves one-pixel-wide lines.
  for (int i : live) {
    if (b.data[i] && t.stair[ring(i)])
      b.data[i] = 0;
  }
}

}  // namespace engine
