// Measures the matcher on minutiae records of real fingerprints, to tune it and to set the
// security-level thresholds.
//
//   matcher-evaluate [--fast] [--exact] [--ext iso|ansi] [--other-ext iso|ansi]
//                    [--rotate DEGREES] [--scores FILE] [--given-scores]
//                    PAIRS_DIR SET_DIR...
//
// PAIRS_DIR holds genuine_pairs.txt and impostor_pairs.txt (lines "NAME NAME"); each SET_DIR
// holds one record per image, NAME.ext (ext "iso" by default), as `fingerprint extract` writes
// them. A missing or unreadable record counts as a failure to extract and scores 0 against
// everything.
//
// Per set: EER, the false-non-match rate at FMR <= 1 % and <= 0.1 % and at zero false matches,
// and how many comparisons change when probe and gallery swap places. With --other-ext, the same
// pairs are also scored from the records of the other format (same minutiae, other angle
// quantisation) and the score changes are summarised. With --rotate, every genuine pair is also
// scored with the probe's minutiae turned by that many degrees about their centre. Pooled over
// all sets: the FMR and FNMR at each security level's threshold, the thresholds that reach
// given false-match rates, the impostor tail, and the comparison rate in CPU time: with both
// records decoded and prepared for every comparison (as Verify does), and with every record
// prepared once (as an identification over kept records does; these scores must be the same).
//
// --given-scores measures another matcher's scores with the same definitions instead of
// comparing records: each SET_DIR then also holds genuine_scores.txt and impostor_scores.txt
// ("NAME NAME SCORE" for every pair of the lists; bench/bozorth_compare.cpp writes bozorth3's).
// Records are still read, for the count of failures to extract; scores may exceed 1000.
//
// --exact scores without the matcher's cascade (CompareOptions::refineFrom 0): the scores that
// the cascade lowers (all of them far below the lowest threshold) are then the exact ones too,
// for figures that depend on every score (EER, 1 - AUC) and to check the cascade itself.
//
// Development: --ridge-trace FILE (the ridge counts under the pairing behind each score); and,
// since the library's own comparison does not take them, only with --exact: --ridge-from S
// (counts compared from score S), --ridge-prune R (CompareOptions::ridgePrune in place of its
// default 9; 0 = off), --ridge-support L and --ridge-rescue D (CompareOptions::ridgeSupport,
// ridgeRescue; off by default).
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <numbers>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "codec/template/minutiae_record.h"
#include "devicelib/matcher/minutiae_compare.h"
#include "devicelib/matcher/minutiae_matcher.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Compare = int32_t (*)(const uint8_t*, int32_t, const uint8_t*, int32_t, int32_t*);

double CpuSeconds() {
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

std::vector<std::pair<std::string, std::string>> ReadPairs(const std::string& path) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::ifstream in(path);
  std::string a;
  std::string b;
  while (in >> a >> b) {
    pairs.emplace_back(a, b);
  }
  if (pairs.empty()) {
    std::fprintf(stderr, "no pairs in %s\n", path.c_str());
    std::exit(2);
  }
  return pairs;
}

// Another matcher's score of every pair of `pairs`, from lines "NAME NAME SCORE".
std::vector<int32_t> ReadGivenScores(
    const std::string& path, const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::map<std::pair<std::string, std::string>, int32_t> given;
  std::ifstream in(path);
  std::string a;
  std::string b;
  int32_t score = 0;
  while (in >> a >> b >> score) {
    given[{a, b}] = score;
  }
  std::vector<int32_t> scores;
  for (const auto& pair : pairs) {
    const auto it = given.find(pair);
    if (it == given.end()) {
      std::fprintf(stderr, "%s: no score for %s %s\n", path.c_str(), pair.first.c_str(),
                   pair.second.c_str());
      std::exit(2);
    }
    scores.push_back(it->second);
  }
  return scores;
}

std::optional<Bytes> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Development settings of the exact comparison (--ridge-from, --ridge-prune).
int gRidgeFrom = -1;
int gRidgePrune = -1;  // -1: the options' own
float gRidgeSupport = 0;
int gRidgeRescue = 0;

// The library's comparison without the cascade.
int32_t CompareExact(const uint8_t* a, int32_t aSize, const uint8_t* b, int32_t bSize,
                     devicelib::matcher::CompareOptions options, int32_t* score) {
  options.refineFrom = 0;
  options.ridgeFrom = gRidgeFrom >= 0 ? gRidgeFrom : options.ridgeFrom;
  options.ridgePrune = gRidgePrune >= 0 ? gRidgePrune : options.ridgePrune;
  options.ridgeSupport = gRidgeSupport;
  options.ridgeRescue = gRidgeRescue;
  thread_local codec::FingerTemplate decoded;
  thread_local devicelib::matcher::PreparedTemplate first;
  thread_local devicelib::matcher::PreparedTemplate second;
  thread_local devicelib::matcher::Comparator comparator;
  for (auto [data, size, prepared] :
       {std::tuple(a, aSize, &first), std::tuple(b, bSize, &second)}) {
    if (data == nullptr || size <= 0 ||
        codec::DecodeMinutiaeRecord(std::span(data, static_cast<size_t>(size)), &decoded) !=
            codec::RecordError::kOk) {
      return 1;
    }
    prepared->Prepare(decoded, options);
  }
  *score = comparator.Score(first, second, options);
  return 0;
}

int32_t CompareExactFull(const uint8_t* a, int32_t aSize, const uint8_t* b, int32_t bSize,
                         int32_t* score) {
  return CompareExact(a, aSize, b, bSize, devicelib::matcher::FullModeOptions(), score);
}

int32_t CompareExactFast(const uint8_t* a, int32_t aSize, const uint8_t* b, int32_t bSize,
                         int32_t* score) {
  return CompareExact(a, aSize, b, bSize, devicelib::matcher::FastModeOptions(), score);
}

int32_t Score(Compare compare, const std::optional<Bytes>& a, const std::optional<Bytes>& b) {
  int32_t score = 0;
  if (!a || !b ||
      compare(a->data(), static_cast<int32_t>(a->size()), b->data(),
              static_cast<int32_t>(b->size()), &score) != 0) {
    return 0;
  }
  return score;
}

// Share of impostor scores at or above t, and of genuine scores below t (both sorted).
double Fmr(const std::vector<int32_t>& impostor, int32_t t) {
  return static_cast<double>(impostor.end() -
                             std::lower_bound(impostor.begin(), impostor.end(), t)) /
         static_cast<double>(impostor.size());
}
double Fnmr(const std::vector<int32_t>& genuine, int32_t t) {
  return static_cast<double>(std::lower_bound(genuine.begin(), genuine.end(), t) -
                             genuine.begin()) /
         static_cast<double>(genuine.size());
}

struct Rates {
  double eer = 0;
  double fmr100 = 0;
  double fmr1000 = 0;
  double zeroFmr = 0;
};

Rates Measure(std::vector<int32_t> genuine, std::vector<int32_t> impostor) {
  std::sort(genuine.begin(), genuine.end());
  std::sort(impostor.begin(), impostor.end());
  Rates r{1, 1, 1, 1};
  double bestGap = 2;
  // Given scores (another matcher's) may run past the library's scale.
  const int32_t top = std::max({devicelib::kMaxMatchScore, genuine.empty() ? 0 : genuine.back(),
                                impostor.empty() ? 0 : impostor.back()});
  for (int32_t t = 0; t <= top + 1; ++t) {
    const double fmr = Fmr(impostor, t);
    const double fnmr = Fnmr(genuine, t);
    if (std::fabs(fmr - fnmr) < bestGap) {
      bestGap = std::fabs(fmr - fnmr);
      r.eer = (fmr + fnmr) / 2;
    }
    if (fmr <= 0.01) {
      r.fmr100 = std::min(r.fmr100, fnmr);
    }
    if (fmr <= 0.001) {
      r.fmr1000 = std::min(r.fmr1000, fnmr);
    }
    if (fmr == 0) {
      r.zeroFmr = std::min(r.zeroFmr, fnmr);
    }
  }
  return r;
}

// The probe's minutiae turned by `degrees` about their centre, in the same record format.
std::optional<Bytes> Rotated(const std::optional<Bytes>& record, double degrees) {
  if (!record) {
    return std::nullopt;
  }
  codec::FingerTemplate t;
  codec::TemplateFormat format = codec::TemplateFormat::kUnknown;
  if (codec::DecodeMinutiaeRecord(*record, &t, &format) != codec::RecordError::kOk ||
      t.minutiae.empty()) {
    return record;
  }
  double cx = 0;
  double cy = 0;
  for (const auto& m : t.minutiae) {
    cx += m.x;
    cy += m.y;
  }
  cx /= static_cast<double>(t.minutiae.size());
  cy /= static_cast<double>(t.minutiae.size());
  const double r = degrees * std::numbers::pi / 180;
  // A turn counter-clockwise on screen (y pointing down) raises the record's angles.
  const double margin = 400;
  for (auto& m : t.minutiae) {
    const double dx = m.x - cx;
    const double dy = m.y - cy;
    m.x = static_cast<uint16_t>(std::lround(margin + cx + dx * std::cos(r) + dy * std::sin(r)));
    m.y = static_cast<uint16_t>(std::lround(margin + cy - dx * std::sin(r) + dy * std::cos(r)));
    m.angle = static_cast<uint16_t>(
        ((m.angle + static_cast<int>(std::lround(degrees))) % 360 + 360) % 360);
  }
  Bytes out;
  codec::EncodeMinutiaeRecord(format, t, &out);
  return out;
}

void Usage(const char* self) {
  std::fprintf(
      stderr,
      "usage: %s [--fast] [--exact] [--ext iso|ansi] [--other-ext iso|ansi] [--rotate DEG] "
      "[--scores FILE] [--given-scores] [--ridge-trace FILE] [--ridge-from S] [--ridge-prune R] "
      "[--ridge-support L] [--ridge-rescue D] PAIRS_DIR SET_DIR...\n",
      self);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  bool fast = false;
  bool exact = false;
  bool given = false;
  std::string ext = "iso";
  std::string otherExt;
  std::optional<double> rotation;
  std::string scoresPath;
  std::string ridgePath;
  int& ridgeFrom = gRidgeFrom;
  int& ridgePrune = gRidgePrune;
  std::vector<std::string> positional;
  for (int n = 1; n < argc; ++n) {
    const std::string arg = argv[n];
    if (arg == "--fast") {
      fast = true;
    } else if (arg == "--exact") {
      exact = true;
    } else if (arg == "--given-scores") {
      given = true;
    } else if (arg == "--ext" && n + 1 < argc) {
      ext = argv[++n];
    } else if (arg == "--other-ext" && n + 1 < argc) {
      otherExt = argv[++n];
    } else if (arg == "--rotate" && n + 1 < argc) {
      rotation = std::atof(argv[++n]);
    } else if (arg == "--scores" && n + 1 < argc) {
      scoresPath = argv[++n];
    } else if (arg == "--ridge-trace" && n + 1 < argc) {
      ridgePath = argv[++n];
    } else if (arg == "--ridge-from" && n + 1 < argc) {
      ridgeFrom = std::atoi(argv[++n]);
    } else if (arg == "--ridge-support" && n + 1 < argc) {
      gRidgeSupport = static_cast<float>(std::atof(argv[++n]));
    } else if (arg == "--ridge-rescue" && n + 1 < argc) {
      gRidgeRescue = std::atoi(argv[++n]);
    } else if (arg == "--ridge-prune" && n + 1 < argc) {
      ridgePrune = std::atoi(argv[++n]);
    } else if (arg.starts_with("--")) {
      Usage(argv[0]);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() < 2) {
    Usage(argv[0]);
  }
  const Compare compare =
      exact ? (fast ? CompareExactFast : CompareExactFull)
            : (fast ? devicelib::CompareTemplatesFast : devicelib::CompareTemplates);
  const auto genuinePairs = ReadPairs(positional[0] + "/genuine_pairs.txt");
  const auto impostorPairs = ReadPairs(positional[0] + "/impostor_pairs.txt");

  std::vector<int32_t> allGenuine;
  std::vector<int32_t> allImpostor;
  // One line per pair (set, kind, names, score), so that two builds can be compared pair by pair.
  std::ofstream scores;
  if (!scoresPath.empty()) {
    scores.open(scoresPath);
  }
  // Development (--ridge-trace): per pair, the score, the score of the pairing behind it before
  // the ridge counts weighed in and how the counts compare under that pairing (comparable,
  // exact, by one, two or more apart), then the same for each first stage (the codes', the edge
  // votes'; zeros for a stage not run or below Comparator::kRidgeFrom), from which a weighting
  // of the counts can be tried again without the matcher.
  std::ofstream ridgeTrace;
  if (!ridgePath.empty()) {
    ridgeTrace.open(ridgePath);
  }
  double cpu = 0;
  size_t comparisons = 0;
  double preparedCpu = 0;  // the same comparisons of records prepared once
  int preparedMismatches = 0;
  std::printf("%-16s %6s %7s %7s %7s %5s %9s %9s %9s\n", "set", "EER%", "FMR100", "FMR1000",
              "ZeroFMR", "FTE", "asym", "quant.max", "quant.avg");
  for (size_t s = 1; s < positional.size(); ++s) {
    const std::string& dir = positional[s];
    std::map<std::string, std::optional<Bytes>> records;
    std::map<std::string, std::optional<Bytes>> others;
    int failures = 0;
    const auto load = [&](const std::string& name) {
      if (!records.contains(name)) {
        auto r = ReadFile(dir + "/" + name + "." + ext);
        codec::FingerTemplate t;
        if (r && codec::DecodeMinutiaeRecord(*r, &t) != codec::RecordError::kOk) {
          r.reset();
        }
        failures += r ? 0 : 1;
        records[name] = std::move(r);
        if (!otherExt.empty()) {
          others[name] = ReadFile(dir + "/" + name + "." + otherExt);
        }
      }
    };
    for (const auto& [a, b] : genuinePairs) {
      load(a);
      load(b);
    }
    for (const auto& [a, b] : impostorPairs) {
      load(a);
      load(b);
    }
    std::vector<int32_t> genuine;
    std::vector<int32_t> impostor;
    int asymmetric = 0;
    int quantMax = 0;
    double quantSum = 0;
    const double start = CpuSeconds();
    const auto run = [&](const auto& pairs, std::vector<int32_t>* out) {
      for (const auto& [a, b] : pairs) {
        out->push_back(Score(compare, records[a], records[b]));
      }
    };
    if (given) {
      genuine = ReadGivenScores(dir + "/genuine_scores.txt", genuinePairs);
      impostor = ReadGivenScores(dir + "/impostor_scores.txt", impostorPairs);
    } else {
      run(genuinePairs, &genuine);
      run(impostorPairs, &impostor);
    }
    cpu += CpuSeconds() - start;
    comparisons += genuine.size() + impostor.size();
    if (!given) {
      // The same pairs with every record decoded and prepared once, as an identification over
      // kept records compares them; the scores must be the library's.
      devicelib::matcher::CompareOptions options =
          fast ? devicelib::matcher::FastModeOptions() : devicelib::matcher::FullModeOptions();
      if (exact) {
        options.refineFrom = 0;
      }
      options.ridgeFrom = ridgeFrom >= 0 ? ridgeFrom : options.ridgeFrom;
      options.ridgePrune = ridgePrune >= 0 ? ridgePrune : options.ridgePrune;
      options.ridgeSupport = gRidgeSupport;
      options.ridgeRescue = gRidgeRescue;
      options.ridgeRescue = gRidgeRescue;
      std::map<std::string, devicelib::matcher::PreparedTemplate> prepared;
      for (const auto& [name, record] : records) {
        codec::FingerTemplate t;
        if (record && codec::DecodeMinutiaeRecord(*record, &t) == codec::RecordError::kOk) {
          prepared[name].Prepare(t, options);
        }
      }
      devicelib::matcher::Comparator comparator;
      const auto score = [&](const std::string& a, const std::string& b) {
        const auto pa = prepared.find(a);
        const auto pb = prepared.find(b);
        return pa == prepared.end() || pb == prepared.end()
                   ? 0
                   : comparator.Score(pa->second, pb->second, options);
      };
      // Once untimed, so that each set has built the look-ups of the sides it plays.
      for (const auto* pairs : {&genuinePairs, &impostorPairs}) {
        for (const auto& [a, b] : *pairs) {
          score(a, b);
        }
      }
      const double begin = CpuSeconds();
      for (const auto& [pairs, expected] :
           {std::pair(&genuinePairs, &genuine), std::pair(&impostorPairs, &impostor)}) {
        for (size_t n = 0; n < pairs->size(); ++n) {
          preparedMismatches += score((*pairs)[n].first, (*pairs)[n].second) != (*expected)[n];
        }
      }
      preparedCpu += CpuSeconds() - begin;
      if (ridgeTrace.is_open()) {
        for (const auto& [kind, pairs] :
             {std::pair("genuine", &genuinePairs), std::pair("impostor", &impostorPairs)}) {
          for (const auto& [a, b] : *pairs) {
            const int s = score(a, b);
            ridgeTrace << dir << ' ' << kind << ' ' << a << ' ' << b << ' ' << s << ' '
                       << comparator.LastPairingScore();
            const auto evidence = [&](const devicelib::matcher::RidgeEvidence& e) {
              ridgeTrace << ' ' << e.pairs << ' ' << e.comparable << ' ' << e.exact << ' '
                         << e.byOne << ' ' << e.apart;
            };
            evidence(comparator.LastRidgeEvidence());
            // Each first stage's own (full mode runs both: the codes', then the edge votes').
            for (const bool codes : {true, false}) {
              ridgeTrace << ' ' << comparator.StagePairingScore(codes);
              evidence(comparator.StageRidgeEvidence(codes));
            }
            ridgeTrace << '\n';
          }
        }
      }
    }
    const auto check = [&](const auto& pairs, const std::vector<int32_t>& scores) {
      for (size_t n = 0; n < pairs.size(); ++n) {
        const auto& [a, b] = pairs[n];
        asymmetric += Score(compare, records[b], records[a]) != scores[n] ? 1 : 0;
        if (!otherExt.empty()) {
          const int d = std::abs(Score(compare, others[a], others[b]) - scores[n]);
          quantMax = std::max(quantMax, d);
          quantSum += d;
        }
      }
    };
    if (!given) {
      check(genuinePairs, genuine);
      check(impostorPairs, impostor);
    }
    if (scores.is_open()) {
      const auto dump = [&](const char* kind, const auto& pairs, const std::vector<int32_t>& v) {
        for (size_t n = 0; n < pairs.size(); ++n) {
          scores << dir << ' ' << kind << ' ' << pairs[n].first << ' ' << pairs[n].second << ' '
                 << v[n] << '\n';
        }
      };
      dump("genuine", genuinePairs, genuine);
      dump("impostor", impostorPairs, impostor);
    }
    const Rates r = Measure(genuine, impostor);
    std::string name = dir;
    while (!name.empty() && name.back() == '/') {
      name.pop_back();
    }
    name = name.substr(name.find_last_of('/') + 1);
    std::printf("%-16s %6.2f %7.1f %7.1f %7.1f %5d %9d %9d %9.2f\n", name.c_str(), 100 * r.eer,
                100 * r.fmr100, 100 * r.fmr1000, 100 * r.zeroFmr, failures, asymmetric, quantMax,
                quantSum / static_cast<double>(genuine.size() + impostor.size()));
    if (rotation && !given) {
      int below = 0;
      int baseBelow = 0;
      const int32_t threshold = devicelib::SecurityLevelThreshold(devicelib::kDefaultSecurityLevel);
      for (size_t n = 0; n < genuinePairs.size(); ++n) {
        const auto& [a, b] = genuinePairs[n];
        below += Score(compare, Rotated(records[a], *rotation), records[b]) < threshold ? 1 : 0;
        baseBelow += genuine[n] < threshold ? 1 : 0;
      }
      std::printf(
          "  rotated %.0f deg: %d of %zu genuine pairs below the default threshold (%d "
          "unrotated)\n",
          *rotation, below, genuinePairs.size(), baseBelow);
    }
    allGenuine.insert(allGenuine.end(), genuine.begin(), genuine.end());
    allImpostor.insert(allImpostor.end(), impostor.begin(), impostor.end());
  }
  const Rates pooled = Measure(allGenuine, allImpostor);
  std::printf("%-16s %6.2f %7.1f %7.1f %7.1f\n", "pooled", 100 * pooled.eer, 100 * pooled.fmr100,
              100 * pooled.fmr1000, 100 * pooled.zeroFmr);
  std::sort(allGenuine.begin(), allGenuine.end());
  std::sort(allImpostor.begin(), allImpostor.end());
  // The security levels and the comparison rate are the library's own.
  std::printf("%s", given ? "" : "\nlevel threshold  false matches       FMR      FNMR\n");
  for (int32_t level = devicelib::kMinSecurityLevel;
       !given && level <= devicelib::kMaxSecurityLevel; ++level) {
    const int32_t t = devicelib::SecurityLevelThreshold(level);
    const double fmr = Fmr(allImpostor, t);
    std::printf("%5d %9d %6.0f of %6zu %9.2e %8.2f%%\n", level, t,
                fmr * static_cast<double>(allImpostor.size()), allImpostor.size(), fmr,
                100 * Fnmr(allGenuine, t));
  }
  std::printf("\nthreshold for FMR <= target: ");
  for (const double target : {1e-2, 3e-3, 1e-3, 3e-4, 1e-4}) {
    int32_t t = 0;
    while (t <= std::max(devicelib::kMaxMatchScore, allImpostor.back()) &&
           Fmr(allImpostor, t) > target) {
      ++t;
    }
    std::printf(" %.0e:%d (FNMR %.2f%%)", target, t, 100 * Fnmr(allGenuine, t));
  }
  std::printf("\nimpostor tail (score: count at or above):");
  for (int32_t t = allImpostor[allImpostor.size() * 99 / 100]; t <= allImpostor.back() + 5;
       t += 5) {
    std::printf(" %d:%.0f", t, Fmr(allImpostor, t) * static_cast<double>(allImpostor.size()));
  }
  std::printf("\ngenuine median %d, impostor median %d, max %d\n",
              allGenuine[allGenuine.size() / 2], allImpostor[allImpostor.size() / 2],
              allImpostor.back());
  if (!given) {
    std::printf("%.0f comparisons per CPU second (%zu comparisons)\n",
                static_cast<double>(comparisons) / cpu, comparisons);
    std::printf(
        "%.0f comparisons per CPU second with the records prepared once (%d scores differ)\n",
        static_cast<double>(comparisons) / preparedCpu, preparedMismatches);
  }
  return 0;
}
