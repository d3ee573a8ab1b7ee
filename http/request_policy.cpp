#include "http/request_policy.h"

#include <algorithm>
#include <charconv>
#include <cstddef>

#include "service/request.h"

namespace http {

namespace {

constexpr std::string_view kNoSniff = "X-Content-Type-Options: nosniff\r\n";
constexpr std::string_view kVaryOrigin = "Vary: Origin\r\n";
constexpr std::string_view kAllow = "Allow: GET, OPTIONS\r\n";
constexpr std::string_view kConfigHint = "$XDG_CONFIG_HOME/webagent/allowed-origins";

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lowercase(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(), Lower);
  return result;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsAlpha(char c) {
  return c >= 'a' && c <= 'z';
}

// A port is 1 to 65535 in decimal; leading zeros are tolerated and dropped.
std::optional<int> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), IsDigit)) {
    return std::nullopt;
  }
  int port = 0;
  std::from_chars(text.data(), text.data() + text.size(), port);
  if (port < 1 || port > 65535) {
    return std::nullopt;
  }
  return port;
}

// Splits lowercase "host[:port]" into the host and the port text (empty when none). A bracketed
// IPv6 literal keeps its brackets. False when the shape is wrong.
bool SplitHostPort(std::string_view authority, std::string_view& host, std::string_view& port) {
  if (authority.starts_with('[')) {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos || close < 3) {
      return false;
    }
    const std::string_view inside = authority.substr(1, close - 1);
    const auto ipv6 = [](char c) {
      return IsDigit(c) || (c >= 'a' && c <= 'f') || c == ':' || c == '.';
    };
    if (!std::all_of(inside.begin(), inside.end(), ipv6)) {
      return false;
    }
    host = authority.substr(0, close + 1);
    const std::string_view rest = authority.substr(close + 1);
    if (rest.empty()) {
      port = {};
      return true;
    }
    if (rest.front() != ':') {
      return false;
    }
    port = rest.substr(1);
    return !port.empty();
  }
  const size_t colon = authority.find(':');
  host = authority.substr(0, colon);
  port = colon == std::string_view::npos ? std::string_view() : authority.substr(colon + 1);
  if (colon != std::string_view::npos && port.empty()) {
    return false;
  }
  const auto name = [](char c) {
    return IsAlpha(c) || IsDigit(c) || c == '-' || c == '.' || c == '_';
  };
  return !host.empty() && std::all_of(host.begin(), host.end(), name);
}

// Header values are reported as printable ASCII, cut short, so that a hostile request cannot
// forge or flood lines of the agent's log.
std::string Printable(std::string_view text) {
  constexpr size_t kMax = 120;
  std::string result;
  for (char c : text.substr(0, kMax)) {
    const auto byte = static_cast<unsigned char>(c);
    result += (byte >= 0x20 && byte < 0x7f) ? c : '?';
  }
  if (text.size() > kMax) {
    result += "...";
  }
  return result;
}

enum class PathKind { kOperation, kImageData, kPageFile };

PathKind KindOf(std::string_view path) {
  if (path.starts_with("/api/") || path.starts_with("/db/")) {
    return PathKind::kOperation;
  }
  if (path.starts_with("/img/") || path.starts_with("/tmp/")) {
    return PathKind::kImageData;
  }
  return PathKind::kPageFile;
}

Decision Refuse(Verdict verdict, std::string reason, std::string logLine, bool bodyless) {
  Decision decision;
  decision.verdict = verdict;
  decision.reason = std::move(reason);
  decision.logLine = std::move(logLine);
  decision.bodyless = bodyless;
  decision.headers = std::string(kVaryOrigin) + std::string(kNoSniff);
  if (verdict == Verdict::kMethodNotAllowed) {
    decision.headers = std::string(kAllow) + decision.headers;
  }
  return decision;
}

// The CORS answer to an allowed origin: that origin itself (never "*", which browsers refuse
// together with credentials) and leave to send the page's credentials, which our client sends
// on every call.
std::string AllowOrigin(const std::string& origin) {
  return "Access-Control-Allow-Origin: " + origin +
         "\r\nAccess-Control-Allow-Credentials: true\r\n";
}

// The Origin header exactly as the browser sent it, for the refusal's
// Access-Control-Allow-Origin; none when it holds anything but visible ASCII.
std::optional<std::string> EchoableOrigin(std::string_view origin) {
  constexpr size_t kMax = 300;
  origin = service::TrimBlanks(origin);
  if (origin.empty() || origin.size() > kMax ||
      !std::all_of(origin.begin(), origin.end(), [](char c) { return c > 0x20 && c < 0x7f; })) {
    return std::nullopt;
  }
  return std::string(origin);
}

std::string RequestLine(const RequestFacts& request) {
  return Printable(request.method) + " " + Printable(request.path);
}

}  // namespace

std::optional<std::string> NormaliseOrigin(std::string_view text) {
  const std::string lower = Lowercase(service::TrimBlanks(text));
  std::string_view rest = lower;
  const size_t separator = rest.find("://");
  if (separator == std::string_view::npos || separator == 0) {
    return std::nullopt;
  }
  const std::string_view scheme = rest.substr(0, separator);
  const auto schemeChar = [](char c) {
    return IsAlpha(c) || IsDigit(c) || c == '+' || c == '-' || c == '.';
  };
  if (!IsAlpha(scheme.front()) || !std::all_of(scheme.begin(), scheme.end(), schemeChar)) {
    return std::nullopt;
  }
  rest.remove_prefix(separator + 3);
  if (rest.ends_with('/')) {
    rest.remove_suffix(1);
  }
  std::string_view host;
  std::string_view portText;
  if (!SplitHostPort(rest, host, portText)) {
    return std::nullopt;
  }
  std::string origin = std::string(scheme) + "://" + std::string(host);
  if (!portText.empty()) {
    const std::optional<int> port = ParsePort(portText);
    if (!port) {
      return std::nullopt;
    }
    const bool defaultPort = ((scheme == "http" || scheme == "ws") && *port == 80) ||
                             ((scheme == "https" || scheme == "wss") && *port == 443);
    if (!defaultPort) {
      origin += ":" + std::to_string(*port);
    }
  }
  return origin;
}

bool IsLoopbackHost(std::string_view value) {
  const std::string lower = Lowercase(service::TrimBlanks(value));
  std::string_view host;
  std::string_view port;
  if (!SplitHostPort(lower, host, port) || (!port.empty() && !ParsePort(port))) {
    return false;
  }
  return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

RequestPolicy::RequestPolicy(const std::vector<std::string>& allowedOrigins) {
  for (const char* host : {"127.0.0.1", "localhost", "[::1]"}) {
    own.push_back("http://" + std::string(host) + ":" + std::to_string(kHttpPort));
    own.push_back("https://" + std::string(host) + ":" + std::to_string(kHttpsPort));
  }
  for (const std::string& entry : allowedOrigins) {
    if (const std::optional<std::string> origin = NormaliseOrigin(entry)) {
      allowed.push_back(*origin);
    }
  }
}

bool RequestPolicy::IsOwnOrigin(std::string_view origin) const {
  return std::find(own.begin(), own.end(), origin) != own.end();
}

bool RequestPolicy::IsAllowedOrigin(std::string_view origin) const {
  return IsOwnOrigin(origin) || std::find(allowed.begin(), allowed.end(), origin) != allowed.end();
}

Decision RequestPolicy::Decide(const RequestFacts& request) const {
  const bool bodyless = request.method == "HEAD";

  // DNS rebinding: a web site whose name now resolves to 127.0.0.1 reaches the agent with its
  // own name in Host, and the browser treats it as that site's own server.
  if (!request.host) {
    if (request.httpVersion != "1.0") {
      return Refuse(Verdict::kForbidden, "Forbidden: the request names no Host",
                    "webagent: refused " + RequestLine(request) + " without a Host header",
                    bodyless);
    }
  } else if (!IsLoopbackHost(*request.host)) {
    return Refuse(
        Verdict::kForbidden, "Forbidden: the agent answers only for 127.0.0.1, localhost and [::1]",
        "webagent: refused " + RequestLine(request) + " for Host \"" + Printable(*request.host) +
            "\": only 127.0.0.1, localhost and [::1] are served",
        bodyless);
  }

  // A browser names the page's origin on every cross-origin request that a script makes and on
  // every request other than GET and HEAD. The agent's own page and the sites the user listed
  // pass; every other site is refused before anything runs.
  std::optional<std::string> origin;
  if (request.origin) {
    origin = NormaliseOrigin(*request.origin);
    if (!origin || !IsAllowedOrigin(*origin)) {
      const std::string shown = origin ? *origin : Printable(*request.origin);
      Decision refused =
          Refuse(Verdict::kForbidden, std::string(kRefusedOriginText),
                 "webagent: refused " + RequestLine(request) + " from origin " + shown +
                     "; to allow that site, start the agent with --allow-origin " + shown +
                     " or add it as a line of " + std::string(kConfigHint),
                 bodyless);
      // The refused site's script may read this answer (and so tell its user why nothing
      // works rather than that the agent is not running); without credentials it reads
      // nothing else, and nothing has run.
      if (const std::optional<std::string> echo = EchoableOrigin(*request.origin)) {
        refused.headers = "Access-Control-Allow-Origin: " + *echo + "\r\n" + refused.headers;
      }
      return refused;
    }
  } else if (request.fetchSite) {
    // No Origin: an image, a link, a form GET. Fetch Metadata tells where it came from. "none"
    // is the user's own doing (address bar, bookmark); "same-origin" is the agent's own page.
    const std::string_view site = service::TrimBlanks(*request.fetchSite);
    const bool topLevelNavigation =
        request.fetchMode && service::TrimBlanks(*request.fetchMode) == "navigate" &&
        request.fetchDest && service::TrimBlanks(*request.fetchDest) == "document";
    // Following a link to the agent's page is harmless: the page is the agent's own. Its
    // operations and the images it shows are not, and nor is framing the page (clickjacking).
    const bool harmless = topLevelNavigation && KindOf(request.path) == PathKind::kPageFile;
    if (site != "none" && site != "same-origin" && !harmless) {
      return Refuse(Verdict::kForbidden, "Forbidden: a page on another site may not use the agent",
                    "webagent: refused " + RequestLine(request) +
                        " from a page on another site (Sec-Fetch-Site: " + Printable(site) +
                        ", no Origin); only the agent's own page and allowed origins may use it",
                    bodyless);
    }
  }
  // Neither Origin nor Fetch Metadata: a program on this computer (curl, a native client).

  Decision decision;
  decision.bodyless = bodyless;
  if (request.method == "OPTIONS") {
    decision.verdict = Verdict::kPreflight;
    if (origin) {
      // X-Session-Id carries the session of a page on another origin, which cannot set the
      // agent's cookie. A public page asking to reach the loopback (Private Network Access) is
      // answered only when it asks; its origin is allowed by now.
      const bool privateNetwork =
          request.privateNetworkRequest &&
          Lowercase(service::TrimBlanks(*request.privateNetworkRequest)) == "true";
      decision.headers = AllowOrigin(*origin) + std::string(kVaryOrigin) +
                         "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
                         "Access-Control-Allow-Headers: Content-Type, X-Session-Id\r\n"
                         "Access-Control-Max-Age: " +
                         std::to_string(kPreflightMaxAgeSeconds) + "\r\n" +
                         (privateNetwork ? "Access-Control-Allow-Private-Network: true\r\n" : "") +
                         std::string(kNoSniff);
    } else {
      decision.headers = std::string(kAllow) + std::string(kNoSniff);
    }
    return decision;
  }
  // A page that goes away frees its scanners with a beacon, which can only POST; its body is
  // never read. Nothing else changes anything on a POST.
  const bool beacon = request.method == "POST" && request.path == kPostPath;
  if (request.method != "GET" && !beacon) {
    return Refuse(Verdict::kMethodNotAllowed,
                  "Method Not Allowed: the agent answers GET (and OPTIONS preflights)", "",
                  bodyless);
  }
  decision.verdict = Verdict::kServe;
  if (origin) {
    decision.headers = AllowOrigin(*origin);
  }
  decision.headers += std::string(kVaryOrigin) + std::string(kNoSniff);
  return decision;
}

std::string ReplyWithoutServing(const Decision& decision) {
  switch (decision.verdict) {
    case Verdict::kServe:
      return {};
    case Verdict::kPreflight:
      return "HTTP/1.1 204 No Content\r\n" + decision.headers +
             "Content-Length: 0\r\nConnection: close\r\n\r\n";
    case Verdict::kForbidden:
    case Verdict::kMethodNotAllowed:
      break;
  }
  const std::string body = decision.reason + "\n";
  const char* status =
      decision.verdict == Verdict::kForbidden ? "403 Forbidden" : "405 Method Not Allowed";
  std::string reply = std::string("HTTP/1.1 ") + status +
                      "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n" + decision.headers +
                      "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
  if (!decision.bodyless) {
    reply += body;
  }
  return reply;
}

}  // namespace http
