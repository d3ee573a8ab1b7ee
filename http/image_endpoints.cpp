#include "http/image_endpoints.h"

#include <civetweb.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "codec/bmp.h"
#include "http/agent_port.h"
#include "http/writer.h"

namespace http {

namespace {

// Browsers refuse a bare body without a status line on a non-default port, so every image
// reply carries a minimal HTTP/1.1 header before exactly the bytes of the image, with the
// request policy's header lines (`policyHeaders`).
bool SendWithHeaders(mg_connection* connection, const char* contentType,
                     std::span<const uint8_t> body, std::string_view policyHeaders) {
  char header[256];
  const int n = std::snprintf(header, sizeof(header),
                              "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %zu\r\n",
                              contentType, body.size());
  std::string head(header, static_cast<size_t>(n));
  head += policyHeaders;
  head += "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
  return WriteText(connection, head) && WriteBytes(connection, body);
}

void SendBlankGif(mg_connection* connection, std::string_view policyHeaders) {
  SendWithHeaders(connection, "image/gif", codec::BlankGif(), policyHeaders);
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

void ServeBmpImage(mg_connection* connection, AgentPort& agent, const char* query,
                   const char* cookie, std::string_view headers) {
  ImageRequest request;
  if (!ReadImageRequest(query, request)) {
    SendBlankGif(connection, headers);
    return;
  }
  const AgentPort::ImageLookup found =
      agent.FindImageSource(cookie, request.pageId, request.handle);
  if (!found.admitted || found.source == nullptr) {
    SendBlankGif(connection, headers);
    return;
  }
  if (const auto bmp = found.source->CurrentImage()) {
    SendWithHeaders(connection, "image/bmp", *bmp, headers);
  } else {
    SendBlankGif(connection, headers);
  }
}

void ServePreviewStream(mg_connection* connection, AgentPort& agent, const char* query,
                        const char* cookie) {
  ImageRequest request;
  if (!ReadImageRequest(query, request)) {
    WriteBytes(connection, codec::BlankGif());
    return;
  }
  // The source is held for the whole stream, so a scanner list rebuilt meanwhile cannot free
  // it under the stream.
  const AgentPort::ImageLookup found =
      agent.FindImageSource(cookie, request.pageId, request.handle);
  if (!found.admitted) {
    return;  // nothing more than the envelope
  }
  const std::shared_ptr<service::ImageSource>& scanner = found.source;
  if (scanner == nullptr) {
    WriteBytes(connection, codec::BlankGif());
    return;
  }
  // Each pass sends the current image (or a white frame before the first one). The stream ends
  // when the page goes away or the agent stops, so no worker is kept busy past either.
  // The frame is taken under the scanner's image lock but written without it: a page that
  // stops reading must not hold up the capture callback (and with it abortCapture).
  while (agent.Running()) {
    const auto image = scanner->CurrentImage();
    std::vector<uint8_t> blank;
    std::span<const uint8_t> frame;
    if (image != nullptr) {
      frame = *image;
    } else {
      blank = codec::BuildBlankFrame();
      frame = blank;
    }
    char header[64];
    const int n = std::snprintf(header, sizeof(header),
                                "--myboundary\r\nContent-Length: %zu\r\n\r\n", frame.size());
    if (!WriteText(connection, std::string_view(header, static_cast<size_t>(n))) ||
        !WriteBytes(connection, frame)) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void ServeBase64Data(mg_connection* connection, AgentPort& agent, const char* query,
                     const char* cookie, std::string_view headers) {
  ImageRequest request;
  if (!ReadImageRequest(query, request)) {
    SendBlankGif(connection, headers);
    return;
  }
  const AgentPort::ImageLookup found =
      agent.FindImageSource(cookie, request.pageId, request.handle);
  if (!found.admitted || found.source == nullptr) {
    return;
  }
  const std::string text = found.source->Base64Text();
  if (text.empty()) {
    SendBlankGif(connection, headers);
    return;
  }
  const std::string json = "{\"dataBase64\":\"" + text + "\"}";
  SendWithHeaders(connection, "application/json",
                  {reinterpret_cast<const uint8_t*>(json.data()), json.size()}, headers);
}

}  // namespace http
