#include "agent/web_agent.h"

#include <optional>

namespace agent {

WebAgent::WebAgent(std::unique_ptr<devicelib::ScannerLib> scannerLib,
                   std::unique_ptr<devicelib::MatcherLib> matcherLib, WebAgentOptions options)
    : scannerLib_(std::move(scannerLib)),
      matcherLib_(std::move(matcherLib)),
      sessions_(options.sessionLifetime),
      dispatcher_(sessions_),
      scanners_(
          service::DeviceLibraries{*scannerLib_, *matcherLib_}, dispatcher_,
          [this] { database_.ClearTemplates(); }, events_),
      database_(dispatcher_, service::DeviceLibraries{*scannerLib_, *matcherLib_},
                scanners_.Matcher(), events_, options.databaseLimit) {}

WebAgent::~WebAgent() {
  // The finger watcher asks the library about the scanners: it stops before the library goes.
  scanners_.StopWatching();
  scanners_.DeleteMatcher();
  // The scanner library's capture threads call back into Scanner objects: they are stopped
  // (by destroying the library) before anything else goes away.
  scannerLib_.reset();
}

std::string WebAgent::RunScannerOperation(std::string_view name, const char* cookie,
                                          std::string_view parameterText) {
  return scanners_.HandleScannerApi(name, cookie, parameterText);
}

std::string WebAgent::RunDatabaseOperation(std::string_view name, const char* cookie,
                                           std::string_view parameterText) {
  return database_.HandleDatabaseApi(std::string(name), cookie, std::string(parameterText));
}

http::AgentPort::ImageLookup WebAgent::FindImageSource(const char* cookie, std::string_view pageId,
                                                       std::string_view handleText) {
  ImageLookup found;
  std::string error;
  found.admitted = sessions_.ValidateSession(cookie, pageId, handleText, &error);
  if (found.admitted) {
    found.source = scanners_.FindScanner(handleText);
  }
  return found;
}

void WebAgent::ClearSessions(const char* cookie, std::string_view pageId) {
  sessions_.ClearSessionsByPageId(cookie, pageId);
}

bool WebAgent::MaySee(const char* sessionId, std::string_view sHandle) const {
  return sessions_.MaySee(
      sessionId != nullptr ? std::optional<std::string_view>(sessionId) : std::nullopt, sHandle);
}

}  // namespace agent
