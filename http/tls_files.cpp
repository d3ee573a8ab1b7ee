#include "http/tls_files.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace http {

namespace {

// Why `path` cannot be opened for reading, or empty when it can.
std::string OpenProblem(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return std::strerror(errno);
  }
  std::fclose(file);
  return {};
}

// The first error OpenSSL queued (and the queue emptied), as text for a person.
std::string TlsReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  return reason != nullptr ? reason : "unknown error";
}

}  // namespace

std::string CheckTlsFiles(const std::string& certificateFile, const std::string& privateKeyFile) {
  const std::string certificateName = "certificate file " + certificateFile;
  const std::string keyName = "private key file " + privateKeyFile;
  if (std::string why = OpenProblem(certificateFile); !why.empty()) {
    return certificateName + ": " + why;
  }
  const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_server_method()),
                                                                  SSL_CTX_free);
  if (context == nullptr) {
    return "no TLS context: " + TlsReason();
  }
  ERR_clear_error();
  if (SSL_CTX_use_certificate_chain_file(context.get(), certificateFile.c_str()) != 1) {
    return certificateName + ": not a usable PEM certificate (" + TlsReason() + ")";
  }
  if (std::string why = OpenProblem(privateKeyFile); !why.empty()) {
    return keyName + ": " + why;
  }
  if (SSL_CTX_use_PrivateKey_file(context.get(), privateKeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    // OpenSSL also refuses a sound key that belongs to another certificate here.
    const std::string reason = TlsReason();
    if (reason.find("mismatch") != std::string::npos) {
      return keyName + " does not belong to " + certificateName;
    }
    return keyName + ": not a usable PEM private key (" + reason + ")";
  }
  if (SSL_CTX_check_private_key(context.get()) != 1) {
    ERR_clear_error();
    return keyName + " does not belong to " + certificateName;
  }
  return {};
}

}  // namespace http
