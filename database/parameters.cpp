#include "database/parameters.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace database {

std::optional<int32_t> ReadDecimal32(std::string_view text) {
  // strtoll wants a terminated string; the copy also stops it at an embedded NUL.
  const std::string copy(text);
  const char* begin = copy.c_str();
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(begin, &end, 10);
  if (end == begin || errno == ERANGE || value < std::numeric_limits<int32_t>::min() ||
      value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

int32_t ReadAutoBase32(std::string_view text) {
  const std::string copy(text);
  errno = 0;
  const long long value = std::strtoll(copy.c_str(), nullptr, 0);  // clamps to 64 bits itself
  if (value < std::numeric_limits<int32_t>::min()) {
    return std::numeric_limits<int32_t>::min();
  }
  if (value > std::numeric_limits<int32_t>::max()) {
    return std::numeric_limits<int32_t>::max();
  }
  return static_cast<int32_t>(value);
}

namespace {

struct DecimalField {
  std::string_view name;
  ParameterName bit;
  std::optional<int32_t> RequestParameters::*field;
};

constexpr DecimalField kDecimalFields[] = {
    {"userSerialNo", kUserSerialNo, &RequestParameters::userSerialNo},
    {"selectTemplate", kSelectTemplate, &RequestParameters::selectTemplate},
    {"encrypt", kEncrypt, &RequestParameters::encrypt},
    {"extractEx", kExtractEx, &RequestParameters::extractEx},
    {"tempLen", kTempLen, &RequestParameters::tempLen},
};

struct TextField {
  std::string_view name;
  ParameterName bit;
  std::string RequestParameters::*field;
};

constexpr TextField kTextFields[] = {
    {"userID", kUserId, &RequestParameters::userID},
    {"encryptKey", kEncryptKey, &RequestParameters::encryptKey},
    {"tempData", kTempData, &RequestParameters::tempData},
};

}  // namespace

bool ReadParameters(const http::ParameterMap& map, unsigned known, RequestParameters& out) {
  for (const auto& [name, value] : map) {
    bool matched = false;
    for (const DecimalField& field : kDecimalFields) {
      if ((known & field.bit) != 0 && name == field.name) {
        const std::optional<int32_t> number = ReadDecimal32(value);
        if (!number) {
          return false;
        }
        out.*field.field = number;
        matched = true;
        break;
      }
    }
    if (matched) {
      continue;
    }
    for (const TextField& field : kTextFields) {
      if ((known & field.bit) != 0 && name == field.name) {
        out.*field.field = value;
        matched = true;
        break;
      }
    }
    if (!matched && (known & kQualityLevel) != 0 && name == "qualityLevel") {
      out.qualityLevel = ReadAutoBase32(value);
    }
  }
  return true;
}

}  // namespace database
