// The request callback of the embedded server: client pinning, routing by path prefix, the
// session and close commands, the reply envelopes, and the static-file fallback.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "http/request_policy.h"

struct mg_connection;

namespace agent {
class WebAgent;
}

namespace http {

// The server's begin-request callback. 1: answered here; 0: the server's own file handling
// answers; -1: dropped without a reply.
int BeginRequest(mg_connection* connection);

// The three envelopes: the status line and Content-Type, byte for byte (the blanks before the
// line ends are part of the protocol that existing pages were written against), then the
// request policy's header lines (the echoed allowed origin, Vary, nosniff) and the blank line.
inline constexpr char kJsonEnvelopeHead[] =
    "HTTP/1.1 200 OK \r\nContent-Type: Application/json \r\n";
inline constexpr char kHtmlEnvelopeHead[] = "HTTP/1.1 200 OK \r\nContent-Type: text/html \r\n";
inline constexpr char kStreamEnvelopeHead[] =
    "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=--myboundary\r\n";
std::string Envelope(std::string_view head, std::string_view policyHeaders);

// Who may use the agent: the sites allowed besides its own page. Set before the server starts;
// until then only the agent's own page and local programs are served.
void SetRequestPolicy(RequestPolicy policy);

// Session identifier: year, month from 0, day, hour, minute, second (none zero-padded), "_",
// and the client address as a signed 32-bit decimal.
std::string FormatSessionId(const std::tm& localTime, uint32_t remoteAddress);

// The first client's IPv4 address in host byte order; 0 until the first request.
uint32_t PinnedClient();
// Pins `address` when no client is pinned yet (one atomic compare-and-set). True when
// `address` is the pinned client afterwards.
bool PinClient(uint32_t address);
// Forgets the pinned client (at the end of the process, and between tests).
void ResetPinnedClient();

// Parses dotted IPv4 text into host byte order; 0 when it is not IPv4.
uint32_t ParseIpv4(const char* text);

}  // namespace http
