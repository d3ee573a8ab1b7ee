// The dispatcher both APIs share. An API is one table of operations; the dispatcher finds the
// requested name in it, checks the page's session where the operation needs one, runs the
// operation under the API lock and turns the document it returns into the reply text.
#pragma once

#include <json/json.h>

#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace service {

struct Operation;

// One API request as an operation sees it.
struct Request {
  std::string name;
  const char* cookie = nullptr;          // the session identifier; null when the request has none
  std::string parameterText;             // the raw parameter text (see service/request.h)
  std::string handleText;                // value of the last "sHandle" item; empty when none
  std::string pageId;                    // value of the last "id" item; empty when none
  const Operation* operation = nullptr;  // the table entry being run
};

// An operation builds its reply from nothing and returns it.
using Handler = std::function<Json::Value(const Request&)>;

struct Operation {
  std::string_view name;  // compared exactly, case-sensitively
  bool needsSession = false;
  // Captured data is freed some time after the last request of this kind.
  bool rearmsCountdown = false;
  Handler run;
  // Runs without the dispatcher taking the API lock: the abort of a running identification
  // (which the lock holder is waiting for), and the per-scanner operations, which wait for their
  // own scanner first and take the API lock themselves where they need it.
  bool bypassesApiLock = false;
};

// Why a page may not use a scanner, in the words the page is sent.
struct SessionRefusal {
  std::string reason;     // "retString": the short text pages have always compared against
  std::string detail;     // "detail": what happened and what the page's developer can do
  std::string heldUntil;  // "heldUntil": local time ("2026-12-08T08:12:40") the other page's
                          // hold ends; empty unless another page holds the scanner
};

// Checks that the page (session identifier and page ID) may use the scanner the handle text
// names. `cookie` carries the request's session identifier; null when it has none.
class SessionGate {
 public:
  virtual ~SessionGate() = default;
  // On refusal *error receives the reason.
  virtual bool ValidateSession(const char* cookie, std::string_view pageId,
                               std::string_view handleText, std::string* error) = 0;
  // The same decision; on refusal *refusal (when not null) receives the reason and, where the
  // gate knows more, the detail. A gate that knows no more gives the reason alone.
  virtual bool CheckSession(const char* cookie, std::string_view pageId,
                            std::string_view handleText, SessionRefusal* refusal) {
    std::string error;
    const bool admitted = ValidateSession(cookie, pageId, handleText, &error);
    if (!admitted && refusal != nullptr) {
      *refusal = SessionRefusal{error, {}, {}};
    }
    return admitted;
  }
};

class Dispatcher {
 public:
  explicit Dispatcher(SessionGate& sessions) : sessions_(sessions) {}
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Runs the operation `name` of `table`; returns the reply body.
  std::string Dispatch(std::span<const Operation> table, std::string_view name, const char* cookie,
                       std::string_view parameterText);

  // Held for the whole of every database operation and of the scanner operations that touch the
  // agent's shared state (initDevice, uninitDevice, the matcher, the converted files); a capture
  // waiting for a finger does not hold it. Callers outside a dispatch (tests) may take it to see
  // that it is free.
  std::mutex& ApiLock() { return apiLock_; }

 private:
  SessionGate& sessions_;
  std::mutex apiLock_;
};

}  // namespace service
