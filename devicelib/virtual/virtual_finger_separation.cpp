// How far apart virtual fingers are, as the agent sees them: impressions extracted by the engine
// (like every capture of the virtual scanner) and scored by the project's matcher.
//
//   bench_virtual_finger_separation [FINGERS=200 | ID,ID,...] [impressions=2] [threads=2]
//                                   [quality=90]
//
// FINGERS: fingers 1..FINGERS; or the listed fingers, to check the fingers a test relies on
// over many impressions (the agent's captures are impressions of their own on every run).
// Genuine pairs: every two impressions of one finger. Impostor pairs: every impression of a
// finger against every impression of every other finger. Prints the share of impostor pairs at
// or above each security level's threshold, the highest impostor scores with their fingers, the
// pairs of fingers (numbered up to 100) that match at the default level, and the genuine false
// non-match rate at the default level.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "codec/template/minutiae_record.h"
#include "devicelib/core/record_fit.h"
#include "devicelib/matcher/minutiae_matcher.h"
#include "devicelib/scanner_lib.h"
#include "devicelib/virtual/synthetic_finger.h"
#include "engine/extractor.h"

namespace {

using Bytes = std::vector<uint8_t>;

int32_t Score(const Bytes& a, const Bytes& b) {
  int32_t score = 0;
  if (devicelib::CompareTemplates(a.data(), static_cast<int32_t>(a.size()), b.data(),
                                  static_cast<int32_t>(b.size()), &score) != 0) {
    std::fprintf(stderr, "comparison failed\n");
    std::exit(1);
  }
  return score;
}

struct Impostor {
  int32_t score;
  uint32_t a, b;  // finger numbers
  int ia, ib;     // impression numbers
};

// Runs body(i) for i in 0..count-1 on `threads` threads.
template <typename Body>
void Parallel(int count, int threads, Body body) {
  std::atomic<int> next{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      for (int i = next++; i < count; i = next++) {
        body(i);
      }
    });
  }
  for (auto& thread : pool) {
    thread.join();
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint32_t> ids;
  const std::string what = argc > 1 ? argv[1] : "200";
  if (what.find(',') != std::string::npos) {
    std::stringstream list(what);
    for (std::string id; std::getline(list, id, ',');) {
      ids.push_back(static_cast<uint32_t>(std::stoul(id)));
    }
  } else {
    for (int id = 1; id <= std::atoi(what.c_str()); ++id) {
      ids.push_back(static_cast<uint32_t>(id));
    }
  }
  const int kImpressions = argc > 2 ? std::atoi(argv[2]) : 2;
  const int threads = std::clamp(argc > 3 ? std::atoi(argv[3]) : 2, 1, 64);
  const int quality = argc > 4 ? std::atoi(argv[4]) : 90;
  const int fingers = static_cast<int>(ids.size());
  if (fingers < 2 || kImpressions < 2) {
    std::fprintf(stderr,
                 "usage: %s [FINGERS>=2 | ID,ID,...] [impressions>=2] [threads] [quality]\n",
                 argv[0]);
    return 2;
  }
  const auto id = [&](int f) { return ids[static_cast<size_t>(f)]; };

  const auto start = std::chrono::steady_clock::now();
  std::vector<Bytes> records(static_cast<size_t>(fingers) * static_cast<size_t>(kImpressions));
  std::atomic<size_t> minutiae{0};
  const auto rec = [&](int finger, int i) -> Bytes& {
    return records[static_cast<size_t>(finger) * static_cast<size_t>(kImpressions) +
                   static_cast<size_t>(i)];
  };
  Parallel(fingers, threads, [&](int f) {
    for (int i = 0; i < kImpressions; ++i) {
      const auto imp = devicelib::virt::MakeImpression(id(f), static_cast<uint32_t>(i), quality);
      const engine::Extraction e = engine::Extract({imp.pixels, imp.width, imp.height, 500});
      minutiae += e.features.minutiae.size();
      // The record as the scanner library writes it (ridge counts fitted to what a template
      // buffer and a page's request carry), so that these are the agent's scores.
      if (devicelib::FitRecord(codec::TemplateFormat::kIso19794_2, e.features,
                               static_cast<size_t>(devicelib::kMaxTemplateSize),
                               &rec(f, i)) != devicelib::FitResult::kOk) {
        std::fprintf(stderr, "finger %u impression %d: record not written\n", id(f), i);
        std::exit(1);
      }
    }
  });
  const auto extracted = std::chrono::steady_clock::now();

  const int32_t defaultThreshold =
      devicelib::SecurityLevelThreshold(devicelib::kDefaultSecurityLevel);
  std::vector<std::vector<int32_t>> genuineOf(static_cast<size_t>(fingers));
  std::vector<std::vector<Impostor>> impostorsOf(static_cast<size_t>(fingers));
  Parallel(fingers, threads, [&](int f) {
    for (int a = 0; a < kImpressions; ++a) {
      for (int b = a + 1; b < kImpressions; ++b) {
        genuineOf[static_cast<size_t>(f)].push_back(Score(rec(f, a), rec(f, b)));
      }
    }
    for (int g = f + 1; g < fingers; ++g) {
      for (int a = 0; a < kImpressions; ++a) {
        for (int b = 0; b < kImpressions; ++b) {
          impostorsOf[static_cast<size_t>(f)].push_back(
              {Score(rec(f, a), rec(g, b)), id(f), id(g), a, b});
        }
      }
    }
  });
  const auto compared = std::chrono::steady_clock::now();

  std::vector<Impostor> impostors;
  for (auto& list : impostorsOf) {
    impostors.insert(impostors.end(), list.begin(), list.end());
  }
  std::sort(impostors.begin(), impostors.end(),
            [](const Impostor& x, const Impostor& y) { return x.score > y.score; });

  const auto seconds = [](auto from, auto to) {
    return std::chrono::duration<double>(to - from).count();
  };
  std::printf("%d fingers (%u..%u), %d impressions each, placement quality %d\n", fingers,
              *std::min_element(ids.begin(), ids.end()), *std::max_element(ids.begin(), ids.end()),
              kImpressions, quality);
  std::printf("time: %.1f s making and extracting, %.1f s comparing (%d threads)\n",
              seconds(start, extracted), seconds(extracted, compared), threads);

  std::printf("minutiae per impression: %.1f\n",
              static_cast<double>(minutiae) / (fingers * kImpressions));
  std::printf("\nimpostor pairs: %zu\n", impostors.size());
  std::printf("level threshold  at-or-above  share\n");
  for (int32_t level = devicelib::kMinSecurityLevel; level <= devicelib::kMaxSecurityLevel;
       ++level) {
    const int32_t threshold = devicelib::SecurityLevelThreshold(level);
    const auto n = std::count_if(impostors.begin(), impostors.end(),
                                 [&](const Impostor& i) { return i.score >= threshold; });
    std::printf("%5d %9d %12td %6.3f %%\n", level, threshold, n,
                100.0 * static_cast<double>(n) / static_cast<double>(impostors.size()));
  }
  const size_t pick = impostors.size() / 1000;
  std::printf("impostor score percentiles: 50 %% %d, 99 %% %d, 99.9 %% %d\n",
              impostors[impostors.size() / 2].score, impostors[impostors.size() / 100].score,
              impostors[pick].score);

  std::printf("\nhighest impostor scores (finger:impression, classes):\n");
  for (size_t i = 0; i < std::min<size_t>(15, impostors.size()); ++i) {
    const Impostor& m = impostors[i];
    std::printf("  %4d  %u:%d - %u:%d  (%s, %s)\n", m.score, m.a, m.ia, m.b, m.ib,
                devicelib::virt::PatternClassName(devicelib::virt::PatternClassOf(m.a)),
                devicelib::virt::PatternClassName(devicelib::virt::PatternClassOf(m.b)));
  }

  // Pairs of fingers numbered up to 100 that match at the default level, with how many of
  // their impression pairs do.
  std::map<std::pair<uint32_t, uint32_t>, int> twins;
  for (const Impostor& m : impostors) {
    if (m.score >= defaultThreshold && std::max(m.a, m.b) <= 100) {
      ++twins[{std::min(m.a, m.b), std::max(m.a, m.b)}];
    }
  }
  std::printf("\npairs of fingers up to 100 matching at level %d (threshold %d): %zu\n",
              devicelib::kDefaultSecurityLevel, defaultThreshold, twins.size());
  for (const auto& [pair, count] : twins) {
    std::printf("  %u - %u: %d of %d impression pairs\n", pair.first, pair.second, count,
                kImpressions * kImpressions);
  }

  std::vector<int32_t> genuine;
  for (int f = 0; f < fingers; ++f) {
    for (const int32_t score : genuineOf[static_cast<size_t>(f)]) {
      genuine.push_back(score);
      if (score < defaultThreshold) {
        std::printf("  genuine miss: finger %u (%s), score %d\n", id(f),
                    devicelib::virt::PatternClassName(devicelib::virt::PatternClassOf(id(f))),
                    score);
      }
    }
  }
  std::sort(genuine.begin(), genuine.end());
  const auto misses = std::count_if(genuine.begin(), genuine.end(),
                                    [&](int32_t s) { return s < defaultThreshold; });
  std::printf(
      "\ngenuine pairs: %zu; FNMR at level %d: %td (%.2f %%); scores min %d, 10 %% %d, "
      "median %d\n",
      genuine.size(), devicelib::kDefaultSecurityLevel, misses,
      100.0 * static_cast<double>(misses) / static_cast<double>(genuine.size()), genuine.front(),
      genuine[genuine.size() / 10], genuine[genuine.size() / 2]);
  return 0;
}
