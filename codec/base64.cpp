#include "codec/base64.h"

#include <array>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

namespace codec {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

// Position in the alphabet of every byte value, -1 for bytes outside it. Built at compile time,
// so there is no first-use initialisation for threads to race on.
constexpr std::array<int16_t, 256> kReverse = [] {
  std::array<int16_t, 256> table{};
  table.fill(-1);
  for (size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int16_t>(i);
  }
  return table;
}();

// Value of one text byte: 0..63, or -1 for a byte to skip. The blank stands for a "+" that lost
// its meaning in a query string.
int Value(char c) {
  if (c == ' ') {
    return 62;
  }
  return kReverse[static_cast<uint8_t>(c)];
}

// Calls sink(value) for each alphabet character up to the NUL, the first pad or the end.
// Returns the number of characters taken and whether reading stopped at a pad.
template <typename Sink>
std::pair<size_t, bool> Scan(std::string_view text, Sink&& sink) {
  size_t taken = 0;
  for (char c : text) {
    if (c == '\0') {
      return {taken, false};
    }
    if (c == kPad) {
      return {taken, true};
    }
    const int v = Value(c);
    if (v < 0) {
      continue;
    }
    sink(taken, static_cast<uint8_t>(v));
    ++taken;
  }
  return {taken, false};
}

// Whole bytes carried by `taken` characters: 3 per group of 4, then 0, 0, 1 or 2 for a group of
// 0 to 3 characters (a lone character holds only 6 bits and is dropped).
size_t BytesFor(size_t taken) {
  const size_t rest = taken % 4;
  return taken / 4 * 3 + (rest >= 2 ? rest - 1 : 0);
}

// Writes the decoded bytes of `text` to out, which has room for exactly BytesFor(taken) bytes.
void DecodeTo(std::string_view text, uint8_t* out) {
  size_t k = 0;
  uint8_t pending = 0;  // high bits of the byte being assembled
  Scan(text, [&](size_t i, uint8_t v) {
    switch (i % 4) {
      case 0:
        pending = static_cast<uint8_t>(v << 2);
        break;
      case 1:
        out[k++] = static_cast<uint8_t>(pending | (v >> 4));
        pending = static_cast<uint8_t>(v << 4);
        break;
      case 2:
        out[k++] = static_cast<uint8_t>(pending | (v >> 2));
        pending = static_cast<uint8_t>(v << 6);
        break;
      default:
        out[k++] = static_cast<uint8_t>(pending | v);
        break;
    }
  });
}

}  // namespace

size_t Base64EncodedLength(size_t size) {
  const size_t groups = size / 3 + (size % 3 != 0 ? 1 : 0);
  if (groups > std::numeric_limits<size_t>::max() / 4) {
    throw std::length_error("Base64 text too long");
  }
  return groups * 4;
}

std::string Base64Encode(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve(Base64EncodedLength(bytes.size()));
  const size_t whole = bytes.size() / 3 * 3;
  for (size_t i = 0; i < whole; i += 3) {
    const uint8_t b0 = bytes[i];
    const uint8_t b1 = bytes[i + 1];
    const uint8_t b2 = bytes[i + 2];
    text += kAlphabet[b0 >> 2];
    text += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    text += kAlphabet[((b1 & 15) << 2) | (b2 >> 6)];
    text += kAlphabet[b2 & 63];
  }
  const size_t rest = bytes.size() - whole;
  if (rest == 1) {
    const uint8_t b0 = bytes[whole];
    text += kAlphabet[b0 >> 2];
    text += kAlphabet[(b0 & 3) << 4];
    text += "==";
  } else if (rest == 2) {
    const uint8_t b0 = bytes[whole];
    const uint8_t b1 = bytes[whole + 1];
    text += kAlphabet[b0 >> 2];
    text += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
    text += kAlphabet[(b1 & 15) << 2];
    text += kPad;
  }
  return text;
}

std::optional<size_t> Base64DecodedSize(std::string_view text) {
  const auto [taken, atPad] = Scan(text, [](size_t, uint8_t) {});
  if (atPad && taken % 4 < 2) {
    return std::nullopt;
  }
  return BytesFor(taken);
}

std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text) {
  const std::optional<size_t> size = Base64DecodedSize(text);
  if (!size) {
    return std::nullopt;
  }
  try {
    std::vector<uint8_t> bytes(*size);
    DecodeTo(text, bytes.data());
    return bytes;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

Base64DecodeResult Base64DecodeInto(std::string_view text, std::span<uint8_t> out) {
  const std::optional<size_t> size = Base64DecodedSize(text);
  if (!size) {
    return {Base64Status::kMalformedPadding, 0};
  }
  if (*size > out.size()) {
    return {Base64Status::kNoRoom, *size};
  }
  DecodeTo(text, out.data());
  return {Base64Status::kOk, *size};
}

}  // namespace codec
