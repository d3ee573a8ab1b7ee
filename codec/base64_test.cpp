#include "codec/base64.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace codec {
namespace {

std::vector<uint8_t> Bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

std::string Text(const std::vector<uint8_t>& bytes) {
  return {bytes.begin(), bytes.end()};
}

// Decodes and expects success; returns the bytes as text for readable failures.
std::string DecodeText(std::string_view text) {
  const auto bytes = Base64Decode(text);
  EXPECT_TRUE(bytes.has_value()) << "refused: " << text;
  return bytes ? Text(*bytes) : std::string("<none>");
}

TEST(Base64Encode, KnownTextsAndPadding) {
  EXPECT_EQ(Base64Encode(Bytes("")), "");
  EXPECT_EQ(Base64Encode(Bytes("a")), "YQ==");
  EXPECT_EQ(Base64Encode(Bytes("ab")), "YWI=");
  EXPECT_EQ(Base64Encode(Bytes("abc")), "YWJj");
  EXPECT_EQ(Base64Encode(Bytes("abcd")), "YWJjZA==");
  // RFC 4648 test vectors.
  EXPECT_EQ(Base64Encode(Bytes("foobar")), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode(Bytes("fooba")), "Zm9vYmE=");
  // Every index of the alphabet, including "+" and "/".
  const std::vector<uint8_t> all = {0x00, 0x10, 0x83, 0x10, 0x51, 0x87, 0x20, 0x92, 0x8b, 0x30,
                                    0xd3, 0x8f, 0x41, 0x14, 0x93, 0x51, 0x55, 0x97, 0x61, 0x96,
                                    0x9b, 0x71, 0xd7, 0x9f, 0x82, 0x18, 0xa3, 0x92, 0x59, 0xa7,
                                    0xa2, 0x9a, 0xab, 0xb2, 0xdb, 0xaf, 0xc3, 0x1c, 0xb3, 0xd3,
                                    0x5d, 0xb7, 0xe3, 0x9e, 0xbb, 0xf3, 0xdf, 0xbf};
  EXPECT_EQ(Base64Encode(all), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
}

TEST(Base64Encode, EncodedLength) {
  EXPECT_EQ(Base64EncodedLength(0), 0u);
  EXPECT_EQ(Base64EncodedLength(1), 4u);
  EXPECT_EQ(Base64EncodedLength(3), 4u);
  EXPECT_EQ(Base64EncodedLength(4), 8u);
  const size_t max = std::numeric_limits<size_t>::max();
  EXPECT_EQ(Base64EncodedLength(max / 4 * 3), max / 4 * 4);
  EXPECT_THROW(Base64EncodedLength(max), std::length_error);
  EXPECT_THROW(Base64EncodedLength(max / 4 * 3 + 1), std::length_error);
}

TEST(Base64Decode, PaddedAndUnpaddedFormsAgree) {
  EXPECT_EQ(DecodeText("YQ=="), "a");
  EXPECT_EQ(DecodeText("YQ"), "a");
  EXPECT_EQ(DecodeText("YQ="), "a");
  EXPECT_EQ(DecodeText("YWI="), "ab");
  EXPECT_EQ(DecodeText("YWI"), "ab");
  EXPECT_EQ(DecodeText("YWJj"), "abc");
  EXPECT_EQ(DecodeText("Zm9vYmFy"), "foobar");
}

TEST(Base64Decode, MalformedPaddingIsRefused) {
  EXPECT_FALSE(Base64Decode("YWJj=").has_value());  // pad after a complete group
  EXPECT_FALSE(Base64Decode("Y=").has_value());     // one character then a pad
  EXPECT_FALSE(Base64Decode("=").has_value());      // text begins with a pad
  EXPECT_FALSE(Base64Decode("==").has_value());
  EXPECT_FALSE(Base64Decode("YWJjY=").has_value());
  // Skipped bytes do not count towards the group: "Y" then a skipped "%" then "=".
  EXPECT_FALSE(Base64Decode("Y%=").has_value());
}

TEST(Base64Decode, AcceptedPadIgnoresWhatFollows) {
  EXPECT_EQ(DecodeText("YQ==garbage"), "a");
  EXPECT_EQ(DecodeText("YWI=YWJj"), "ab");
  EXPECT_EQ(DecodeText("YQ=!"), "a");
  EXPECT_EQ(DecodeText("YWJjZA==Y="), "abcd");  // the second, malformed pad is never reached
}

TEST(Base64Decode, EmptyAndLoneCharacter) {
  const auto empty = Base64Decode("");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
  // A trailing group of one character carries 6 bits only and is dropped.
  EXPECT_EQ(DecodeText("Y"), "");
  EXPECT_EQ(DecodeText("YWJjY"), "abc");
  // Only bytes outside the alphabet: nothing to decode, nothing wrong.
  EXPECT_EQ(DecodeText("%%\r\n-_"), "");
}

TEST(Base64Decode, LenientForms) {
  // "+" turned into a blank by a query string: "+/8=" is FB FF.
  const std::vector<uint8_t> plus = {0xfb, 0xff};
  EXPECT_EQ(Base64Decode("+/8="), plus);
  EXPECT_EQ(Base64Decode(" /8="), plus);
  EXPECT_EQ(Base64Decode(" /8"), plus);
  // Bytes outside the alphabet are skipped wherever they are.
  EXPECT_EQ(DecodeText("Zm9v\r\nYmFy\n"), "foobar");
  EXPECT_EQ(DecodeText("Z%m-9_v.Y*m\tF~y"), "foobar");
  EXPECT_EQ(DecodeText(std::string_view("Zm9v\xff\x80YmFy", 10)), "foobar");
  // Url-safe characters are not alphabet characters: "-" and "_" are skipped, not mapped.
  EXPECT_EQ(Base64Decode("-_8="), std::nullopt);
  EXPECT_EQ(DecodeText("-_/8"), DecodeText("/8"));
}

TEST(Base64Decode, ReadingStopsAtNul) {
  const std::string text("YWJj\0ZGVm", 9);
  EXPECT_EQ(DecodeText(text), "abc");
  // A pad after the NUL is never seen.
  EXPECT_EQ(DecodeText(std::string_view("YWJj\0=", 6)), "abc");
  EXPECT_EQ(Base64DecodedSize(text), 3u);
}

TEST(Base64Decode, DecodedSizeMatchesDecode) {
  EXPECT_EQ(Base64DecodedSize(""), 0u);
  EXPECT_EQ(Base64DecodedSize("Y"), 0u);
  EXPECT_EQ(Base64DecodedSize("YQ"), 1u);
  EXPECT_EQ(Base64DecodedSize("YWI"), 2u);
  EXPECT_EQ(Base64DecodedSize("YWJj"), 3u);
  EXPECT_EQ(Base64DecodedSize("YW Jj"), 3u);  // the blank is an alphabet character: 5 taken
  EXPECT_EQ(Base64DecodedSize("YWJj="), std::nullopt);
}

TEST(Base64DecodeInto, NeverWritesPastTheBuffer) {
  // Guard bytes around a 2-byte window: a write outside it would show.
  std::vector<uint8_t> buffer(6, 0xAA);
  const std::span<uint8_t> window(buffer.data() + 2, 2);

  auto result = Base64DecodeInto("YWJj", window);
  EXPECT_EQ(result.status, Base64Status::kNoRoom);
  EXPECT_EQ(result.size, 3u);
  EXPECT_EQ(buffer, std::vector<uint8_t>(6, 0xAA));  // nothing written at all

  result = Base64DecodeInto("YWI", window);
  EXPECT_EQ(result.status, Base64Status::kOk);
  EXPECT_EQ(result.size, 2u);
  EXPECT_EQ(buffer, (std::vector<uint8_t>{0xAA, 0xAA, 'a', 'b', 0xAA, 0xAA}));

  result = Base64DecodeInto("YWJj=", window);
  EXPECT_EQ(result.status, Base64Status::kMalformedPadding);
  EXPECT_EQ(result.size, 0u);

  // Malformed padding is told apart from lack of room even when both apply.
  EXPECT_EQ(Base64DecodeInto("YWJjYWJj=", window).status, Base64Status::kMalformedPadding);
  EXPECT_EQ(Base64DecodeInto("YWJjYWJj", {}).status, Base64Status::kNoRoom);
  EXPECT_EQ(Base64DecodeInto("", {}).status, Base64Status::kOk);
  EXPECT_EQ(Base64DecodeInto("Y", {}).status, Base64Status::kOk);
}

TEST(Base64, RoundTripsEveryLength) {
  std::mt19937 random(20240607);
  std::uniform_int_distribution<int> byte(0, 255);
  for (size_t length = 0; length <= 3000; ++length) {
    std::vector<uint8_t> data(length);
    for (auto& b : data) {
      b = static_cast<uint8_t>(byte(random));
    }
    const std::string text = Base64Encode(data);
    ASSERT_EQ(text.size(), Base64EncodedLength(length));
    ASSERT_EQ(text.size() % 4, 0u);
    ASSERT_EQ(Base64Decode(text), data) << "length " << length;

    // The same bytes survive the forms a query string makes of the text: no padding, "+" as
    // a blank, and an exact-size bounded decode.
    std::string lenient = text.substr(0, text.find('='));
    for (char& c : lenient) {
      if (c == '+') {
        c = ' ';
      }
    }
    ASSERT_EQ(Base64Decode(lenient), data) << "length " << length;
    std::vector<uint8_t> exact(length);
    const auto result = Base64DecodeInto(lenient, exact);
    ASSERT_EQ(result.status, Base64Status::kOk);
    ASSERT_EQ(result.size, length);
    ASSERT_EQ(exact, data);
    if (length > 0) {
      std::vector<uint8_t> shorter(length - 1);
      ASSERT_EQ(Base64DecodeInto(text, shorter).status, Base64Status::kNoRoom);
    }
  }
}

}  // namespace
}  // namespace codec
