// WSQ compression of 8-bit grey fingerprint images, as the FBI's WSQ grey-scale fingerprint
// image compression standard (IAFIS-IC-0110 v3.1) defines it: a 9/7 biorthogonal wavelet transform
// into 64 subbands, uniform scalar quantisation with a wider zero bin, and Huffman coding of the
// quantised coefficients in three blocks. Files written here are read by any conformant decoder,
// and the decoder reads files of any conformant encoder that uses odd-length filters.
//
// Pure functions: no I/O, no global state. Safe to call from several threads at once.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace codec {

enum class WsqError : uint8_t {
  kOk = 0,
  kInvalidInput,       // encoder: bad size, pixel count or bit rate
  kTruncated,          // the data ends inside a segment or before the end-of-image marker
  kNotWsq,             // does not begin with the start-of-image marker
  kBadMarker,          // an unknown marker, or a marker where it does not belong
  kBadSegment,         // a segment's length or content is impossible
  kUnsupportedFilter,  // even-length or over-long wavelet filters
  kBadDimensions,      // zero width or height, or more than kWsqMaxPixels pixels
  kMissingTable,       // a block refers to a transform, quantisation or Huffman table not given
  kBadHuffmanTable,    // code counts that do not form a prefix code
  kBadCodedData,       // an invalid code, a run past the end of a block, too few coefficients
};

// Short English description of an error, for logs and test output. Never null.
const char* WsqErrorText(WsqError error);

// Largest image either direction accepts, in pixels (width x height). Far above any fingerprint
// sensor (a 1000 ppi four-finger slap is about 3200 x 3000), small enough that a hostile file
// cannot make the decoder allocate more than a few hundred megabytes.
inline constexpr int64_t kWsqMaxPixels = int64_t{16} * 1024 * 1024;

// Smallest image the encoder accepts in either direction. The decomposition halves the image
// five times, so below 32 pixels the lowest subbands would be empty.
inline constexpr int kWsqMinDimension = 32;

// The bit rate of the usual setting (about 15:1 on a typical fingerprint).
inline constexpr float kWsqDefaultBitRate = 0.75f;
// Bit rates outside [kWsqMinBitRate, kWsqMaxBitRate] are clamped by the ratio mapping below.
inline constexpr float kWsqMinBitRate = 0.1f;
inline constexpr float kWsqMaxBitRate = 8.0f;

// Maps the agent's "compressionRatio" parameter to a WSQ bit rate in bits per pixel:
//  - a ratio above 1 is a compression ratio: bit rate = 8 / ratio (ratio 10 gives 0.8 bpp,
//    ratio 15 gives about 0.53 bpp), clamped to [kWsqMinBitRate, kWsqMaxBitRate];
//  - a ratio at or below 1 (the agent's default 0.7, 0, negatives) and NaN give the usual
//    setting kWsqDefaultBitRate (0.75 bpp); +infinity gives kWsqMinBitRate.
float WsqBitRateForCompressionRatio(float ratio);

struct WsqEncodeOptions {
  // Target bit rate in bits per pixel (0.75 usual, 2.25 high quality). The rate is a target for
  // the quantiser; the file usually comes out somewhat smaller. Must lie in
  // [kWsqMinBitRate, kWsqMaxBitRate].
  float bitRate = kWsqDefaultBitRate;
  // Scanning resolution written into the file's NIST_COM comment. -1 leaves it out.
  int ppi = 500;
  // Optional free text written as a second comment segment (at most 65533 bytes).
  std::string_view comment;
};

// Compresses a width x height 8-bit grey image (top row first, no padding). On success *out is
// replaced by the WSQ file; on failure *out is left empty. kInvalidInput when a dimension lies
// outside [kWsqMinDimension, 65535], the pixel count exceeds kWsqMaxPixels, pixels.size() is not
// width * height, the bit rate is out of range, or the comment is too long.
WsqError EncodeWsq(std::span<const uint8_t> pixels, int width, int height,
                   const WsqEncodeOptions& options, std::vector<uint8_t>* out);

struct WsqImage {
  std::vector<uint8_t> pixels;  // width * height bytes, top row first
  int width = 0;
  int height = 0;
  int ppi = -1;                       // from a NIST_COM comment's PPI line; -1 when absent
  std::vector<std::string> comments;  // every comment segment, in file order
};

// Decompresses a WSQ file. Never reads outside `data`, and never allocates more than a fixed
// multiple of kWsqMaxPixels whatever the file claims. On failure *out is unspecified.
WsqError DecodeWsq(std::span<const uint8_t> data, WsqImage* out);

}  // namespace codec
