#include "http/server.h"

#include <civetweb.h>
#include <openssl/ssl.h>

#include <cstdio>

#include "http/router.h"

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

}  // namespace

bool ClientPin::Pin(uint32_t address) {
  uint32_t expected = 0;
  if (address_.compare_exchange_strong(expected, address)) {
    return true;
  }
  return expected == address;
}

Server::Server(AgentPort& agent, ServerSettings settings, RequestPolicy policy)
    : agent_(agent), settings_(std::move(settings)), policy_(std::move(policy)) {}

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
  mg_init_library(MG_FEATURES_TLS);
  mg_callbacks callbacks{};
  callbacks.begin_request = BeginRequest;
  callbacks.init_ssl = InitTls;
  callbacks.log_message = LogServerMessage;
  const char* options[] = {
      "listening_ports",
      settings_.listeningPorts.c_str(),
      "num_threads",
      settings_.workerThreads.c_str(),
      "document_root",
      settings_.documentRoot.c_str(),
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
