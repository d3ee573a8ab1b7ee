// The decoder against damaged and hostile input: it must refuse it with an error, and never
// read out of bounds, crash or allocate without bound (run under the sanitizers).
#include <gtest/gtest.h>

#include <random>

#include "codec/wsq/wsq.h"
#include "codec/wsq/wsq_test_util.h"

namespace codec {
namespace {

using wsq_test::Markers;

std::vector<uint8_t> SmallFile() {
  const auto g = wsq_test::SyntheticFinger(48, 64);
  std::vector<uint8_t> file;
  EXPECT_EQ(EncodeWsq(g.pixels, g.width, g.height, {}, &file), WsqError::kOk);
  return file;
}

WsqError Decode(const std::vector<uint8_t>& file) {
  WsqImage image;
  return DecodeWsq(file, &image);
}

size_t FindMarker(const std::vector<uint8_t>& file, uint8_t code) {
  for (const auto& m : Markers(file)) {
    if (m.code == code) {
      return m.offset;
    }
  }
  ADD_FAILURE() << "no marker " << int{code};
  return 0;
}

TEST(WsqMalformed, EveryTruncationIsRefused) {
  const std::vector<uint8_t> file = SmallFile();
  ASSERT_EQ(Decode(file), WsqError::kOk);
  // Every prefix, which includes a cut at and just after every marker.
  for (size_t n = 0; n < file.size(); ++n) {
    std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<ptrdiff_t>(n));
    EXPECT_NE(Decode(cut), WsqError::kOk) << "cut at " << n;
  }
  // Cutting just before a marker that is not EOI leaves a structure without its end.
  for (const auto& m : Markers(file)) {
    std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<ptrdiff_t>(m.offset));
    const WsqError e = Decode(cut);
    EXPECT_TRUE(e == WsqError::kTruncated || e == WsqError::kBadCodedData ||
                e == WsqError::kBadMarker)
        << "cut before marker " << int{m.code} << ": " << WsqErrorText(e);
  }
}

TEST(WsqMalformed, CorruptSegmentLengthsAreRefused) {
  const std::vector<uint8_t> file = SmallFile();
  for (const auto& m : Markers(file)) {
    if (m.code == 0xA0 || m.code == 0xA1) {
      continue;
    }
    for (uint16_t length : {0, 1, 2, 0xFFFF}) {
      std::vector<uint8_t> bad = file;
      bad[m.offset + 2] = static_cast<uint8_t>(length >> 8);
      bad[m.offset + 3] = static_cast<uint8_t>(length & 0xFF);
      // A comment may legitimately be empty; everything else is broken by these lengths.
      if (m.code == 0xA8 && length == 2) {
        continue;
      }
      EXPECT_NE(Decode(bad), WsqError::kOk) << "marker " << int{m.code} << " length " << length;
    }
    // Off by one either way: whatever happens, it happens inside the buffer.
    for (int delta : {-1, 1}) {
      std::vector<uint8_t> bad = file;
      const int length = ((bad[m.offset + 2] << 8) | bad[m.offset + 3]) + delta;
      bad[m.offset + 2] = static_cast<uint8_t>(length >> 8);
      bad[m.offset + 3] = static_cast<uint8_t>(length & 0xFF);
      if (m.code != 0xA8) {
        EXPECT_NE(Decode(bad), WsqError::kOk) << "marker " << int{m.code} << " delta " << delta;
      } else {
        Decode(bad);
      }
    }
  }
}

TEST(WsqMalformed, ImpossibleDimensionsAreRefusedBeforeAllocation) {
  const std::vector<uint8_t> file = SmallFile();
  const size_t sof = FindMarker(file, 0xA2);
  // Height at sof + 6, width at sof + 8.
  for (auto [w, h] : {std::pair{65535, 65535}, {0, 64}, {48, 0}, {8192, 4097}}) {
    std::vector<uint8_t> bad = file;
    bad[sof + 6] = static_cast<uint8_t>(h >> 8);
    bad[sof + 7] = static_cast<uint8_t>(h & 0xFF);
    bad[sof + 8] = static_cast<uint8_t>(w >> 8);
    bad[sof + 9] = static_cast<uint8_t>(w & 0xFF);
    EXPECT_EQ(Decode(bad), WsqError::kBadDimensions) << w << "x" << h;
  }
  // A larger image than the coded data describes runs out of coefficients.
  std::vector<uint8_t> bad = file;
  bad[sof + 9] = 96;
  EXPECT_EQ(Decode(bad), WsqError::kBadCodedData);
}

TEST(WsqMalformed, StructuralErrors) {
  const std::vector<uint8_t> file = SmallFile();
  EXPECT_EQ(Decode({}), WsqError::kTruncated);
  EXPECT_EQ(Decode({0xFF, 0xD8, 0xFF, 0xE0}), WsqError::kNotWsq);  // a JPEG file
  EXPECT_EQ(Decode({0xFF, 0xA0, 0xFF, 0xA1}), WsqError::kMissingTable);
  EXPECT_EQ(Decode({0xFF, 0xA0, 0x00, 0xA1}), WsqError::kBadMarker);
  EXPECT_EQ(Decode({0xFF, 0xA0, 0xFF, 0xC4, 0x00, 0x02}), WsqError::kBadMarker);

  auto without = [&](uint8_t code) {
    const auto markers = Markers(file);
    for (size_t i = 0; i + 1 < markers.size(); ++i) {
      if (markers[i].code == code) {
        std::vector<uint8_t> out(file.begin(),
                                 file.begin() + static_cast<ptrdiff_t>(markers[i].offset));
        out.insert(out.end(), file.begin() + static_cast<ptrdiff_t>(markers[i + 1].offset),
                   file.end());
        return out;
      }
    }
    return file;
  };
  EXPECT_EQ(Decode(without(0xA4)), WsqError::kMissingTable);  // no transform table
  EXPECT_EQ(Decode(without(0xA5)), WsqError::kMissingTable);  // no quantisation table
  EXPECT_EQ(Decode(without(0xA6)), WsqError::kMissingTable);  // first block's Huffman table

  // A second frame header.
  {
    const size_t sof = FindMarker(file, 0xA2);
    std::vector<uint8_t> bad(file.begin(), file.begin() + static_cast<ptrdiff_t>(sof + 19));
    bad.insert(bad.end(), file.begin() + static_cast<ptrdiff_t>(sof), file.end());
    EXPECT_EQ(Decode(bad), WsqError::kBadMarker);
  }
  // A fourth block.
  {
    std::vector<uint8_t> bad(file.begin(), file.end() - 2);
    const uint8_t sob[] = {0xFF, 0xA3, 0x00, 0x03, 0x01, 0x00, 0xFF, 0xA1};
    bad.insert(bad.end(), std::begin(sob), std::end(sob));
    EXPECT_EQ(Decode(bad), WsqError::kBadMarker);
  }
  // Even-length filters.
  {
    std::vector<uint8_t> bad = file;
    bad[FindMarker(file, 0xA4) + 4] = 8;
    EXPECT_EQ(Decode(bad), WsqError::kUnsupportedFilter);
  }
  // Huffman counts that over-subscribe the code space: three 1-bit codes.
  {
    std::vector<uint8_t> bad = file;
    const size_t dht = FindMarker(file, 0xA6);
    bad[dht + 5] = 3;
    for (int i = 1; i < 16; ++i) {
      bad[dht + 5 + i] = 0;
    }
    EXPECT_EQ(Decode(bad), WsqError::kBadHuffmanTable);
  }
  // A block that names an undefined Huffman table.
  {
    std::vector<uint8_t> bad = file;
    bad[FindMarker(file, 0xA3) + 4] = 5;
    EXPECT_EQ(Decode(bad), WsqError::kMissingTable);
  }
}

TEST(WsqMalformed, DamagedCodedDataNeverBreaksTheDecoder) {
  const std::vector<uint8_t> file = SmallFile();
  const size_t first = FindMarker(file, 0xA3);
  std::mt19937 rng(11);
  int refused = 0;
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> bad = file;
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < flips; ++i) {
      const size_t at = first + rng() % (file.size() - first);
      bad[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
    }
    WsqImage image;
    const WsqError e = DecodeWsq(bad, &image);
    if (e == WsqError::kOk) {
      ASSERT_EQ(image.pixels.size(), 48u * 64u);
    } else {
      ++refused;
    }
  }
  // Huffman-coded data usually cannot absorb damage without losing count of coefficients.
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace codec
