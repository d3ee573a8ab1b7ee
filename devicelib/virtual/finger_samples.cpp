// Developer tool: renders impressions of synthetic fingers side by side into a PNG, so that
// changes to the generator can be judged by eye, and prints how long the work took.
//   virtual-finger-samples OUT.png [IDENTITY[:IMPRESSION[:QUALITY]]]...
// Without fingers it shows one finger of each pattern class and a smudged capture.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "codec/png.h"
#include "devicelib/virtual/synthetic_finger.h"

namespace {

using devicelib::virt::Impression;

bool WriteGreyPng(const char* path, const std::vector<uint8_t>& pixels, int w, int h) {
  const std::optional<std::vector<uint8_t>> png =
      codec::EncodePng(pixels, w, h, codec::PngColour::kGrey);
  if (!png) {
    return false;
  }
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) {
    return false;
  }
  const bool ok = std::fwrite(png->data(), 1, png->size(), f) == png->size();
  return std::fclose(f) == 0 && ok;
}

struct Sample {
  uint32_t identity = 0, impression = 0;
  int32_t quality = 90;
};

}  // namespace

int main(int argc, char** argv) {
  using devicelib::virt::PatternClass;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT.png [IDENTITY[:IMPRESSION[:QUALITY]]]...\n", argv[0]);
    return 2;
  }
  std::vector<Sample> samples;
  for (int i = 2; i < argc; ++i) {
    Sample s;
    char* end = nullptr;
    s.identity = static_cast<uint32_t>(std::strtoul(argv[i], &end, 10));
    if (*end == ':') {
      s.impression = static_cast<uint32_t>(std::strtoul(end + 1, &end, 10));
    }
    if (*end == ':') {
      s.quality = static_cast<int32_t>(std::strtol(end + 1, &end, 10));
    }
    samples.push_back(s);
  }
  if (samples.empty()) {
    const PatternClass order[] = {PatternClass::kLeftLoop, PatternClass::kRightLoop,
                                  PatternClass::kWhorl, PatternClass::kArch,
                                  PatternClass::kTentedArch};
    for (PatternClass wanted : order) {
      for (uint32_t id = 1; id < 1000; ++id) {
        if (devicelib::virt::PatternClassOf(id) == wanted) {
          samples.push_back({id, 0, 90});
          break;
        }
      }
    }
    samples.push_back({samples.front().identity, 1, 20});
  }

  const int w = devicelib::virt::kImageWidth, h = devicelib::virt::kImageHeight, gap = 8;
  const int cols = static_cast<int>(samples.size());
  const int mw = cols * w + (cols - 1) * gap;
  std::vector<uint8_t> montage(static_cast<size_t>(mw) * h, 128);
  for (int c = 0; c < cols; ++c) {
    const Sample& s = samples[c];
    auto t0 = std::chrono::steady_clock::now();
    auto master = devicelib::virt::GetMasterFinger(s.identity);
    auto t1 = std::chrono::steady_clock::now();
    Impression imp = devicelib::virt::MakeImpression(s.identity, s.impression, s.quality);
    auto t2 = std::chrono::steady_clock::now();
    std::printf(
        "finger %u (%s) impression %u placement %d: master %.0f ms, impression %.1f ms, "
        "%zu master minutiae, %zu features, quality %d\n",
        s.identity, devicelib::virt::PatternClassName(master->pattern), s.impression, s.quality,
        std::chrono::duration<double, std::milli>(t1 - t0).count(),
        std::chrono::duration<double, std::milli>(t2 - t1).count(), master->minutiae.size(),
        imp.features.minutiae.size(), imp.quality);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        montage[static_cast<size_t>(y) * mw + c * (w + gap) + x] = imp.pixels[y * w + x];
      }
    }
  }
  if (!WriteGreyPng(argv[1], montage, mw, h)) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
