#include "service/dispatcher.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "service/reply.h"

namespace service {
namespace {

Json::Value Parse(const std::string& text) {
  Json::Value value;
  std::istringstream stream(text);
  Json::CharReaderBuilder builder;
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(builder, stream, &value, &errors)) << text;
  return value;
}

class AllowOnly : public SessionGate {
 public:
  bool ValidateSession(const char* cookie, std::string_view pageId, std::string_view handleText,
                       std::string* error) override {
    seen.push_back(std::string(pageId) + "/" + std::string(handleText));
    if (cookie != nullptr && std::string_view(cookie) == "good") {
      return true;
    }
    *error = "invalid session cookie";
    return false;
  }
  std::vector<std::string> seen;
};

class DispatcherTest : public ::testing::Test {
 protected:
  AllowOnly gate;
  Dispatcher dispatcher{gate};
  int runs = 0;
  std::vector<Operation> table = {
      {"open", false, false,
       [this](const Request& request) {
         ++runs;
         Json::Value reply = NewAgentReply();
         reply["handle"] = request.handleText;
         reply["page"] = request.pageId;
         reply["name"] = std::string(request.operation->name);
         return reply;
       }},
      {"guarded", true, false,
       [this](const Request&) {
         ++runs;
         return NewReply();
       }},
      {"abort", false, false,
       [this](const Request&) {
         // Would never return if the dispatcher had taken the lock the test holds.
         ++runs;
         Json::Value reply = NewReply();
         SetSuccess(reply);
         return reply;
       },
       true},
  };
};

TEST_F(DispatcherTest, UnknownNamesAreRefusedWithNothingElse) {
  for (const char* name : {"Open", "", "open2", "guarde"}) {
    EXPECT_EQ(Parse(dispatcher.Dispatch(table, name, "good", "sHandle=1")), UnsupportedApiReply())
        << name;
  }
  EXPECT_EQ(runs, 0);
}

TEST_F(DispatcherTest, OperationsGetTheLastHandleAndPageIdAndTheirOwnTableEntry) {
  const Json::Value reply =
      Parse(dispatcher.Dispatch(table, "open", nullptr, "sHandle=1&id=p&sHandle=2"));
  EXPECT_EQ(reply["handle"], "2");
  EXPECT_EQ(reply["page"], "p");
  EXPECT_EQ(reply["name"], "open");
  EXPECT_TRUE(gate.seen.empty()) << "no session check for an open operation";
}

TEST_F(DispatcherTest, SessionRefusalRunsNothing) {
  EXPECT_EQ(Parse(dispatcher.Dispatch(table, "guarded", "bad", "sHandle=5&id=x")),
            SessionRefusalReply("guarded", "invalid session cookie"));
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(gate.seen, std::vector<std::string>{"x/5"});
  EXPECT_EQ(Parse(dispatcher.Dispatch(table, "guarded", "good", "sHandle=5&id=x")), NewReply());
  EXPECT_EQ(runs, 1);
}

// A gate that explains itself: the refusal's detail and end of hold reach the page beside the
// unchanged reason.
class HeldElsewhere : public SessionGate {
 public:
  bool ValidateSession(const char*, std::string_view, std::string_view,
                       std::string* error) override {
    *error = "invalid session cookie";
    return false;
  }
  bool CheckSession(const char*, std::string_view, std::string_view,
                    SessionRefusal* refusal) override {
    *refusal = SessionRefusal{"invalid session cookie", "scanner 5 is held by another page",
                              "2026-12-08T08:12:40"};
    return false;
  }
};

TEST(DispatcherRefusal, CarriesTheDetailAndTheEndOfTheHold) {
  HeldElsewhere gate;
  Dispatcher dispatcher(gate);
  const std::vector<Operation> table = {
      {"guarded", true, false, [](const Request&) { return NewReply(); }}};
  const Json::Value reply = Parse(dispatcher.Dispatch(table, "guarded", "x", "sHandle=5&id=p"));
  EXPECT_EQ(reply["retValue"], -112);
  EXPECT_EQ(reply["retString"], "invalid session cookie");
  EXPECT_EQ(reply["request"], "guarded");
  EXPECT_EQ(reply["detail"], "scanner 5 is held by another page");
  EXPECT_EQ(reply["heldUntil"], "2026-12-08T08:12:40");
  // A gate that knows no more than the reason adds no empty members.
  const Json::Value plain =
      SessionRefusalReply("guarded", SessionRefusal{"session timeout", {}, {}});
  EXPECT_EQ(plain, SessionRefusalReply("guarded", "session timeout"));
}

TEST_F(DispatcherTest, OnlyMarkedOperationsRunWhileTheApiLockIsHeld) {
  std::lock_guard held(dispatcher.ApiLock());
  EXPECT_EQ(Parse(dispatcher.Dispatch(table, "abort", nullptr, ""))["retValue"], "0");
  EXPECT_EQ(runs, 1);
}

TEST(ReplyText, NullDocumentIsAnEmptyBody) {
  EXPECT_EQ(ReplyText(Json::Value()), "");
  EXPECT_EQ(ReplyText(NewAgentReply()), "{\n   \"sessionId\" : \"0\"\n}\n");
}

}  // namespace
}  // namespace service
