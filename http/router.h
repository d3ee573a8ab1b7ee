// The request callback of the embedded server: client pinning, routing by path prefix, the
// session and close commands, the reply envelopes, and the static-file fallback.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

struct mg_connection;

namespace http {

// The server's begin-request callback; the server's user data is the http::Server. 1: answered
// here; 0: the server's own file handling answers; -1: dropped without a reply.
int BeginRequest(mg_connection* connection);

// The three envelopes: the status line and Content-Type, byte for byte (the blanks before the
// line ends are part of the protocol that existing pages were written against), then the
// request policy's header lines (the echoed allowed origin, Vary, nosniff) and the blank line.
inline constexpr char kJsonEnvelopeHead[] =
    "HTTP/1.1 200 OK \r\nContent-Type: Application/json \r\n";
inline constexpr char kHtmlEnvelopeHead[] = "HTTP/1.1 200 OK \r\nContent-Type: text/html \r\n";
inline constexpr char kStreamEnvelopeHead[] =
    "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=--myboundary\r\n";
// The answer to a preview stream asked for when the cap of open streams is reached.
inline constexpr char kStreamRefusalHead[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nRetry-After: 5\r\n"
    "Connection: close\r\n";
std::string Envelope(std::string_view head, std::string_view policyHeaders);

// Session identifier: year, month from 0, day, hour, minute, second (none zero-padded), "_",
// and the client address as a signed 32-bit decimal.
std::string FormatSessionId(const std::tm& localTime, uint32_t remoteAddress);

// Parses dotted IPv4 text into host byte order; 0 when it is not IPv4.
uint32_t ParseIpv4(const char* text);

}  // namespace http
