#include "http/request_policy.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace http {
namespace {

using std::nullopt;

TEST(NormaliseOrigin, CanonicalFormOrNothing) {
  struct Case {
    const char* text;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"http://127.0.0.1:8084", "http://127.0.0.1:8084"},
      {"HTTPS://App.Example.COM", "https://app.example.com"},
      {"https://app.example.com:443", "https://app.example.com"},  // default port dropped
      {"http://app.example.com:80/", "http://app.example.com"},    // one trailing "/" tolerated
      {"https://app.example.com:80", "https://app.example.com:80"},
      {"http://app.example.com:0443", "http://app.example.com:443"},  // leading zeros
      {"  http://localhost:9000\t", "http://localhost:9000"},
      {"http://[::1]:8084", "http://[::1]:8084"},
      {"http://[::1]", "http://[::1]"},
      {"chrome-extension://abcdef", "chrome-extension://abcdef"},
      {"http://xn--bcher-kva.example", "http://xn--bcher-kva.example"},
      // not origins
      {"null", nullopt},
      {"", nullopt},
      {"app.example.com", nullopt},
      {"://app.example.com", nullopt},
      {"1http://app.example.com", nullopt},
      {"http://", nullopt},
      {"http://app.example.com/path", nullopt},
      {"http://app.example.com//", nullopt},
      {"http://app.example.com?x", nullopt},
      {"http://user@app.example.com", nullopt},
      {"http://app.example.com:", nullopt},
      {"http://app.example.com:65536", nullopt},
      {"http://app.example.com:0", nullopt},
      {"http://app.example.com:8x", nullopt},
      {"http://app.exa mple.com", nullopt},
      {"http://app.example.com\r\nX-Evil: 1", nullopt},
      {"http://[::1", nullopt},
      {"http://[]:80", nullopt},
      {"http://[::1]x", nullopt},
      {"http://[evil.example]", nullopt},
      {"http://b\xc3\xbc"
       "cher.example",
       nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NormaliseOrigin(c.text), c.expected) << "\"" << c.text << "\"";
  }
}

TEST(IsLoopbackHost, OnlyTheLoopbackNamesWithAnyPort) {
  for (const char* host : {"127.0.0.1", "127.0.0.1:8084", "localhost", "LOCALHOST:8083",
                           "localhost:1", "[::1]", "[::1]:8084", " 127.0.0.1:8084 "}) {
    EXPECT_TRUE(IsLoopbackHost(host)) << host;
  }
  for (const char* host :
       {"evil.example", "evil.example:8084", "127.0.0.2:8084", "127.1", "0.0.0.0:8084",
        "localhost.", "localhost.evil.example", "127.0.0.1.evil.example:8084", "[::2]:8084",
        "[::ffff:127.0.0.1]", "127.0.0.1:", "127.0.0.1:99999", "127.0.0.1:80:80", "user@127.0.0.1",
        "", "[::1]8084"}) {
    EXPECT_FALSE(IsLoopbackHost(host)) << host;
  }
}

// One request as a browser, a hostile page or a local program sends it.
struct Request {
  std::string name;
  std::string method = "GET";
  std::string path = "/db/deleteAll";
  std::optional<std::string> host = std::string("127.0.0.1:8084");
  std::optional<std::string> origin;
  std::optional<std::string> site;
  std::optional<std::string> mode;
  std::optional<std::string> dest;
  std::optional<std::string> privateNetwork;
  std::string version = "1.1";

  RequestFacts Facts() const {
    RequestFacts facts;
    facts.method = method;
    facts.httpVersion = version;
    facts.path = path;
    facts.host = host;
    facts.origin = origin;
    facts.fetchSite = site;
    facts.fetchMode = mode;
    facts.fetchDest = dest;
    facts.privateNetworkRequest = privateNetwork;
    return facts;
  }
};

struct Expectation {
  Request request;
  Verdict verdict;
  bool logged;
};

void CheckAll(const RequestPolicy& policy, const std::vector<Expectation>& table) {
  for (const Expectation& e : table) {
    const Decision decision = policy.Decide(e.request.Facts());
    EXPECT_EQ(decision.verdict, e.verdict) << e.request.name;
    EXPECT_EQ(!decision.logLine.empty(), e.logged) << e.request.name;
    EXPECT_EQ(decision.logLine.find('\n'), std::string::npos) << e.request.name;
    EXPECT_NE(decision.headers.find("X-Content-Type-Options: nosniff\r\n"), std::string::npos)
        << e.request.name;
    EXPECT_EQ(decision.headers.find('*'), std::string::npos) << e.request.name;
    // Credentials go only to the sites allowed.
    EXPECT_EQ(decision.headers.find("Credentials") != std::string::npos,
              (decision.verdict == Verdict::kServe || decision.verdict == Verdict::kPreflight) &&
                  e.request.origin.has_value())
        << e.request.name;
  }
}

const std::string kEvil = "http://evil.example";
const std::string kApp = "https://app.example.com";

TEST(RequestPolicy, HostMustNameTheLoopback) {
  const RequestPolicy policy;
  std::vector<Expectation> table;
  Request r;
  r.name = "rebinding";
  r.host = "evil.example:8084";
  table.push_back({r, Verdict::kForbidden, true});
  r.name = "rebinding, the page's own origin and same-origin metadata";
  r.origin = "http://evil.example:8084";
  r.site = "same-origin";
  table.push_back({r, Verdict::kForbidden, true});
  r = Request{};
  r.name = "no Host on HTTP/1.1";
  r.host = nullopt;
  table.push_back({r, Verdict::kForbidden, true});
  r.name = "no Host on HTTP/1.0";
  r.version = "1.0";
  table.push_back({r, Verdict::kServe, false});
  r = Request{};
  for (const char* host : {"127.0.0.1", "localhost:8084", "[::1]:8084", "LocalHost"}) {
    r.name = std::string("loopback Host ") + host;
    r.host = host;
    table.push_back({r, Verdict::kServe, false});
  }
  CheckAll(policy, table);
}

TEST(RequestPolicy, OriginsOtherThanOwnAndListedAreRefusedBeforeAnythingRuns) {
  const RequestPolicy policy({kApp, "not an origin"});
  std::vector<Expectation> table;
  Request r;
  for (const char* path : {"/db/deleteAll", "/db/delete", "/api/setParameters", "/api/uninitDevice",
                           "/api/abortCapture", "/api/initDevice", "/api/close",
                           "/api/sessionClear", "/img/CaptureImg.bmp", "/tmp/x", "/index.html"}) {
    r.path = path;
    r.name = std::string("evil origin, ") + path;
    r.origin = kEvil;
    r.site = "cross-site";
    table.push_back({r, Verdict::kForbidden, true});
    r.name = std::string("evil origin without metadata, ") + path;
    r.site = nullopt;
    table.push_back({r, Verdict::kForbidden, true});
    r.name = std::string("opaque origin, ") + path;
    r.origin = "null";
    table.push_back({r, Verdict::kForbidden, true});
    r.name = std::string("listed origin, ") + path;
    r.origin = kApp;
    r.site = "cross-site";
    table.push_back({r, Verdict::kServe, false});
  }
  r = Request{};
  for (const char* own : {"http://127.0.0.1:8084", "http://localhost:8084", "http://[::1]:8084",
                          "https://127.0.0.1:8083", "https://localhost:8083"}) {
    r.name = std::string("own origin ") + own;
    r.origin = own;
    r.site = "same-origin";
    table.push_back({r, Verdict::kServe, false});
  }
  // Look-alikes of the agent's own origins.
  for (const char* other : {"http://127.0.0.1:8083", "https://127.0.0.1:8084",
                            "http://127.0.0.1:9000", "http://localhost", "https://127.0.0.1",
                            "http://127.0.0.1:8084.evil.example", "http://app.example.com"}) {
    r.name = std::string("not own: ") + other;
    r.origin = other;
    r.site = "same-site";
    table.push_back({r, Verdict::kForbidden, true});
  }
  r.name = "an entry that is not an origin allows nothing";
  r.origin = "not an origin";
  table.push_back({r, Verdict::kForbidden, true});
  CheckAll(policy, table);
}

TEST(RequestPolicy, FetchMetadataWithoutOrigin) {
  const RequestPolicy policy;
  std::vector<Expectation> table;
  Request r;
  r.path = "/api/close";
  r.name = "<img> of /api/close on another site";
  r.site = "cross-site";
  r.mode = "no-cors";
  r.dest = "image";
  table.push_back({r, Verdict::kForbidden, true});
  r.name = "<img> of /api/close on a sibling site";
  r.site = "same-site";
  table.push_back({r, Verdict::kForbidden, true});
  r.name = "unknown Sec-Fetch-Site value";
  r.site = "cross-origin";
  table.push_back({r, Verdict::kForbidden, true});
  r.name = "<img> of /api/close in the agent's own page";
  r.site = "same-origin";
  table.push_back({r, Verdict::kServe, false});
  r.name = "/api/close typed into the address bar";
  r.site = "none";
  r.mode = "navigate";
  r.dest = "document";
  table.push_back({r, Verdict::kServe, false});
  r.name = "link from another site to /api/close";
  r.site = "cross-site";
  table.push_back({r, Verdict::kForbidden, true});
  r.name = "curl: neither Origin nor metadata";
  r.site = r.mode = r.dest = nullopt;
  table.push_back({r, Verdict::kServe, false});

  // The page itself: a link from anywhere opens it; embedding it or reading its files from
  // another site is refused, and so are the images and exported texts.
  r = Request{};
  r.site = "cross-site";
  r.mode = "navigate";
  r.dest = "document";
  for (const char* path : {"/", "/index.html", "/js/app.js"}) {
    r.path = path;
    r.name = std::string("link from another site to ") + path;
    table.push_back({r, Verdict::kServe, false});
  }
  r.path = "/";
  r.name = "the page framed by another site";
  r.dest = "iframe";
  table.push_back({r, Verdict::kForbidden, true});
  r.name = "the client script read by another site";
  r.path = "/js/webagent.js";
  r.mode = "no-cors";
  r.dest = "script";
  table.push_back({r, Verdict::kForbidden, true});
  for (const char* path : {"/img/CaptureImg.bmp", "/img/PreviewStreaming.bmp",
                           "/img/convertedCaptureImage.bmp", "/tmp/last.json"}) {
    r.path = path;
    r.name = std::string("another site reads ") + path;
    r.mode = "no-cors";
    r.dest = "image";
    table.push_back({r, Verdict::kForbidden, true});
    r.name = std::string("another site navigates to ") + path;
    r.mode = "navigate";
    r.dest = "document";
    table.push_back({r, Verdict::kForbidden, true});
    r.name = std::string("the agent's page shows ") + path;
    r.site = "same-origin";
    r.mode = "no-cors";
    r.dest = "image";
    table.push_back({r, Verdict::kServe, false});
    r.site = "cross-site";
  }
  CheckAll(policy, table);
}

TEST(RequestPolicy, OnlyGetRunsOptionsIsAPreflightOthersAre405) {
  const RequestPolicy policy({kApp});
  std::vector<Expectation> table;
  Request r;
  for (const char* method : {"POST", "PUT", "DELETE", "HEAD", "PATCH", "get", "TRACE"}) {
    r.name = std::string("curl ") + method;
    r.method = method;
    table.push_back({r, Verdict::kMethodNotAllowed, false});
    r.name = std::string("listed origin ") + method;
    r.origin = kApp;
    table.push_back({r, Verdict::kMethodNotAllowed, false});
    r.name = std::string("evil origin ") + method;
    r.origin = kEvil;
    table.push_back({r, Verdict::kForbidden, true});
    r.origin = nullopt;
  }
  // A beacon of a page that goes away frees its scanners; POST runs nothing else, not even
  // under names close to it.
  r = Request{};
  r.method = "POST";
  r.path = "/api/sessionClear";
  r.name = "beacon from curl";
  table.push_back({r, Verdict::kServe, false});
  r.name = "beacon from a listed origin";
  r.origin = kApp;
  r.site = "cross-site";
  r.mode = "no-cors";
  table.push_back({r, Verdict::kServe, false});
  r.name = "beacon from the agent's own page";
  r.origin = "http://127.0.0.1:8084";
  r.site = "same-origin";
  table.push_back({r, Verdict::kServe, false});
  r.name = "beacon from an evil origin";
  r.origin = kEvil;
  r.site = "cross-site";
  table.push_back({r, Verdict::kForbidden, true});
  r.origin = nullopt;
  r.site = r.mode = nullopt;
  for (const char* path : {"/api/sessionClear/", "/api/sessionclear", "/api/close",
                           "/db/sessionClear", "/api/sessionClearX"}) {
    r.path = path;
    r.name = std::string("POST ") + path;
    table.push_back({r, Verdict::kMethodNotAllowed, false});
  }
  r.path = "/api/sessionClear";
  r.method = "PUT";
  r.name = "PUT /api/sessionClear";
  table.push_back({r, Verdict::kMethodNotAllowed, false});

  r = Request{};
  r.method = "OPTIONS";
  for (const char* path : {"/db/deleteAll", "/api/close"}) {
    r.path = path;
    r.name = std::string("preflight from evil origin ") + path;
    r.origin = kEvil;
    table.push_back({r, Verdict::kForbidden, true});
    r.name = std::string("preflight from listed origin ") + path;
    r.origin = kApp;
    table.push_back({r, Verdict::kPreflight, false});
    r.name = std::string("OPTIONS from curl ") + path;
    r.origin = nullopt;
    table.push_back({r, Verdict::kPreflight, false});
  }
  CheckAll(policy, table);
}

TEST(RequestPolicy, HeadersOfServedRequestsAndPreflights) {
  const RequestPolicy policy({"HTTPS://App.Example.com:443/"});
  Request r;
  r.origin = "https://app.example.com";
  r.site = "cross-site";
  Decision d = policy.Decide(r.Facts());
  ASSERT_EQ(d.verdict, Verdict::kServe);
  EXPECT_EQ(d.headers,
            "Access-Control-Allow-Origin: https://app.example.com\r\n"
            "Access-Control-Allow-Credentials: true\r\nVary: Origin\r\n"
            "X-Content-Type-Options: nosniff\r\n");
  EXPECT_EQ(ReplyWithoutServing(d), "");

  r.origin = "http://127.0.0.1:8084";  // the own page echoes its own origin
  EXPECT_EQ(policy.Decide(r.Facts()).headers,
            "Access-Control-Allow-Origin: http://127.0.0.1:8084\r\n"
            "Access-Control-Allow-Credentials: true\r\nVary: Origin\r\n"
            "X-Content-Type-Options: nosniff\r\n");

  r.origin = nullopt;  // nobody to echo
  r.site = nullopt;
  EXPECT_EQ(policy.Decide(r.Facts()).headers,
            "Vary: Origin\r\nX-Content-Type-Options: nosniff\r\n");

  r.method = "OPTIONS";
  r.origin = "https://app.example.com";
  r.privateNetwork = "true";
  d = policy.Decide(r.Facts());
  ASSERT_EQ(d.verdict, Verdict::kPreflight);
  EXPECT_EQ(ReplyWithoutServing(d),
            "HTTP/1.1 204 No Content\r\n"
            "Access-Control-Allow-Origin: https://app.example.com\r\n"
            "Access-Control-Allow-Credentials: true\r\n"
            "Vary: Origin\r\n"
            "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
            "Access-Control-Allow-Headers: Content-Type, X-Session-Id\r\n"
            "Access-Control-Max-Age: 600\r\n"
            "Access-Control-Allow-Private-Network: true\r\n"
            "X-Content-Type-Options: nosniff\r\n"
            "Content-Length: 0\r\nConnection: close\r\n\r\n");
  // Private Network Access is answered only when the preflight asks for it.
  for (const std::optional<std::string>& asked :
       {std::optional<std::string>(), std::optional<std::string>("false")}) {
    r.privateNetwork = asked;
    d = policy.Decide(r.Facts());
    ASSERT_EQ(d.verdict, Verdict::kPreflight);
    EXPECT_EQ(d.headers.find("Private-Network"), std::string::npos) << d.headers;
    EXPECT_NE(d.headers.find("Access-Control-Allow-Headers: Content-Type, X-Session-Id\r\n"),
              std::string::npos);
  }
  r.privateNetwork = nullopt;

  r.origin = nullopt;
  EXPECT_EQ(ReplyWithoutServing(policy.Decide(r.Facts())),
            "HTTP/1.1 204 No Content\r\nAllow: GET, OPTIONS\r\n"
            "X-Content-Type-Options: nosniff\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

TEST(RequestPolicy, RefusalsAreCompleteRepliesAndOneSafeLogLine) {
  const RequestPolicy policy;
  Request r;
  r.origin = "http://Evil.Example:80";
  const Decision d = policy.Decide(r.Facts());
  const std::string reply = ReplyWithoutServing(d);
  EXPECT_TRUE(reply.starts_with("HTTP/1.1 403 Forbidden\r\n")) << reply;
  EXPECT_NE(reply.find("\r\nContent-Length: "), std::string::npos);
  EXPECT_NE(reply.find("\r\nX-Content-Type-Options: nosniff\r\n"), std::string::npos);
  // The refused site's script may read the refusal, with its origin as sent and without
  // credentials, and learns what to do.
  EXPECT_NE(reply.find("\r\nAccess-Control-Allow-Origin: http://Evil.Example:80\r\n"),
            std::string::npos)
      << reply;
  EXPECT_NE(reply.find("\r\nVary: Origin\r\n"), std::string::npos) << reply;
  EXPECT_EQ(reply.find("Credentials"), std::string::npos) << reply;
  const std::string body = reply.substr(reply.find("\r\n\r\n") + 4);
  EXPECT_EQ(body, "this site is not allowed to use the agent: ask your administrator to add it\n");
  EXPECT_NE(reply.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
            std::string::npos);
  // The log names the site in the form to allow it with, and how.
  EXPECT_NE(d.logLine.find("http://evil.example"), std::string::npos) << d.logLine;
  EXPECT_NE(d.logLine.find("--allow-origin http://evil.example"), std::string::npos);
  EXPECT_NE(d.logLine.find("webagent/allowed-origins"), std::string::npos);

  // An origin that is no printable text is not echoed; "null" (a sandboxed frame) is.
  r.origin = "http://evil.example\x01";
  EXPECT_EQ(policy.Decide(r.Facts()).headers.find("Access-Control-Allow-Origin"),
            std::string::npos);
  r.origin = "null";
  EXPECT_NE(policy.Decide(r.Facts()).headers.find("Access-Control-Allow-Origin: null\r\n"),
            std::string::npos);
  // A refused preflight is refused the same way.
  r.method = "OPTIONS";
  r.origin = "https://evil.example";
  const Decision preflight = policy.Decide(r.Facts());
  EXPECT_EQ(preflight.verdict, Verdict::kForbidden);
  EXPECT_EQ(preflight.reason, RequestPolicy::kRefusedOriginText);
  r.method = "GET";

  // Raw header text reaches the log only as printable ASCII, cut short.
  r.origin = nullopt;
  r.host = std::string("evil\x1b[2J.example\tX") + std::string(500, 'a');
  const Decision host = policy.Decide(r.Facts());
  EXPECT_EQ(host.verdict, Verdict::kForbidden);
  EXPECT_EQ(host.logLine.find('\x1b'), std::string::npos);
  EXPECT_EQ(host.logLine.find('\t'), std::string::npos);
  EXPECT_LT(host.logLine.size(), 400u);

  r = Request{};
  r.method = "HEAD";
  const std::string head = ReplyWithoutServing(policy.Decide(r.Facts()));
  EXPECT_TRUE(head.starts_with("HTTP/1.1 405 Method Not Allowed\r\n")) << head;
  EXPECT_NE(head.find("\r\nAllow: GET, OPTIONS\r\n"), std::string::npos) << head;
  EXPECT_TRUE(head.ends_with("\r\n\r\n")) << "a HEAD reply has no body";
}

}  // namespace
}  // namespace http
