#include <algorithm>
#include <cmath>

#include "engine/stages.h"

namespace engine {

ImageU8 Resample(const ImageU8& in, int fromPpi, int toPpi) {
  if (fromPpi == toPpi || fromPpi <= 0 || toPpi <= 0 || in.width <= 0 || in.height <= 0) {
    return in;
  }
  const double scale = static_cast<double>(toPpi) / fromPpi;
  const int w = std::max(1, static_cast<int>(std::lround(in.width * scale)));
  const int h = std::max(1, static_cast<int>(std::lround(in.height * scale)));
  ImageU8 out(w, h);
  std::vector<int> x0(w);
  std::vector<float> fx(w);
  for (int x = 0; x < w; ++x) {
    const double sx = std::clamp((x + 0.5) / scale - 0.5, 0.0, in.width - 1.0);
    x0[x] = std::min(static_cast<int>(sx), in.width - 2 < 0 ? 0 : in.width - 2);
    fx[x] = static_cast<float>(sx - x0[x]);
  }
  const int xLast = in.width - 1;
  for (int y = 0; y < h; ++y) {
    const double sy = std::clamp((y + 0.5) / scale - 0.5, 0.0, in.height - 1.0);
    const int y0 = std::min(static_cast<int>(sy), std::max(0, in.height - 2));
    const int y1 = std::min(y0 + 1, in.height - 1);
    const float fy = static_cast<float>(sy - y0);
    const uint8_t* r0 = &in.data[static_cast<size_t>(y0) * in.width];
    const uint8_t* r1 = &in.data[static_cast<size_t>(y1) * in.width];
    for (int x = 0; x < w; ++x) {
      const int a = x0[x], b = std::min(a + 1, xLast);
      const float top = r0[a] + fx[x] * (r0[b] - r0[a]);
      const float bottom = r1[a] + fx[x] * (r1[b] - r1[a]);
      out.at(x, y) =
          static_cast<uint8_t>(std::lround(std::clamp(top + fy * (bottom - top), 0.0f, 255.0f)));
    }
  }
  return out;
}

}  // namespace engine
