// Helpers shared by the WSQ tests: reference files, a synthetic fingerprint, image comparison.
#pragma once

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/pgm.h"

namespace codec::wsq_test {

inline std::filesystem::path TestdataDir() {
#ifdef WEBAGENT_TESTDATA_DIR
  return std::filesystem::path(WEBAGENT_TESTDATA_DIR) / "wsq";
#else
  return {};
#endif
}

inline std::optional<std::vector<uint8_t>> ReadFile(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    return std::nullopt;
  }
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

struct Gray {
  std::vector<uint8_t> pixels;
  int width = 0;
  int height = 0;
};

// The reference images are binary PGM files.
inline std::optional<Gray> ReadPgm(const std::filesystem::path& path) {
  const auto data = ReadFile(path);
  if (!data) {
    return std::nullopt;
  }
  std::optional<PgmImage> pgm = DecodePgm(*data, nullptr);
  if (!pgm) {
    return std::nullopt;
  }
  return Gray{std::move(pgm->pixels), pgm->width, pgm->height};
}

inline double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double se = 0.0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    se += d * d;
  }
  if (se == 0.0) {
    return 99.0;
  }
  return 10.0 * std::log10(255.0 * 255.0 / (se / static_cast<double>(a.size())));
}

// A fingerprint-like test image: curved ridges about 9 pixels apart (500 ppi) inside an oval
// finger area on a light background, with a little deterministic texture.
inline Gray SyntheticFinger(int width, int height) {
  Gray g{std::vector<uint8_t>(static_cast<size_t>(width) * height), width, height};
  const double cx = width * 0.5;
  const double cy = height * 0.45;
  uint32_t noise = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double dx = x - cx;
      const double dy = y - cy;
      const double r = std::sqrt(dx * dx + 1.3 * dy * dy);
      const double phase =
          2.0 * std::numbers::pi * r / 9.0 + 1.5 * std::sin(x * 0.02) * std::cos(y * 0.015);
      const double ridge = std::cos(phase);
      const double ex = dx / (width * 0.42);
      const double ey = dy / (height * 0.47);
      const double inside = std::clamp(1.5 - 1.5 * (ex * ex + ey * ey), 0.0, 1.0);
      noise = noise * 1664525u + 1013904223u;
      const double jitter = static_cast<double>(noise >> 24) / 255.0 * 12.0 - 6.0;
      const double v = 225.0 - inside * (100.0 + 85.0 * ridge) + jitter;
      g.pixels[static_cast<size_t>(y) * width + x] =
          static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
    }
  }
  return g;
}

// Offsets of the marker segments of a WSQ file (entropy-coded data skipped), for tests that
// cut or corrupt a file at its structure.
struct MarkerAt {
  size_t offset;
  uint8_t code;
};
inline std::vector<MarkerAt> Markers(const std::vector<uint8_t>& f) {
  std::vector<MarkerAt> out;
  size_t i = 0;
  while (i + 1 < f.size()) {
    if (f[i] == 0xFF && f[i + 1] >= 0xA0 && f[i + 1] <= 0xA8) {
      const uint8_t code = f[i + 1];
      out.push_back({i, code});
      if (code == 0xA0 || code == 0xA1) {
        i += 2;
      } else if (i + 3 < f.size()) {
        i += 2 + ((f[i + 2] << 8) | f[i + 3]);
      } else {
        break;
      }
      continue;
    }
    ++i;
  }
  return out;
}

}  // namespace codec::wsq_test
