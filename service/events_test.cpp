#include "service/events.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace service {
namespace {

using std::chrono::milliseconds;

TEST(EventHubTest, EveryListenerGetsEachEventInOrderWithIncreasingIds) {
  EventHub hub;
  auto first = hub.Listen();
  auto second = hub.Listen();
  hub.Publish(event::kPlug, "");
  Json::Value data(Json::objectValue);
  data["sample"] = 2;
  hub.Publish(event::kEnrolSample, "7", data);

  for (auto* listener : {first.get(), second.get()}) {
    auto plug = listener->Next(milliseconds(0));
    ASSERT_TRUE(plug);
    EXPECT_EQ(plug->type, event::kPlug);
    auto sample = listener->Next(milliseconds(0));
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->sHandle, "7");
    EXPECT_EQ(sample->data["sample"].asInt(), 2);
    EXPECT_EQ(sample->id, plug->id + 1);
    EXPECT_FALSE(listener->Next(milliseconds(0)));
  }
}

TEST(EventHubTest, ListenersSeeOnlyLaterEventsAndDroppedOnesAreForgotten) {
  EventHub hub;
  hub.Publish(event::kPlug, "");
  auto listener = hub.Listen();
  EXPECT_FALSE(listener->Next(milliseconds(0)));
  EXPECT_EQ(hub.ListenerCount(), 1u);
  listener.reset();
  hub.Publish(event::kUnplug, "");
  EXPECT_EQ(hub.ListenerCount(), 0u);
}

TEST(EventHubTest, SlowListenerLosesOldestEventsAndIsToldHowMany) {
  EventHub hub;
  auto listener = hub.Listen(2);
  for (int i = 0; i < 5; ++i) {
    hub.Publish(event::kFingerOn, std::to_string(i));
  }
  auto overflow = listener->Next(milliseconds(0));
  ASSERT_TRUE(overflow);
  EXPECT_EQ(overflow->type, event::kOverflow);
  EXPECT_EQ(overflow->data["dropped"].asUInt64(), 3u);
  EXPECT_EQ(listener->Next(milliseconds(0))->sHandle, "3");
  EXPECT_EQ(listener->Next(milliseconds(0))->sHandle, "4");
}

TEST(EventHubTest, CloseWakesAWaitingListener) {
  EventHub hub;
  auto listener = hub.Listen();
  std::thread closer([&hub] {
    std::this_thread::sleep_for(milliseconds(20));
    hub.CloseAll();
  });
  // Without the wake-up this would wait the whole minute.
  EXPECT_FALSE(listener->Next(std::chrono::minutes(1)));
  EXPECT_TRUE(listener->Closed());
  closer.join();
  hub.Publish(event::kPlug, "");
  EXPECT_FALSE(listener->Next(milliseconds(0)));
}

TEST(EventHubTest, StreamTextCarriesIdNameAndCompactData) {
  Event event;
  event.id = 12;
  event.type = event::kCaptureDone;
  event.sHandle = "5";
  event.data = Json::objectValue;
  event.data["retValue"] = 0;
  EXPECT_EQ(FormatServerSentEvent(event),
            "id: 12\nevent: capturedone\ndata: {\"retValue\":0,\"sHandle\":\"5\"}\n\n");
}

}  // namespace
}  // namespace service
