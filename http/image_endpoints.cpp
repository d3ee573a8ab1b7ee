#include "http/image_endpoints.h"

#include <civetweb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
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

// How long a stream lets pass before repeating the last frame; also how soon it sees the agent
// stop.
constexpr auto kStreamRepeat = std::chrono::milliseconds(250);

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
  // A frame goes out when the scanner has a new image, and the last one is repeated a few
  // times a second so that browsers and proxies see the stream alive; in between the stream
  // waits for the scanner's next image. Images are never changed in place, so a new image is a
  // new block: holding the last one sent keeps its address from being reused and makes the
  // pointer comparison exact. The stream ends when the page goes away or the agent stops.
  // Frames are written without the scanner's image lock: a page that stops reading must not
  // hold up the capture callback (and with it abortCapture).
  const std::vector<uint8_t> blank = codec::BuildBlankFrame();
  service::ImageBytes sent;
  bool first = true;
  auto lastSent = std::chrono::steady_clock::now();
  while (agent.Running()) {
    service::ImageBytes image;
    if (first) {
      image = scanner->CurrentImage();
    } else {
      const auto untilRepeat = std::chrono::ceil<std::chrono::milliseconds>(
          lastSent + kStreamRepeat - std::chrono::steady_clock::now());
      image = scanner->WaitForChange(
          sent, std::clamp(untilRepeat, std::chrono::milliseconds(0), kStreamRepeat));
    }
    const auto now = std::chrono::steady_clock::now();
    if (first || image != sent || now - lastSent >= kStreamRepeat) {
      const std::span<const uint8_t> frame =
          image != nullptr ? std::span<const uint8_t>(*image) : std::span<const uint8_t>(blank);
      char header[64];
      const int n = std::snprintf(header, sizeof(header),
                                  "--myboundary\r\nContent-Length: %zu\r\n\r\n", frame.size());
      if (!WriteText(connection, std::string_view(header, static_cast<size_t>(n))) ||
          !WriteBytes(connection, frame)) {
        return;
      }
      sent = std::move(image);
      first = false;
      lastSent = now;
    }
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
    // The same blank answer as the images: a reply that ends without a status line is a
    // network error to a browser's fetch(), which tells a page nothing useful.
    SendBlankGif(connection, headers);
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
