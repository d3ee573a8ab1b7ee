#include "agent/web_agent.h"

namespace agent {

WebAgent::WebAgent() = default;
WebAgent::~WebAgent() = default;

std::string WebAgent::UnsupportedApi() {
  reply_ = Json::Value(Json::objectValue);
  reply_["retValue"] = -111;
  reply_["retString"] = "Unsupported API";
  return writer_.write(reply_);
}

std::string WebAgent::HandleScannerApi(const std::string& /*name*/, const char* /*cookie*/,
                                       std::string /*parameterText*/) {
  std::lock_guard lock(apiLock_);
  reply_["sessionId"] = "0";
  return UnsupportedApi();
}

std::string WebAgent::HandleDatabaseApi(const std::string& /*name*/, const char* /*cookie*/,
                                        std::string /*parameterText*/) {
  std::lock_guard lock(apiLock_);
  reply_["sessionId"] = "0";
  return UnsupportedApi();
}

int WebAgent::FindScanner(std::string_view /*handleText*/) { return -1; }

void WebAgent::ClearSessionsByPageId(std::string_view /*pageId*/) {}

std::string WebAgent::ReplyText() {
  std::lock_guard lock(apiLock_);
  return writer_.write(reply_);
}

}  // namespace agent
