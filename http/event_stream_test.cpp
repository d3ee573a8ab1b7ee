#include "http/event_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace http {
namespace {

using namespace std::chrono_literals;

// The page's end of a stream, run on the test's own thread: collects what is written, fails
// writes from the n-th attempt on (a client that has gone), and says the agent runs until the
// test's condition on the output holds.
struct FakeClient {
  std::vector<std::string> writes;
  size_t attempts = 0;
  size_t failFrom = SIZE_MAX;
  std::function<bool(const FakeClient&)> running = [](const FakeClient&) { return true; };
  std::vector<std::string> visible = {"", "7"};  // the handles the page may see

  EventStreamPort Port() {
    EventStreamPort port;
    port.write = [this](std::string_view text) {
      if (attempts++ >= failFrom) {
        return false;
      }
      writes.emplace_back(text);
      return true;
    };
    // A stream that never ends would hang the test; no test comes near this many writes.
    port.running = [this] { return attempts < 1000 && running(*this); };
    port.maySee = [this](std::string_view sHandle) {
      return std::find(visible.begin(), visible.end(), sHandle) != visible.end();
    };
    return port;
  }

  std::string All() const {
    std::string all;
    for (const std::string& w : writes) {
      all += w;
    }
    return all;
  }
};

// No keep-alive falls due within a test, however slow the machine.
constexpr EventStreamTiming kNoKeepAlive{1ms, std::chrono::hours(1)};

Json::Value Data(const char* key, Json::Value value) {
  Json::Value data(Json::objectValue);
  data[key] = std::move(value);
  return data;
}

TEST(EventStream, SendsHelloThenTheEventsThePageMaySeeInOrder) {
  service::EventHub hub;
  const auto listener = hub.Listen();
  hub.Publish(service::event::kCaptureStarted, "7", Data("mode", "capture"));
  hub.Publish(service::event::kFingerOn, "8");                  // a scanner of another session
  hub.Publish(service::event::kPlug, "", Data("scanners", 2));  // of no one scanner
  hub.Publish(service::event::kCaptureDone, "7", Data("retValue", 0));

  FakeClient client;
  client.running = [](const FakeClient& c) {
    return c.All().find("capturedone") == std::string::npos;
  };
  RunEventStream(*listener, client.Port(), kNoKeepAlive);

  const std::string all = client.All();
  EXPECT_EQ(all,
            ": connected\n\n"
            "id: 1\nevent: capturestarted\ndata: {\"mode\":\"capture\",\"sHandle\":\"7\"}\n\n"
            "id: 3\nevent: plug\ndata: {\"scanners\":2}\n\n"
            "id: 4\nevent: capturedone\ndata: {\"retValue\":0,\"sHandle\":\"7\"}\n\n");
}

TEST(EventStream, OverflowNoticeAlwaysReachesThePage) {
  service::EventHub hub;
  const auto listener = hub.Listen(1);
  for (int i = 0; i < 3; ++i) {
    hub.Publish(service::event::kFingerOn, "8");
  }
  FakeClient client;
  client.visible = {};  // the page may see no scanner at all
  client.running = [](const FakeClient& c) {
    return c.All().find("overflow") == std::string::npos;
  };
  RunEventStream(*listener, client.Port(), kNoKeepAlive);
  EXPECT_NE(client.All().find("event: overflow\n"), std::string::npos) << client.All();
  EXPECT_EQ(client.All().find("fingeron"), std::string::npos) << client.All();
}

TEST(EventStream, KeepAliveCommentsGoOutInTwoHalves) {
  service::EventHub hub;
  const auto listener = hub.Listen();
  FakeClient client;
  client.running = [](const FakeClient& c) { return c.writes.size() < 5; };
  RunEventStream(*listener, client.Port(), EventStreamTiming{1ms, 0ms});
  EXPECT_EQ(client.writes, (std::vector<std::string>{": connected\n\n", ": keep-alive\n", "\n",
                                                     ": keep-alive\n", "\n"}));
}

TEST(EventStream, EndsWhenTheClientHasGoneTheAgentStopsOrTheHubCloses) {
  service::EventHub hub;
  {
    // The client left after the hello: the first half of the next keep-alive still goes into
    // the socket's buffer, the second fails and ends the stream.
    const auto listener = hub.Listen();
    FakeClient client;
    client.failFrom = 2;
    RunEventStream(*listener, client.Port(), EventStreamTiming{1ms, 0ms});
    EXPECT_EQ(client.attempts, 3u);
    EXPECT_EQ(client.writes, (std::vector<std::string>{": connected\n\n", ": keep-alive\n"}));
  }
  {
    const auto listener = hub.Listen();
    FakeClient client;
    client.failFrom = 1;  // gone before the events: a failed event write ends it too
    hub.Publish(service::event::kPlug, "", Data("scanners", 1));
    RunEventStream(*listener, client.Port(), kNoKeepAlive);
    EXPECT_EQ(client.attempts, 2u);
  }
  {
    const auto listener = hub.Listen();
    FakeClient client;
    client.running = [](const FakeClient&) { return false; };
    RunEventStream(*listener, client.Port(), kNoKeepAlive);
    EXPECT_EQ(client.writes, std::vector<std::string>{": connected\n\n"});
  }
  {
    const auto listener = hub.Listen();
    hub.CloseAll();
    FakeClient client;
    RunEventStream(*listener, client.Port(), kNoKeepAlive);
    EXPECT_EQ(client.writes, std::vector<std::string>{": connected\n\n"});
  }
}

}  // namespace
}  // namespace http
