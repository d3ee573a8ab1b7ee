// A 2-D array of values, row-major: the images and block maps passed between the stages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace engine {

template <typename T>
struct Plane {
  int width = 0;
  int height = 0;
  std::vector<T> data;

  Plane() = default;
  Plane(int w, int h, T fill = T{}) : width(w), height(h), data(static_cast<size_t>(w) * h, fill) {}
  T& at(int x, int y) { return data[static_cast<size_t>(y) * width + x]; }
  const T& at(int x, int y) const { return data[static_cast<size_t>(y) * width + x]; }
  bool inside(int x, int y) const { return x >= 0 && y >= 0 && x < width && y < height; }
};

using ImageU8 = Plane<uint8_t>;
using ImageF = Plane<float>;

}  // namespace engine
