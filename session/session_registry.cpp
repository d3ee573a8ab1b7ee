#include "session/session_registry.h"

#include <algorithm>
#include <ctime>
#include <utility>

namespace session {
namespace {

// Local wall-clock time of a moment of the registry's clock, as "2026-12-08T08:12:40" and as
// "08:12:40". The registry's clock runs steadily and has no date; the wall clock maps it.
struct WallTime {
  std::string iso;
  std::string timeOfDay;
};

WallTime WallTimeOf(SessionRegistry::Clock::time_point at, SessionRegistry::Clock::time_point now) {
  const auto wall = std::chrono::system_clock::now() +
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(at - now);
  // Rounded up to the second, so that the scanner is certainly free at the time shown.
  const std::time_t seconds =
      std::chrono::system_clock::to_time_t(std::chrono::ceil<std::chrono::seconds>(wall));
  std::tm local{};
  localtime_r(&seconds, &local);
  char iso[32];
  char timeOfDay[16];
  std::strftime(iso, sizeof(iso), "%Y-%m-%dT%H:%M:%S", &local);
  std::strftime(timeOfDay, sizeof(timeOfDay), "%H:%M:%S", &local);
  return WallTime{iso, timeOfDay};
}

}  // namespace

SessionRegistry::SessionRegistry(Clock::duration lifetime, NowFunction now)
    : lifetime(std::max(lifetime, Clock::duration::zero())),
      now_(now ? std::move(now) : NowFunction(&Clock::now)) {}

SessionRegistry::Clock::time_point SessionRegistry::DeadlineFrom(Clock::time_point now) const {
  // A lifetime too long to add saturates instead of wrapping into the past.
  if (lifetime > Clock::time_point::max() - now) {
    return Clock::time_point::max();
  }
  return now + lifetime;
}

std::string SessionRegistry::LifetimeText() const {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(lifetime).count();
  if (seconds >= 120) {
    return std::to_string(seconds / 60) + " minutes";
  }
  if (seconds >= 60) {
    return "1 minute";
  }
  return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

bool SessionRegistry::ValidateSession(const char* cookie, std::string_view pageId,
                                      std::string_view sHandle, std::string* error) {
  return ValidateSession(cookie != nullptr ? std::optional<std::string_view>(cookie) : std::nullopt,
                         pageId, sHandle, error);
}

bool SessionRegistry::ValidateSession(std::optional<std::string_view> cookie,
                                      std::string_view pageId, std::string_view sHandle,
                                      std::string* error) {
  service::SessionRefusal refusal;
  const bool admitted = CheckSession(cookie, pageId, sHandle, &refusal);
  if (!admitted && error != nullptr) {
    *error = std::move(refusal.reason);
  }
  return admitted;
}

bool SessionRegistry::CheckSession(const char* cookie, std::string_view pageId,
                                   std::string_view sHandle, service::SessionRefusal* refusal) {
  return CheckSession(cookie != nullptr ? std::optional<std::string_view>(cookie) : std::nullopt,
                      pageId, sHandle, refusal);
}

bool SessionRegistry::CheckSession(std::optional<std::string_view> cookie, std::string_view pageId,
                                   std::string_view sHandle, service::SessionRefusal* refusal) {
  const std::string scanner = sHandle.empty() ? std::string("the scanner (no sHandle given)")
                                              : "scanner " + std::string(sHandle);
  const auto refuse = [&](std::string_view reason, std::string detail, std::string heldUntil) {
    if (refusal != nullptr) {
      *refusal =
          service::SessionRefusal{std::string(reason), std::move(detail), std::move(heldUntil)};
    }
    return false;
  };
  if (!cookie) {
    return refuse(kNoCookie,
                  "send the identifier from createSessionID as the X-Session-Id header or as the "
                  "page's cookie",
                  {});
  }
  std::lock_guard<std::mutex> hold(lock);
  // Read the clock under the lock, so that a request that waited for it is judged by when it runs.
  const Clock::time_point now = now_();
  const auto found = std::find_if(sessions.begin(), sessions.end(),
                                  [&](const Session& s) { return s.sHandle == sHandle; });
  if (found == sessions.end()) {
    sessions.push_back(Session{std::string(sHandle), std::string(*cookie), std::string(pageId),
                               DeadlineFrom(now)});
    return true;
  }
  const bool expired = now >= found->deadline;
  if (found->cookie != *cookie) {
    if (expired) {
      sessions.erase(found);
      return refuse(kExpiredOtherCookie,
                    "another page held " + scanner + " and left it idle for " + LifetimeText() +
                        "; the scanner is free now: send the request again",
                    {});
    }
    const WallTime until = WallTimeOf(found->deadline, now);
    return refuse(kInvalidCookie,
                  scanner + " is held by another page until " + until.timeOfDay +
                      "; it is freed when that page closes or after it has been idle for " +
                      LifetimeText(),
                  until.iso);
  }
  if (expired) {
    sessions.erase(found);
    return refuse(kExpired,
                  "this page left " + scanner + " idle for " + LifetimeText() +
                      " and its hold ended; send the request again to take the scanner anew",
                  {});
  }
  if (pageId != "undefined" && pageId != found->pageId) {
    return refuse(kInvalidPageId,
                  scanner +
                      " is held by another page of the same session; send the \"id\" of the "
                      "page that took it, or free it with sessionClear from that page",
                  {});
  }
  // The binding page is at work: its lifetime starts again, so that a page in steady use never
  // loses its scanner to whoever calls next.
  found->deadline = DeadlineFrom(now);
  return true;
}

bool SessionRegistry::MaySee(std::optional<std::string_view> sessionId,
                             std::string_view sHandle) const {
  if (sHandle.empty()) {
    return true;
  }
  std::lock_guard<std::mutex> hold(lock);
  const auto found = std::find_if(sessions.begin(), sessions.end(),
                                  [&](const Session& s) { return s.sHandle == sHandle; });
  if (found == sessions.end() || now_() >= found->deadline) {
    return true;
  }
  return sessionId && found->cookie == *sessionId;
}

void SessionRegistry::ClearSessionsByPageId(const char* cookie, std::string_view pageId) {
  ClearSessionsByPageId(cookie != nullptr ? std::optional<std::string_view>(cookie) : std::nullopt,
                        pageId);
}

void SessionRegistry::ClearSessionsByPageId(std::optional<std::string_view> cookie,
                                            std::string_view pageId) {
  if (!cookie) {
    return;
  }
  std::lock_guard<std::mutex> hold(lock);
  std::erase_if(sessions,
                [&](const Session& s) { return s.pageId == pageId && s.cookie == *cookie; });
}

size_t SessionRegistry::Size() const {
  std::lock_guard<std::mutex> hold(lock);
  return sessions.size();
}

std::vector<SessionRegistry::Record> SessionRegistry::Records() const {
  std::lock_guard<std::mutex> hold(lock);
  const Clock::time_point now = now_();
  std::vector<Record> records;
  records.reserve(sessions.size());
  for (const Session& s : sessions) {
    records.push_back(Record{s.sHandle, s.cookie, s.pageId, now >= s.deadline});
  }
  return records;
}

}  // namespace session
