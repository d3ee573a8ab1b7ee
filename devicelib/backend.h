// Chooses the scanner and matcher backends at start. The scanner backend comes from the
// environment variable WEBAGENT_SCANNER_BACKEND: "libfprint" (real USB scanners), "virtual", or
// "auto" (the default: real scanners when libfprint finds any at start, else virtual ones); one
// line on standard error says which. The matcher is the
// project's minutiae matcher.
#pragma once

#include <memory>

#include "devicelib/matcher_lib.h"
#include "devicelib/scanner_lib.h"

namespace devicelib {

// Null (with a message on standard error) when the requested backend does not exist.
std::unique_ptr<ScannerLib> CreateScannerLib();
std::unique_ptr<MatcherLib> CreateMatcherLib();

}  // namespace devicelib
