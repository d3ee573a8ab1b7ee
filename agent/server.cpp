#include "agent/server.h"

#include <civetweb.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <string>

#include "agent/web_agent.h"
#include "http/router.h"
#include "platform/platform.h"

namespace agent {

namespace {

mg_context* g_server = nullptr;
std::string g_exeDir;
ServerFiles g_files;

// Loads the certificate chain first and the private key only if that worked; either failure
// makes the server start fail.
int InitTls(void* sslContext, void* /*userData*/) {
  auto* context = static_cast<SSL_CTX*>(sslContext);
  const std::string certificate = !g_files.certificateFile.empty()
                                      ? g_files.certificateFile
                                      : TlsFilePath(g_exeDir, kCertificateFile);
  const std::string key = !g_files.privateKeyFile.empty() ? g_files.privateKeyFile
                                                          : TlsFilePath(g_exeDir, kPrivateKeyFile);
  if (SSL_CTX_use_certificate_chain_file(context, certificate.c_str()) != 1) {
    return -1;
  }
  if (SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    return -1;
  }
  return 1;  // the context is complete
}

// The server's own diagnostics (a busy port, an unreadable certificate) on standard error, so
// that a failed start can be understood.
int LogServerMessage(const mg_connection* /*connection*/, const char* message) {
  std::fprintf(stderr, "civetweb: %s\n", message);
  return 1;
}

}  // namespace

std::string TlsFilePath(const std::string& exeDir, const char* relative) {
  if (exeDir.empty()) {
    return relative;
  }
  return exeDir + "/" + relative;
}

// The start messages are written as narrow text: glibc fixes a stream's orientation at its first
// write, and the banner that follows is narrow.
bool StartWebServer(WebAgent* webAgent, const ServerFiles& files) {
  g_exeDir = platform::ExecutableDirectory();
  g_files = files;
  mg_init_library(MG_FEATURES_TLS);

  mg_callbacks callbacks{};
  callbacks.begin_request = http::BeginRequest;
  callbacks.init_ssl = InitTls;
  callbacks.log_message = LogServerMessage;
  const char* options[] = {
      "listening_ports",
      kListeningPorts,
      "num_threads",
      kWorkerThreads,
      "document_root",
      g_files.documentRoot.c_str(),
      "additional_header",
      kAdditionalHeaders,
      nullptr,
      nullptr,
  };
  g_server = mg_start(&callbacks, webAgent, options);
  if (g_server != nullptr) {
    std::printf("Web-Agent server Started\n");
  } else {
    std::printf("Web-Agent server failed to start\n");
    mg_exit_library();
  }
  std::fflush(stdout);
  return g_server != nullptr;
}

void StopWebServer() {
  if (g_server != nullptr) {
    mg_stop(g_server);
    g_server = nullptr;
    mg_exit_library();
    std::fprintf(stderr, "Mongoose Server is stopped successfully\n");
  } else {
    std::fprintf(stderr, "Mongoose Server is not started\n");
  }
}

}  // namespace agent
