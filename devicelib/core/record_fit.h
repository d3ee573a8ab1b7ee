// Writing an extraction's minutiae record into the caller's template buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/template/minutiae_record.h"

namespace devicelib {

// Ridge counts are written only while the record stays within this many bytes (minutiae are
// not held to it). A template goes back to the agent's pages and returns as one request
// parameter of at most 1023 Base64 characters: 640 bytes, 656 encrypted, are 876 characters,
// which leaves room for the "%2B" and "%2F" escapes a page may write for "+" and "/" (on
// average one character in 32 each).
inline constexpr size_t kRidgeCountRecordLimit = 640;

// At most this many minutiae (the best) go into a record that carries ridge counts, so that the
// prints with most minutiae, mostly dry ones whose many extra minutiae are false, still keep some
// counts within kRidgeCountRecordLimit: 85 minutiae leave room for about 30 counts, where a
// hundred leave none. Fewer than this cost the prints with many true minutiae more than the
// counts gain them (measured on the real sets: matcher README, "Tried, did not help").
inline constexpr size_t kRidgeCountMinutiae = 85;

enum class FitResult : uint8_t {
  kOk = 0,
  kTooSmall,  // not even the record's headers fit the capacity
  kFailed,    // the template cannot be written in the format
};

// The record of `features` in `format`, at most `capacity` bytes, into *record. The minutiae go
// best quality first (at most 255), each ridge count following its two minutiae. Minutiae come
// first: when the record does not fit the capacity, or with ridge counts exceeds
// kRidgeCountRecordLimit, ridge counts go, the longest first, and only once none is left do
// minutiae go, the least reliable first. The one exception: a record that keeps ridge counts
// holds at most kRidgeCountMinutiae minutiae (where the counts would all go anyway, every
// minutia that fits is written).
FitResult FitRecord(codec::TemplateFormat format, codec::FingerTemplate features, size_t capacity,
                    std::vector<uint8_t>* record);

}  // namespace devicelib
