#include "service/request.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace service {

std::string_view TrimBlanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && blank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

std::string NextToken(std::string_view source, char delimiter, int& cursor) {
  if (cursor < 0) {
    return {};
  }
  const auto start = static_cast<size_t>(cursor);
  if (start > source.size()) {
    cursor = -1;
    return {};
  }
  const size_t found = source.find(delimiter, start);
  if (found == std::string_view::npos) {
    cursor = -1;
    return std::string(source.substr(start));
  }
  // Parameter texts are bounded by the server's request size, far below INT_MAX.
  cursor = static_cast<int>(found + 1);
  return std::string(source.substr(start, found - start));
}

namespace {

std::string GetLastValue(std::string_view parameterText, std::string_view key) {
  std::string result;
  int outer = 0;
  for (;;) {
    const std::string item = NextToken(parameterText, '&', outer);
    if (item.empty()) {
      break;
    }
    int inner = 0;
    if (NextToken(item, '=', inner) == key) {
      result = NextToken(item, '=', inner);
    }
  }
  return result;
}

}  // namespace

std::string GetParamSHandle(std::string_view parameterText) {
  return GetLastValue(parameterText, "sHandle");
}

std::string GetParamId(std::string_view parameterText) {
  return GetLastValue(parameterText, "id");
}

int ParseParameters(std::string_view parameterText, ParameterMap& map) {
  ParameterMap parsed;
  int outer = 0;
  for (;;) {
    const std::string item = NextToken(parameterText, '&', outer);
    if (item.empty()) {
      break;
    }
    int inner = 0;
    std::string key = NextToken(item, '=', inner);
    if (key == "sHandle") {
      continue;
    }
    std::string value = NextToken(item, '=', inner);
    parsed.emplace(std::move(key), std::move(value));  // keeps the first value of a key
  }
  if (parsed.empty()) {
    return -1;
  }
  map = std::move(parsed);
  return 0;
}

int64_t ReadHandleNumber(std::string_view text) {
  // strtoll needs a terminated string; the copy also stops it at an embedded NUL.
  const std::string copy(text);
  errno = 0;
  const long long value = std::strtoll(copy.c_str(), nullptr, 10);  // clamps on overflow
  return static_cast<int64_t>(value);
}

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

std::string ParameterTextAfterDummy(std::string_view query, int dummyLookupResult) {
  const long offset = static_cast<long>(dummyLookupResult) + 7;
  if (offset < 0 || static_cast<size_t>(offset) >= query.size()) {
    return {};
  }
  return std::string(query.substr(static_cast<size_t>(offset)));
}

}  // namespace service
