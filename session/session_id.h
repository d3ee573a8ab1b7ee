// Which session a request belongs to. A page on the agent's own origin sends its identifier as
// its cookie; a page on another origin cannot (third-party cookies), so it sends the identifier
// as a request header, or in the query where no header can be set (<img>, EventSource,
// sendBeacon). Bindings are keyed on the identifier alone, so that unrelated cookies set on the
// same host (theme=dark from any port) never change which page a scanner belongs to.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace session {

// True when `text` has the form of an identifier the agent issues:
// <digits>_<optional minus><digits>_<32 lowercase hex digits>.
bool IsSessionIdForm(std::string_view text);

// What a request carries that can name its session; each is absent when the request has none.
struct SessionIdSources {
  std::optional<std::string_view> header = std::nullopt;  // the X-Session-Id request header
  std::optional<std::string_view> query =
      std::nullopt;  // the "sessionId" query variable, percent-decoded
  std::optional<std::string_view> cookie = std::nullopt;  // the whole Cookie header
};

// The request's session identifier, first found wins: a non-empty header, a non-empty query
// variable, the first cookie item (named or nameless) whose value has the identifier's form,
// and otherwise the whole Cookie header text, so that older pages which set a cookie text of
// their own keep working. None when the request has none of these.
std::optional<std::string> SessionIdOf(const SessionIdSources& sources);

}  // namespace session
