// Reading of the database operations' request parameters. Each operation knows its own set of
// names; it walks the parameter map once, before it calls any library, so that an unusable value
// is refused while nothing has been changed yet.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/request.h"

namespace database {

// The names a database operation may read; an operation passes the set it knows.
enum ParameterName : unsigned {
  kUserSerialNo = 1u << 0,
  kSelectTemplate = 1u << 1,
  kEncrypt = 1u << 2,
  kExtractEx = 1u << 3,
  kTempLen = 1u << 4,
  kQualityLevel = 1u << 5,
  kUserId = 1u << 6,
  kEncryptKey = 1u << 7,
  kTempData = 1u << 8,
};

// The values read; a numeric parameter that was absent stays nullopt, so each operation applies
// its own default (or treats the absence as a fault).
struct RequestParameters {
  std::optional<int32_t> userSerialNo;
  std::optional<int32_t> selectTemplate;
  std::optional<int32_t> encrypt;
  std::optional<int32_t> extractEx;
  std::optional<int32_t> tempLen;
  int32_t qualityLevel = 0;
  std::string userID;
  std::string encryptKey;
  std::string tempData;
};

// Reads the parameters named in `known` from `map`; other names are ignored. False when a
// decimal parameter in `known` holds an unusable value, or "userID" is not text (see
// DecodeUserId); `failed` (when given) then names that parameter and `out` is partly filled.
bool ReadParameters(const service::ParameterMap& map, unsigned known, RequestParameters& out,
                    std::string* failed = nullptr);

// A "userID" as the page sent it: %XX escapes (either letter case) become their bytes, and the
// result must be UTF-8 without NUL characters. Pages encode user IDs with encodeURIComponent;
// IDs they sent before the agent decoded anything keep their meaning: "+" stays "+" (a page's
// blank arrives as %20), and a "%" that does not start an escape ("100%", "%zz") stays a "%".
// nullopt for text that is not UTF-8 once decoded (Latin-1 bytes, a cut-off sequence, ...).
std::optional<std::string> DecodeUserId(std::string_view text);

}  // namespace database
