// Binds each scanner handle to the first page that uses it, so that one page at a time drives a
// scanner. A page is known by its session identifier (session/session_id.h: the X-Session-Id
// header, the "sessionId" query variable or the identifier in its cookie) and its page ID. Every
// request of the binding page renews the binding, so a page keeps its scanner for as long as it
// works with it; only a page that stays idle for a whole lifetime loses it to the next caller.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/dispatcher.h"

namespace session {

class SessionRegistry : public service::SessionGate {
 public:
  using Clock = std::chrono::steady_clock;

  // Source of the current time; tests give their own to move time on without waiting.
  using NowFunction = std::function<Clock::time_point()>;

  // A binding ends 301 seconds after the binding page's last admitted request.
  static constexpr Clock::duration kDefaultLifetime = std::chrono::seconds(301);

  // Refusal texts, sent to pages as "retString".
  static constexpr std::string_view kNoCookie = "No session cookie is passed";
  static constexpr std::string_view kInvalidCookie = "invalid session cookie";
  static constexpr std::string_view kExpiredOtherCookie = "invalid session(timeout-ed)";
  static constexpr std::string_view kExpired = "session timeout";
  static constexpr std::string_view kInvalidPageId = "invalid page ID";

  explicit SessionRegistry(Clock::duration lifetime = kDefaultLifetime,
                           NowFunction now = &Clock::now);

  SessionRegistry(const SessionRegistry&) = delete;
  SessionRegistry& operator=(const SessionRegistry&) = delete;

  // Decides whether a request for the scanner handle `sHandle` may go on. `cookie` is the
  // request's session identifier, null when the request has none. The first request for an unbound
  // handle binds it to its cookie and page ID and passes. A later request passes when it has the
  // same cookie and either the same page ID or the page ID "undefined", and then starts the
  // binding's lifetime afresh; refused requests renew nothing. A binding whose page sent nothing
  // for a whole lifetime has expired: it refuses the one request that finds it and is removed, so
  // the next request binds the handle anew. On refusal *error (when not null) receives the reason;
  // on success it is left unchanged.
  bool ValidateSession(const char* cookie, std::string_view pageId, std::string_view sHandle,
                       std::string* error) override;
  bool ValidateSession(std::optional<std::string_view> cookie, std::string_view pageId,
                       std::string_view sHandle, std::string* error);

  // The same decision; a refusal also says in words what happened and what the page can do,
  // and when another page holds the scanner, until when (local time) it holds it at most.
  bool CheckSession(const char* cookie, std::string_view pageId, std::string_view sHandle,
                    service::SessionRefusal* refusal) override;
  bool CheckSession(std::optional<std::string_view> cookie, std::string_view pageId,
                    std::string_view sHandle, service::SessionRefusal* refusal);

  // Whether the session `sessionId` may learn what happens at the scanner `sHandle`: when the
  // scanner is bound to that session or to no one (an expired binding binds no one). Events of
  // no one scanner (empty `sHandle`) are for everyone. Changes nothing.
  bool MaySee(std::optional<std::string_view> sessionId, std::string_view sHandle) const;

  // Removes every binding made by the page `pageId` under the session cookie `cookie` (both
  // byte-for-byte); the others keep their order. Only the page that holds a binding may drop it:
  // a page ID alone is no proof, since page IDs travel in URLs. Without a cookie (null)
  // nothing is removed.
  void ClearSessionsByPageId(const char* cookie, std::string_view pageId);
  void ClearSessionsByPageId(std::optional<std::string_view> cookie, std::string_view pageId);

  // A binding as the registry holds it, for diagnostics and tests.
  struct Record {
    std::string sHandle;
    std::string cookie;
    std::string pageId;
    bool expired = false;
  };

  // Number of bindings, expired ones included until a request or a clear removes them.
  size_t Size() const;

  // Copy of the bindings in creation order.
  std::vector<Record> Records() const;

 private:
  struct Session {
    std::string sHandle;  // the key: unique within `sessions`
    std::string cookie;
    std::string pageId;
    Clock::time_point deadline;  // the binding has expired from this moment on; moved on by use
  };

  Clock::time_point DeadlineFrom(Clock::time_point now) const;
  // "5 minutes", "20 seconds": the lifetime as pages are told it.
  std::string LifetimeText() const;

  const Clock::duration lifetime;
  const NowFunction now_;
  // Taken innermost: callers may hold their own locks, and nothing is called out while it is held.
  mutable std::mutex lock;
  std::vector<Session> sessions;  // creation order
};

}  // namespace session
