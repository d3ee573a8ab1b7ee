// The one agent object: every piece of state the request handlers share, and the entry points
// the router calls.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "database/template_database.h"
#include "devicelib/matcher_lib.h"
#include "devicelib/scanner_lib.h"
#include "scanner/api_state.h"
#include "scanner/scanner_manager.h"
#include "session/session_registry.h"

namespace agent {

struct WebAgentOptions {
  // How long a page's binding to a scanner lasts (tests shorten it).
  std::chrono::steady_clock::duration sessionLifetime = session::SessionRegistry::kDefaultLifetime;
  // Origins besides the agent's own whose pages may use it: normalised "scheme://host[:port]",
  // from the configuration files and --allow-origin. main() hands them to the request policy.
  std::vector<std::string> allowedOrigins;
};

class WebAgent {
 public:
  WebAgent(std::unique_ptr<devicelib::ScannerLib> scannerLib,
           std::unique_ptr<devicelib::MatcherLib> matcherLib, WebAgentOptions options = {});
  ~WebAgent();
  WebAgent(const WebAgent&) = delete;
  WebAgent& operator=(const WebAgent&) = delete;

  // Cleared by the exit key, a stop signal or the "close" command; never set again.
  std::atomic<bool> running{true};

  // Scanner operations under /api/; the reply body (styled JSON text, possibly empty).
  std::string HandleScannerApi(const std::string& name, const char* cookie,
                               const std::string& parameterText);
  // Database operations under /db/; the reply body.
  std::string HandleDatabaseApi(const std::string& name, const char* cookie,
                                const std::string& parameterText);

  // Session check of the image endpoints; `error` receives the reason of a refusal.
  bool ValidateSession(const char* cookie, std::string_view pageId, std::string_view handleText,
                       std::string* error);
  // Removes every session of the page that the cookie holds (the "sessionClear" command);
  // without a cookie (null) nothing.
  void ClearSessionsByPageId(const char* cookie, std::string_view pageId);

  // Index in the scanner list of the device the handle text names, or -1.
  int FindScanner(std::string_view handleText);
  // The scanner the handle text names, alive for as long as the caller holds it; null if none.
  std::shared_ptr<scanner::Scanner> FindScannerObject(std::string_view handleText);

 private:
  std::unique_ptr<devicelib::ScannerLib> scannerLib_;
  std::unique_ptr<devicelib::MatcherLib> matcherLib_;
  session::SessionRegistry sessions_;
  scanner::ApiState api_;
  scanner::ScannerManager scanners_;
  database::TemplateDatabase database_;
};

}  // namespace agent
