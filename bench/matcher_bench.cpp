// Matcher throughput: verifications per second in full and fast mode, comparisons of prepared
// sets (also of impostor pairs alone, with and without the cascade), and the time to identify
// a probe among 10,000 templates (a first search) or among 1,000 or 10,000 searched again.
// Templates come from the matcher's synthetic minutiae sets as ISO/IEC 19794-2 records: real-size
// ones (about 50 minutiae, what extractors find on real 500 ppi prints) and small ones (about 37,
// like the virtual scanner's impressions). Also the cost of creating a matcher instance, which
// every initDevice pays.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "codec/template/minutiae_record.h"
#include "devicelib/matcher/minutiae_compare.h"
#include "devicelib/matcher/minutiae_matcher.h"
#include "devicelib/matcher/test_minutiae.h"

namespace {

namespace synth = devicelib::matcher::testing;

// Master set sizes; an impression keeps about 95 % of them (15 % lost, 10 % spurious).
constexpr int kRealSize = 53;   // about 50 minutiae per record
constexpr int kSmallSize = 40;  // about 37

// Two impressions of each of `fingers` fingers: records[2f] and records[2f + 1].
const std::vector<std::vector<uint8_t>>& Records(int fingers, int minutiae) {
  static std::vector<std::vector<uint8_t>> records;
  static int made = 0;
  if (static_cast<int>(records.size()) < 2 * fingers || made != minutiae) {
    records.clear();
    made = minutiae;
    for (int f = 0; f < fingers; ++f) {
      const auto master = synth::MasterFinger(static_cast<uint32_t>(f), minutiae);
      records.push_back(synth::Record(synth::Impression(master, 2u * static_cast<uint32_t>(f))));
      records.push_back(
          synth::Record(synth::Impression(master, 2u * static_cast<uint32_t>(f) + 1)));
    }
  }
  return records;
}

// Verify over a mix of one genuine pair to every 7 impostor pairs, as an identification sees.
void Verify(benchmark::State& state, int32_t fastMode, int minutiae) {
  const auto& records = Records(256, minutiae);
  size_t total = 0;
  for (const auto& r : records) {
    total += (r.size() - 30) / 6;
  }
  state.counters["minutiae/record"] =
      static_cast<double>(total) / static_cast<double>(records.size());
  const auto matcher = devicelib::CreateMinutiaeMatcher();
  devicelib::MatcherHandle handle = nullptr;
  matcher->Create(&handle);
  matcher->SetParameter(handle, devicelib::kParamFastMode, &fastMode);
  size_t n = 0;
  int64_t matches = 0;
  for (auto _ : state) {
    const size_t a = (n * 2) % records.size();
    const size_t b = n % 8 == 0 ? a + 1 : (a + 2 * (n % 8) + 1) % records.size();
    int32_t result = 0;
    matcher->Verify(handle, records[a].data(), static_cast<int32_t>(records[a].size()),
                    records[b].data(), static_cast<int32_t>(records[b].size()), &result);
    matches += result;
    benchmark::DoNotOptimize(result);
    ++n;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["verifications/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["match share"] =
      static_cast<double>(matches) / static_cast<double>(state.iterations());
  matcher->Delete(handle);
}

void BM_VerifyFull(benchmark::State& state) {
  Verify(state, 0, kRealSize);
}
void BM_VerifyFast(benchmark::State& state) {
  Verify(state, 1, kRealSize);
}
void BM_VerifyFullSmall(benchmark::State& state) {
  Verify(state, 0, kSmallSize);
}
void BM_VerifyFastSmall(benchmark::State& state) {
  Verify(state, 1, kSmallSize);
}

// Where a verification's time goes: decoding and preparing one record (a verification does
// two), and comparing two sets that are already prepared, with the look-ups of both sides
// built (what a comparison would cost if enrolled templates were kept prepared). Same
// real-size records and genuine/impostor mix as BM_VerifyFull. Full mode prepares edges and
// votes with them; fast mode prepares neighbourhood codes and compares them.
void PrepareRecord(benchmark::State& state, const devicelib::matcher::CompareOptions& options) {
  const auto& records = Records(256, kRealSize);
  codec::FingerTemplate decoded;
  devicelib::matcher::PreparedTemplate prepared;
  size_t n = 0;
  for (auto _ : state) {
    const auto& r = records[n++ % records.size()];
    codec::DecodeMinutiaeRecord(r, &decoded);
    prepared.Prepare(decoded, options);
    benchmark::DoNotOptimize(prepared.size());
  }
}

// Preparing sets already decoded, without and with ridge counts (six per minutia): what the
// counts add to a preparation.
void PrepareDecoded(benchmark::State& state, bool ridgeCounts) {
  const auto& records = Records(256, kRealSize);
  std::vector<codec::FingerTemplate> decoded(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    codec::DecodeMinutiaeRecord(records[i], &decoded[i]);
    if (ridgeCounts) {
      synth::AddRidgeCounts(&decoded[i]);
    }
  }
  const devicelib::matcher::CompareOptions options = devicelib::matcher::FastModeOptions();
  devicelib::matcher::PreparedTemplate prepared;
  size_t n = 0;
  for (auto _ : state) {
    prepared.Prepare(decoded[n++ % decoded.size()], options);
    benchmark::DoNotOptimize(prepared.size());
  }
}
void BM_PrepareDecodedFast(benchmark::State& state) {
  PrepareDecoded(state, false);
}
void BM_PrepareDecodedFastRidgeCounts(benchmark::State& state) {
  PrepareDecoded(state, true);
}

void BM_PrepareRecord(benchmark::State& state) {
  PrepareRecord(state, devicelib::matcher::FullModeOptions());
}
void BM_PrepareRecordFast(benchmark::State& state) {
  PrepareRecord(state, devicelib::matcher::FastModeOptions());
}

// `impostors`: only pairs of different fingers, as nearly all of an identification's are (the
// mix above has one genuine pair in eight).
// `ridgeCounts`: each set with ridge counts to its six nearest neighbours, so that the pairs
// that score high enough compare them.
void ScorePrepared(benchmark::State& state, const devicelib::matcher::CompareOptions& options,
                   bool impostors = false, bool ridgeCounts = false) {
  const auto& records = Records(256, kRealSize);
  std::vector<devicelib::matcher::PreparedTemplate> prepared(records.size());
  codec::FingerTemplate decoded;
  for (size_t i = 0; i < records.size(); ++i) {
    codec::DecodeMinutiaeRecord(records[i], &decoded);
    if (ridgeCounts) {
      synth::AddRidgeCounts(&decoded);
    }
    prepared[i].Prepare(decoded, options);
  }
  devicelib::matcher::Comparator comparator;
  // Every set plays both sides once, so that both sides' look-ups are built before timing.
  for (size_t i = 0; i + 1 < prepared.size(); ++i) {
    comparator.Score(prepared[i], prepared[i + 1], options);
    comparator.Score(prepared[i + 1], prepared[i], options);
  }
  comparator.Score(prepared.front(), prepared.back(), options);
  size_t n = 0;
  for (auto _ : state) {
    const size_t a = (n * 2) % prepared.size();
    const size_t b = n % 8 == 0 && !impostors ? a + 1 : (a + 2 * (n % 8 + 1) + 1) % prepared.size();
    benchmark::DoNotOptimize(comparator.Score(prepared[a], prepared[b], options));
    ++n;
  }
  state.counters["comparisons/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ScorePrepared(benchmark::State& state) {
  ScorePrepared(state, devicelib::matcher::FullModeOptions());
}
void BM_ScorePreparedFast(benchmark::State& state) {
  ScorePrepared(state, devicelib::matcher::FastModeOptions());
}

// The cascade's effect: impostor pairs only, with it (the default) and without (exact scores).
devicelib::matcher::CompareOptions Exact(devicelib::matcher::CompareOptions options) {
  options.refineFrom = 0;
  return options;
}
void BM_ScoreImpostors(benchmark::State& state) {
  ScorePrepared(state, devicelib::matcher::FullModeOptions(), true);
}
void BM_ScoreImpostorsExact(benchmark::State& state) {
  ScorePrepared(state, Exact(devicelib::matcher::FullModeOptions()), true);
}
void BM_ScoreImpostorsFast(benchmark::State& state) {
  ScorePrepared(state, devicelib::matcher::FastModeOptions(), true);
}
void BM_ScoreImpostorsFastExact(benchmark::State& state) {
  ScorePrepared(state, Exact(devicelib::matcher::FastModeOptions()), true);
}
// The same sets with ridge counts: what comparing them costs.
void BM_ScoreImpostorsFastRidgeCounts(benchmark::State& state) {
  ScorePrepared(state, devicelib::matcher::FastModeOptions(), true, true);
}
void BM_ScorePreparedFastRidgeCounts(benchmark::State& state) {
  ScorePrepared(state, devicelib::matcher::FastModeOptions(), false, true);
}

// Creating and deleting an instance: its scratch memory comes with the first comparison.
void BM_CreateMatcher(benchmark::State& state) {
  const auto matcher = devicelib::CreateMinutiaeMatcher();
  for (auto _ : state) {
    devicelib::MatcherHandle handle = nullptr;
    matcher->Create(&handle);
    benchmark::DoNotOptimize(handle);
    matcher->Delete(handle);
  }
}

// Identification among `gallery` templates of other fingers: the whole gallery is searched.
// `repeated`: one instance searches the same gallery again and again, as the agent's database
// does with every probe, so the records it keeps prepared (PreparedCache, 64 MB: about 10,100
// real-size records in fast mode, 5,600 in full mode) are not decoded and prepared again;
// otherwise each search is a new instance's first, which decodes and prepares every record.
void BM_Identify(benchmark::State& state, int32_t fastMode, int kGallery, bool repeated) {
  const auto& records = Records(10001, kRealSize);
  std::vector<const uint8_t*> templates;
  std::vector<int32_t> sizes;
  for (int n = 0; n < kGallery; ++n) {
    templates.push_back(records[2 * static_cast<size_t>(n)].data());
    sizes.push_back(static_cast<int32_t>(records[2 * static_cast<size_t>(n)].size()));
  }
  const auto& probe = records[2 * size_t{10000} + 1];
  const auto matcher = devicelib::CreateMinutiaeMatcher();
  devicelib::MatcherHandle handle = nullptr;
  const auto create = [&] {
    matcher->Create(&handle);
    matcher->SetParameter(handle, devicelib::kParamFastMode, &fastMode);
  };
  create();
  if (repeated) {
    int32_t index = 0;
    matcher->Identify(handle, probe.data(), static_cast<int32_t>(probe.size()), templates.data(),
                      sizes.data(), kGallery, 0, &index);
  }
  for (auto _ : state) {
    if (!repeated) {
      state.PauseTiming();
      matcher->Delete(handle);
      create();
      state.ResumeTiming();
    }
    int32_t index = 0;
    const int32_t status =
        matcher->Identify(handle, probe.data(), static_cast<int32_t>(probe.size()),
                          templates.data(), sizes.data(), kGallery, 0, &index);
    benchmark::DoNotOptimize(status);
    benchmark::DoNotOptimize(index);
  }
  state.counters["comparisons/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kGallery, benchmark::Counter::kIsRate);
  matcher->Delete(handle);
}

}  // namespace

BENCHMARK(BM_VerifyFull);
BENCHMARK(BM_VerifyFast);
BENCHMARK(BM_VerifyFullSmall);
BENCHMARK(BM_VerifyFastSmall);
BENCHMARK(BM_PrepareRecord);
BENCHMARK(BM_PrepareRecordFast);
BENCHMARK(BM_PrepareDecodedFast);
BENCHMARK(BM_PrepareDecodedFastRidgeCounts);
BENCHMARK(BM_ScorePrepared);
BENCHMARK(BM_ScorePreparedFast);
BENCHMARK(BM_ScoreImpostors);
BENCHMARK(BM_ScoreImpostorsExact);
BENCHMARK(BM_ScoreImpostorsFast);
BENCHMARK(BM_ScoreImpostorsFastExact);
BENCHMARK(BM_ScoreImpostorsFastRidgeCounts);
BENCHMARK(BM_ScorePreparedFastRidgeCounts);
BENCHMARK(BM_CreateMatcher);
// Fast mode (1) or not, gallery size, searched again by one instance (see BM_Identify).
BENCHMARK_CAPTURE(BM_Identify, 10000Full, 0, 10000, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Identify, 10000Fast, 1, 10000, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Identify, 1000RepeatedFull, 0, 1000, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Identify, 1000RepeatedFast, 1, 1000, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Identify, 10000RepeatedFull, 0, 10000, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Identify, 10000RepeatedFast, 1, 10000, true)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
