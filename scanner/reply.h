// Reply conventions shared by every scanner and database operation.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

#include "devicelib/matcher_lib.h"
#include "devicelib/scanner_lib.h"

namespace scanner {

// The two device libraries, owned by the agent and handed to the services.
struct DeviceLibraries {
  devicelib::ScannerLib& scanner;
  devicelib::MatcherLib& matcher;
};

enum class Library { kScanner, kMatcher };

// Decimal text of a 32-bit status ("%d").
std::string IntToString(int32_t value);

// "retValue" = the status as decimal text, "retString" = the library's message for it.
void SetLibraryError(Json::Value& reply, const DeviceLibraries& libraries, Library library,
                     int32_t code);

// "retValue" "0", "retString" "Success".
void SetSuccess(Json::Value& reply);

// "retValue" "-112", "retString" "passed wrong parameter".
void SetWrongParameter(Json::Value& reply);

inline constexpr char kWrongParameter[] = "passed wrong parameter";
inline constexpr char kUnsupportedApi[] = "Unsupported API";

}  // namespace scanner
