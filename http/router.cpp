#include "http/router.h"

#include <arpa/inet.h>
#include <civetweb.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <json/json.h>

#include "http/event_stream.h"
#include "http/image_endpoints.h"
#include "http/request_policy.h"
#include "http/server.h"
#include "http/writer.h"
#include "service/request.h"
#include "session/random_token.h"
#include "session/session_id.h"

namespace http {

namespace {

// One request as the route handlers see it.
struct RouteContext {
  Server& server;
  mg_connection* connection;
  const char* query;         // raw query string; null when the URI had no "?"
  const char* cookie;        // the session identifier (session::SessionIdOf); null when none
  uint32_t remote;           // client address in host byte order
  std::string_view headers;  // the request policy's header lines for every reply
};

// The parameter text of an API request: the raw query after its leading `dummy` item. The
// server's lookup decodes the value, so its length decides where the rest starts.
std::string ParameterText(const char* query) {
  char dummy[512];
  const int n = mg_get_var(query, std::strlen(query), "dummy", dummy, sizeof(dummy));
  return service::ParameterTextAfterDummy(query, n);
}

// The identifier is the page's proof that it holds its scanner bindings, so besides the date
// and address it carries a secret; without one no identifier is issued.
void ReplySessionId(const RouteContext& request) {
  const std::optional<std::string> secret = session::RandomHex(session::kSessionTokenBytes);
  if (!secret) {
    std::fprintf(stderr, "webagent: no random numbers for a session identifier\n");
    return;
  }
  WriteText(request.connection, Envelope(kHtmlEnvelopeHead, request.headers));
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  Json::Value document(Json::objectValue);
  document["sessionId"] = FormatSessionId(local, request.remote) + "_" + *secret;
  WriteText(request.connection, Json::StyledWriter().write(document));
}

// Only the page's own session identifier clears its bindings: a page ID alone is no proof of
// anything. A page that goes away sends this with navigator.sendBeacon, as a POST whose body is
// of no interest: the identifier and the page ID travel in the query.
void ClearSessions(const RouteContext& request) {
  char id[128] = "";
  if (request.query != nullptr &&
      mg_get_var(request.query, std::strlen(request.query), "id", id, sizeof(id)) < 0) {
    id[0] = '\0';
  }
  request.server.Agent().ClearSessions(request.cookie, id);
}

// What the request policy reads of a request.
std::optional<std::string_view> Header(mg_connection* connection, const char* name) {
  const char* value = mg_get_header(connection, name);
  return value != nullptr ? std::optional<std::string_view>(value) : std::nullopt;
}

// The session identifier of a request (see session/session_id.h): the X-Session-Id header, the
// "sessionId" query variable, or the Cookie header.
std::optional<std::string> SessionIdOfRequest(mg_connection* connection, const char* query) {
  std::string queryValue;
  bool hasQueryValue = false;
  if (query != nullptr) {
    // Long enough for any identifier; a longer value does not fit and counts as absent.
    char buffer[256];
    const int n = mg_get_var(query, std::strlen(query), "sessionId", buffer, sizeof(buffer));
    if (n >= 0) {
      queryValue.assign(buffer, static_cast<size_t>(n));
      hasQueryValue = true;
    }
  }
  session::SessionIdSources sources;
  sources.header = Header(connection, "X-Session-Id");
  if (hasQueryValue) {
    sources.query = queryValue;
  }
  sources.cookie = Header(connection, "Cookie");
  return session::SessionIdOf(sources);
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
  facts.privateNetworkRequest = Header(connection, "Access-Control-Request-Private-Network");
  return facts;
}

// Long-lived replies (preview streams, the events stream) each hold a worker while they run;
// beyond the cap a page is told to come back rather than take the workers the API calls need.
// Null when the cap is reached (the refusal has been sent); the slot is given back when the
// returned holder goes.
std::unique_ptr<StreamSlots, void (*)(StreamSlots*)> TakeStreamSlot(const RouteContext& request) {
  StreamSlots& slots = request.server.PreviewStreams();
  if (!slots.TryTake()) {
    WriteText(request.connection, Envelope(kStreamRefusalHead, request.headers));
    WriteText(request.connection, "too many streams are open\n");
    return {nullptr, [](StreamSlots*) {}};
  }
  return {&slots, [](StreamSlots* taken) { taken->Give(); }};
}

void ServeEvents(const RouteContext& request) {
  const auto slot = TakeStreamSlot(request);
  if (slot != nullptr) {
    ServeEventStream(request.connection, request.server.Agent(), request.cookie, request.headers);
  }
}

// Each route answers the request (true) or hands it on to the file fallback (false).
bool RouteApi(const RouteContext& request, std::string_view name) {
  AgentPort& agent = request.server.Agent();
  if (name == "createSessionID") {
    ReplySessionId(request);
  } else if (name == "sessionClear") {
    ClearSessions(request);
  } else if (name == "events") {
    ServeEvents(request);
  } else if (name == "close") {
    // The policy has let through only the agent's own page, allowed sites and local programs;
    // no other web page gets this far.
    agent.Stop();
  } else if (request.query != nullptr) {
    const std::string body =
        agent.RunScannerOperation(name, request.cookie, ParameterText(request.query));
    WriteText(request.connection, Envelope(kJsonEnvelopeHead, request.headers));
    WriteText(request.connection, body);
  }
  return true;
}

bool RouteDb(const RouteContext& request, std::string_view name) {
  if (request.query != nullptr) {
    WriteText(request.connection, Envelope(kHtmlEnvelopeHead, request.headers));
    WriteText(request.connection, request.server.Agent().RunDatabaseOperation(
                                      name, request.cookie, ParameterText(request.query)));
  }
  return true;
}

bool RouteImage(const RouteContext& request, std::string_view file) {
  AgentPort& agent = request.server.Agent();
  if (file == "CaptureImg.bmp" || file == "PreviewImg.bmp") {
    ServeBmpImage(request.connection, agent, request.query, request.cookie, request.headers);
    return true;
  }
  if (file == "PreviewStreaming.bmp") {
    const auto slot = TakeStreamSlot(request);
    if (slot == nullptr) {
      return true;
    }
    WriteText(request.connection, Envelope(kStreamEnvelopeHead, request.headers));
    ServePreviewStream(request.connection, agent, request.query, request.cookie);
    return true;
  }
  return false;  // any other image name is a static file
}

bool RouteTmp(const RouteContext& request, std::string_view /*rest*/) {
  ServeBase64Data(request.connection, request.server.Agent(), request.query, request.cookie,
                  request.headers);
  return true;
}

struct PrefixRoute {
  std::string_view prefix;
  bool (*handle)(const RouteContext& request, std::string_view rest);
};

// Compared in this order, case-sensitively, on paths of at least five characters.
constexpr PrefixRoute kRoutes[] = {
    {"/api/", RouteApi},
    {"/db/", RouteDb},
    {"/img/", RouteImage},
    {"/tmp/", RouteTmp},
};

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
  auto* server = static_cast<Server*>(mg_get_user_data(mg_get_context(connection)));
  if (server == nullptr) {
    return -1;
  }
  // ---- request policy: Host, Origin, Fetch Metadata and method, before anything runs or
  // changes (not even the pinned client); a preflight is answered here too.
  const Decision decision = server->Policy().Decide(FactsOf(connection, *info));
  if (decision.verdict != Verdict::kServe) {
    if (!decision.logLine.empty()) {
      std::fprintf(stderr, "%s\n", decision.logLine.c_str());
    }
    WriteText(connection, ReplyWithoutServing(decision));
    return 1;
  }
  // ---- end of the request policy

  const uint32_t remote = ParseIpv4(info->remote_addr);
  if (!server->Client().Pin(remote)) {
    std::printf("client ip is not matched");
    std::fflush(stdout);
    return 0;  // the server's own file handling answers: static files, 404 for the rest
  }

  const char* uri = info->local_uri;
  if (uri == nullptr || *uri == '\0') {
    return -1;
  }
  const std::string_view path(uri);
  const std::optional<std::string> sessionId = SessionIdOfRequest(connection, info->query_string);
  const RouteContext request{
      *server, connection,      info->query_string, sessionId ? sessionId->c_str() : nullptr,
      remote,  decision.headers};
  if (path.size() >= 5) {
    for (const PrefixRoute& route : kRoutes) {
      if (path.starts_with(route.prefix)) {
        if (route.handle(request, path.substr(route.prefix.size()))) {
          return 1;
        }
        break;
      }
    }
  }

  if (path.size() == 1) {
    return 0;  // "/": the server answers with the document root's index file
  }
  if (!IsSafeFilePath(path)) {
    mg_send_http_error(connection, 404, "%s", "File not found");
    return 1;
  }
  const std::string file = server->DocumentRoot() + std::string(path);
  mg_send_file(connection, file.c_str());
  return 1;
}

}  // namespace http
