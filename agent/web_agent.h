// The one agent object: every piece of state the request handlers share, behind the narrow
// interface the HTTP front calls.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "database/template_database.h"
#include "devicelib/matcher_lib.h"
#include "devicelib/scanner_lib.h"
#include "http/agent_port.h"
#include "scanner/scanner_manager.h"
#include "service/dispatcher.h"
#include "service/events.h"
#include "session/session_registry.h"

namespace agent {

struct WebAgentOptions {
  // How long a page's binding to a scanner lasts (tests shorten it).
  std::chrono::steady_clock::duration sessionLifetime = session::SessionRegistry::kDefaultLifetime;
  // Origins besides the agent's own whose pages may use it: normalised "scheme://host[:port]",
  // from the configuration files and --allow-origin. main() hands them to the request policy.
  std::vector<std::string> allowedOrigins;
  // Most users the template database holds (tests lower it to fill the store).
  uint32_t databaseLimit = database::kMaxUsers;
};

class WebAgent : public http::AgentPort {
 public:
  WebAgent(std::unique_ptr<devicelib::ScannerLib> scannerLib,
           std::unique_ptr<devicelib::MatcherLib> matcherLib, WebAgentOptions options = {});
  ~WebAgent() override;
  WebAgent(const WebAgent&) = delete;
  WebAgent& operator=(const WebAgent&) = delete;

  // Cleared by the exit key, a stop signal or the "close" command; never set again.
  std::atomic<bool> running{true};

  std::string RunScannerOperation(std::string_view name, const char* cookie,
                                  std::string_view parameterText) override;
  std::string RunDatabaseOperation(std::string_view name, const char* cookie,
                                   std::string_view parameterText) override;
  ImageLookup FindImageSource(const char* cookie, std::string_view pageId,
                              std::string_view handleText) override;
  void ClearSessions(const char* cookie, std::string_view pageId) override;
  service::EventHub& Events() override { return events_; }
  bool MaySee(const char* sessionId, std::string_view sHandle) const override;
  void Stop() override { running.store(false); }
  bool Running() const override { return running.load(); }

 private:
  std::unique_ptr<devicelib::ScannerLib> scannerLib_;
  std::unique_ptr<devicelib::MatcherLib> matcherLib_;
  // Before the scanners and the database, which publish into it.
  service::EventHub events_;
  session::SessionRegistry sessions_;
  service::Dispatcher dispatcher_;
  scanner::ScannerManager scanners_;
  database::TemplateDatabase database_;
};

}  // namespace agent
