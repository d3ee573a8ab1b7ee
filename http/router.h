// The request callback of the embedded server: client pinning, routing by path prefix, the
// session and close commands, the reply envelopes, and the static-file fallback.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

struct mg_connection;

namespace http {

// The server's begin-request callback; the server's user data is the http::Server. 1: answered
// here; 0: the server's own file handling answers; -1: dropped without a reply.
int BeginRequest(mg_connection* connection);

// The three envelopes, byte for byte (the blanks before the line ends are part of the protocol
// that existing pages were written against).
inline constexpr char kJsonEnvelope[] =
    "HTTP/1.1 200 OK \r\nContent-Type: Application/json \r\nAccess-Control-Allow-Origin: * "
    "\r\n\r\n";
inline constexpr char kHtmlEnvelope[] =
    "HTTP/1.1 200 OK \r\nContent-Type: text/html \r\nAccess-Control-Allow-Origin: * \r\n\r\n";
inline constexpr char kStreamEnvelope[] =
    "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: * \r\nContent-Type: "
    "multipart/x-mixed-replace; boundary=--myboundary\r\n\r\n";

// Session identifier: year, month from 0, day, hour, minute, second (none zero-padded), "_",
// and the client address as a signed 32-bit decimal.
std::string FormatSessionId(const std::tm& localTime, uint32_t remoteAddress);

// Parses dotted IPv4 text into host byte order; 0 when it is not IPv4.
uint32_t ParseIpv4(const char* text);

}  // namespace http
