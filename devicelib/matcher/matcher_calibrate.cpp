// Measures the matcher's score distributions on virtual fingers, to choose and check the
// security-level thresholds.
//
//   matcher-calibrate [fingers=200] [impressions=4] [quality=90] [impostor-impressions=2]
//                     [cache-file]
//
// Making virtual impressions takes most of the time; with a cache file the records are read
// from it when it exists (and matches the other arguments) and written to it otherwise.
//
// Genuine comparisons: every pair of impressions of one finger. Impostor comparisons: the first
// `impostor-impressions` impressions of every finger against those of every other finger.
// Prints score ranges and percentiles, FMR and FNMR at each level's threshold in full and fast
// mode, and the comparison rate.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "codec/template/minutiae_record.h"
#include "devicelib/matcher/minutiae_matcher.h"
#include "devicelib/virtual/synthetic_finger.h"

namespace {

using Compare = int32_t (*)(const uint8_t*, int32_t, const uint8_t*, int32_t, int32_t*);

int32_t Score(Compare compare, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int32_t score = 0;
  if (compare(a.data(), static_cast<int32_t>(a.size()), b.data(), static_cast<int32_t>(b.size()),
              &score) != 0) {
    std::fprintf(stderr, "comparison failed\n");
    std::exit(1);
  }
  return score;
}

int32_t Percentile(const std::vector<int32_t>& sorted, double p) {
  if (sorted.empty()) {
    return 0;
  }
  const auto at = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1));
  return sorted[at];
}

void Report(const char* mode, Compare compare, const std::vector<std::vector<uint8_t>>& records,
            int fingers, int impressions, int impostorImpressions) {
  std::vector<int32_t> genuine;
  std::vector<int32_t> impostor;
  const auto start = std::chrono::steady_clock::now();
  for (int f = 0; f < fingers; ++f) {
    for (int a = 0; a < impressions; ++a) {
      for (int b = a + 1; b < impressions; ++b) {
        genuine.push_back(
            Score(compare, records[f * impressions + a], records[f * impressions + b]));
      }
    }
  }
  for (int f = 0; f < fingers; ++f) {
    for (int g = f + 1; g < fingers; ++g) {
      for (int a = 0; a < impostorImpressions; ++a) {
        for (int b = 0; b < impostorImpressions; ++b) {
          impostor.push_back(
              Score(compare, records[f * impressions + a], records[g * impressions + b]));
        }
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::sort(genuine.begin(), genuine.end());
  std::sort(impostor.begin(), impostor.end());
  const size_t total = genuine.size() + impostor.size();
  std::printf("== %s mode: %zu genuine, %zu impostor comparisons, %.0f comparisons/s\n", mode,
              genuine.size(), impostor.size(), static_cast<double>(total) / seconds);
  std::printf("genuine  min %d  p1 %d  p5 %d  median %d  max %d\n", genuine.front(),
              Percentile(genuine, 0.01), Percentile(genuine, 0.05), Percentile(genuine, 0.5),
              genuine.back());
  std::printf("impostor min %d  median %d  p99 %d  p99.9 %d  p99.99 %d  max %d\n", impostor.front(),
              Percentile(impostor, 0.5), Percentile(impostor, 0.99), Percentile(impostor, 0.999),
              Percentile(impostor, 0.9999), impostor.back());
  for (int32_t level = devicelib::kMinSecurityLevel; level <= devicelib::kMaxSecurityLevel;
       ++level) {
    const int32_t threshold = devicelib::SecurityLevelThreshold(level);
    const auto falseMatches = static_cast<size_t>(
        impostor.end() - std::lower_bound(impostor.begin(), impostor.end(), threshold));
    const auto falseNonMatches = static_cast<size_t>(
        std::lower_bound(genuine.begin(), genuine.end(), threshold) - genuine.begin());
    std::printf("level %d threshold %4d: FMR %zu/%zu  FNMR %zu/%zu (%.2f%%)\n", level, threshold,
                falseMatches, impostor.size(), falseNonMatches, genuine.size(),
                100.0 * static_cast<double>(falseNonMatches) / static_cast<double>(genuine.size()));
  }
  // Tail of the impostor distribution, for extrapolating below the measurable rates.
  std::printf("impostor tail (score: count at or above):");
  for (int32_t s = Percentile(impostor, 0.99); s <= impostor.back(); s += 5) {
    std::printf(" %d:%zu", s,
                static_cast<size_t>(impostor.end() -
                                    std::lower_bound(impostor.begin(), impostor.end(), s)));
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const int fingers = argc > 1 ? std::atoi(argv[1]) : 200;
  const int impressions = argc > 2 ? std::atoi(argv[2]) : 4;
  const int quality = argc > 3 ? std::atoi(argv[3]) : 90;
  const int impostorImpressions = std::min(impressions, argc > 4 ? std::atoi(argv[4]) : 2);
  if (fingers < 2 || impressions < 2 || impostorImpressions < 1) {
    std::fprintf(stderr, "usage: %s [fingers>=2] [impressions>=2] [quality] [impostor-imp>=1]\n",
                 argv[0]);
    return 2;
  }
  std::vector<std::vector<uint8_t>> records;
  const char* cache = argc > 5 ? argv[5] : nullptr;
  if (cache != nullptr) {
    std::ifstream in(cache, std::ios::binary);
    int header[3] = {};
    if (in.read(reinterpret_cast<char*>(header), sizeof header) && header[0] == fingers &&
        header[1] == impressions && header[2] == quality) {
      for (int n = 0; n < fingers * impressions; ++n) {
        uint32_t size = 0;
        in.read(reinterpret_cast<char*>(&size), sizeof size);
        std::vector<uint8_t> record(size);
        in.read(reinterpret_cast<char*>(record.data()), size);
        records.push_back(std::move(record));
      }
      if (!in) {
        records.clear();
      }
    }
  }
  if (records.empty()) {
    size_t minutiae = 0;
    size_t fewest = 1000;
    size_t most = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int f = 0; f < fingers; ++f) {
      for (int i = 0; i < impressions; ++i) {
        const auto impression = devicelib::virt::MakeImpression(static_cast<uint32_t>(f + 1),
                                                                static_cast<uint32_t>(i), quality);
        std::vector<uint8_t> record;
        codec::EncodeIso19794_2(impression.features, &record);
        minutiae += impression.features.minutiae.size();
        fewest = std::min(fewest, impression.features.minutiae.size());
        most = std::max(most, impression.features.minutiae.size());
        records.push_back(std::move(record));
      }
    }
    std::printf(
        "%d fingers x %d impressions at quality %d made in %.1f s; minutiae %zu..%zu, "
        "mean %.1f\n",
        fingers, impressions, quality,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), fewest,
        most, static_cast<double>(minutiae) / static_cast<double>(records.size()));
    if (cache != nullptr) {
      std::ofstream out(cache, std::ios::binary);
      const int header[3] = {fingers, impressions, quality};
      out.write(reinterpret_cast<const char*>(header), sizeof header);
      for (const auto& record : records) {
        const auto size = static_cast<uint32_t>(record.size());
        out.write(reinterpret_cast<const char*>(&size), sizeof size);
        out.write(reinterpret_cast<const char*>(record.data()), size);
      }
    }
  }
  Report("full", devicelib::CompareTemplates, records, fingers, impressions, impostorImpressions);
  Report("fast", devicelib::CompareTemplatesFast, records, fingers, impressions,
         impostorImpressions);
  return 0;
}
