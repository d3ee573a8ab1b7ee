// The one agent object: every piece of state the request handlers share.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace agent {

class WebAgent {
 public:
  WebAgent();
  ~WebAgent();
  WebAgent(const WebAgent&) = delete;
  WebAgent& operator=(const WebAgent&) = delete;

  // Cleared by the exit key, a stop signal or the "close" command; never set again.
  std::atomic<bool> running{true};

  // Scanner operations under /api/; the reply body (styled JSON text, possibly empty).
  std::string HandleScannerApi(const std::string& name, const char* cookie,
                               std::string parameterText);
  // Database operations under /db/; the reply body.
  std::string HandleDatabaseApi(const std::string& name, const char* cookie,
                                std::string parameterText);

  // Index in the scanner list of the device the handle text names, or -1.
  int FindScanner(std::string_view handleText);

  // Removes every session of the page (the "sessionClear" command).
  void ClearSessionsByPageId(std::string_view pageId);

  // For tests: the agent-level reply document as text.
  std::string ReplyText();

 private:
  std::string UnsupportedApi();

  std::mutex apiLock_;
  Json::Value reply_;
  Json::StyledWriter writer_;
};

}  // namespace agent
