// Base64 (standard alphabet, "=" padding) for templates and images carried in JSON and in request
// parameters. The encoder always pads. The decoder is lenient in the ways request parameters need:
// their "=" padding may be gone and a "+" may have turned into a blank on the way.
//
// Decoding rules, shared by every decoder below:
//  - reading stops at the first NUL byte, at the first "=", or at the end of the text;
//  - a blank (0x20) counts as "+";
//  - any other byte outside the alphabet (line ends, "%", "-", "_", ...) is skipped;
//  - stopping at "=" after a number of alphabet characters that leaves 0 or 1 in the last group
//    of four (a pad after a complete group, a text that begins with "=") is malformed padding;
//    with 2 or 3 left the pad is accepted and whatever follows it is ignored;
//  - stopping at the NUL or the end accepts a text without padding; a lone trailing character
//    (6 bits, not a whole byte) is dropped without error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace codec {

// Number of characters Base64Encode produces for `size` bytes: 4 per started group of 3.
// Throws std::length_error when that number does not fit in size_t.
size_t Base64EncodedLength(size_t size);

// Padded Base64 text of `bytes`, without line breaks. Empty input gives the empty text.
std::string Base64Encode(std::span<const uint8_t> bytes);

// Number of bytes `text` decodes to, or nullopt on malformed padding. Never more than three
// quarters of the alphabet characters read, so never more than text.size() * 3 / 4.
std::optional<size_t> Base64DecodedSize(std::string_view text);

// Decoded bytes of `text`, or nullopt on malformed padding (or when memory cannot be had).
std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text);

enum class Base64Status {
  kOk,
  kMalformedPadding,
  kNoRoom,  // the decoded bytes would not fit in the caller's buffer; nothing was written
};

struct Base64DecodeResult {
  Base64Status status;
  // kOk: bytes written. kNoRoom: bytes the text needs. kMalformedPadding: 0.
  size_t size;
};

// Decodes `text` into the caller's buffer. Never writes outside `out`: when the decoded bytes do
// not fit, nothing is written and the result says how much room the text needs. Malformed padding
// is reported as such whatever the room.
Base64DecodeResult Base64DecodeInto(std::string_view text, std::span<uint8_t> out);

}  // namespace codec
