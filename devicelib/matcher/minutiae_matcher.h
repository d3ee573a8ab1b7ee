// The project's minutiae matcher, behind the MatcherLib contract.
//
// Templates are ISO/IEC 19794-2:2005 or ANSI INCITS 378-2004 finger minutiae records of at most
// kMaxTemplateSize bytes; the layout is detected from each record, so the template type set with
// SetTemplateType (1 or 2, see devicelib/scanner_lib.h) is recorded and reported but does not
// restrict what Verify and Identify accept. Algorithm, levels and measured error rates:
// devicelib/matcher/README.md.
#pragma once

#include <cstdint>
#include <memory>

#include "devicelib/matcher_lib.h"

namespace devicelib {

// Security levels (parameter 302): 1 (most lenient) to 7 (strictest), each a false-match rate
// measured on real fingerprints: 1 %, 0.3 %, 0.1 %, 0.03 %, 0.01 %, none in 14,400 impostor
// pairs, and about 1 in 1,000,000 by extrapolation (README.md has the table with the
// false-non-match rates).
inline constexpr int32_t kMinSecurityLevel = 1;
inline constexpr int32_t kMaxSecurityLevel = 7;
inline constexpr int32_t kDefaultSecurityLevel = 4;  // the agent's default: FMR 0.03 %

// Scores run from 0 (nothing in common) to kMaxMatchScore.
inline constexpr int32_t kMaxMatchScore = 1000;

// The score a comparison must reach to count as a match at `level`; -1 for an unknown level.
int32_t SecurityLevelThreshold(int32_t level);

std::unique_ptr<MatcherLib> CreateMinutiaeMatcher();

// Similarity score of two template records (ISO/IEC 19794-2 or ANSI INCITS 378, detected from
// the record) with default settings. 0 on success; -112 when either cannot be read.
int32_t CompareTemplates(const uint8_t* a, int32_t aSize, const uint8_t* b, int32_t bSize,
                         int32_t* score);

// The same in fast mode (fewer alignments tried, no re-alignment).
int32_t CompareTemplatesFast(const uint8_t* a, int32_t aSize, const uint8_t* b, int32_t bSize,
                             int32_t* score);

}  // namespace devicelib
