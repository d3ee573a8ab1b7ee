// The server-sent events stream under /api/events: what happens at the scanners, pushed to a
// page over one long-lived reply. The stream loop knows nothing of the server library: it
// writes through a callback, so that it is tested without sockets.
#pragma once

#include <chrono>
#include <functional>
#include <string_view>

#include "service/events.h"

struct mg_connection;

namespace http {

class AgentPort;

struct EventStreamTiming {
  // How often the loop looks whether the agent still runs while no event comes.
  std::chrono::milliseconds poll{1000};
  // A comment line this often keeps proxies and browsers from closing an idle stream, and
  // tells the stream that its client has gone (the write fails).
  std::chrono::milliseconds keepAlive{15000};
};

// Sent once, at once, so that a page knows its stream is open before any event.
inline constexpr std::string_view kEventStreamHello = ": connected\n\n";

// What the stream needs besides its listener. `write` returns false once the client has gone.
struct EventStreamPort {
  std::function<bool(std::string_view text)> write;
  std::function<bool()> running;
  // Whether the page may receive an event of the scanner `sHandle` (empty: of no one scanner).
  std::function<bool(std::string_view sHandle)> maySee;
};

// Writes the hello line, then each event the page may see (as FormatServerSentEvent writes it)
// and a keep-alive comment after every `keepAlive` without one, until the agent stops, the
// listener is closed or a write fails. The keep-alive goes out in two halves one poll step
// apart: a client that left before the first half makes the second one fail, so a gone client
// is noticed within one keep-alive period (plus a poll step) rather than two.
void RunEventStream(service::EventHub::Listener& listener, const EventStreamPort& port,
                    EventStreamTiming timing = {});

// The whole reply to GET /api/events: head, then RunEventStream on the agent's hub, filtered
// by the request's session identifier `sessionId` (null: none). The caller holds a stream slot.
void ServeEventStream(mg_connection* connection, AgentPort& agent, const char* sessionId,
                      std::string_view policyHeaders);

}  // namespace http
