// Who may use the agent. Every request is judged here before anything runs: the Host header
// (against DNS rebinding), the Origin header and the browser's Fetch Metadata (against other web
// sites the user visits), and the method. Pure text in, decision out: no server library, so the
// whole policy is tested without sockets.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace http {

// "scheme://host[:port]": lowercase, the scheme's default port dropped, one trailing "/"
// tolerated (people paste site addresses). Empty when the text is not an origin, including the
// opaque origin "null" that sandboxed frames and local files send.
std::optional<std::string> NormaliseOrigin(std::string_view text);

// True when a Host header names this computer's loopback: 127.0.0.1, localhost or [::1], with
// or without a port. Any other name could be a DNS rebinding of a web site onto the agent.
bool IsLoopbackHost(std::string_view host);

// What the policy reads of a request. Headers are empty when the request has none.
struct RequestFacts {
  std::string_view method;       // as sent, case-sensitive ("GET")
  std::string_view httpVersion;  // "1.1", "1.0"
  std::optional<std::string_view> host;
  std::optional<std::string_view> origin;
  std::optional<std::string_view> fetchSite;  // Sec-Fetch-Site
  std::optional<std::string_view> fetchMode;  // Sec-Fetch-Mode
  std::optional<std::string_view> fetchDest;  // Sec-Fetch-Dest
  // Access-Control-Request-Private-Network: a preflight asking whether a public page may
  // reach this computer's loopback.
  std::optional<std::string_view> privateNetworkRequest;
  std::string_view path;  // decoded path, no query
};

enum class Verdict {
  kServe,             // go on; add `headers` to the reply
  kPreflight,         // answer with ReplyWithoutServing(): a CORS preflight, nothing runs
  kForbidden,         // 403, nothing runs
  kMethodNotAllowed,  // 405, nothing runs
};

struct Decision {
  Verdict verdict = Verdict::kForbidden;
  // Header lines ("Name: value\r\n") for the reply: the echoed allowed origin, Vary: Origin,
  // nosniff; for a preflight, its CORS answer.
  std::string headers;
  // Why the request is refused, sent as the reply's text; empty when served.
  std::string reason;
  // One line for standard error (no line end) when the refusal should be reported; the
  // user reads it to learn which site was refused and how to allow it.
  std::string logLine;
  // A HEAD request is answered without a body.
  bool bodyless = false;
};

class RequestPolicy {
 public:
  // The agent's own page is served on these; its origins are always allowed.
  static constexpr int kHttpPort = 8084;
  static constexpr int kHttpsPort = 8083;
  // How long a browser may keep a preflight's answer.
  static constexpr int kPreflightMaxAgeSeconds = 600;
  // The one request besides GET that runs: what navigator.sendBeacon sends when a page goes.
  static constexpr std::string_view kPostPath = "/api/sessionClear";
  // The text of the 403 to a site that is not allowed; its page's script can read it.
  static constexpr std::string_view kRefusedOriginText =
      "this site is not allowed to use the agent: ask your administrator to add it";

  // `allowedOrigins`: the sites the user allows besides the agent's own page, as origins;
  // entries that are not origins are dropped (the configuration reader reports them).
  explicit RequestPolicy(const std::vector<std::string>& allowedOrigins = {});

  Decision Decide(const RequestFacts& request) const;

  // `origin` normalised. The agent's own origins: http on kHttpPort and https on kHttpsPort,
  // for 127.0.0.1, localhost and [::1].
  bool IsOwnOrigin(std::string_view origin) const;
  bool IsAllowedOrigin(std::string_view origin) const;

 private:
  std::vector<std::string> own;
  std::vector<std::string> allowed;
};

// The complete reply to a request the policy answers itself: 204 for a preflight, 403 or 405
// with the reason as plain text. Empty for kServe.
std::string ReplyWithoutServing(const Decision& decision);

}  // namespace http
