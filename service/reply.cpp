#include "service/reply.h"

#include <cstdio>

namespace service {

std::string IntToString(int32_t value) {
  char text[64];
  std::snprintf(text, sizeof(text), "%d", value);
  return text;
}

Json::Value NewReply() {
  return Json::Value(Json::objectValue);
}

Json::Value NewAgentReply() {
  Json::Value reply(Json::objectValue);
  reply["sessionId"] = "0";
  return reply;
}

void SetLibraryError(Json::Value& reply, const DeviceLibraries& libraries, Library library,
                     int32_t code) {
  char message[devicelib::kErrorTextSize] = "";
  if (library == Library::kScanner) {
    libraries.scanner.GetErrorString(code, message);
  } else {
    libraries.matcher.GetErrorString(code, message);
  }
  message[sizeof(message) - 1] = '\0';
  // Any 32-bit status fits: the text is at most 11 characters, so no code is ever cut short.
  reply["retValue"] = IntToString(code);
  reply["retString"] = message;
}

void SetSuccess(Json::Value& reply) {
  reply["retValue"] = "0";
  reply["retString"] = "Success";
}

void SetWrongParameter(Json::Value& reply) {
  reply["retValue"] = "-112";
  reply["retString"] = kWrongParameter;
}

void SetWrongParameter(Json::Value& reply, std::string_view detail) {
  SetWrongParameter(reply);
  reply["detail"] = std::string(detail);
}

Json::Value UnsupportedApiReply() {
  Json::Value reply(Json::objectValue);
  reply["retValue"] = -111;
  reply["retString"] = kUnsupportedApi;
  return reply;
}

Json::Value SessionRefusalReply(std::string_view name, const std::string& reason) {
  Json::Value reply(Json::objectValue);
  reply["request"] = std::string(name);
  reply["retValue"] = -112;
  reply["retString"] = reason;
  return reply;
}

Json::Value SessionRefusalReply(std::string_view name, const SessionRefusal& refusal) {
  Json::Value reply = SessionRefusalReply(name, refusal.reason);
  if (!refusal.detail.empty()) {
    reply["detail"] = refusal.detail;
  }
  if (!refusal.heldUntil.empty()) {
    reply["heldUntil"] = refusal.heldUntil;
  }
  return reply;
}

std::string ReplyText(const Json::Value& reply) {
  if (reply.isNull()) {
    return {};
  }
  return Json::StyledWriter().write(reply);
}

}  // namespace service
