#include "http/router.h"

#include <arpa/inet.h>
#include <civetweb.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "agent/web_agent.h"
#include "http/image_endpoints.h"
#include "http/params.h"
#include "http/request_policy.h"
#include "http/writer.h"
#include "session/random_token.h"

namespace http {

namespace {

std::atomic<uint32_t> g_clientIp{0};
// Written once before the server starts, only read by the workers afterwards.
RequestPolicy g_policy;

agent::WebAgent* AgentOf(mg_connection* connection) {
  return static_cast<agent::WebAgent*>(mg_get_user_data(mg_get_context(connection)));
}

// The parameter text of an API request: the raw query after its leading `dummy` item. The
// server's lookup decodes the value, so its length decides where the rest starts.
std::string ParameterText(const char* query) {
  char dummy[512];
  const int n = mg_get_var(query, std::strlen(query), "dummy", dummy, sizeof(dummy));
  return ParameterTextAfterDummy(query, n);
}

void ReplyApi(mg_connection* connection, agent::WebAgent& agent, const std::string& name,
              const char* query, const char* cookie, std::string_view headers) {
  if (query == nullptr) {
    return;
  }
  const std::string body = agent.HandleScannerApi(name, cookie, ParameterText(query));
  WriteText(connection, Envelope(kJsonEnvelopeHead, headers));
  WriteText(connection, body);
}

void ReplyDb(mg_connection* connection, agent::WebAgent& agent, const std::string& name,
             const char* query, const char* cookie, std::string_view headers) {
  if (query == nullptr) {
    return;
  }
  WriteText(connection, Envelope(kHtmlEnvelopeHead, headers));
  WriteText(connection, agent.HandleDatabaseApi(name, cookie, ParameterText(query)));
}

// The identifier is the page's proof that it holds its scanner bindings, so besides the date
// and address it carries a secret; without one no identifier is issued.
void ReplySessionId(mg_connection* connection, uint32_t remote, std::string_view headers) {
  const std::optional<std::string> secret = session::RandomHex(session::kSessionTokenBytes);
  if (!secret) {
    std::fprintf(stderr, "webagent: no random numbers for a session identifier\n");
    return;
  }
  WriteText(connection, Envelope(kHtmlEnvelopeHead, headers));
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  Json::Value document(Json::objectValue);
  document["sessionId"] = FormatSessionId(local, remote) + "_" + *secret;
  WriteText(connection, Json::StyledWriter().write(document));
}

// Only the page's own cookie clears its bindings: a page ID alone is no proof of anything.
void ClearSessions(agent::WebAgent& agent, const char* query, const char* cookie) {
  char id[128] = "";
  if (query != nullptr && mg_get_var(query, std::strlen(query), "id", id, sizeof(id)) < 0) {
    id[0] = '\0';
  }
  agent.ClearSessionsByPageId(cookie, id);
}

// What the request policy reads of a request.
std::optional<std::string_view> Header(mg_connection* connection, const char* name) {
  const char* value = mg_get_header(connection, name);
  return value != nullptr ? std::optional<std::string_view>(value) : std::nullopt;
}

RequestFacts FactsOf(mg_connection* connection, const mg_request_info& info) {
  RequestFacts facts;
  facts.method = info.request_method != nullptr ? info.request_method : "";
  facts.httpVersion = info.http_version != nullptr ? info.http_version : "";
  facts.path = info.local_uri != nullptr ? info.local_uri : "";
  facts.host = Header(connection, "Host");
  facts.origin = Header(connection, "Origin");
  facts.fetchSite = Header(connection, "Sec-Fetch-Site");
  facts.fetchMode = Header(connection, "Sec-Fetch-Mode");
  facts.fetchDest = Header(connection, "Sec-Fetch-Dest");
  return facts;
}

// A decoded path must stay inside the document root: the server already removed dot
// segments, this refuses anything that could still climb out or smuggle a NUL.
bool IsSafeFilePath(std::string_view uri) {
  if (uri.empty() || uri.front() != '/') {
    return false;
  }
  if (uri.find('\\') != std::string_view::npos) {
    return false;
  }
  size_t start = 1;
  while (start <= uri.size()) {
    size_t end = uri.find('/', start);
    if (end == std::string_view::npos) {
      end = uri.size();
    }
    if (uri.substr(start, end - start) == "..") {
      return false;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace

std::string Envelope(std::string_view head, std::string_view policyHeaders) {
  std::string envelope(head);
  envelope += policyHeaders;
  envelope += "\r\n";
  return envelope;
}

void SetRequestPolicy(RequestPolicy policy) {
  g_policy = std::move(policy);
}

uint32_t PinnedClient() {
  return g_clientIp.load();
}

bool PinClient(uint32_t address) {
  uint32_t expected = 0;
  if (g_clientIp.compare_exchange_strong(expected, address)) {
    return true;
  }
  return expected == address;
}

void ResetPinnedClient() {
  g_clientIp.store(0);
}

uint32_t ParseIpv4(const char* text) {
  in_addr address{};
  if (text == nullptr || inet_pton(AF_INET, text, &address) != 1) {
    return 0;
  }
  return ntohl(address.s_addr);
}

std::string FormatSessionId(const std::tm& localTime, uint32_t remoteAddress) {
  char buffer[128];
  std::snprintf(buffer, sizeof(buffer), "%d%d%d%d%d%d_%ld", localTime.tm_year + 1900,
                localTime.tm_mon, localTime.tm_mday, localTime.tm_hour, localTime.tm_min,
                localTime.tm_sec, static_cast<long>(static_cast<int32_t>(remoteAddress)));
  return buffer;
}

int BeginRequest(mg_connection* connection) {
  if (connection == nullptr) {
    std::printf("mg_connection is NULL (%d)\n", 548);
    return 0;
  }
  const mg_request_info* info = mg_get_request_info(connection);
  if (info == nullptr) {
    std::printf("failed to get mg_get_request_info (%d)\n", 554);
    return 0;
  }
  // ---- request policy: Host, Origin, Fetch Metadata and method, before anything runs or
  // changes (not even the pinned client); a preflight is answered here too.
  const Decision decision = g_policy.Decide(FactsOf(connection, *info));
  if (decision.verdict != Verdict::kServe) {
    if (!decision.logLine.empty()) {
      std::fprintf(stderr, "%s\n", decision.logLine.c_str());
    }
    WriteText(connection, ReplyWithoutServing(decision));
    return 1;
  }
  const std::string& headers = decision.headers;
  // ---- end of the request policy

  agent::WebAgent* agent = AgentOf(connection);
  if (agent == nullptr) {
    return -1;
  }

  const uint32_t remote = ParseIpv4(info->remote_addr);
  if (!PinClient(remote)) {
    std::printf("client ip is not matched");
    std::fflush(stdout);
    return 0;  // the server's own file handling answers: static files, 404 for the rest
  }

  const char* uri = info->local_uri;
  if (uri == nullptr || *uri == '\0') {
    return -1;
  }
  const std::string_view path(uri);
  const char* query = info->query_string;
  const char* cookie = mg_get_header(connection, "Cookie");

  if (path.size() >= 5) {
    if (path.starts_with("/api/")) {
      const std::string name(path.substr(5));
      if (name == "createSessionID") {
        ReplySessionId(connection, remote, headers);
      } else if (name == "sessionClear") {
        ClearSessions(*agent, query, cookie);
      } else if (name == "close") {
        // The policy has let through only the agent's own page, allowed sites and local
        // programs; no other web page gets this far.
        agent->running.store(false);
      } else {
        ReplyApi(connection, *agent, name, query, cookie, headers);
      }
      return 1;
    }
    if (path.starts_with("/db/")) {
      ReplyDb(connection, *agent, std::string(path.substr(4)), query, cookie, headers);
      return 1;
    }
    if (path.starts_with("/img/")) {
      const std::string_view file = path.substr(5);
      if (file == "CaptureImg.bmp" || file == "PreviewImg.bmp") {
        ServeBmpImage(connection, *agent, query, cookie, headers);
        return 1;
      }
      if (file == "PreviewStreaming.bmp") {
        WriteText(connection, Envelope(kStreamEnvelopeHead, headers));
        ServePreviewStream(connection, *agent, query, cookie);
        return 1;
      }
      // any other image name is a static file
    } else if (path.starts_with("/tmp/")) {
      ServeBase64Data(connection, *agent, query, cookie, headers);
      return 1;
    }
  }

  if (path.size() == 1) {
    return 0;  // "/": the server answers with the document root's index file
  }
  if (!IsSafeFilePath(path)) {
    mg_send_http_error(connection, 404, "%s", "File not found");
    return 1;
  }
  const std::string file = "./html" + std::string(path);
  mg_send_file(connection, file.c_str());
  return 1;
}

}  // namespace http
