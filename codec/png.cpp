#include "codec/png.h"

#include <zlib.h>

#include <array>
#include <new>

namespace codec {
namespace {

constexpr std::array<uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<uint8_t>(v >> shift));
  }
}

// Appends one chunk: length, type, data, and the CRC of type and data.
void PutChunk(std::vector<uint8_t>& out, const char (&type)[5], std::span<const uint8_t> data) {
  PutBe32(out, static_cast<uint32_t>(data.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  const uLong crc = crc32(0, out.data() + start, static_cast<uInt>(out.size() - start));
  PutBe32(out, static_cast<uint32_t>(crc));
}

// The zlib stream of the filtered raster: each row led by its filter byte (0, none). The rows
// are fed to deflate one by one, so no filtered copy of the image is ever made.
std::optional<std::vector<uint8_t>> Compress(std::span<const uint8_t> pixels, size_t rowBytes,
                                             size_t rows) {
  z_stream z{};
  if (deflateInit(&z, Z_DEFAULT_COMPRESSION) != Z_OK) {
    return std::nullopt;
  }
  std::optional<std::vector<uint8_t>> packed;
  try {
    packed.emplace(deflateBound(&z, static_cast<uLong>((rowBytes + 1) * rows)));
  } catch (const std::bad_alloc&) {
    deflateEnd(&z);
    return std::nullopt;
  }
  // deflateBound leaves room for the whole stream, so deflate never runs out of output.
  z.next_out = packed->data();
  z.avail_out = static_cast<uInt>(packed->size());
  Bytef filter = 0;
  int status = Z_OK;
  for (size_t y = 0; y < rows && status == Z_OK; ++y) {
    z.next_in = &filter;
    z.avail_in = 1;
    status = deflate(&z, Z_NO_FLUSH);
    // zlib's input pointer is not const-qualified, but deflate only reads through it.
    z.next_in = const_cast<Bytef*>(pixels.data() + y * rowBytes);
    z.avail_in = static_cast<uInt>(rowBytes);
    if (status == Z_OK) {
      status = deflate(&z, Z_NO_FLUSH);
    }
  }
  if (status == Z_OK) {
    status = deflate(&z, Z_FINISH);
  }
  const size_t produced = z.total_out;
  deflateEnd(&z);
  if (status != Z_STREAM_END) {
    return std::nullopt;
  }
  packed->resize(produced);
  return packed;
}

}  // namespace

std::optional<std::vector<uint8_t>> EncodePng(std::span<const uint8_t> pixels, int32_t width,
                                              int32_t height, PngColour colour) {
  if (width <= 0 || height <= 0) {
    return std::nullopt;
  }
  // 64-bit arithmetic: two positive 32-bit values cannot overflow it.
  const int64_t count = int64_t{width} * height;
  const size_t channels = colour == PngColour::kRgb ? 3 : 1;
  if (count > kPngMaxPixels || pixels.size() != static_cast<size_t>(count) * channels) {
    return std::nullopt;
  }
  const size_t rowBytes = static_cast<size_t>(width) * channels;
  const size_t rows = static_cast<size_t>(height);

  const std::optional<std::vector<uint8_t>> packed = Compress(pixels, rowBytes, rows);
  if (!packed) {
    return std::nullopt;
  }
  try {
    std::vector<uint8_t> png(kSignature.begin(), kSignature.end());
    png.reserve(kSignature.size() + 3 * 12 + 13 + packed->size());
    std::vector<uint8_t> header;
    PutBe32(header, static_cast<uint32_t>(width));
    PutBe32(header, static_cast<uint32_t>(height));
    // Bit depth 8; colour type 0 (grey) or 2 (RGB); deflate; adaptive filtering; no interlace.
    header.insert(header.end(),
                  {8, static_cast<uint8_t>(colour == PngColour::kRgb ? 2 : 0), 0, 0, 0});
    PutChunk(png, "IHDR", header);
    PutChunk(png, "IDAT", *packed);
    PutChunk(png, "IEND", {});
    return png;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace codec
