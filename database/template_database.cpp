#include "database/template_database.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "codec/base64.h"
#include "devicelib/status.h"
#include "service/request.h"

namespace database {

std::optional<uint32_t> ParseUserLimit(std::string_view text) {
  const std::optional<int32_t> value = service::ReadDecimal32(text);
  if (value && *value >= 1 && static_cast<uint32_t>(*value) <= kMaxUsers) {
    return static_cast<uint32_t>(*value);
  }
  return std::nullopt;
}

TemplateDatabase::TemplateDatabase(service::Dispatcher& dispatcher,
                                   service::DeviceLibraries libraries,
                                   const std::atomic<devicelib::MatcherHandle>& matcher,
                                   service::EventHub& events, uint32_t maxUsers)
    : dispatcher_(dispatcher),
      libraries_(libraries),
      matcher_(matcher),
      events_(events),
      maxUsers_(std::max<uint32_t>(maxUsers, 1)) {
  // name, needs a session, re-arms the release countdown, handler, runs without the API lock
  operations_ = {
      // Never behind the API lock: a running identification holds it until the matcher
      // returns, and the abort is what makes the matcher return.
      {"abortIdentify", false, false, [this](const service::Request&) { return AbortIdentify(); },
       true},
      {"delete", false, false, Operation(&TemplateDatabase::DeleteUser)},
      {"deleteAll", false, false, Operation(&TemplateDatabase::DeleteAll)},
      {"update", true, false, Operation(&TemplateDatabase::UpdateTemplate)},
      {"enroll", true, false, Operation(&TemplateDatabase::Enroll)},
      {"verify", true, false, Operation(&TemplateDatabase::Verify)},
      {"verifyTemplate", true, false, Operation(&TemplateDatabase::VerifyTemplate)},
      {"identify", true, false, Operation(&TemplateDatabase::Identify)},
      {"queryData", false, false, Operation(&TemplateDatabase::QueryData)},
      {"getTemplateData", true, false, Operation(&TemplateDatabase::GetTemplateData)},
  };
}

service::Handler TemplateDatabase::Operation(
    void (TemplateDatabase::*run)(const std::string& parameterText)) {
  return [this, run](const service::Request& request) {
    reply_ = service::NewAgentReply();
    (this->*run)(request.parameterText);
    return std::exchange(reply_, Json::Value());
  };
}

std::string TemplateDatabase::HandleDatabaseApi(const std::string& name, const char* cookie,
                                                const std::string& parameterText) {
  return dispatcher_.Dispatch(operations_, name, cookie, parameterText);
}

// ---- store ----

void TemplateDatabase::AddUser(const std::string& userID) {
  TemplateRecord first;
  first.templateData.assign(kTemplateBufferSize, 0);
  first.userID = userID;
  TemplateRecord second;
  second.templateData.assign(kTemplateBufferSize, 0);
  second.userID = userID;

  std::lock_guard templateGuard(templateLock_);
  // Make room in both lists first, so that a failed allocation cannot leave them out of step.
  // The room grows geometrically: growing by one each time would move every record on every
  // enrolment.
  if (templates1_.size() == templates1_.capacity() ||
      templates2_.size() == templates2_.capacity()) {
    const size_t room = std::min<size_t>(std::max<size_t>(2 * templates1_.size(), 16), maxUsers_);
    templates1_.reserve(std::max(room, templates1_.size() + 1));
    templates2_.reserve(std::max(room, templates2_.size() + 1));
  }
  templates1_.push_back(std::move(first));
  templates2_.push_back(std::move(second));
}

void TemplateDatabase::RemoveUser(int32_t serialNo) {
  templates1_.erase(templates1_.begin() + serialNo);
  templates2_.erase(templates2_.begin() + serialNo);
}

// An absent serial number names no user: it gets the same answer as one outside the store
// ("0" with the scanner library's message for 0). False when the operation must end.
bool TemplateDatabase::RequireExistingUser(std::optional<int32_t> serialNo) {
  if (serialNo && IsValidUserIndex(*serialNo)) {
    return true;
  }
  SetLibraryError(service::Library::kScanner, 0);
  return false;
}

bool TemplateDatabase::IsValidUserIndex(int32_t serialNo) const {
  return serialNo >= 0 && static_cast<uint32_t>(serialNo) < Count();
}

uint32_t TemplateDatabase::Count() const {
  return static_cast<uint32_t>(templates1_.size());
}

void TemplateDatabase::ClearTemplates() {
  std::lock_guard templateGuard(templateLock_);
  templates1_.clear();
  templates2_.clear();
}

uint32_t TemplateDatabase::UserCount() {
  std::lock_guard templateGuard(templateLock_);
  return Count();
}

std::vector<UserSummary> TemplateDatabase::Users() {
  std::lock_guard templateGuard(templateLock_);
  std::vector<UserSummary> users;
  users.reserve(templates1_.size());
  for (size_t i = 0; i < templates1_.size(); ++i) {
    users.push_back({templates1_[i].userID, templates1_[i].templateSize, templates1_[i].quality,
                     templates2_[i].templateSize, templates2_[i].quality});
  }
  return users;
}

std::optional<std::vector<uint8_t>> TemplateDatabase::TemplateBytes(int32_t serialNo, bool second) {
  std::lock_guard templateGuard(templateLock_);
  if (!IsValidUserIndex(serialNo)) {
    return std::nullopt;
  }
  const TemplateRecord& record = (second ? templates2_ : templates1_)[serialNo];
  return std::vector<uint8_t>(record.templateData.begin(),
                              record.templateData.begin() + record.templateSize);
}

std::string TemplateDatabase::Base64Text() {
  std::lock_guard apiGuard(dispatcher_.ApiLock());
  return base64Text_;
}

// ---- reply and parameter helpers ----

void TemplateDatabase::SetLibraryError(service::Library library, int32_t code) {
  service::SetLibraryError(reply_, libraries_, library, code);
  if (code == devicelib::kInvalidTemplate) {
    // The libraries' -112 looks like a parameter fault to a page; say what it is.
    reply_["detail"] = library == service::Library::kMatcher
                           ? "the matcher cannot read one of the templates it was given"
                           : "the scanner library cannot read the template it was given";
  }
}

void TemplateDatabase::SetWrongParameter(std::string_view detail) {
  service::SetWrongParameter(reply_, detail);
}

void TemplateDatabase::SetIntegerWrongParameter(std::string_view detail) {
  reply_["retValue"] = -112;
  reply_["retString"] = service::kWrongParameter;
  reply_["detail"] = std::string(detail);
}

void TemplateDatabase::SetMatchScore() {
  int32_t score = 0;
  int32_t threshold = 0;
  devicelib::MatcherLib& matcher = libraries_.matcher;
  const devicelib::MatcherHandle instance = matcher_.load();
  if (matcher.GetParameter(instance, devicelib::kParamMatchScore, &score) == devicelib::kOk &&
      matcher.GetParameter(instance, devicelib::kParamMatchThreshold, &threshold) ==
          devicelib::kOk) {
    reply_["score"] = score;
    reply_["threshold"] = threshold;
  }
}

int32_t TemplateDatabase::CaptureImage(int64_t handle, const char* mode) {
  const std::string handleText = std::to_string(handle);
  Json::Value started(Json::objectValue);
  started["mode"] = mode;
  events_.Publish(service::event::kCaptureStarted, handleText, std::move(started));
  const int32_t status = libraries_.scanner.CaptureSingleImage(handle);
  Json::Value done(Json::objectValue);
  done["retValue"] = status;
  events_.Publish(service::event::kCaptureDone, handleText, std::move(done));
  return status;
}

void TemplateDatabase::PublishEnrolSample(int64_t handle, int sample, int samples,
                                          int32_t quality) {
  Json::Value data(Json::objectValue);
  data["sample"] = sample;
  data["samples"] = samples;
  data["quality"] = quality;
  events_.Publish(service::event::kEnrolSample, std::to_string(handle), std::move(data));
}

namespace {

constexpr char kDetailHandle[] =
    "sHandle is missing or 0: pass a \"DeviceHandle\" that initDevice reported";

// The names an operation reads, for the fault of a request that gave none of them.
std::string KnownNames(unsigned known) {
  static constexpr std::pair<ParameterName, const char*> kNames[] = {
      {kUserSerialNo, "userSerialNo"},
      {kUserId, "userID"},
      {kSelectTemplate, "selectTemplate"},
      {kExtractEx, "extractEx"},
      {kQualityLevel, "qualityLevel"},
      {kEncrypt, "encrypt"},
      {kEncryptKey, "encryptKey"},
      {kTempData, "tempData"},
      {kTempLen, "tempLen"},
  };
  std::string names;
  for (const auto& [bit, name] : kNames) {
    if ((known & bit) != 0) {
      names += names.empty() ? name : std::string(", ") + name;
    }
  }
  return names;
}

}  // namespace

bool TemplateDatabase::ReadRequest(const std::string& parameterText, unsigned known,
                                   bool integerMapFault, int64_t& handle,
                                   RequestParameters& params) {
  handle = service::ReadHandleNumber(service::GetParamSHandle(parameterText));
  if (handle == 0) {
    SetWrongParameter(kDetailHandle);
    return false;
  }
  service::ParameterMap map;
  if (service::ParseParameters(parameterText, map) != 0) {
    const std::string detail =
        "no parameter besides sHandle was given; this operation reads " + KnownNames(known);
    if (integerMapFault) {
      SetIntegerWrongParameter(detail);
    } else {
      SetWrongParameter(detail);
    }
    return false;
  }
  std::string failed;
  if (!ReadParameters(map, known, params, &failed)) {
    if (failed == "userID") {
      SetWrongParameter(
          "userID is not UTF-8 text once its %XX escapes are decoded: send "
          "encodeURIComponent(userID)");
    } else {
      SetWrongParameter(failed + " must be a decimal number within 32 bits");
    }
    return false;
  }
  return true;
}

void TemplateDatabase::StoreBase64(std::span<const uint8_t> bytes) {
  base64Text_ = codec::Base64Encode(bytes);
}

// ---- delete, deleteAll, queryData ----

void TemplateDatabase::DeleteUser(const std::string& parameterText) {
  int64_t handle = 0;
  RequestParameters params;
  if (!ReadRequest(parameterText, kUserSerialNo, false, handle, params)) {
    return;
  }
  if (!RequireExistingUser(params.userSerialNo)) {
    return;
  }
  {
    std::lock_guard templateGuard(templateLock_);
    RemoveUser(*params.userSerialNo);
  }
  service::SetSuccess(reply_);
}

void TemplateDatabase::DeleteAll(const std::string& /*parameterText*/) {
  ClearTemplates();
  service::SetSuccess(reply_);
}

void TemplateDatabase::QueryData(const std::string& parameterText) {
  // The handle is not used, but a page must name a scanner all the same.
  if (service::ReadHandleNumber(service::GetParamSHandle(parameterText)) == 0) {
    SetWrongParameter(kDetailHandle);
    return;
  }
  Json::Value db(Json::objectValue);
  {
    std::lock_guard templateGuard(templateLock_);
    db["size"] = Count();
    for (uint32_t i = 0; i < Count(); ++i) {
      Json::Value user(Json::objectValue);
      user["id"] = templates1_[i].userID;
      user["template1"] = templates1_[i].templateSize;
      user["quality1"] = templates1_[i].quality;
      user["template2"] = templates2_[i].templateSize;
      user["quality2"] = templates2_[i].quality;
      db[service::IntToString(static_cast<int32_t>(i))] = std::move(user);
    }
  }
  reply_["db"] = std::move(db);
  service::SetSuccess(reply_);
}

}  // namespace database
