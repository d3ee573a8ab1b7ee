// The image endpoints: the current image under /img/, the live multipart preview, and the
// last Base64 text under /tmp/.
#pragma once

#include <string_view>

struct mg_connection;

namespace http {

class AgentPort;

// `headers`: the request policy's header lines for the reply (echoed origin, Vary, nosniff).
void ServeBmpImage(mg_connection* connection, AgentPort& agent, const char* query,
                   const char* cookie, std::string_view headers);
// The router has already written the stream envelope.
void ServePreviewStream(mg_connection* connection, AgentPort& agent, const char* query,
                        const char* cookie);
void ServeBase64Data(mg_connection* connection, AgentPort& agent, const char* query,
                     const char* cookie, std::string_view headers);

}  // namespace http
