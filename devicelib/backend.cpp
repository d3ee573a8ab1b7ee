#include "devicelib/backend.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "devicelib/matcher/minutiae_matcher.h"
#include "devicelib/virtual/virtual_scanner.h"

namespace devicelib {

std::unique_ptr<ScannerLib> CreateScannerLib() {
  const char* name = std::getenv("WEBAGENT_SCANNER_BACKEND");
  const std::string_view backend = (name == nullptr || *name == '\0') ? "virtual" : name;
  if (backend == "virtual") {
    return CreateVirtualScannerLib();
  }
  std::fprintf(stderr,
               "Unknown scanner backend \"%.*s\" (WEBAGENT_SCANNER_BACKEND); known: virtual\n",
               static_cast<int>(backend.size()), backend.data());
  return nullptr;
}

std::unique_ptr<MatcherLib> CreateMatcherLib() {
  return CreateMinutiaeMatcher();
}

}  // namespace devicelib
