#include "codec/pgm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace codec {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

// A header followed by `count` raster bytes 0, 1, 2, ...
std::vector<uint8_t> File(const std::string& header, size_t count) {
  std::vector<uint8_t> file = Bytes(header);
  for (size_t i = 0; i < count; ++i) {
    file.push_back(static_cast<uint8_t>(i));
  }
  return file;
}

// Decodes a file that must be refused and returns the reason.
std::string Refusal(const std::vector<uint8_t>& file) {
  std::string error;
  const std::optional<PgmImage> image = DecodePgm(file, &error);
  EXPECT_FALSE(image.has_value());
  EXPECT_FALSE(error.empty());
  return error;
}

TEST(DecodePgm, ReadsHeaderLayoutsAndRaster) {
  // The usual layout, comments between and after the fields, every kind of white space, and a
  // raster whose first byte looks like white space (only one separator byte may be skipped).
  for (const std::string header :
       {"P5\n3 2\n255\n", "P5\n# made by hand\n3 2\n255\n", "P5 3\t2\r\n255\r",
        "P5#c\n3#width\n#\n 2 # height\r255\n", "P5\n3 2\n255 "}) {
    std::vector<uint8_t> file = Bytes(header);
    file.insert(file.end(), {'\n', 1, 2, 3, 4, ' '});
    std::string error;
    const std::optional<PgmImage> image = DecodePgm(file, &error);
    ASSERT_TRUE(image.has_value()) << header << ": " << error;
    EXPECT_EQ(image->width, 3);
    EXPECT_EQ(image->height, 2);
    EXPECT_EQ(image->pixels, (std::vector<uint8_t>{'\n', 1, 2, 3, 4, ' '})) << header;
  }
}

TEST(DecodePgm, IgnoresBytesAfterTheRasterAndAllowsNullError) {
  const std::optional<PgmImage> image = DecodePgm(File("P5 2 2 255\n", 9), nullptr);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->pixels, (std::vector<uint8_t>{0, 1, 2, 3}));
  EXPECT_FALSE(DecodePgm(Bytes("P6"), nullptr).has_value());
}

TEST(DecodePgm, StretchesMaxvalBelow255AndClampsSamplesAboveIt) {
  // maxval 3: 0, 1, 2, 3 become 0, 85, 170, 255; a stray 200 is taken as 3.
  std::vector<uint8_t> file = Bytes("P5 5 1 3\n");
  file.insert(file.end(), {0, 1, 2, 3, 200});
  std::optional<PgmImage> image = DecodePgm(file, nullptr);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->pixels, (std::vector<uint8_t>{0, 85, 170, 255, 255}));

  // maxval 1: a bitmap-like greymap.
  image = DecodePgm(File("P5 2 1 1\n", 2), nullptr);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->pixels, (std::vector<uint8_t>{0, 255}));
}

TEST(DecodePgm, ReadsTheLargestSideAndRefusesOneMore) {
  const std::string side = std::to_string(kPgmMaxSide);
  std::optional<PgmImage> image = DecodePgm(File("P5 " + side + " 1 255\n", kPgmMaxSide), nullptr);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->width, kPgmMaxSide);
  image = DecodePgm(File("P5 1 " + side + " 255\n", kPgmMaxSide), nullptr);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->height, kPgmMaxSide);

  const std::string above = std::to_string(kPgmMaxSide + 1);
  EXPECT_EQ(Refusal(File("P5 " + above + " 1 255\n", kPgmMaxSide + 1)),
            "PGM width " + above + " is out of range (1 to " + side + ")");
  EXPECT_EQ(Refusal(File("P5 1 " + above + " 255\n", kPgmMaxSide + 1)),
            "PGM height " + above + " is out of range (1 to " + side + ")");
}

TEST(DecodePgm, NamesWhatIsWrongWithAHeader) {
  const struct {
    const char* file;
    const char* error;
  } cases[] = {
      {"", "not a PGM file: it does not start with \"P5\""},
      {"P", "not a PGM file: it does not start with \"P5\""},
      {"BM....", "not a PGM file: it does not start with \"P5\""},
      {"P2\n3 2\n255\n1 2 3 4 5 6",
       "plain (text) PGM \"P2\" is not supported, only binary PGM \"P5\""},
      {"P6\n3 2\n255\n", "not a binary PGM: it does not start with \"P5\""},
      {"P53 2 255\n......", "malformed PGM header: no white space after \"P5\""},
      {"P5", "PGM header ends before its width"},
      {"P5\n", "PGM header ends before its width"},
      {"P5 # only a comment", "PGM header ends before its width"},
      {"P5\n3", "PGM header ends before its height"},
      {"P5\n3 2", "PGM header ends before its maxval"},
      {"P5\n3 2\n255", "PGM ends in its header: nothing follows the maxval"},
      {"P5\n-3 2\n255\n", "malformed PGM header: the width is not a decimal number"},
      {"P5\n3 +2\n255\n", "malformed PGM header: the height is not a decimal number"},
      {"P5\n3 2\nmax\n", "malformed PGM header: the maxval is not a decimal number"},
      {"P5\n3x2\n255\n", "malformed PGM header: the height is not a decimal number"},
      {"P5\n3 2\n255#c\n123456", "malformed PGM header: the maxval is not followed by white space"},
      {"P5\n0 2\n255\n", "PGM width 0 is out of range (1 to 4000)"},
      {"P5\n3 0\n255\n", "PGM height 0 is out of range (1 to 4000)"},
      {"P5\n99999999999999999999999 2\n255\n",
       "PGM width of more than 9 digits is out of range (1 to 4000)"},
      {"P5\n3 2\n0\n", "PGM maxval 0 is out of range (1 to 65535)"},
      {"P5\n3 2\n65536\n", "PGM maxval 65536 is out of range (1 to 65535)"},
      {"P5\n3 2\n256\n", "16-bit PGM (maxval 256) is not supported, only 8-bit (maxval up to 255)"},
      {"P5\n3 2\n65535\n",
       "16-bit PGM (maxval 65535) is not supported, only 8-bit (maxval up to "
       "255)"},
      {"P5\n3 2\n255\n12345", "PGM raster is truncated: 5 of 6 bytes (3 x 2)"},
      {"P5\n3 2\n255\n", "PGM raster is truncated: 0 of 6 bytes (3 x 2)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Refusal(Bytes(c.file)), c.error) << c.file;
  }
}

TEST(DecodePgm, EveryTruncationOfAValidFileIsRefused) {
  // Each prefix is copied to a heap block of its own size, so AddressSanitizer sees any read
  // past the end.
  const std::vector<uint8_t> whole = File("P5\n# comment\n4 3\n200\n", 12);
  ASSERT_TRUE(DecodePgm(whole, nullptr).has_value());
  for (size_t n = 0; n < whole.size(); ++n) {
    const std::vector<uint8_t> prefix(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(n));
    EXPECT_FALSE(DecodePgm(prefix, nullptr).has_value()) << n;
  }
}

TEST(DecodePgm, HugeHeaderWithoutRasterAllocatesNothing) {
  // The largest accepted size with a tiny file: refused as truncated, not by allocating 16 MB
  // first (the pixels are only allocated once the file holds them).
  const std::string side = std::to_string(kPgmMaxSide);
  EXPECT_EQ(Refusal(File("P5 " + side + " " + side + " 255\n", 10)),
            "PGM raster is truncated: 10 of 16000000 bytes (4000 x 4000)");
}

}  // namespace
}  // namespace codec
