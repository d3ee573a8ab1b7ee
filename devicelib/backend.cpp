#include "devicelib/backend.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "devicelib/matcher/minutiae_matcher.h"
#include "devicelib/virtual/virtual_scanner.h"
#ifdef WEBAGENT_HAVE_LIBFPRINT
#include "devicelib/libfprint/libfprint_driver.h"
#endif

namespace devicelib {

std::unique_ptr<ScannerLib> CreateScannerLib() {
  const char* name = std::getenv("WEBAGENT_SCANNER_BACKEND");
  const std::string_view backend = (name == nullptr || *name == '\0') ? "auto" : name;
  if (backend != "auto" && backend != "libfprint" && backend != "virtual") {
    std::fprintf(stderr,
                 "Unknown scanner backend \"%.*s\" (WEBAGENT_SCANNER_BACKEND); known: auto, "
                 "libfprint, virtual\n",
                 static_cast<int>(backend.size()), backend.data());
    return nullptr;
  }
#ifdef WEBAGENT_HAVE_LIBFPRINT
  if (backend != "virtual") {
    auto driver = std::make_unique<LibfprintDriver>();
    const size_t found = driver->Enumerate().size();
    // "auto" takes real scanners only when one is attached, so that a newcomer without a
    // scanner still gets the virtual one.
    if (backend == "libfprint" || found > 0) {
      std::fprintf(stderr, "Scanner backend: libfprint (%zu scanner%s found)\n", found,
                   found == 1 ? "" : "s");
      return std::make_unique<ScannerCore>(std::move(driver));
    }
    std::fprintf(stderr, "Scanner backend: virtual (libfprint found no scanner)\n");
    driver.reset();
    return CreateVirtualScannerLib();
  }
#else
  if (backend == "libfprint") {
    std::fprintf(stderr,
                 "Scanner backend \"libfprint\" is not built in (libfprint-2-dev missing)\n");
    return nullptr;
  }
#endif
  std::fprintf(stderr, "Scanner backend: virtual\n");
  return CreateVirtualScannerLib();
}

std::unique_ptr<MatcherLib> CreateMatcherLib() {
  return CreateMinutiaeMatcher();
}

}  // namespace devicelib
