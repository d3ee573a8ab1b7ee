// Readers for the image files the fingerprint tool accepts: 8-bit binary PGM (P5, read by
// codec/pgm.h), BMP (8-bit palette or 24-bit, uncompressed) and the agent's raw .dat
// (devicelib/virtual/README.md). Pure functions over a byte span: a malformed header gives an error
// text, never a crash or a read outside the span.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tools {

struct DecodedImage {
  int width = 0;
  int height = 0;
  int ppi = 0;                  // 0 when the file does not say
  std::vector<uint8_t> pixels;  // width * height grey values, top row first
};

// Each returns true and fills *out, or returns false with *error set.
bool ReadPgm(std::span<const uint8_t> file, DecodedImage* out, std::string* error);
bool ReadBmp(std::span<const uint8_t> file, DecodedImage* out, std::string* error);
bool ReadDat(std::span<const uint8_t> file, DecodedImage* out, std::string* error);
// Picks the reader from the file's first bytes ("P5", "BM", "VSRI").
bool ReadImage(std::span<const uint8_t> file, DecodedImage* out, std::string* error);

inline constexpr int kMaxImageSide = 4000;

}  // namespace tools
