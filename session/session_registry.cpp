#include "session/session_registry.h"

#include <algorithm>
#include <utility>

namespace session {
namespace {

void SetError(std::string* error, std::string_view text) {
  if (error != nullptr) {
    error->assign(text);
  }
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

bool SessionRegistry::ValidateSession(const char* cookie, std::string_view pageId,
                                      std::string_view sHandle, std::string* error) {
  return ValidateSession(cookie != nullptr ? std::optional<std::string_view>(cookie) : std::nullopt,
                         pageId, sHandle, error);
}

bool SessionRegistry::ValidateSession(std::optional<std::string_view> cookie,
                                      std::string_view pageId, std::string_view sHandle,
                                      std::string* error) {
  if (!cookie) {
    SetError(error, kNoCookie);
    return false;
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
      SetError(error, kExpiredOtherCookie);
    } else {
      SetError(error, kInvalidCookie);
    }
    return false;
  }
  if (expired) {
    sessions.erase(found);
    SetError(error, kExpired);
    return false;
  }
  if (pageId != "undefined" && pageId != found->pageId) {
    SetError(error, kInvalidPageId);
    return false;
  }
  // The binding page is at work: its lifetime starts again, so that a page in steady use never
  // loses its scanner to whoever calls next.
  found->deadline = DeadlineFrom(now);
  return true;
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
