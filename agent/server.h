// Configuration, start and stop of the embedded HTTP/HTTPS server.
#pragma once

#include <string>

namespace agent {

class WebAgent;

// Fixed server settings.
inline constexpr char kListeningPorts[] = "127.0.0.1:8084,127.0.0.1:8083s";
inline constexpr char kWorkerThreads[] = "10";
inline constexpr char kDocumentRoot[] = "./html";
inline constexpr char kCertificateFile[] = "cert/localhost_cert.crt";
inline constexpr char kPrivateKeyFile[] = "cert/localhost_cert.key";
// Added to the server's own replies (the page's files, its error pages); the agent's own replies
// get the same from the request policy. No type guessing, and the page may not be framed by
// another site (clickjacking its buttons).
inline constexpr char kAdditionalHeaders[] =
    "X-Content-Type-Options: nosniff\r\nX-Frame-Options: SAMEORIGIN";

// Where the server finds its static files and TLS material. The defaults are a build folder's:
// "./html" under the working directory and cert/ beside the executable.
struct ServerFiles {
  std::string documentRoot = kDocumentRoot;
  std::string certificateFile;  // empty: kCertificateFile beside the executable
  std::string privateKeyFile;   // empty: kPrivateKeyFile beside the executable
};

// Starts the server with the agent as user data. Prints "Web-Agent server Started" or
// "Web-Agent server failed to start" and returns whether it runs.
bool StartWebServer(WebAgent* webAgent, const ServerFiles& files = {});
// Stops the server if it runs; every worker has finished when this returns.
void StopWebServer();

// Path of a TLS file beside the executable ("%s/%s"), or the relative path as it stands when
// the executable's directory is unknown.
std::string TlsFilePath(const std::string& exeDir, const char* relative);

}  // namespace agent
