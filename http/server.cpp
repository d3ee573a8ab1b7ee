#include "http/server.h"

#include <civetweb.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <string_view>

#include "http/router.h"
#include "http/tls_files.h"

namespace http {

namespace {

// The server's own diagnostics (a busy port, an unreadable certificate) on standard error, so
// that a failed start can be understood.
int LogServerMessage(const mg_connection* /*connection*/, const char* message) {
  std::fprintf(stderr, "civetweb: %s\n", message);
  return 1;
}

// Added to the server's own replies (the page's files, its error pages); the agent's own replies
// get the same from the request policy. No type guessing, and the page may not be framed by
// another site (clickjacking its buttons).
constexpr char kAdditionalHeaders[] =
    "X-Content-Type-Options: nosniff\r\nX-Frame-Options: SAMEORIGIN";

// The listening ports split into the plain ones and the TLS ones (those ending in "s").
struct PortLists {
  std::string plain;  // comma-separated, as the server takes them
  std::string tls;    // the TLS ports as a person reads them: "8083, ..."
};

PortLists SplitPorts(std::string_view ports) {
  PortLists lists;
  while (!ports.empty()) {
    const size_t comma = ports.find(',');
    std::string_view port = ports.substr(0, comma);
    ports = comma == std::string_view::npos ? std::string_view() : ports.substr(comma + 1);
    while (!port.empty() && port.front() == ' ') {
      port.remove_prefix(1);
    }
    while (!port.empty() && port.back() == ' ') {
      port.remove_suffix(1);
    }
    if (port.empty()) {
      continue;
    }
    if (port.back() == 's') {
      port.remove_suffix(1);
      const size_t colon = port.rfind(':');
      std::string_view number = colon == std::string_view::npos ? port : port.substr(colon + 1);
      lists.tls += lists.tls.empty() ? "" : ", ";
      lists.tls += number;
    } else {
      lists.plain += lists.plain.empty() ? "" : ",";
      lists.plain += port;
    }
  }
  return lists;
}

}  // namespace

bool StreamSlots::TryTake() {
  int used = used_.load();
  while (used < limit_) {
    if (used_.compare_exchange_weak(used, used + 1)) {
      return true;
    }
  }
  return false;
}

bool ClientPin::Pin(uint32_t address) {
  uint32_t expected = 0;
  if (address_.compare_exchange_strong(expected, address)) {
    return true;
  }
  return expected == address;
}

Server::Server(AgentPort& agent, ServerSettings settings, RequestPolicy policy)
    : agent_(agent),
      settings_(std::move(settings)),
      policy_(std::move(policy)),
      previewStreams_(settings_.maxPreviewStreams) {}

Server::~Server() {
  if (context_ != nullptr) {
    Stop();
  }
}

// Loads the certificate chain first and the private key only if that worked; either failure
// makes the server start fail.
int Server::InitTls(void* sslContext, void* server) {
  auto* context = static_cast<SSL_CTX*>(sslContext);
  const auto* self = static_cast<const Server*>(server);
  if (SSL_CTX_use_certificate_chain_file(context, self->settings_.certificateFile.c_str()) != 1) {
    return -1;
  }
  if (SSL_CTX_use_PrivateKey_file(context, self->settings_.privateKeyFile.c_str(),
                                  SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    return -1;
  }
  return 1;  // the context is complete
}

// The start messages are written as narrow text: glibc fixes a stream's orientation at its first
// write, and the banner that follows is narrow.
bool Server::Start() {
  // A certificate or key that cannot be used closes the HTTPS port only: pages on the plain
  // port keep working, and the message names the file to mend.
  std::string ports = settings_.listeningPorts;
  const PortLists lists = SplitPorts(ports);
  if (!lists.tls.empty()) {
    const std::string problem = CheckTlsFiles(settings_.certificateFile, settings_.privateKeyFile);
    if (!problem.empty()) {
      std::fprintf(stderr, "webagent: %s\n", problem.c_str());
      std::fprintf(stderr, "webagent: HTTPS port %s unavailable; serving plain HTTP only\n",
                   lists.tls.c_str());
      ports = lists.plain;
    }
  }
  if (ports.empty()) {
    std::printf("Web-Agent server failed to start\n");
    std::fflush(stdout);
    return false;
  }
  mg_init_library(MG_FEATURES_TLS);
  mg_callbacks callbacks{};
  callbacks.begin_request = BeginRequest;
  callbacks.init_ssl = InitTls;
  callbacks.log_message = LogServerMessage;
  const char* options[] = {
      "listening_ports",
      ports.c_str(),
      "num_threads",
      settings_.workerThreads.c_str(),
      "document_root",
      settings_.documentRoot.c_str(),
      "request_timeout_ms",
      settings_.requestTimeoutMs.c_str(),
      "additional_header",
      kAdditionalHeaders,
      nullptr,
      nullptr,
  };
  context_ = mg_start(&callbacks, this, options);
  if (context_ != nullptr) {
    std::printf("Web-Agent server Started\n");
  } else {
    std::printf("Web-Agent server failed to start\n");
    mg_exit_library();
  }
  std::fflush(stdout);
  return context_ != nullptr;
}

std::string OpenInBrowserLine(const std::vector<ListeningPort>& ports) {
  std::vector<std::string> urls;
  for (const bool tls : {true, false}) {
    for (const ListeningPort& port : ports) {
      if (port.tls == tls) {
        urls.push_back(std::string(tls ? "https" : "http") +
                       "://127.0.0.1:" + std::to_string(port.port) + "/");
      }
    }
  }
  if (urls.empty()) {
    return {};
  }
  std::string line = "Open " + urls.front() + " in your browser";
  for (size_t i = 1; i < urls.size(); ++i) {
    line += (i == 1 ? " (or " : ", or ") + urls[i];
  }
  if (urls.size() > 1) {
    line += ")";
  }
  return line;
}

std::vector<ListeningPort> Server::ListeningPorts() const {
  std::vector<ListeningPort> result;
  if (context_ == nullptr) {
    return result;
  }
  mg_server_port ports[16] = {};
  const int n = mg_get_server_ports(context_, 16, ports);
  for (int i = 0; i < n; ++i) {
    result.push_back(ListeningPort{ports[i].port, ports[i].is_ssl != 0});
  }
  return result;
}

void Server::Stop() {
  if (context_ != nullptr) {
    mg_stop(context_);
    context_ = nullptr;
    mg_exit_library();
    std::fprintf(stderr, "Mongoose Server is stopped successfully\n");
  } else {
    std::fprintf(stderr, "Mongoose Server is not started\n");
  }
}

}  // namespace http
