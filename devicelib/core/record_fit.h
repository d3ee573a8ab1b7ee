// Writing an extraction's minutiae record into the caller's template buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/template/minutiae_record.h"

namespace devicelib {

enum class FitResult : uint8_t {
  kOk = 0,
  kTooSmall,  // not even the record's headers fit the capacity
  kFailed,    // the template cannot be written in the format
};

// The record of `features` in `format`, at most `capacity` bytes, into *record. The minutiae go
// best quality first (at most 255), each ridge count following its two minutiae. Minutiae come
// first: when the record does not fit, ridge counts go, the longest first, and only once none is
// left do minutiae go, the least reliable first.
FitResult FitRecord(codec::TemplateFormat format, codec::FingerTemplate features, size_t capacity,
                    std::vector<uint8_t>* record);

}  // namespace devicelib
