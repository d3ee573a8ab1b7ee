#include "database/parameters.h"

namespace database {

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

bool ReadParameters(const service::ParameterMap& map, unsigned known, RequestParameters& out) {
  for (const auto& [name, value] : map) {
    bool matched = false;
    for (const DecimalField& field : kDecimalFields) {
      if ((known & field.bit) != 0 && name == field.name) {
        const std::optional<int32_t> number = service::ReadDecimal32(value);
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
      out.qualityLevel = service::ReadAutoBase32(value);
    }
  }
  return true;
}

}  // namespace database
