// The reply documents of both APIs: every reply is a fresh JSON object built for its own request
// alone, so nothing one page was sent (a template, an image, the user list) can reach another.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "devicelib/matcher_lib.h"
#include "devicelib/scanner_lib.h"
#include "service/dispatcher.h"

namespace service {

// The two device libraries, owned by the agent and handed to the services.
struct DeviceLibraries {
  devicelib::ScannerLib& scanner;
  devicelib::MatcherLib& matcher;
};

enum class Library { kScanner, kMatcher };

inline constexpr char kWrongParameter[] = "passed wrong parameter";
inline constexpr char kUnsupportedApi[] = "Unsupported API";

// Decimal text of a 32-bit status ("%d").
std::string IntToString(int32_t value);

// An empty reply document.
Json::Value NewReply();
// An empty agent-level reply: "sessionId" "0" and nothing else. Pages have always found this
// member in the replies the agent itself (rather than one scanner) builds.
Json::Value NewAgentReply();

// "retValue" = the status as decimal text, "retString" = the library's message for it.
void SetLibraryError(Json::Value& reply, const DeviceLibraries& libraries, Library library,
                     int32_t code);
// "retValue" "0", "retString" "Success".
void SetSuccess(Json::Value& reply);
// "retValue" "-112", "retString" "passed wrong parameter".
void SetWrongParameter(Json::Value& reply);
// The same, plus "detail": what was wrong, in words a page's developer can act on (which
// parameter, what values it takes). "retString" stays the same for every parameter fault.
void SetWrongParameter(Json::Value& reply, std::string_view detail);

// The refusals every API shares: an unknown operation name (-111 as a JSON integer, nothing
// else) and a failed session check (-112 as a JSON integer, the request name and the reason).
Json::Value UnsupportedApiReply();
Json::Value SessionRefusalReply(std::string_view name, const std::string& reason);
// The same, with "detail" and "heldUntil" beside "retString" when the refusal has them.
Json::Value SessionRefusalReply(std::string_view name, const SessionRefusal& refusal);

// The reply text: styled JSON, or nothing at all for a null document (initDevice with no
// scanner attached answers with headers and no body).
std::string ReplyText(const Json::Value& reply);

}  // namespace service
