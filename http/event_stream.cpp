#include "http/event_stream.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "http/agent_port.h"
#include "http/writer.h"

namespace http {

namespace {

constexpr std::string_view kKeepAliveFirstHalf = ": keep-alive\n";
// The blank line that ends the comment's block; with no data before it, it dispatches nothing.
constexpr std::string_view kKeepAliveSecondHalf = "\n";

}  // namespace

void RunEventStream(service::EventHub::Listener& listener, const EventStreamPort& port,
                    EventStreamTiming timing) {
  using Clock = std::chrono::steady_clock;
  if (!port.write(kEventStreamHello)) {
    return;
  }
  auto lastWrite = Clock::now();
  bool halfWritten = false;
  while (port.running() && !listener.Closed()) {
    std::chrono::milliseconds wait = timing.poll;
    if (!halfWritten) {
      const auto untilKeepAlive = std::chrono::duration_cast<std::chrono::milliseconds>(
          lastWrite + timing.keepAlive - Clock::now());
      wait = std::clamp(untilKeepAlive, std::chrono::milliseconds(0), timing.poll);
    }
    if (const std::optional<service::Event> event = listener.Next(wait)) {
      // An overflow notice concerns the listener itself and always goes out.
      if (event->type == service::event::kOverflow || port.maySee(event->sHandle)) {
        if (halfWritten && !port.write(kKeepAliveSecondHalf)) {
          return;
        }
        halfWritten = false;
        if (!port.write(service::FormatServerSentEvent(*event))) {
          return;
        }
        lastWrite = Clock::now();
      }
      continue;
    }
    if (halfWritten) {
      if (!port.write(kKeepAliveSecondHalf)) {
        return;
      }
      halfWritten = false;
      lastWrite = Clock::now();
    } else if (Clock::now() - lastWrite >= timing.keepAlive) {
      if (!port.write(kKeepAliveFirstHalf)) {
        return;
      }
      halfWritten = true;
    }
  }
  if (halfWritten) {
    port.write(kKeepAliveSecondHalf);
  }
}

void ServeEventStream(mg_connection* connection, AgentPort& agent, const char* sessionId,
                      std::string_view policyHeaders) {
  // Registered before the head goes out, so that nothing that happens after the page saw
  // ": connected" is missed.
  const std::shared_ptr<service::EventHub::Listener> listener = agent.Events().Listen();
  std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n";
  head += policyHeaders;
  head += "Connection: close\r\n\r\n";
  if (!WriteText(connection, head)) {
    return;
  }
  const std::optional<std::string> session =
      sessionId != nullptr ? std::optional<std::string>(sessionId) : std::nullopt;
  EventStreamPort port;
  port.write = [connection](std::string_view text) { return WriteText(connection, text); };
  port.running = [&agent] { return agent.Running(); };
  port.maySee = [&agent, &session](std::string_view sHandle) {
    return agent.MaySee(session ? session->c_str() : nullptr, sHandle);
  };
  RunEventStream(*listener, port);
  listener->Close();
}

}  // namespace http
