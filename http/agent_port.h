// What the HTTP front needs from the agent behind it. The agent implements this; http/ knows
// nothing else of it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "service/events.h"
#include "service/image_source.h"

namespace http {

class AgentPort {
 public:
  virtual ~AgentPort() = default;

  // Scanner operations under /api/ and database operations under /db/: the reply body (styled
  // JSON text, possibly empty).
  virtual std::string RunScannerOperation(std::string_view name, const char* cookie,
                                          std::string_view parameterText) = 0;
  virtual std::string RunDatabaseOperation(std::string_view name, const char* cookie,
                                           std::string_view parameterText) = 0;

  // The image source of the scanner the handle text names, for the page (cookie and page ID).
  struct ImageLookup {
    bool admitted = false;                         // the page's session check passed
    std::shared_ptr<service::ImageSource> source;  // null when no scanner has that handle
  };
  virtual ImageLookup FindImageSource(const char* cookie, std::string_view pageId,
                                      std::string_view handleText) = 0;

  // Removes every binding of the page under the session identifier `cookie` (the
  // "sessionClear" command); without an identifier (null) nothing: a page ID alone is no proof,
  // since page IDs travel in URLs. (`cookie` here and above: the request's session identifier.)
  virtual void ClearSessions(const char* cookie, std::string_view pageId) = 0;

  // What happens at the scanners, for the server-sent events stream.
  virtual service::EventHub& Events() = 0;
  // Whether a listener of the session `sessionId` (null: none) may receive an event of the
  // scanner `sHandle` (empty: of no one scanner). Pages learn only of their own scanners and of
  // free ones. By default only events of no one scanner are seen.
  virtual bool MaySee(const char* sessionId, std::string_view sHandle) const {
    (void)sessionId;
    return sHandle.empty();
  }

  // The "close" command; Running() is false from then on.
  virtual void Stop() = 0;
  virtual bool Running() const = 0;
};

}  // namespace http
