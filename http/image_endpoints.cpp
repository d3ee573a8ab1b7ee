#include "http/image_endpoints.h"

#include <civetweb.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "agent/web_agent.h"
#include "codec/bmp.h"
#include "http/writer.h"

namespace http {

namespace {

// Browsers refuse a bare body without a status line on a non-default port, so every image
// reply carries a minimal HTTP/1.1 header before exactly the bytes of the image.
bool SendWithHeaders(mg_connection* connection, const char* contentType,
                     std::span<const uint8_t> body) {
  char header[256];
  const int n = std::snprintf(header, sizeof(header),
                              "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
                              "Access-Control-Allow-Origin: *\r\nCache-Control: no-store\r\n"
                              "Connection: close\r\n\r\n",
                              contentType, body.size());
  return WriteText(connection, std::string_view(header, static_cast<size_t>(n))) &&
         WriteBytes(connection, body);
}

void SendBlankGif(mg_connection* connection) {
  SendWithHeaders(connection, "image/gif", codec::BlankGif());
}

// Request values the image endpoints need: the "shandle" and "id" query variables (names
// matched case-insensitively, values percent-decoded, at most 127 bytes each).
struct ImageRequest {
  char handle[128] = "";
  char pageId[128] = "";
};

bool ReadImageRequest(const char* query, ImageRequest& request) {
  if (query == nullptr) {
    return false;
  }
  const size_t length = std::strlen(query);
  return mg_get_var(query, length, "shandle", request.handle, sizeof(request.handle)) >= 0 &&
         mg_get_var(query, length, "id", request.pageId, sizeof(request.pageId)) >= 0;
}

}  // namespace

void ServeBmpImage(mg_connection* connection, agent::WebAgent& agent, const char* query,
                   const char* /*cookie*/) {
  ImageRequest request;
  if (!ReadImageRequest(query, request) || agent.FindScanner(request.handle) < 0) {
    SendBlankGif(connection);
    return;
  }
  SendBlankGif(connection);
}

void ServePreviewStream(mg_connection* connection, agent::WebAgent& agent, const char* query,
                        const char* /*cookie*/) {
  ImageRequest request;
  if (!ReadImageRequest(query, request) || agent.FindScanner(request.handle) < 0) {
    WriteBytes(connection, codec::BlankGif());
    return;
  }
}

void ServeBase64Data(mg_connection* connection, agent::WebAgent& agent, const char* query,
                     const char* /*cookie*/) {
  ImageRequest request;
  if (!ReadImageRequest(query, request)) {
    SendBlankGif(connection);
    return;
  }
  (void)agent;
}

}  // namespace http
