#include "agent/web_agent.h"

namespace agent {

WebAgent::WebAgent(std::unique_ptr<devicelib::ScannerLib> scannerLib,
                   std::unique_ptr<devicelib::MatcherLib> matcherLib, WebAgentOptions options)
    : scannerLib_(std::move(scannerLib)),
      matcherLib_(std::move(matcherLib)),
      sessions_(options.sessionLifetime),
      scanners_(scanner::DeviceLibraries{*scannerLib_, *matcherLib_}, api_, sessions_,
                [this] { database_.ClearTemplates(); }),
      database_(api_, sessions_, scanner::DeviceLibraries{*scannerLib_, *matcherLib_},
                scanners_.Matcher()) {}

WebAgent::~WebAgent() {
  scanners_.DeleteMatcher();
  // The scanner library's capture threads call back into Scanner objects: they are stopped
  // (by destroying the library) before anything else goes away.
  scannerLib_.reset();
}

std::string WebAgent::HandleScannerApi(const std::string& name, const char* cookie,
                                       const std::string& parameterText) {
  return scanners_.HandleScannerApi(name, cookie, parameterText);
}

std::string WebAgent::HandleDatabaseApi(const std::string& name, const char* cookie,
                                        const std::string& parameterText) {
  return database_.HandleDatabaseApi(name, cookie, parameterText);
}

bool WebAgent::ValidateSession(const char* cookie, std::string_view pageId,
                               std::string_view handleText, std::string* error) {
  return sessions_.ValidateSession(cookie, pageId, handleText, error);
}

void WebAgent::ClearSessionsByPageId(const char* cookie, std::string_view pageId) {
  sessions_.ClearSessionsByPageId(cookie, pageId);
}

int WebAgent::FindScanner(std::string_view handleText) {
  return scanners_.FindScanner(handleText);
}

std::shared_ptr<scanner::Scanner> WebAgent::FindScannerObject(std::string_view handleText) {
  return scanners_.FindScannerObject(handleText);
}

}  // namespace agent
