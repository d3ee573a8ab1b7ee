// Cost of synthetic fingers: a master finger (made once per identity, then cached) and an
// impression (made for every capture and every live frame, 15 per second per device).
#include <benchmark/benchmark.h>

#include "devicelib/virtual/synthetic_finger.h"

namespace {

void BM_MakeImpression(benchmark::State& state) {
  devicelib::virt::GetMasterFinger(1);  // cached before timing
  uint32_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(devicelib::virt::MakeImpression(1, n++, 90));
  }
}
BENCHMARK(BM_MakeImpression)->Unit(benchmark::kMillisecond);

void BM_MakeSmudgedImpression(benchmark::State& state) {
  devicelib::virt::GetMasterFinger(1);
  uint32_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(devicelib::virt::MakeImpression(1, n++, 20));
  }
}
BENCHMARK(BM_MakeSmudgedImpression)->Unit(benchmark::kMillisecond);

void BM_MakeMasterFinger(benchmark::State& state) {
  // New identities each time: the cache holds only a few dozen, so these are all built.
  uint32_t identity = 100000;
  for (auto _ : state) {
    benchmark::DoNotOptimize(devicelib::virt::GetMasterFinger(identity++));
  }
}
BENCHMARK(BM_MakeMasterFinger)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
