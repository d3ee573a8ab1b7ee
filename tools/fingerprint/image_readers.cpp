#include "tools/fingerprint/image_readers.h"

#include <cmath>
#include <cstring>
#include <optional>
#include <utility>

#include "codec/pgm.h"

namespace tools {
namespace {

uint32_t Le16(std::span<const uint8_t> f, size_t at) {
  return f[at] | (f[at + 1] << 8);
}
uint32_t Le32(std::span<const uint8_t> f, size_t at) {
  return f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) | (static_cast<uint32_t>(f[at + 3]) << 24);
}

bool Fail(std::string* error, const char* text) {
  *error = text;
  return false;
}

bool SizeOk(int64_t w, int64_t h) {
  return w > 0 && h > 0 && w <= kMaxImageSide && h <= kMaxImageSide;
}

}  // namespace

// PGM is read by the shared decoder, whose side limit must be the tool's for every format.
static_assert(codec::kPgmMaxSide == kMaxImageSide);

bool ReadPgm(std::span<const uint8_t> f, DecodedImage* out, std::string* error) {
  std::optional<codec::PgmImage> pgm = codec::DecodePgm(f, error);
  if (!pgm)
    return false;
  out->width = pgm->width;
  out->height = pgm->height;
  out->ppi = 0;  // PGM has no resolution field
  out->pixels = std::move(pgm->pixels);
  return true;
}

bool ReadBmp(std::span<const uint8_t> f, DecodedImage* out, std::string* error) {
  if (f.size() < 54 || f[0] != 'B' || f[1] != 'M')
    return Fail(error, "not a BMP file");
  const uint32_t offset = Le32(f, 10);
  const uint32_t infoSize = Le32(f, 14);
  if (infoSize < 40 || 14 + static_cast<uint64_t>(infoSize) > f.size())
    return Fail(error, "malformed BMP header");
  const int32_t w = static_cast<int32_t>(Le32(f, 18));
  const int32_t hRaw = static_cast<int32_t>(Le32(f, 22));
  const uint32_t bpp = Le16(f, 28);
  const uint32_t compression = Le32(f, 30);
  const int32_t ppm = static_cast<int32_t>(Le32(f, 38));
  uint32_t colours = Le32(f, 46);
  if (compression != 0)
    return Fail(error, "compressed BMP is not supported");
  if (bpp != 8 && bpp != 24)
    return Fail(error, "BMP must be 8-bit or 24-bit");
  const bool topDown = hRaw < 0;
  const int64_t h = topDown ? -static_cast<int64_t>(hRaw) : hRaw;
  if (!SizeOk(w, h))
    return Fail(error, "BMP size out of range");
  uint8_t grey[256];
  if (bpp == 8) {
    if (colours == 0)
      colours = 256;
    if (colours > 256)
      return Fail(error, "BMP palette too large");
    const uint64_t pal = 14 + static_cast<uint64_t>(infoSize);
    if (pal + 4ull * colours > f.size())
      return Fail(error, "BMP palette is truncated");
    for (int i = 0; i < 256; ++i)
      grey[i] = 0;
    for (uint32_t i = 0; i < colours; ++i) {
      const uint8_t b = f[pal + 4 * i], g = f[pal + 4 * i + 1], r = f[pal + 4 * i + 2];
      grey[i] = static_cast<uint8_t>((299 * r + 587 * g + 114 * b + 500) / 1000);
    }
  }
  const uint64_t stride = ((static_cast<uint64_t>(w) * bpp + 31) / 32) * 4;
  if (offset > f.size() || f.size() - offset < stride * h)
    return Fail(error, "BMP pixel data is truncated");
  out->width = w;
  out->height = static_cast<int>(h);
  out->ppi = 0;
  if (ppm > 0) {
    const int ppi = static_cast<int>(std::lround(ppm * 0.0254));
    if (ppi >= 250 && ppi <= 1000)
      out->ppi = ppi;
  }
  out->pixels.resize(static_cast<size_t>(w) * h);
  for (int64_t y = 0; y < h; ++y) {
    const uint64_t row = offset + stride * (topDown ? y : h - 1 - y);
    for (int32_t x = 0; x < w; ++x) {
      uint8_t v;
      if (bpp == 8) {
        v = grey[f[row + x]];
      } else {
        const uint8_t b = f[row + 3 * x], g = f[row + 3 * x + 1], r = f[row + 3 * x + 2];
        v = static_cast<uint8_t>((299 * r + 587 * g + 114 * b + 500) / 1000);
      }
      out->pixels[static_cast<size_t>(y) * w + x] = v;
    }
  }
  return true;
}

bool ReadDat(std::span<const uint8_t> f, DecodedImage* out, std::string* error) {
  if (f.size() < 16 || std::memcmp(f.data(), "VSRI", 4) != 0)
    return Fail(error, "not a raw .dat image (VSRI)");
  const uint32_t version = Le16(f, 4), header = Le16(f, 6), w = Le16(f, 8), h = Le16(f, 10),
                 ppi = Le16(f, 12), bits = Le16(f, 14);
  if (version != 1)
    return Fail(error, "unsupported .dat version");
  if (header < 16 || header > f.size())
    return Fail(error, "malformed .dat header");
  if (bits != 8)
    return Fail(error, ".dat image is not 8-bit");
  if (!SizeOk(w, h))
    return Fail(error, ".dat size out of range");
  if (f.size() - header < static_cast<size_t>(w) * h)
    return Fail(error, ".dat pixel data is truncated");
  out->width = static_cast<int>(w);
  out->height = static_cast<int>(h);
  out->ppi = ppi >= 250 && ppi <= 1000 ? static_cast<int>(ppi) : 0;
  out->pixels.assign(f.begin() + header, f.begin() + header + static_cast<size_t>(w) * h);
  return true;
}

bool ReadImage(std::span<const uint8_t> f, DecodedImage* out, std::string* error) {
  if (f.size() >= 2 && f[0] == 'P' && f[1] == '5')
    return ReadPgm(f, out, error);
  if (f.size() >= 2 && f[0] == 'B' && f[1] == 'M')
    return ReadBmp(f, out, error);
  if (f.size() >= 4 && std::memcmp(f.data(), "VSRI", 4) == 0)
    return ReadDat(f, out, error);
  return Fail(error, "unsupported image format (expected PGM P5, BMP or .dat)");
}

}  // namespace tools
