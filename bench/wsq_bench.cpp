// WSQ encode and decode time for a typical sensor image: 320 x 480 pixels, 500 ppi, at the usual
// setting (0.75 bits per pixel) and the high-quality one (2.25).
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "codec/wsq/wsq.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 480;

// Curved ridges about 9 pixels apart inside an oval, on a light background.
std::vector<uint8_t> Finger() {
  std::vector<uint8_t> p(kWidth * kHeight);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const double dx = x - kWidth / 2.0;
      const double dy = y - kHeight * 0.45;
      const double r = std::sqrt(dx * dx + 1.3 * dy * dy);
      const double e = (dx * dx) / (135.0 * 135.0) + (dy * dy) / (225.0 * 225.0);
      const double inside = e < 1.0 ? 1.0 : 0.0;
      const double v = 225.0 - inside * (100.0 + 85.0 * std::cos(r * 0.698));
      p[y * kWidth + x] = static_cast<uint8_t>(v);
    }
  }
  return p;
}

void BM_WsqEncode(benchmark::State& state) {
  const std::vector<uint8_t> pixels = Finger();
  codec::WsqEncodeOptions options;
  options.bitRate = static_cast<float>(state.range(0)) / 100.0f;
  std::vector<uint8_t> out;
  for (auto _ : state) {
    codec::EncodeWsq(pixels, kWidth, kHeight, options, &out);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes"] = static_cast<double>(out.size());
}
BENCHMARK(BM_WsqEncode)->Arg(75)->Arg(225)->Unit(benchmark::kMillisecond);

void BM_WsqDecode(benchmark::State& state) {
  const std::vector<uint8_t> pixels = Finger();
  codec::WsqEncodeOptions options;
  options.bitRate = static_cast<float>(state.range(0)) / 100.0f;
  std::vector<uint8_t> file;
  codec::EncodeWsq(pixels, kWidth, kHeight, options, &file);
  for (auto _ : state) {
    codec::WsqImage image;
    codec::DecodeWsq(file, &image);
    benchmark::DoNotOptimize(image.pixels.data());
  }
  state.counters["bytes"] = static_cast<double>(file.size());
}
BENCHMARK(BM_WsqDecode)->Arg(75)->Arg(225)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
