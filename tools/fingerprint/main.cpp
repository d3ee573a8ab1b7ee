// fingerprint: extract minutiae records from images, compare records, evaluate the extractor and
// matcher on a set of images with genuine and impostor pair lists. See engine/README.md.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "codec/template/minutiae_record.h"
#include "devicelib/core/record_fit.h"
#include "devicelib/matcher/minutiae_matcher.h"
#include "devicelib/scanner_lib.h"
#include "engine/extractor.h"
#include "tools/fingerprint/image_readers.h"
#include "tools/fingerprint/metrics.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage:\n"
    "  fingerprint extract [--ppi N] [--format iso|ansi] [--out DIR] IMAGE...\n"
    "  fingerprint match [--level L] A B\n"
    "  fingerprint evaluate [--ppi N] [--scores FILE] [--plot FILE.svg] DIR GENUINE_PAIRS "
    "IMPOSTOR_PAIRS\n"
    "Images: 8-bit PGM (P5), BMP (8-bit or 24-bit) or the agent's raw .dat. --ppi overrides the\n"
    "resolution the file gives (default 500).\n";

// Larger than any image or record the tool reads (a 4000 x 4000 BMP of 24 bits is 48 MB).
constexpr uintmax_t kMaxInputBytes = 64u << 20;

// Reads a whole regular file; on failure says why in *error. A directory, a FIFO or a device
// such as /dev/zero is refused before it is opened: reading one throws, blocks or never ends.
bool ReadFile(const std::string& path, std::vector<uint8_t>* out, std::string* error) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::exists(st)) {
    *error = "cannot read the file: no such file";
    return false;
  }
  if (!fs::is_regular_file(st)) {
    *error = fs::is_directory(st) ? "is a directory, not a file" : "not a regular file";
    return false;
  }
  const uintmax_t size = fs::file_size(path, ec);
  if (ec || size > kMaxInputBytes) {
    *error = ec ? "cannot read the file" : "file is larger than 64 MB";
    return false;
  }
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    *error = "cannot read the file: permission denied or unreadable";
    return false;
  }
  out->resize(static_cast<size_t>(size));
  f.read(reinterpret_cast<char*>(out->data()), static_cast<std::streamsize>(size));
  if (f.gcount() != static_cast<std::streamsize>(size)) {
    *error = "cannot read the file";
    return false;
  }
  return true;
}

// CPU time of the calling thread: an image's extraction cost on one core, whatever else runs.
double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double NowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Extracted {
  bool ok = false;
  std::string error;
  engine::Extraction result;
  std::vector<uint8_t> record;
  double ms = 0;
};

Extracted ExtractFile(const std::string& path, int ppiOverride, codec::TemplateFormat format) {
  Extracted e;
  std::vector<uint8_t> bytes;
  if (!ReadFile(path, &bytes, &e.error))
    return e;
  tools::DecodedImage img;
  if (!tools::ReadImage(bytes, &img, &e.error))
    return e;
  engine::GreyImage g{img.pixels, img.width, img.height,
                      ppiOverride > 0 ? ppiOverride : (img.ppi > 0 ? img.ppi : 500)};
  const double t0 = ThreadCpuMs();
  e.result = engine::Extract(g);
  e.ms = ThreadCpuMs() - t0;
  // The record the scanner library would hand the agent for this image: the same minutiae
  // order, and the ridge counts trimmed to what a template buffer and a page's request carry, so
  // that what is measured here is what the agent compares.
  const devicelib::FitResult fit = devicelib::FitRecord(
      format, e.result.features, static_cast<size_t>(devicelib::kMaxTemplateSize), &e.record);
  if (fit != devicelib::FitResult::kOk) {
    e.error = "cannot encode the record";
    return e;
  }
  e.ok = true;
  return e;
}

int ParseInt(const char* s, int* out) {
  char* end = nullptr;
  const long v = std::strtol(s, &end, 10);
  if (!*s || *end)
    return 0;
  *out = static_cast<int>(v);
  return 1;
}

// The options of all three commands; each command names those it accepts.
struct Options {
  int ppi = 0;
  codec::TemplateFormat format = codec::TemplateFormat::kIso19794_2;
  std::string out = ".";
  int level = devicelib::kDefaultSecurityLevel;
  std::string scoresPath;
  std::string plotPath;
  std::vector<std::string> positional;
};

// Reads argv into `options`, accepting only the options listed in `accepted` (for example
// {"--ppi", "--out"}); anything else starting with "--" is an error. Returns 0, or the exit
// status after a message.
int ParseOptions(int argc, char** argv, std::initializer_list<std::string_view> accepted,
                 Options* options) {
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    const bool known = std::find(accepted.begin(), accepted.end(), a) != accepted.end();
    if (!a.starts_with("--")) {
      options->positional.push_back(a);
      continue;
    }
    if (!known || i + 1 >= argc) {
      std::fprintf(stderr, "fingerprint: %s %s\n%s", known ? "missing value for" : "unknown option",
                   a.c_str(), kUsage);
      return 2;
    }
    const char* value = argv[++i];
    if (a == "--ppi") {
      if (!ParseInt(value, &options->ppi) || options->ppi < 250 || options->ppi > 1000) {
        std::fprintf(stderr, "fingerprint: --ppi must be 250..1000\n");
        return 2;
      }
    } else if (a == "--format") {
      const std::string_view f = value;
      if (f == "iso") {
        options->format = codec::TemplateFormat::kIso19794_2;
      } else if (f == "ansi") {
        options->format = codec::TemplateFormat::kAnsi378;
      } else {
        std::fprintf(stderr, "fingerprint: --format must be iso or ansi\n");
        return 2;
      }
    } else if (a == "--out") {
      options->out = value;
    } else if (a == "--level") {
      if (!ParseInt(value, &options->level) ||
          devicelib::SecurityLevelThreshold(options->level) < 0) {
        std::fprintf(stderr, "fingerprint: --level must be %d..%d\n", devicelib::kMinSecurityLevel,
                     devicelib::kMaxSecurityLevel);
        return 2;
      }
    } else if (a == "--scores") {
      options->scoresPath = value;
    } else if (a == "--plot") {
      options->plotPath = value;
    }
  }
  return 0;
}

int Extract(int argc, char** argv) {
  Options options;
  if (const int status = ParseOptions(argc, argv, {"--ppi", "--format", "--out"}, &options)) {
    return status;
  }
  const int ppi = options.ppi;
  const std::string& out = options.out;
  const codec::TemplateFormat format = options.format;
  const std::vector<std::string>& images = options.positional;
  if (images.empty()) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  std::error_code ec;
  fs::create_directories(out, ec);
  int failures = 0;
  const char* ext = format == codec::TemplateFormat::kAnsi378 ? ".ansi" : ".iso";
  for (const std::string& path : images) {
    const Extracted e = ExtractFile(path, ppi, format);
    if (!e.ok) {
      std::fprintf(stderr, "fingerprint: %s: %s\n", path.c_str(), e.error.c_str());
      ++failures;
      continue;
    }
    const fs::path dest = fs::path(out) / (fs::path(path).stem().string() + ext);
    std::ofstream f(dest, std::ios::binary);
    f.write(reinterpret_cast<const char*>(e.record.data()),
            static_cast<std::streamsize>(e.record.size()));
    if (!f) {
      std::fprintf(stderr, "fingerprint: %s: cannot write %s\n", path.c_str(), dest.c_str());
      ++failures;
      continue;
    }
    std::printf("%s: %zu minutiae, quality %d, %.1f ms CPU -> %s\n", path.c_str(),
                e.result.features.minutiae.size(), e.result.quality, e.ms, dest.c_str());
  }
  return failures ? 1 : 0;
}

int Match(int argc, char** argv) {
  Options options;
  if (const int status = ParseOptions(argc, argv, {"--level"}, &options)) {
    return status;
  }
  const int level = options.level;
  const std::vector<std::string>& files = options.positional;
  if (files.size() != 2) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  std::vector<uint8_t> rec[2];
  for (int i = 0; i < 2; ++i) {
    codec::FingerTemplate t;
    std::string error;
    if (!ReadFile(files[i], &rec[i], &error)) {
      std::fprintf(stderr, "fingerprint: %s: %s\n", files[i].c_str(), error.c_str());
      return 1;
    }
    const codec::RecordError err = codec::DecodeMinutiaeRecord(rec[i], &t);
    if (err != codec::RecordError::kOk) {
      std::fprintf(stderr, "fingerprint: %s: not a minutiae record: %s\n", files[i].c_str(),
                   codec::RecordErrorText(err));
      return 1;
    }
  }
  int32_t score = 0;
  const int32_t status =
      devicelib::CompareTemplates(rec[0].data(), static_cast<int32_t>(rec[0].size()), rec[1].data(),
                                  static_cast<int32_t>(rec[1].size()), &score);
  if (status != 0) {
    std::fprintf(stderr, "fingerprint: comparison failed with status %d\n", status);
    return 1;
  }
  const int32_t threshold = devicelib::SecurityLevelThreshold(level);
  std::printf("score %d, level %d threshold %d: %s\n", score, level, threshold,
              score >= threshold ? "match" : "no match");
  return 0;
}

// A pair list: one "NAME NAME" a line; blank lines are skipped, anything else is an error
// (a line with one name or three would otherwise shift every pair after it).
bool ReadPairs(const std::string& path, std::vector<std::pair<std::string, std::string>>* out) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadFile(path, &bytes, &error)) {
    std::fprintf(stderr, "fingerprint: %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  std::istringstream text(std::string(bytes.begin(), bytes.end()));
  std::string line;
  for (int number = 1; std::getline(text, line); ++number) {
    std::istringstream fields(line);
    std::string a, b, extra;
    if (!(fields >> a))
      continue;
    if (!(fields >> b) || (fields >> extra)) {
      std::fprintf(stderr, "fingerprint: %s:%d: expected two image names\n", path.c_str(), number);
      return false;
    }
    out->push_back({a, b});
  }
  return true;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty())
    return 0;
  std::sort(v.begin(), v.end());
  const size_t k = std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5));
  return v[k];
}

int Evaluate(int argc, char** argv) {
  Options options;
  if (const int status = ParseOptions(argc, argv, {"--ppi", "--scores", "--plot"}, &options)) {
    return status;
  }
  const int ppi = options.ppi;
  const std::string& scoresPath = options.scoresPath;
  const std::string& plotPath = options.plotPath;
  const std::vector<std::string>& pos = options.positional;
  if (pos.size() != 3) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  std::vector<std::pair<std::string, std::string>> genuinePairs, impostorPairs;
  if (!ReadPairs(pos[1], &genuinePairs) || !ReadPairs(pos[2], &impostorPairs)) {
    return 1;
  }
  std::vector<std::string> paths;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(pos[0], ec)) {
    const std::string ext = entry.path().extension().string();
    if (entry.is_regular_file() && (ext == ".pgm" || ext == ".bmp" || ext == ".dat"))
      paths.push_back(entry.path().string());
  }
  if (ec || paths.empty()) {
    std::fprintf(stderr, "fingerprint: %s: no images (PGM, BMP, .dat) found\n", pos[0].c_str());
    return 1;
  }
  std::sort(paths.begin(), paths.end());
  // Extraction on every core (each image timed on its own).
  std::vector<Extracted> ex(paths.size());
  std::atomic<size_t> next{0}, done{0};
  const unsigned threads = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      for (size_t i; (i = next++) < paths.size();) {
        ex[i] = ExtractFile(paths[i], ppi, codec::TemplateFormat::kIso19794_2);
        ++done;
      }
    });
  }
  while (done < paths.size()) {
    std::fprintf(stderr, "\rextracting %zu/%zu", done.load(), paths.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (auto& t : pool)
    t.join();
  std::fprintf(stderr, "\rextracting %zu/%zu\n", paths.size(), paths.size());
  std::map<std::string, size_t> byName;
  std::vector<double> ms;
  int failures = 0;
  double minutiae = 0, quality = 0;
  for (size_t i = 0; i < paths.size(); ++i) {
    byName[fs::path(paths[i]).stem().string()] = i;
    const bool failed = !ex[i].ok || ex[i].result.features.minutiae.empty();
    if (!ex[i].ok)
      std::fprintf(stderr, "fingerprint: %s: %s\n", paths[i].c_str(), ex[i].error.c_str());
    if (failed) {
      ++failures;
      ex[i].ok = false;
    } else {
      ms.push_back(ex[i].ms);
      minutiae += ex[i].result.features.minutiae.size();
      quality += ex[i].result.quality;
    }
  }
  // Scoring.
  std::vector<double> genuine, impostor;
  std::FILE* scores = scoresPath.empty() ? nullptr : std::fopen(scoresPath.c_str(), "w");
  if (!scoresPath.empty() && !scores) {
    std::fprintf(stderr, "fingerprint: cannot write %s\n", scoresPath.c_str());
    return 1;
  }
  size_t compared = 0, missing = 0;
  const size_t total = genuinePairs.size() + impostorPairs.size();
  double compareMs = 0;
  auto score = [&](const std::vector<std::pair<std::string, std::string>>& pairs,
                   std::vector<double>* out) {
    for (const auto& [a, b] : pairs) {
      const auto ia = byName.find(a), ib = byName.find(b);
      if (ia == byName.end() || ib == byName.end()) {
        ++missing;
        continue;
      }
      int32_t s = 0;
      const Extracted &ea = ex[ia->second], &eb = ex[ib->second];
      if (ea.ok && eb.ok) {
        const double t0 = NowMs();
        if (devicelib::CompareTemplates(ea.record.data(), static_cast<int32_t>(ea.record.size()),
                                        eb.record.data(), static_cast<int32_t>(eb.record.size()),
                                        &s) != 0) {
          s = 0;
        }
        compareMs += NowMs() - t0;
        ++compared;
      }
      out->push_back(s);
      if (scores)
        std::fprintf(scores, "%s %s %d\n", a.c_str(), b.c_str(), s);
      const size_t n = genuine.size() + impostor.size();
      if (n % 500 == 0)
        std::fprintf(stderr, "\rcomparing %zu/%zu", n, total);
    }
  };
  score(genuinePairs, &genuine);
  score(impostorPairs, &impostor);
  std::fprintf(stderr, "\rcomparing %zu/%zu\n", genuine.size() + impostor.size(), total);
  if (scores)
    std::fclose(scores);
  if (missing)
    std::fprintf(stderr, "fingerprint: %zu pairs name images not in %s (skipped)\n", missing,
                 pos[0].c_str());
  const tools::ErrorRates r = tools::ComputeErrorRates(genuine, impostor);
  const size_t good = paths.size() - failures;
  std::printf("images %zu, genuine pairs %zu, impostor pairs %zu\n", paths.size(), genuine.size(),
              impostor.size());
  std::printf("EER %.2f %%\nFMR100 %.2f %%\nFMR1000 %.2f %%\nZeroFMR %.2f %%\n", r.eer, r.fmr100,
              r.fmr1000, r.zeroFmr);
  std::printf("failures to extract %d\n", failures);
  std::printf("minutiae per image %.1f, quality %.1f (mean)\n", good ? minutiae / good : 0.0,
              good ? quality / good : 0.0);
  std::printf("extraction ms median %.2f p95 %.2f (CPU time of one core)\n", Percentile(ms, 0.5),
              Percentile(ms, 0.95));
  std::printf("comparisons per second %.0f\n", compareMs > 0 ? compared / (compareMs / 1000) : 0.0);
  if (!plotPath.empty()) {
    std::ofstream f(plotPath);
    f << tools::PlotSvg(genuine, impostor,
                        fs::path(pos[0]).filename().string() + ": fingerprint evaluate");
    if (!f) {
      std::fprintf(stderr, "fingerprint: cannot write %s\n", plotPath.c_str());
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  const std::string cmd = argv[1];
  if (cmd == "extract")
    return Extract(argc - 2, argv + 2);
  if (cmd == "match")
    return Match(argc - 2, argv + 2);
  if (cmd == "evaluate")
    return Evaluate(argc - 2, argv + 2);
  std::fprintf(stderr, "%s", kUsage);
  return 2;
}
