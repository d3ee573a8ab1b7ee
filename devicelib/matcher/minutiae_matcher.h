// The project's minutiae matcher, behind the MatcherLib contract.
#pragma once

#include <cstdint>
#include <memory>

#include "devicelib/matcher_lib.h"

namespace devicelib {

std::unique_ptr<MatcherLib> CreateMinutiaeMatcher();

// Similarity score of two template records (ISO/IEC 19794-2 or ANSI INCITS 378, detected from
// the record) with default settings. 0 on success; -112 when either cannot be read.
int32_t CompareTemplates(const uint8_t* a, int32_t aSize, const uint8_t* b, int32_t bSize,
                         int32_t* score);

}  // namespace devicelib
