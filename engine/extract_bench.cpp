// Extraction time per image on one core: the virtual scanner's synthetic fingers (always) and
// every image of the real sets in ../shared/testdata/fingerprints (when present). The set
// benchmarks report the median per image as "ms_median".
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/pgm.h"
#include "devicelib/virtual/synthetic_finger.h"
#include "engine/extractor.h"
#include "engine/scratch.h"
#include "engine/stages.h"

namespace {

std::optional<codec::PgmImage> ReadPgm(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(f), {}};
  return codec::DecodePgm(bytes, nullptr);
}

void BM_ExtractVirtualFinger(benchmark::State& state) {
  std::vector<devicelib::virt::Impression> imps;
  for (uint32_t id = 1; id <= 8; ++id)
    imps.push_back(devicelib::virt::MakeImpression(id, 0, 90));
  size_t i = 0, minutiae = 0;
  for (auto _ : state) {
    const auto& imp = imps[i++ % imps.size()];
    const engine::Extraction e = engine::Extract({imp.pixels, imp.width, imp.height, 500});
    minutiae += e.features.minutiae.size();
    benchmark::DoNotOptimize(e);
  }
  state.counters["minutiae"] =
      benchmark::Counter(static_cast<double>(minutiae), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ExtractVirtualFinger)->Unit(benchmark::kMillisecond);

std::vector<codec::PgmImage> LoadSet(const std::string& name) {
  // Beside the repository, or beside the folder of a worktree.
  std::filesystem::path dir = std::filesystem::path(WEBAGENT_SOURCE_DIR) / ".." / "shared" /
                              "testdata" / "fingerprints" / name;
  if (!std::filesystem::is_directory(dir)) {
    dir = std::filesystem::path(WEBAGENT_SOURCE_DIR) / ".." / ".." / "shared" / "testdata" /
          "fingerprints" / name;
  }
  std::vector<codec::PgmImage> images;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    if (e.path().extension() != ".pgm")
      continue;
    if (std::optional<codec::PgmImage> img = ReadPgm(e.path().string()))
      images.push_back(std::move(*img));
  }
  return images;
}

void ExtractSet(benchmark::State& state, const std::string& name, int ppi) {
  const std::vector<codec::PgmImage> images = LoadSet(name);
  if (images.empty()) {
    state.SkipWithError(("no images of " + name).c_str());
    return;
  }
  std::vector<double> ms;
  size_t i = 0;
  for (auto _ : state) {
    const codec::PgmImage& img = images[i++ % images.size()];
    const auto t0 = std::chrono::steady_clock::now();
    const engine::Extraction e = engine::Extract({img.pixels, img.width, img.height, ppi});
    ms.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    benchmark::DoNotOptimize(e);
  }
  std::nth_element(ms.begin(), ms.begin() + ms.size() / 2, ms.end());
  state.counters["ms_median"] = ms[ms.size() / 2];
  // What a scratch set keeps between images (the largest of the pool's sets; the one just used
  // is among them, all idle now).
  std::vector<engine::ScratchPool::Lease> sets;
  size_t largest = 0;
  for (unsigned n = 0; n < engine::SharedScratch().created(); ++n) {
    sets.push_back(engine::SharedScratch().Acquire());
    largest = std::max(largest, sets.back()->Bytes());
  }
  state.counters["scratch_KB"] = static_cast<double>(largest) / 1024.0;
}
// What the ridge counting stage sees of one image: the binary image it counts on (the one the
// skeleton is thinned from), the mask and the final minutiae.
struct RidgeCountInput : engine::ExtractionObserver {
  engine::ImageU8 binary;
  engine::Plane<uint8_t> mask;
  std::vector<engine::RawMinutia> minutiae;
  void Segmented(const engine::Plane<uint8_t>& m) override { mask = m; }
  void Rebinarised(const engine::ImageU8& b) override {
    binary = b;
    engine::FillPores(binary, mask);  // as Extract does next
  }
  void Filtered(const std::vector<engine::RawMinutia>& kept) override { minutiae = kept; }
};

// The ridge counting stage alone, per image of a set ("counts" per image beside it).
void CountRidgesSet(benchmark::State& state, const std::string& name, int ppi) {
  std::vector<RidgeCountInput> inputs;
  for (const codec::PgmImage& img : LoadSet(name)) {
    inputs.emplace_back();
    engine::Extract({img.pixels, img.width, img.height, ppi}, &inputs.back());
  }
  if (inputs.empty()) {
    state.SkipWithError(("no images of " + name).c_str());
    return;
  }
  size_t i = 0, counts = 0;
  for (auto _ : state) {
    const RidgeCountInput& in = inputs[i++ % inputs.size()];
    const auto rc = engine::CountRidges(in.minutiae, in.binary, in.mask);
    counts += rc.size();
    benchmark::DoNotOptimize(rc);
  }
  state.counters["counts"] =
      benchmark::Counter(static_cast<double>(counts), benchmark::Counter::kAvgIterations);
}
BENCHMARK_CAPTURE(CountRidgesSet, fvc2002_db2_b, std::string("fvc2002_db2_b"), 569)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(CountRidgesSet, fvc2004_db1_b, std::string("fvc2004_db1_b"), 500)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(CountRidgesSet, fvc2004_db3_b, std::string("fvc2004_db3_b"), 512)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_CAPTURE(ExtractSet, fvc2002_db2_b, std::string("fvc2002_db2_b"), 569)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(160);
BENCHMARK_CAPTURE(ExtractSet, fvc2002_db3_b, std::string("fvc2002_db3_b"), 500)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(160);
BENCHMARK_CAPTURE(ExtractSet, fvc2004_db1_b, std::string("fvc2004_db1_b"), 500)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(160);
BENCHMARK_CAPTURE(ExtractSet, fvc2004_db2_b, std::string("fvc2004_db2_b"), 500)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(160);
BENCHMARK_CAPTURE(ExtractSet, fvc2004_db3_b, std::string("fvc2004_db3_b"), 512)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(160);

}  // namespace

BENCHMARK_MAIN();
