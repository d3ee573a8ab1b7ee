#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/scratch.h"
#include "engine/stages.h"
#include "engine/tuning.h"

namespace engine {

OrientationField EstimateOrientation(const ImageU8& image, const Plane<uint8_t>& mask) {
  using namespace tuning;
  const int w = image.width, h = image.height;
  const int bw = mask.width, bh = mask.height;
  OrientationField f{Plane<float>(bw, bh), Plane<float>(bw, bh)};
  if (w < 3 || h < 3)
    return f;
  // Gradient moments (Sobel) summed over each block's window.
  const StageScratch scratch;
  BlockSums ixx(scratch->blocks[0], scratch->spans[0], w, h, kBlock, kOrientWindow);
  BlockSums iyy(scratch->blocks[1], scratch->spans[1], w, h, kBlock, kOrientWindow);
  BlockSums ixy(scratch->blocks[2], scratch->spans[2], w, h, kBlock, kOrientWindow);
  std::vector<uint32_t>& pxx = scratch->rowPrefix[0];
  std::vector<uint32_t>& pyy = scratch->rowPrefix[1];
  std::vector<uint32_t>& pxy = scratch->rowPrefix[2];
  pxx.assign(static_cast<size_t>(w) + 1, 0);
  pyy.assign(pxx.size(), 0);
  pxy.assign(pxx.size(), 0);
  for (int y = 0; y < h; ++y) {
    const uint8_t* up = &image.data[static_cast<size_t>(std::max(0, y - 1)) * w];
    const uint8_t* mid = &image.data[static_cast<size_t>(y) * w];
    const uint8_t* dn = &image.data[static_cast<size_t>(std::min(h - 1, y + 1)) * w];
    // Each column's moments first (entry x + 1), then the running sums over them in place.
    uint32_t* const mxx = pxx.data() + 1;
    uint32_t* const myy = pyy.data() + 1;
    uint32_t* const mxy = pxy.data() + 1;
    const auto moments = [&](int x, int l, int r) {
      const int gx = (up[r] + 2 * mid[r] + dn[r]) - (up[l] + 2 * mid[l] + dn[l]);
      const int gy = (dn[l] + 2 * dn[x] + dn[r]) - (up[l] + 2 * up[x] + up[r]);
      mxx[x] = static_cast<uint32_t>(gx * gx);
      myy[x] = static_cast<uint32_t>(gy * gy);
      mxy[x] = static_cast<uint32_t>(gx * gy);  // two's complement: exact mod 2^32
    };
    // The columns clamp at the side edges only: the inner ones run without the clamps, eight
    // at a time with SSE2 (gradients fit 16 bits, their products are formed in 32).
    moments(0, 0, std::min(w - 1, 1));
    int x = 1;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const auto load = [&](const uint8_t* p) {
      return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
    };
    const auto store = [](uint32_t* to, __m128i a, __m128i b) {
      const __m128i lo = _mm_mullo_epi16(a, b), hi = _mm_mulhi_epi16(a, b);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_unpacklo_epi16(lo, hi));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 4), _mm_unpackhi_epi16(lo, hi));
    };
    for (; x + 9 <= w; x += 8) {  // reads columns x - 1 .. x + 8
      const __m128i ul = load(up + x - 1), uc = load(up + x), ur = load(up + x + 1);
      const __m128i ml = load(mid + x - 1), mr = load(mid + x + 1);
      const __m128i dl = load(dn + x - 1), dc = load(dn + x), dr = load(dn + x + 1);
      const __m128i gx = _mm_sub_epi16(_mm_add_epi16(_mm_add_epi16(ur, dr), _mm_add_epi16(mr, mr)),
                                       _mm_add_epi16(_mm_add_epi16(ul, dl), _mm_add_epi16(ml, ml)));
      const __m128i gy = _mm_sub_epi16(_mm_add_epi16(_mm_add_epi16(dl, dr), _mm_add_epi16(dc, dc)),
                                       _mm_add_epi16(_mm_add_epi16(ul, ur), _mm_add_epi16(uc, uc)));
      store(mxx + x, gx, gx);
      store(myy + x, gy, gy);
      store(mxy + x, gx, gy);
    }
#endif
    for (; x < w - 1; ++x)
      moments(x, x - 1, x + 1);
    moments(w - 1, std::max(0, w - 2), w - 1);
    for (int i = 0; i < w; ++i) {
      pxx[i + 1] += pxx[i];
      pyy[i + 1] += pyy[i];
      pxy[i + 1] += pxy[i];
    }
    ixx.AddRow(y, pxx.data());
    iyy.AddRow(y, pyy.data());
    ixy.AddRow(y, pxy.data());
  }
  Plane<float> vx(bw, bh), vy(bw, bh);
  for (int by = 0; by < bh; ++by) {
    for (int bx = 0; bx < bw; ++bx) {
      const double gxx = ixx.At(bx, by), gyy = iyy.At(bx, by),
                   gxy = static_cast<int32_t>(ixy.At(bx, by));
      const double sum = gxx + gyy;
      if (sum <= 1e-6)  // no gradient, or a window wholly outside the image
        continue;
      const double cx2 = (gxx - gyy) / sum, cy2 = 2 * gxy / sum;
      vx.at(bx, by) = static_cast<float>(cx2);
      vy.at(bx, by) = static_cast<float>(cy2);
      f.coherence.at(bx, by) = static_cast<float>(std::sqrt(cx2 * cx2 + cy2 * cy2));
    }
  }
  // Gaussian smoothing of the doubled-angle vectors (separable), background blocks weighted down.
  const int r = kOrientSmoothRadius;
  std::vector<float> g(2 * r + 1);
  for (int i = -r; i <= r; ++i)
    g[i + r] = std::exp(-0.5f * i * i / (kOrientSmoothSigma * kOrientSmoothSigma));
  auto smooth = [&](Plane<float>& p) {
    Plane<float> t(bw, bh);
    for (int y = 0; y < bh; ++y) {
      for (int x = 0; x < bw; ++x) {
        float s = 0;
        for (int i = -r; i <= r; ++i) {
          const int xx = std::clamp(x + i, 0, bw - 1);
          s += g[i + r] * p.at(xx, y) * (mask.at(xx, y) ? 1.0f : 0.25f);
        }
        t.at(x, y) = s;
      }
    }
    for (int y = 0; y < bh; ++y) {
      for (int x = 0; x < bw; ++x) {
        float s = 0;
        for (int i = -r; i <= r; ++i)
          s += g[i + r] * t.at(x, std::clamp(y + i, 0, bh - 1));
        p.at(x, y) = s;
      }
    }
  };
  smooth(vx);
  smooth(vy);
  const float pi = std::numbers::pi_v<float>;
  for (int i = 0; i < bw * bh; ++i) {
    float a = 0.5f * std::atan2(vy.data[i], vx.data[i]) + pi / 2;  // gradient + 90 degrees
    if (a >= pi)
      a -= pi;
    if (a < 0)
      a += pi;
    f.angle.data[i] = a;
  }
  return f;
}

Plane<uint8_t> RefineOrientation(const ImageU8& binary, const Plane<uint8_t>& mask,
                                 OrientationField& field) {
  using namespace tuning;
  const int bw = mask.width, bh = mask.height;
  Plane<uint8_t> redo(bw, bh);
  if (field.angle.width != bw || field.angle.height != bh || field.coherence.width != bw ||
      field.coherence.height != bh || (binary.width + kBlock - 1) / kBlock != bw ||
      (binary.height + kBlock - 1) / kBlock != bh ||
      binary.data.size() != static_cast<size_t>(binary.width) * binary.height)
    return redo;
  // The weak blocks and kRefineGrowBlocks around them (a direction that was off in a weak block
  // also bent the smoothed direction of its neighbours).
  bool any = false;
  for (int by = 0; by < bh; ++by) {
    for (int bx = 0; bx < bw; ++bx) {
      if (!mask.at(bx, by) || field.coherence.at(bx, by) >= kRefineCoherence)
        continue;
      any = true;
      for (int y = std::max(0, by - kRefineGrowBlocks);
           y <= std::min(bh - 1, by + kRefineGrowBlocks); ++y) {
        for (int x = std::max(0, bx - kRefineGrowBlocks);
             x <= std::min(bw - 1, bx + kRefineGrowBlocks); ++x)
          redo.at(x, y) = mask.at(x, y);
      }
    }
  }
  if (!any)
    return redo;
  // The binary image's ridges are straight-edged where the filter has restored them, so its
  // gradients give a direction where the grey image's noise or blotches hid it. The coherence
  // stays the grey image's: the filter draws regular ridges into noise too, and minutiae found
  // there must keep the low quality of an unclear area (with the binary image's coherence the
  // impostor scores' tail rose).
  // Only the blocks that reach the redone ones: kOrientSmoothRadius blocks for the smoothing and
  // one more for the gradient window, so that their directions come out as from the whole.
  int top = bh, bottom = -1, left = bw, right = -1;
  for (int by = 0; by < bh; ++by) {
    for (int bx = 0; bx < bw; ++bx) {
      if (redo.at(bx, by)) {
        top = std::min(top, by);
        bottom = by;
        left = std::min(left, bx);
        right = std::max(right, bx);
      }
    }
  }
  const int margin = kOrientSmoothRadius + 1;
  const int by0 = std::max(0, top - margin), by1 = std::min(bh - 1, bottom + margin);
  const int bx0 = std::max(0, left - margin), bx1 = std::min(bw - 1, right + margin);
  const int x0 = bx0 * kBlock, x1 = std::min(binary.width, (bx1 + 1) * kBlock);
  const int y0 = by0 * kBlock, y1 = std::min(binary.height, (by1 + 1) * kBlock);
  if (x1 - x0 < 3 || y1 - y0 < 3)
    return redo;
  ImageU8 scaled(x1 - x0, y1 - y0);
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x)
      scaled.at(x - x0, y - y0) = binary.at(x, y) ? 255 : 0;
  }
  Plane<uint8_t> window(bx1 - bx0 + 1, by1 - by0 + 1);
  for (int by = by0; by <= by1; ++by) {
    for (int bx = bx0; bx <= bx1; ++bx)
      window.at(bx - bx0, by - by0) = mask.at(bx, by);
  }
  const OrientationField second = EstimateOrientation(scaled, window);
  for (int by = top; by <= bottom; ++by) {
    for (int bx = left; bx <= right; ++bx) {
      if (redo.at(bx, by))
        field.angle.at(bx, by) = second.angle.at(bx - bx0, by - by0);
    }
  }
  return redo;
}

}  // namespace engine
