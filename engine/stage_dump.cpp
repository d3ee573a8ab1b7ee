// engine_stage_dump: draws what each extraction stage made of one image, to look at by eye.
//
//   engine_stage_dump IMAGE.pgm PPI OUT.png
//
// OUT.png holds four panels side by side at the working resolution: the grey image with the
// background tinted blue and the smoothed ridge flow drawn in red on every other block; the
// enhanced image; the binary image before thinning (background pale yellow); the skeleton over
// the block coherence (dark = unclear, blue = background) with the kept minutiae boxed, endings
// red and bifurcations blue, each with a tail in its direction. The kept minutiae are also
// printed, one a line (x y E|B quality, working-resolution pixels). Built with the benchmarks
// only: a development aid, not part of the product.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/pgm.h"
#include "codec/png.h"
#include "engine/extractor.h"
#include "engine/stages.h"
#include "engine/tuning.h"

namespace {

using engine::ImageU8;

// Reads an 8-bit binary PGM; on failure *error says why.
bool ReadPgm(const char* path, ImageU8* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open the file";
    return false;
  }
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  std::optional<codec::PgmImage> pgm = codec::DecodePgm(bytes, error);
  if (!pgm)
    return false;
  out->width = pgm->width;
  out->height = pgm->height;
  out->data = std::move(pgm->pixels);
  return true;
}

bool WritePng(const char* path, int w, int h, const std::vector<uint8_t>& rgb) {
  const std::optional<std::vector<uint8_t>> png =
      codec::EncodePng(rgb, w, h, codec::PngColour::kRgb);
  if (!png)
    return false;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(png->data()), static_cast<std::streamsize>(png->size()));
  return static_cast<bool>(out);
}

// Keeps a copy of what each stage of Extract made.
struct Stages : engine::ExtractionObserver {
  ImageU8 work;
  engine::Plane<uint8_t> mask;
  engine::OrientationField firstField;  // before the second look
  engine::Plane<float> period;
  engine::Plane<uint8_t> redo;
  engine::OrientationField field;  // after it
  ImageU8 binary;                  // before thinning
  ImageU8 skeleton;
  std::vector<engine::RawMinutia> kept;
  bool done = false;

  void Resampled(const ImageU8& image) override { work = image; }
  void Segmented(const engine::Plane<uint8_t>& m) override { mask = m; }
  void Oriented(const engine::OrientationField& f) override { firstField = f; }
  void PeriodEstimated(const engine::Plane<float>& p) override { period = p; }
  void Refined(const engine::Plane<uint8_t>& redone, const engine::OrientationField& f) override {
    redo = redone;
    field = f;
  }
  void Rebinarised(const ImageU8& b) override { binary = b; }
  void Thinned(const ImageU8& s) override { skeleton = s; }
  void Filtered(const std::vector<engine::RawMinutia>& k) override {
    kept = k;
    done = true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  using namespace engine;
  using tuning::kBlock;
  if (argc != 4) {
    std::fprintf(stderr, "usage: engine_stage_dump IMAGE.pgm PPI OUT.png\n");
    return 2;
  }
  ImageU8 image;
  std::string error;
  if (!ReadPgm(argv[1], &image, &error)) {
    std::fprintf(stderr, "engine_stage_dump: cannot read %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  const int ppi = std::atoi(argv[2]);
  if (ppi < tuning::kMinPpi || ppi > tuning::kMaxPpi) {
    std::fprintf(stderr, "engine_stage_dump: resolution %s out of range\n", argv[2]);
    return 2;
  }
  // The stages run inside Extract, which shows this tool what each made, so the panels follow
  // the pipeline as it is.
  Stages seen;
  Extract({image.data, image.width, image.height, ppi}, &seen);
  if (!seen.done) {
    std::fprintf(stderr, "engine_stage_dump: %s is too small or too large to extract\n", argv[1]);
    return 1;
  }
  const ImageU8& work = seen.work;
  const Plane<uint8_t>& mask = seen.mask;
  const OrientationField& field = seen.field;
  const Plane<uint8_t>& redo = seen.redo;
  const ImageU8& binary = seen.binary;
  const ImageU8& skeleton = seen.skeleton;
  const std::vector<RawMinutia>& kept = seen.kept;
  const int w = work.width, h = work.height;
  // Extract binarises as it filters and never forms the grey enhanced image; it is drawn here
  // from the stages' own inputs for the eye alone: the first pass's directions, and the second
  // look's in the blocks it redid (their flow lines are drawn yellow).
  ImageF enhanced = Enhance(work, seen.firstField, seen.period, mask);
  if (std::find(redo.data.begin(), redo.data.end(), 1) != redo.data.end()) {
    const ImageF again = Enhance(work, field, seen.period, mask);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        if (redo.at(x / kBlock, y / kBlock))
          enhanced.at(x, y) = again.at(x, y);
      }
    }
  }

  const int width = 4 * w;
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * h * 3, 0);
  const auto put = [&](int panel, int x, int y, int r, int g, int b) {
    if (x < 0 || y < 0 || x >= w || y >= h)
      return;
    const size_t i = (static_cast<size_t>(y) * width + panel * w + x) * 3;
    rgb[i] = static_cast<uint8_t>(r);
    rgb[i + 1] = static_cast<uint8_t>(g);
    rgb[i + 2] = static_cast<uint8_t>(b);
  };
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const bool in = mask.at(x / kBlock, y / kBlock);
      const int v = work.at(x, y);
      put(0, x, y, in ? v : v / 2, in ? v : v / 2, in ? v : 128 + v / 2);
      const int e = std::clamp(static_cast<int>(128 + 60 * enhanced.at(x, y)), 0, 255);
      put(1, x, y, e, e, e);
      const int bv = binary.at(x, y) ? 0 : 255;
      put(2, x, y, bv, bv, in ? bv : 200);
      const int c = static_cast<int>(255 * field.coherence.at(x / kBlock, y / kBlock));
      if (skeleton.at(x, y))
        put(3, x, y, 0, 0, 0);
      else
        put(3, x, y, c, c, in ? c : 255);
    }
  }
  for (int by = 0; by < mask.height; by += 2) {
    for (int bx = 0; bx < mask.width; bx += 2) {
      if (!mask.at(bx, by))
        continue;
      const float a = field.angle.at(bx, by);
      for (int t = -4; t <= 4; ++t)
        put(0, bx * kBlock + kBlock / 2 + static_cast<int>(std::lround(t * std::cos(a))),
            by * kBlock + kBlock / 2 + static_cast<int>(std::lround(t * std::sin(a))), 255,
            redo.at(bx, by) ? 255 : 0, 0);
    }
  }
  for (const RawMinutia& m : kept) {
    const int r = m.bifurcation ? 0 : 255, g = m.bifurcation ? 160 : 0, b = m.bifurcation ? 255 : 0;
    for (int t = -3; t <= 3; ++t) {
      put(3, m.x + t, m.y - 3, r, g, b);
      put(3, m.x + t, m.y + 3, r, g, b);
      put(3, m.x - 3, m.y + t, r, g, b);
      put(3, m.x + 3, m.y + t, r, g, b);
    }
    for (int t = 4; t < 9; ++t)
      put(3, m.x + static_cast<int>(std::lround(t * std::cos(m.angle))),
          m.y + static_cast<int>(std::lround(t * std::sin(m.angle))), r, g, b);
    std::printf("%d %d %c %.0f\n", m.x, m.y, m.bifurcation ? 'B' : 'E', m.quality);
  }
  if (!WritePng(argv[3], width, h, rgb)) {
    std::fprintf(stderr, "engine_stage_dump: cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
