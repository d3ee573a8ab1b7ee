#include "database/parameters.h"

#include <utility>

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
    {"encryptKey", kEncryptKey, &RequestParameters::encryptKey},
    {"tempData", kTempData, &RequestParameters::tempData},
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF, no NUL (a NUL would
// cut the ID short for any reader that takes it as a C string).
bool IsUtf8Text(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead == 0) {
      return false;
    }
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t length = 0;
    uint32_t code = 0;
    uint32_t lowest = 0;
    if ((lead & 0xE0) == 0xC0) {
      length = 2;
      code = lead & 0x1F;
      lowest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      code = lead & 0x0F;
      lowest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      code = lead & 0x07;
      lowest = 0x10000;
    } else {
      return false;  // a continuation byte, or a lead byte no UTF-8 uses
    }
    if (text.size() - i < length) {
      return false;
    }
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        return false;
      }
      code = (code << 6) | (next & 0x3F);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

std::optional<std::string> DecodeUserId(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      decoded.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      decoded.push_back(text[i]);
    }
  }
  if (!IsUtf8Text(decoded)) {
    return std::nullopt;
  }
  return decoded;
}

bool ReadParameters(const service::ParameterMap& map, unsigned known, RequestParameters& out,
                    std::string* failed) {
  for (const auto& [name, value] : map) {
    bool matched = false;
    for (const DecimalField& field : kDecimalFields) {
      if ((known & field.bit) != 0 && name == field.name) {
        const std::optional<int32_t> number = service::ReadDecimal32(value);
        if (!number) {
          if (failed != nullptr) {
            *failed = name;
          }
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
    if ((known & kUserId) != 0 && name == "userID") {
      std::optional<std::string> id = DecodeUserId(value);
      if (!id) {
        if (failed != nullptr) {
          *failed = name;
        }
        return false;
      }
      out.userID = std::move(*id);
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
