#include "session/session_registry.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace session {
namespace {

using namespace std::chrono_literals;

// Tests that need a binding to stay alive use a lifetime no test run comes near; tests of expiry
// use a short one and sleep ten times as long, so no assertion depends on how fast the machine is.
constexpr auto kLong = std::chrono::hours(1);
constexpr auto kShort = 20ms;
void WaitPastShortLifetime() {
  std::this_thread::sleep_for(kShort * 10);
}

constexpr const char* kCookieA = "sessionId=aaaa";
constexpr const char* kCookieB = "sessionId=bbbb";

std::vector<std::string> Handles(const SessionRegistry& registry) {
  std::vector<std::string> handles;
  for (const auto& record : registry.Records()) {
    handles.push_back(record.sHandle);
  }
  return handles;
}

TEST(SessionRegistry, FirstRequestBindsWhateverItsCookieAndPageId) {
  SessionRegistry registry(kLong);
  std::string error = "untouched";
  EXPECT_TRUE(registry.ValidateSession(kCookieA, "page1", "101", &error));
  EXPECT_EQ(error, "untouched");
  // An empty Cookie header is still a cookie, and "undefined" is a page ID like any other here.
  EXPECT_TRUE(registry.ValidateSession("", "undefined", "102", &error));
  EXPECT_TRUE(registry.ValidateSession(kCookieB, "", "103", nullptr));
  EXPECT_EQ(error, "untouched");

  const auto records = registry.Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].sHandle, "101");
  EXPECT_EQ(records[0].cookie, kCookieA);
  EXPECT_EQ(records[0].pageId, "page1");
  EXPECT_FALSE(records[0].expired);
  EXPECT_EQ(records[1].cookie, "");
  EXPECT_EQ(records[1].pageId, "undefined");
  EXPECT_EQ(records[2].cookie, kCookieB);
}

TEST(SessionRegistry, OtherCookieIsRefusedWhileBound) {
  SessionRegistry registry(kLong);
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "page1", "101", nullptr));
  std::string error;
  EXPECT_FALSE(registry.ValidateSession(kCookieB, "page1", "101", &error));
  EXPECT_EQ(error, "invalid session cookie");
  // Cookies compare byte for byte: a prefix or an extra blank is another cookie.
  EXPECT_FALSE(registry.ValidateSession("sessionId=aaa", "page1", "101", &error));
  EXPECT_FALSE(registry.ValidateSession("sessionId=aaaa ", "page1", "101", &error));
  EXPECT_EQ(error, "invalid session cookie");
  // The refusals changed nothing: the binding page still passes, other handles are free.
  EXPECT_TRUE(registry.ValidateSession(kCookieA, "page1", "101", nullptr));
  EXPECT_TRUE(registry.ValidateSession(kCookieB, "page2", "102", nullptr));
  EXPECT_EQ(registry.Size(), 2u);
}

TEST(SessionRegistry, OtherCookieAfterExpiryIsRefusedOnceThenBinds) {
  SessionRegistry registry(kShort);
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "pageA", "101", nullptr));
  WaitPastShortLifetime();

  std::string error;
  EXPECT_FALSE(registry.ValidateSession(kCookieB, "pageB", "101", &error));
  EXPECT_EQ(error, "invalid session(timeout-ed)");
  EXPECT_EQ(registry.Size(), 0u);  // the request that found the expired binding removed it

  EXPECT_TRUE(registry.ValidateSession(kCookieB, "pageB", "101", nullptr));
  const auto records = registry.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].cookie, kCookieB);
  EXPECT_EQ(records[0].pageId, "pageB");
  // The first page has lost the handle (refused either as a stranger or after expiry).
  EXPECT_FALSE(registry.ValidateSession(kCookieA, "pageA", "101", nullptr));
}

TEST(SessionRegistry, BindingPageAfterExpiryIsRefusedOnceThenPasses) {
  SessionRegistry registry(kShort);
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "pageA", "101", nullptr));
  WaitPastShortLifetime();

  std::string error;
  EXPECT_FALSE(registry.ValidateSession(kCookieA, "pageA", "101", &error));
  EXPECT_EQ(error, "session timeout");
  EXPECT_EQ(registry.Size(), 0u);
  error.clear();
  EXPECT_TRUE(registry.ValidateSession(kCookieA, "pageA", "101", &error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(registry.Size(), 1u);
}

// A clock the test moves by hand, so that lifetimes are checked to the tick without sleeping.
class ManualClock {
 public:
  SessionRegistry::NowFunction Source() {
    return [this] { return now_; };
  }
  void Advance(SessionRegistry::Clock::duration step) { now_ += step; }

 private:
  SessionRegistry::Clock::time_point now_ =
      SessionRegistry::Clock::time_point(std::chrono::hours(1));
};

TEST(SessionRegistry, EveryAdmittedRequestRenewsTheBinding) {
  ManualClock clock;
  SessionRegistry registry(10s, clock.Source());
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "pageA", "101", nullptr));
  // A page at work for ten lifetimes, one request every 9 s, never loses its scanner; neither
  // do requests with the page ID "undefined", which pass the page check.
  for (int i = 0; i < 10; ++i) {
    clock.Advance(9s);
    std::string error;
    ASSERT_TRUE(
        registry.ValidateSession(kCookieA, i % 2 == 0 ? "pageA" : "undefined", "101", &error))
        << "request " << i << ": " << error;
    std::string intruder;
    EXPECT_FALSE(registry.ValidateSession(kCookieB, "pageB", "101", &intruder));
    EXPECT_EQ(intruder, "invalid session cookie");
  }
  // The binding ends exactly one lifetime after the last admitted request.
  clock.Advance(10s - 1ns);
  EXPECT_FALSE(registry.Records()[0].expired);
  clock.Advance(1ns);
  EXPECT_TRUE(registry.Records()[0].expired);
  std::string error;
  EXPECT_FALSE(registry.ValidateSession(kCookieA, "pageA", "101", &error));
  EXPECT_EQ(error, "session timeout");
}

TEST(SessionRegistry, RefusedRequestsRenewNothing) {
  ManualClock clock;
  SessionRegistry registry(10s, clock.Source());
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "pageA", "101", nullptr));
  clock.Advance(5s);
  // A stranger knocking, the owner's cookie under another page ID, and a request without a
  // cookie: none of them is the binding page at work.
  EXPECT_FALSE(registry.ValidateSession(kCookieB, "pageB", "101", nullptr));
  EXPECT_FALSE(registry.ValidateSession(kCookieA, "pageOther", "101", nullptr));
  EXPECT_FALSE(registry.ValidateSession(nullptr, "pageA", "101", nullptr));
  clock.Advance(5s);
  std::string error;
  EXPECT_FALSE(registry.ValidateSession(kCookieB, "pageB", "101", &error));
  EXPECT_EQ(error, "invalid session(timeout-ed)");
  EXPECT_TRUE(registry.ValidateSession(kCookieB, "pageB", "101", nullptr));
}

TEST(SessionRegistry, IdleBindingsExpireAndStayUntilNamed) {
  ManualClock clock;
  SessionRegistry registry(10s, clock.Source());
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "pageA", "102", nullptr));
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "pageLoop", "101", nullptr));
  // Using "101" keeps only "101" alive: each binding has a lifetime of its own.
  for (int i = 0; i < 3; ++i) {
    clock.Advance(6s);
    ASSERT_TRUE(registry.ValidateSession(kCookieA, "pageLoop", "101", nullptr));
  }
  registry.ClearSessionsByPageId(kCookieA, "pageLoop");

  clock.Advance(1s);
  // Requests for other handles leave the expired binding of "102" in place.
  ASSERT_TRUE(registry.ValidateSession(kCookieB, "pageB", "103", nullptr));
  const auto records = registry.Records();
  ASSERT_EQ(Handles(registry), (std::vector<std::string>{"102", "103"}));
  EXPECT_TRUE(records[0].expired);
  EXPECT_FALSE(records[1].expired);
  std::string error;
  EXPECT_FALSE(registry.ValidateSession(kCookieA, "pageA", "102", &error));
  EXPECT_EQ(error, "session timeout");
}

TEST(SessionRegistry, PageIdMustMatchUnlessUndefined) {
  SessionRegistry registry(kLong);
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "page1", "101", nullptr));
  std::string error;
  EXPECT_FALSE(registry.ValidateSession(kCookieA, "page2", "101", &error));
  EXPECT_EQ(error, "invalid page ID");
  EXPECT_FALSE(registry.ValidateSession(kCookieA, "", "101", &error));
  EXPECT_FALSE(registry.ValidateSession(kCookieA, "Undefined", "101", &error));
  EXPECT_EQ(error, "invalid page ID");
  EXPECT_TRUE(registry.ValidateSession(kCookieA, "undefined", "101", nullptr));
  EXPECT_TRUE(registry.ValidateSession(kCookieA, "page1", "101", nullptr));

  // A binding made under "undefined" records that text: a real page ID no longer matches it.
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "undefined", "102", nullptr));
  EXPECT_FALSE(registry.ValidateSession(kCookieA, "page1", "102", &error));
  EXPECT_EQ(error, "invalid page ID");
  EXPECT_TRUE(registry.ValidateSession(kCookieA, "undefined", "102", nullptr));
}

TEST(SessionRegistry, HandlesAreMatchedByteForByteAndMayBeEmpty) {
  SessionRegistry registry(kLong);
  // A request without "sHandle" validates against the binding of the empty handle.
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "page1", "", nullptr));
  std::string error;
  EXPECT_FALSE(registry.ValidateSession(kCookieB, "page2", "", &error));
  EXPECT_EQ(error, "invalid session cookie");
  EXPECT_TRUE(registry.ValidateSession(kCookieA, "page1", "", nullptr));
  // Texts that a number parser would equate are different handles here.
  EXPECT_TRUE(registry.ValidateSession(kCookieB, "page2", "1", nullptr));
  EXPECT_TRUE(registry.ValidateSession(kCookieB, "page2", "01", nullptr));
  EXPECT_TRUE(registry.ValidateSession(kCookieB, "page2", "1 ", nullptr));
  EXPECT_EQ(Handles(registry), (std::vector<std::string>{"", "1", "01", "1 "}));
}

TEST(SessionRegistry, ClearRemovesEveryBindingOfOnePageAndKeepsTheOrder) {
  SessionRegistry registry(kLong);
  registry.ClearSessionsByPageId(kCookieA, "page1");  // an empty registry stays empty
  EXPECT_EQ(registry.Size(), 0u);

  ASSERT_TRUE(registry.ValidateSession(kCookieA, "page1", "101", nullptr));
  ASSERT_TRUE(registry.ValidateSession(kCookieB, "page2", "102", nullptr));
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "page1", "103", nullptr));
  ASSERT_TRUE(registry.ValidateSession(kCookieB, "page3", "104", nullptr));
  ASSERT_TRUE(registry.ValidateSession(kCookieB, "page2", "105", nullptr));

  registry.ClearSessionsByPageId(kCookieA, "page");    // no partial matches
  registry.ClearSessionsByPageId(kCookieA, "page1 ");  // byte for byte
  EXPECT_EQ(registry.Size(), 5u);

  registry.ClearSessionsByPageId(kCookieA, "page1");
  EXPECT_EQ(Handles(registry), (std::vector<std::string>{"102", "104", "105"}));
  // The cleared handles are free for anyone.
  EXPECT_TRUE(registry.ValidateSession(kCookieB, "page2", "101", nullptr));
  EXPECT_EQ(Handles(registry), (std::vector<std::string>{"102", "104", "105", "101"}));

  registry.ClearSessionsByPageId(kCookieB, "page2");
  EXPECT_EQ(Handles(registry), (std::vector<std::string>{"104"}));
}

// Knowing another page's ID is not enough to take its scanner: the clear must come with the
// cookie that made the binding.
TEST(SessionRegistry, ClearNeedsTheCookieThatHoldsTheBinding) {
  SessionRegistry registry(kLong);
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "page1", "101", nullptr));
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "page1", "102", nullptr));

  registry.ClearSessionsByPageId(nullptr, "page1");
  registry.ClearSessionsByPageId(std::nullopt, "page1");
  registry.ClearSessionsByPageId(kCookieB, "page1");
  registry.ClearSessionsByPageId("", "page1");
  registry.ClearSessionsByPageId("sessionId=aaaa; theme=dark", "page1");  // byte for byte
  EXPECT_EQ(Handles(registry), (std::vector<std::string>{"101", "102"}));
  std::string error;
  EXPECT_FALSE(registry.ValidateSession(kCookieB, "page1", "101", &error));
  EXPECT_EQ(error, "invalid session cookie");

  // The same page ID under two cookies (two browsers): each clears only its own.
  ASSERT_TRUE(registry.ValidateSession(kCookieB, "page1", "103", nullptr));
  registry.ClearSessionsByPageId(kCookieB, "page1");
  EXPECT_EQ(Handles(registry), (std::vector<std::string>{"101", "102"}));
  registry.ClearSessionsByPageId(kCookieA, "page1");
  EXPECT_EQ(registry.Size(), 0u);
}

TEST(SessionRegistry, NoCookieIsAlwaysRefusedAndCreatesNothing) {
  SessionRegistry registry(kLong);
  std::string error;
  EXPECT_FALSE(registry.ValidateSession(nullptr, "page1", "101", &error));
  EXPECT_EQ(error, "No session cookie is passed");
  error.clear();
  EXPECT_FALSE(registry.ValidateSession(std::nullopt, "undefined", "", &error));
  EXPECT_EQ(error, "No session cookie is passed");
  EXPECT_EQ(registry.Size(), 0u);

  // Also for a bound handle, even with the binding page's ID; the binding stays.
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "page1", "101", nullptr));
  EXPECT_FALSE(registry.ValidateSession(nullptr, "page1", "101", &error));
  EXPECT_EQ(error, "No session cookie is passed");
  EXPECT_TRUE(registry.ValidateSession(kCookieA, "page1", "101", nullptr));
  EXPECT_EQ(registry.Size(), 1u);
}

// Local time "2026-12-08T08:12:40" as seconds since the epoch; -1 when the text has another form.
std::time_t ParseLocalIso(const std::string& text) {
  std::tm local{};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &local);
  if (end == nullptr || *end != '\0' || text.size() != 19) {
    return -1;
  }
  local.tm_isdst = -1;
  return std::mktime(&local);
}

TEST(SessionRegistry, RefusalsSayWhatHappenedAndUntilWhenTheScannerIsHeld) {
  ManualClock clock;
  SessionRegistry registry(SessionRegistry::kDefaultLifetime, clock.Source());
  ASSERT_TRUE(registry.CheckSession(kCookieA, "pageA", "3", nullptr));
  clock.Advance(60s);

  // Held by another page: the short text stays, the detail and the end of the hold come beside.
  service::SessionRefusal refusal;
  const std::time_t before = std::time(nullptr);
  EXPECT_FALSE(registry.CheckSession(kCookieB, "pageB", "3", &refusal));
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(refusal.reason, "invalid session cookie");
  const std::time_t until = ParseLocalIso(refusal.heldUntil);
  ASSERT_NE(until, -1) << refusal.heldUntil;
  // 301 s from the last use, which was 60 s ago on the registry's clock; rounded up.
  EXPECT_GE(until, before + 301 - 60);
  EXPECT_LE(until, after + 301 - 60 + 1);
  EXPECT_EQ(refusal.detail, "scanner 3 is held by another page until " +
                                refusal.heldUntil.substr(11) +
                                "; it is freed when that page closes or after it has been idle "
                                "for 5 minutes");
  // The plain check gives the same reason.
  std::string error;
  EXPECT_FALSE(registry.ValidateSession(kCookieB, "pageB", "3", &error));
  EXPECT_EQ(error, "invalid session cookie");

  // Another page of the same session.
  EXPECT_FALSE(registry.CheckSession(kCookieA, "pageC", "3", &refusal));
  EXPECT_EQ(refusal.reason, "invalid page ID");
  EXPECT_NE(refusal.detail.find("scanner 3 is held by another page of the same session"),
            std::string::npos)
      << refusal.detail;
  EXPECT_EQ(refusal.heldUntil, "");

  // No identifier at all.
  EXPECT_FALSE(registry.CheckSession(nullptr, "pageA", "3", &refusal));
  EXPECT_EQ(refusal.reason, "No session cookie is passed");
  EXPECT_EQ(refusal.detail,
            "send the identifier from createSessionID as the X-Session-Id header or as the "
            "page's cookie");
  EXPECT_EQ(refusal.heldUntil, "");

  // The hold ran out: the binding page and the other page are each told so once.
  clock.Advance(301s);
  EXPECT_FALSE(registry.CheckSession(kCookieB, "pageB", "3", &refusal));
  EXPECT_EQ(refusal.reason, "invalid session(timeout-ed)");
  EXPECT_NE(refusal.detail.find("idle for 5 minutes"), std::string::npos) << refusal.detail;
  EXPECT_EQ(refusal.heldUntil, "");
  ASSERT_TRUE(registry.CheckSession(kCookieA, "pageA", "4", nullptr));
  clock.Advance(301s);
  EXPECT_FALSE(registry.CheckSession(kCookieA, "pageA", "4", &refusal));
  EXPECT_EQ(refusal.reason, "session timeout");
  EXPECT_NE(refusal.detail.find("send the request again"), std::string::npos) << refusal.detail;
}

TEST(SessionRegistry, ShortLifetimesAreToldInSeconds) {
  ManualClock clock;
  SessionRegistry registry(20s, clock.Source());
  ASSERT_TRUE(registry.CheckSession(kCookieA, "pageA", "3", nullptr));
  service::SessionRefusal refusal;
  EXPECT_FALSE(registry.CheckSession(kCookieB, "pageB", "3", &refusal));
  EXPECT_TRUE(refusal.detail.ends_with("idle for 20 seconds")) << refusal.detail;
}

TEST(SessionRegistry, EventsOfAScannerGoToItsSessionOrToAllWhileUnbound) {
  ManualClock clock;
  SessionRegistry registry(10s, clock.Source());
  // Nobody holds the scanner, or the event is of no one scanner: everyone may see it, also a
  // listener without a session.
  EXPECT_TRUE(registry.MaySee(kCookieA, "101"));
  EXPECT_TRUE(registry.MaySee(std::nullopt, "101"));
  EXPECT_TRUE(registry.MaySee(kCookieB, ""));

  ASSERT_TRUE(registry.CheckSession(kCookieA, "pageA", "101", nullptr));
  EXPECT_TRUE(registry.MaySee(kCookieA, "101"));
  EXPECT_FALSE(registry.MaySee(kCookieB, "101"));
  EXPECT_FALSE(registry.MaySee(std::nullopt, "101"));
  EXPECT_FALSE(registry.MaySee("sessionId=aaa", "101"));  // byte for byte
  EXPECT_TRUE(registry.MaySee(kCookieB, "102"));
  EXPECT_TRUE(registry.MaySee(kCookieB, ""));

  // Looking renews nothing: the binding expires as if nobody had looked, and then binds no one.
  clock.Advance(9s);
  EXPECT_TRUE(registry.MaySee(kCookieA, "101"));
  clock.Advance(1s);
  EXPECT_TRUE(registry.MaySee(kCookieB, "101"));

  registry.ClearSessionsByPageId(kCookieA, "pageA");
  EXPECT_TRUE(registry.MaySee(kCookieB, "101"));
}

TEST(SessionRegistry, DefaultLifetimeIsThreeHundredAndOneSeconds) {
  EXPECT_EQ(SessionRegistry::kDefaultLifetime, std::chrono::seconds(301));
  SessionRegistry registry;
  ASSERT_TRUE(registry.ValidateSession(kCookieA, "page1", "101", nullptr));
  EXPECT_FALSE(registry.Records()[0].expired);
  // A lifetime too long to add to the clock never wraps into an already expired binding.
  SessionRegistry forever(SessionRegistry::Clock::duration::max());
  ASSERT_TRUE(forever.ValidateSession(kCookieA, "page1", "101", nullptr));
  EXPECT_TRUE(forever.ValidateSession(kCookieA, "page1", "101", nullptr));
}

// Pages racing for the same scanners: with no expiry and no clearing, each handle must end up with
// exactly one page that ever got through, and it is the one the registry records.
TEST(SessionRegistryConcurrency, OnePageWinsEachHandle) {
  SessionRegistry registry(kLong);
  constexpr int kThreads = 4;
  constexpr int kHandles = 8;
  constexpr int kRounds = 2000;
  std::vector<std::array<bool, kHandles>> passed(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&registry, &passed, t] {
      const std::string cookie = "sessionId=" + std::to_string(t);
      const std::string page = "page" + std::to_string(t);
      passed[t].fill(false);
      for (int i = 0; i < kRounds; ++i) {
        const int h = (i * 7 + t) % kHandles;
        std::string error;
        if (registry.ValidateSession(cookie.c_str(), page, std::to_string(h), &error)) {
          passed[t][h] = true;
        } else if (error != "invalid session cookie") {
          ADD_FAILURE() << "unexpected refusal: " << error;
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  const auto records = registry.Records();
  ASSERT_EQ(records.size(), static_cast<size_t>(kHandles));
  for (const auto& record : records) {
    const int h = std::stoi(record.sHandle);
    int winners = 0;
    for (int t = 0; t < kThreads; ++t) {
      if (passed[t][h]) {
        ++winners;
        EXPECT_EQ(record.cookie, "sessionId=" + std::to_string(t));
      }
    }
    EXPECT_EQ(winners, 1) << "handle " << h;
  }
}

// Validation, clearing and inspection all at once, with bindings expiring along the way. Run under
// the sanitizers this shows data races on the registry as memory errors; the checks here are the
// invariants that hold whatever the interleaving.
TEST(SessionRegistryConcurrency, ValidateClearAndInspectTogether) {
  SessionRegistry registry(50us);
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&registry, t] {
      const std::string cookie = "sessionId=" + std::to_string(t);
      for (int i = 0; i < kRounds; ++i) {
        const std::string page = "page" + std::to_string(i % 3);
        std::string error;
        registry.ValidateSession(cookie.c_str(), page, std::to_string((i + t) % 5), &error);
        if (i % 50 == t) {
          registry.ClearSessionsByPageId(cookie.c_str(), page);
        }
      }
    });
  }
  std::thread inspector([&registry, &stop] {
    while (!stop.load()) {
      const auto records = registry.Records();
      std::set<std::string> keys;
      for (const auto& record : records) {
        EXPECT_TRUE(keys.insert(record.sHandle).second) << "duplicate key " << record.sHandle;
      }
      EXPECT_LE(registry.Size(), 5u);
      std::this_thread::yield();
    }
  });
  for (auto& thread : threads) {
    thread.join();
  }
  stop = true;
  inspector.join();
  EXPECT_LE(registry.Size(), 5u);
  for (int t = 0; t < kThreads; ++t) {
    for (int p = 0; p < 3; ++p) {
      registry.ClearSessionsByPageId("sessionId=" + std::to_string(t), "page" + std::to_string(p));
    }
  }
  EXPECT_EQ(registry.Size(), 0u);
}

}  // namespace
}  // namespace session
