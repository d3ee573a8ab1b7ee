// The agent's template database and the /db/ operations on it: a small in-memory store of
// enrolled users (nothing is ever written to disk), enrolment from live captures, template
// read-out, verification against one user or a page's template, and identification.
//
// A user is addressed by its serial number, which is simply its position in the store: removing
// a user moves every later user down by one, so pages re-read the store after a removal.
//
// Locking: every operation but "abortIdentify" runs under the agent's apiLock (shared with the
// scanner API, so one scanner or database operation runs at a time). templateLock is taken in
// addition, always after apiLock, around every change of a record, every removal and clearing,
// and every matcher call that reads the store. "abortIdentify" takes neither: it has to reach
// the matcher while an identification holds both.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "database/parameters.h"
#include "devicelib/matcher_lib.h"
#include "devicelib/scanner_lib.h"
#include "service/dispatcher.h"
#include "service/events.h"
#include "service/reply.h"
#include "service/templates.h"

namespace database {

// Time limit handed to the matcher for one identification (the matcher's unit: milliseconds).
inline constexpr int32_t kIdentifyTimeLimit = 5000;
// Every template buffer of the store and of the requests.
inline constexpr size_t kTemplateBufferSize = service::kTemplateCapacity;
// Longest "tempData" text "verifyTemplate" accepts.
inline constexpr size_t kMaxTempDataLength = 1023;
// Quality recorded for templates chosen by template selection.
inline constexpr int32_t kSelectedQuality = 100;

// Most users the store holds. Identification compares the probe with every user, so the limit
// bounds its time (about 0.2 to 0.3 s at the limit, far inside kIdentifyTimeLimit; see
// bench/database_bench.cpp) and the store's memory (two 1024-byte buffers a user, about 21 MB).
inline constexpr uint32_t kMaxUsers = 10000;
// "enroll" of a new user when the store already holds its limit: "retValue" "-501" (text) and
// this message. The code lies outside the libraries' ranges, so a page can tell it from them.
inline constexpr int32_t kDatabaseFull = -501;
inline constexpr char kDatabaseFullMessage[] = "Template database is full";
// A user limit given as text (the agent's test knob that lets a test fill the store): a decimal
// number from 1 to kMaxUsers; nullopt for anything else.
std::optional<uint32_t> ParseUserLimit(std::string_view text);

// One stored template of one user.
struct TemplateRecord {
  uint32_t templateSize = 0;  // valid bytes of templateData; 0 until an extraction filled it
  // Exactly kTemplateBufferSize bytes owned by this record alone (zero-filled at creation).
  // Moving a record moves the buffer with it; a record leaving the store frees it once.
  std::vector<uint8_t> templateData;
  int32_t quality = 0;
  std::string userID;
};

// One user's two records without their template bytes: what "queryData" reports.
struct UserSummary {
  std::string userID;
  uint32_t templateSize1 = 0;
  int32_t quality1 = 0;
  uint32_t templateSize2 = 0;
  int32_t quality2 = 0;

  bool operator==(const UserSummary&) const = default;
};

// Which extraction a probe capture uses; kRefuse answers "passed wrong parameter" once the
// capture has been made.
enum class ExtractChoice { kPlain, kEx, kRefuse };

class TemplateDatabase {
 public:
  // `dispatcher` runs the operations under the API lock it shares with the scanner API.
  // `matcher` is the agent's matcher instance (made by initDevice, released by uninitDevice);
  // it is read at each matcher call. `events` hears of every capture and enrolment sample.
  // `maxUsers` is the store's limit (at least 1).
  TemplateDatabase(service::Dispatcher& dispatcher, service::DeviceLibraries libraries,
                   const std::atomic<devicelib::MatcherHandle>& matcher, service::EventHub& events,
                   uint32_t maxUsers = kMaxUsers);
  TemplateDatabase(const TemplateDatabase&) = delete;
  TemplateDatabase& operator=(const TemplateDatabase&) = delete;

  // Runs the /db/ operation `name` with the request's raw Cookie header (null when absent) and
  // its parameter text; returns the reply body (styled JSON text).
  std::string HandleDatabaseApi(const std::string& name, const char* cookie,
                                const std::string& parameterText);

  // Empties the store under templateLock. The caller holds apiLock and writes the reply.
  void ClearTemplates();

  // Number of enrolled users (takes templateLock).
  uint32_t UserCount();
  // Both records of every user, in serial-number order (takes templateLock).
  std::vector<UserSummary> Users();
  // Valid bytes of one stored template (`second` selects templates2), or nullopt for a serial
  // number outside the store (takes templateLock).
  std::optional<std::vector<uint8_t>> TemplateBytes(int32_t serialNo, bool second);
  // The last Base64 text made by "getTemplateData" (takes apiLock).
  std::string Base64Text();

 private:
  struct Probe;

  // Operations; each writes its members into reply_.
  void DeleteUser(const std::string& parameterText);
  void DeleteAll(const std::string& parameterText);
  void UpdateTemplate(const std::string& parameterText);
  void Enroll(const std::string& parameterText);
  void Verify(const std::string& parameterText);
  void VerifyTemplate(const std::string& parameterText);
  void Identify(const std::string& parameterText);
  void QueryData(const std::string& parameterText);
  void GetTemplateData(const std::string& parameterText);
  Json::Value AbortIdentify();
  // A table handler that runs `run` on a fresh agent-level reply and returns that reply.
  service::Handler Operation(void (TemplateDatabase::*run)(const std::string& parameterText));

  // Store operations; the caller holds apiLock.
  void AddUser(const std::string& userID);  // takes templateLock
  void RemoveUser(int32_t serialNo);        // caller holds templateLock
  bool IsValidUserIndex(int32_t serialNo) const;
  bool RequireExistingUser(std::optional<int32_t> serialNo);
  uint32_t Count() const;

  // Reply helpers on reply_. Every parameter fault says what was wrong in "detail".
  void SetLibraryError(service::Library library, int32_t code);
  void SetWrongParameter(std::string_view detail);
  void SetIntegerWrongParameter(std::string_view detail);
  // "score" and "threshold" of the comparison the matcher has just made; nothing when the
  // matcher cannot tell them.
  void SetMatchScore();

  // One capture for an operation, announced to the event listeners ("capturestarted" with
  // `mode`, "capturedone" with the library's status); returns that status.
  int32_t CaptureImage(int64_t handle, const char* mode);
  // "enrolsample": sample `sample` (from 1) of `samples` was extracted with `quality`.
  void PublishEnrolSample(int64_t handle, int sample, int samples, int32_t quality);

  // Reads "sHandle" and the parameters in `known`; on a fault writes the -112 reply (an integer
  // one for an unparsable text when `integerMapFault`) and returns false.
  bool ReadRequest(const std::string& parameterText, unsigned known, bool integerMapFault,
                   int64_t& handle, RequestParameters& params);

  // Sets the template size to the full buffer, then extracts; false after a scanner error reply.
  bool SetTemplateSizeParameter(int64_t handle);
  // Extracts into the first template of user `serialNo` (under templateLock), then answers the
  // library's error, -302 when the quality is below `qualityLevel` (the template stays stored),
  // or success, with "quality" once extracted: the common end of a single-capture "enroll" and
  // of "update".
  void ExtractIntoFirstTemplate(int64_t handle, bool ex, int32_t serialNo, int32_t qualityLevel);
  void SetVerifyResult(int32_t result);
  // Capture, template size, extraction and quality gate of verify, verifyTemplate and identify.
  // `mode` names the capture to the event listeners.
  bool CaptureProbe(int64_t handle, ExtractChoice choice, int32_t qualityLevel, Probe& probe,
                    const char* mode);
  bool SetKey(int64_t handle, const std::string& encryptKey);
  void StoreBase64(std::span<const uint8_t> bytes);

  service::Dispatcher& dispatcher_;
  service::DeviceLibraries libraries_;
  const std::atomic<devicelib::MatcherHandle>& matcher_;
  service::EventHub& events_;
  const uint32_t maxUsers_;
  std::vector<service::Operation> operations_;
  // The reply of the operation running now: emptied when each operation starts and handed to
  // the dispatcher when it ends. Only touched under the API lock.
  Json::Value reply_;

  // Guards templates1_ and templates2_, which always have the same length: index n of both
  // belongs to user n.
  std::mutex templateLock_;
  std::vector<TemplateRecord> templates1_;  // first template of each user: the one matched
  std::vector<TemplateRecord> templates2_;  // second template (two-template enrolment only)

  // Last Base64 text of "getTemplateData" (its length is the string's); written only under
  // apiLock.
  std::string base64Text_;
};

}  // namespace database
