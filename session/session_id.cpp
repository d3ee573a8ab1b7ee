#include "session/session_id.h"

#include <algorithm>
#include <cstddef>

#include "service/request.h"

namespace session {

namespace {

constexpr size_t kSecretDigits = 32;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsLowerHex(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f');
}

// Takes a run of at least one digit from the front of `text`.
bool TakeDigits(std::string_view& text) {
  const size_t n =
      static_cast<size_t>(std::find_if_not(text.begin(), text.end(), IsDigit) - text.begin());
  text.remove_prefix(n);
  return n > 0;
}

bool TakeChar(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) {
    return false;
  }
  text.remove_prefix(1);
  return true;
}

}  // namespace

bool IsSessionIdForm(std::string_view text) {
  if (!TakeDigits(text) || !TakeChar(text, '_')) {
    return false;
  }
  TakeChar(text, '-');
  if (!TakeDigits(text) || !TakeChar(text, '_')) {
    return false;
  }
  return text.size() == kSecretDigits && std::all_of(text.begin(), text.end(), IsLowerHex);
}

std::optional<std::string> SessionIdOf(const SessionIdSources& sources) {
  if (sources.header && !service::TrimBlanks(*sources.header).empty()) {
    return std::string(service::TrimBlanks(*sources.header));
  }
  if (sources.query && !sources.query->empty()) {
    return std::string(*sources.query);
  }
  if (!sources.cookie) {
    return std::nullopt;
  }
  // Cookie items are "name=value" or, as `document.cookie = id` sets it, a bare value; they
  // are separated by ";" and blanks. A value may be quoted.
  std::string_view rest = *sources.cookie;
  while (!rest.empty()) {
    const size_t end = rest.find(';');
    std::string_view item = service::TrimBlanks(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const size_t equals = item.find('=');
    std::string_view value = equals == std::string_view::npos ? item : item.substr(equals + 1);
    value = service::TrimBlanks(value);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (IsSessionIdForm(value)) {
      return std::string(value);
    }
  }
  return std::string(*sources.cookie);
}

}  // namespace session
