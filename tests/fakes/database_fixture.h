// What every database test needs: the shared API state, a session registry, the fake libraries
// and the database, plus a way to run one request and read its reply as JSON.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>

#include "codec/base64.h"
#include "database/template_database.h"
#include "service/events.h"
#include "session/session_registry.h"
#include "tests/fakes/fake_libraries.h"

namespace database::testing {

inline constexpr char kCookie[] = "session=202625973_2130706433";
inline constexpr char kHandle[] = "sHandle=7&id=page1";

inline Json::Value ParseReply(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::Value value;
  std::string errors;
  std::istringstream stream(text);
  EXPECT_TRUE(Json::parseFromStream(builder, stream, &value, &errors)) << errors << text;
  return value;
}

// The member names of a reply, in the writer's order.
inline std::vector<std::string> Members(const Json::Value& reply) {
  return reply.getMemberNames();
}

class DatabaseTest : public ::testing::Test {
 protected:
  session::SessionRegistry sessions;
  service::Dispatcher dispatcher{sessions};
  FakeScannerLib scannerLib;
  FakeMatcherLib matcherLib;
  std::atomic<devicelib::MatcherHandle> matcher{reinterpret_cast<devicelib::MatcherHandle>(0x4d)};
  service::EventHub events;
  TemplateDatabase db{dispatcher, {scannerLib, matcherLib}, matcher, events};

  // One request with the test page's cookie; `params` follows the page's sHandle and id.
  Json::Value Call(const std::string& name, const std::string& params = "",
                   const char* cookie = kCookie) {
    std::string text = kHandle;
    if (!params.empty()) {
      text += "&" + params;
    }
    return ParseReply(db.HandleDatabaseApi(name, cookie, text));
  }
  // A request with exactly the given parameter text.
  Json::Value CallRaw(const std::string& name, const std::string& text,
                      const char* cookie = kCookie) {
    return ParseReply(db.HandleDatabaseApi(name, cookie, text));
  }

  // Enrols `finger` as a new user (single capture) and checks it worked.
  void EnrolFinger(int finger, const std::string& userId) {
    scannerLib.finger = finger;
    const Json::Value reply = Call("enroll", "userSerialNo=" + std::to_string(db.UserCount()) +
                                                 "&userID=" + userId + "&extractEx=1");
    ASSERT_EQ(reply["retValue"], "0") << reply.toStyledString();
  }

  // Both locks are free: nothing left them held on any path.
  void ExpectLocksFree() {
    EXPECT_TRUE(dispatcher.ApiLock().try_lock());
    dispatcher.ApiLock().unlock();
    (void)db.UserCount();  // takes templateLock; would never return if it were held
  }

  static std::string Base64(const std::vector<uint8_t>& bytes) {
    return codec::Base64Encode(bytes);
  }
};

}  // namespace database::testing
