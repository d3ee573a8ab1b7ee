// The image endpoints: the current image under /img/, the live multipart preview, and the
// last Base64 text under /tmp/.
#pragma once

struct mg_connection;

namespace http {

class AgentPort;

void ServeBmpImage(mg_connection* connection, AgentPort& agent, const char* query,
                   const char* cookie);
// The router has already written the stream envelope.
void ServePreviewStream(mg_connection* connection, AgentPort& agent, const char* query,
                        const char* cookie);
void ServeBase64Data(mg_connection* connection, AgentPort& agent, const char* query,
                     const char* cookie);

}  // namespace http
