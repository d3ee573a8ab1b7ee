// matcher-oracle: how much of the genuine pairs' shortfall comes from the seed choice.
//
//   matcher-oracle [--fast] [--ext iso|ansi] [--threshold T] [--impostor-every N] PAIRS_DIR
//       SET_DIR...
//
// Every genuine pair that scores below T (the default level's threshold unless given), and every
// N-th impostor pair, is scored again with every candidate of the first stages as a seed, and
// with every pair of minutiae whose turn is allowed as a seed (each refitted and bent on its
// own). One line per pair scored (set, kind, names, normal, candidates, every pair, then for the
// edge votes and the codes apart the best candidate's score and its place in the support
// ranking, -1 for a stage not used), then per set and pooled how many reach T each way. A better
// seed choice can lift at most the pairs that the oracles lift, and it lifts impostors too: both
// counts matter.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>
#include "codec/template/minutiae_record.h"
#include "devicelib/matcher/minutiae_compare.h"
#include "devicelib/matcher/minutiae_matcher.h"
#include "devicelib/matcher_lib.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs ReadPairs(const std::string& path) {
  Pairs pairs;
  std::ifstream in(path);
  std::string a, b;
  while (in >> a >> b) {
    pairs.emplace_back(a, b);
  }
  return pairs;
}

std::optional<codec::FingerTemplate> Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  codec::FingerTemplate t;
  if (codec::DecodeMinutiaeRecord(bytes, &t) != codec::RecordError::kOk) {
    return std::nullopt;
  }
  return t;
}

struct Counts {
  int pairs = 0;
  int below = 0;  // genuine: scored below the threshold normally; impostor: at or above it
  int candidates = 0;
  int everyPair = 0;
};

}  // namespace

int main(int argc, char** argv) {
  using devicelib::matcher::CompareOptions;
  CompareOptions options = devicelib::matcher::FullModeOptions();
  std::string ext = "iso";
  int threshold = devicelib::SecurityLevelThreshold(devicelib::kDefaultSecurityLevel);
  int impostorEvery = 0;
  std::vector<std::string> positional;
  for (int n = 1; n < argc; ++n) {
    const std::string arg = argv[n];
    if (arg == "--fast") {
      options = devicelib::matcher::FastModeOptions();
    } else if (arg == "--ext" && n + 1 < argc) {
      ext = argv[++n];
    } else if (arg == "--threshold" && n + 1 < argc) {
      threshold = std::atoi(argv[++n]);
    } else if (arg == "--impostor-every" && n + 1 < argc) {
      impostorEvery = std::atoi(argv[++n]);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() < 2) {
    std::fprintf(stderr,
                 "usage: %s [--fast] [--ext iso|ansi] [--threshold T] [--impostor-every N] "
                 "PAIRS_DIR SET_DIR...\n",
                 argv[0]);
    return 2;
  }
  const Pairs genuinePairs = ReadPairs(positional[0] + "/genuine_pairs.txt");
  const Pairs impostorPairs = ReadPairs(positional[0] + "/impostor_pairs.txt");
  CompareOptions candidates = options;
  candidates.oracle = 1;
  CompareOptions everyPair = options;
  everyPair.oracle = 2;
  devicelib::matcher::Comparator comparator;
  Counts genuineTotal, impostorTotal;
  for (size_t s = 1; s < positional.size(); ++s) {
    std::string name = positional[s];
    while (!name.empty() && name.back() == '/') {
      name.pop_back();
    }
    name = name.substr(name.find_last_of('/') + 1);
    std::map<std::string, devicelib::matcher::PreparedTemplate> prepared;
    const auto get = [&](const std::string& id) -> const devicelib::matcher::PreparedTemplate* {
      auto it = prepared.find(id);
      if (it == prepared.end()) {
        const auto t = Load(positional[s] + "/" + id + "." + ext);
        if (!t) {
          return nullptr;
        }
        it = prepared.emplace(id, devicelib::matcher::PreparedTemplate()).first;
        it->second.Prepare(*t, options);
      }
      return &it->second;
    };
    Counts genuine, impostor;
    const auto run = [&](const Pairs& pairs, bool isGenuine, Counts* counts) {
      for (size_t n = 0; n < pairs.size(); ++n) {
        if (!isGenuine && (impostorEvery <= 0 || n % static_cast<size_t>(impostorEvery) != 0)) {
          continue;
        }
        const auto* a = get(pairs[n].first);
        const auto* b = get(pairs[n].second);
        if (a == nullptr || b == nullptr) {
          continue;
        }
        const int normal = comparator.Score(*a, *b, options);
        ++counts->pairs;
        if (isGenuine && normal >= threshold) {
          continue;
        }
        // Each first stage's candidates apart, to see where its best seed sat in its ranking.
        int c = 0;
        std::string ranks;
        for (const bool codes : {false, true}) {
          CompareOptions stage = candidates;
          stage.edgeVotes = !codes;
          stage.localCodes = codes;
          if (!(codes ? candidates.localCodes : candidates.edgeVotes)) {
            ranks += " -1 -1";
            continue;
          }
          const int score = comparator.Score(*a, *b, stage);
          c = std::max(c, score);
          ranks += " " + std::to_string(score) + " " + std::to_string(comparator.OracleRank());
        }
        const int e = comparator.Score(*a, *b, everyPair);
        counts->below += (isGenuine || normal >= threshold) ? 1 : 0;
        counts->candidates += c >= threshold ? 1 : 0;
        counts->everyPair += e >= threshold ? 1 : 0;
        std::printf("%s %s %s %s %d %d %d%s\n", name.c_str(), isGenuine ? "genuine" : "impostor",
                    pairs[n].first.c_str(), pairs[n].second.c_str(), normal, c, e, ranks.c_str());
        std::fflush(stdout);
      }
    };
    run(genuinePairs, true, &genuine);
    run(impostorPairs, false, &impostor);
    std::printf(
        "# %s genuine: %d of %d below %d; with every candidate as a seed %d reach it, with every "
        "minutia pair %d\n",
        name.c_str(), genuine.below, genuine.pairs, threshold, genuine.candidates,
        genuine.everyPair);
    std::printf(
        "# %s impostor (every %d-th): %d of %d at or above %d; with every candidate %d, every "
        "minutia pair %d\n",
        name.c_str(), impostorEvery, impostor.below, impostor.pairs, threshold, impostor.candidates,
        impostor.everyPair);
    for (auto* total : {&genuineTotal, &impostorTotal}) {
      const Counts& c = total == &genuineTotal ? genuine : impostor;
      total->pairs += c.pairs;
      total->below += c.below;
      total->candidates += c.candidates;
      total->everyPair += c.everyPair;
    }
  }
  std::printf("# pooled genuine: %d of %d below %d; every candidate %d reach it, every pair %d\n",
              genuineTotal.below, genuineTotal.pairs, threshold, genuineTotal.candidates,
              genuineTotal.everyPair);
  std::printf("# pooled impostor: %d of %d at or above %d; every candidate %d, every pair %d\n",
              impostorTotal.below, impostorTotal.pairs, threshold, impostorTotal.candidates,
              impostorTotal.everyPair);
  return 0;
}
