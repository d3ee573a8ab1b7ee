#include "database/template_database.h"

#include <algorithm>
#include <string_view>

#include "codec/base64.h"
#include "http/params.h"

namespace database {

TemplateDatabase::TemplateDatabase(scanner::ApiState& api, session::SessionRegistry& sessions,
                                   scanner::DeviceLibraries libraries,
                                   const std::atomic<devicelib::MatcherHandle>& matcher)
    : api_(api), sessions_(sessions), libraries_(libraries), matcher_(matcher) {}

namespace {

struct Operation {
  std::string_view name;
  bool needsSession;
  void (TemplateDatabase::*run)(const std::string& parameterText);
};

}  // namespace

std::string TemplateDatabase::HandleDatabaseApi(const std::string& name, const char* cookie,
                                                const std::string& parameterText) {
  const std::string sHandle = http::GetParamSHandle(parameterText);
  const std::string pageId = http::GetParamId(parameterText);

  // Never behind apiLock: a running identification holds it until the matcher returns, and
  // the abort is what makes the matcher return.
  if (name == "abortIdentify") {
    return AbortIdentify();
  }

  // The names in the order they are compared; pages see no difference, but the order is kept
  // so that the dispatch reads like the operation list it serves.
  static constexpr Operation kOperations[] = {
      {"delete", false, &TemplateDatabase::DeleteUser},
      {"deleteAll", false, &TemplateDatabase::DeleteAll},
      {"update", true, &TemplateDatabase::UpdateTemplate},
      {"enroll", true, &TemplateDatabase::Enroll},
      {"verify", true, &TemplateDatabase::Verify},
      {"verifyTemplate", true, &TemplateDatabase::VerifyTemplate},
      {"identify", true, &TemplateDatabase::Identify},
      {"queryData", false, &TemplateDatabase::QueryData},
      {"getTemplateData", true, &TemplateDatabase::GetTemplateData},
  };

  std::lock_guard apiGuard(api_.apiLock);
  Json::Value& reply = api_.reply;
  // The document is deliberately not emptied: members of earlier replies stay until an
  // operation overwrites them, and pages have come to read them there.
  reply["sessionId"] = "0";

  const auto operation = std::find_if(std::begin(kOperations), std::end(kOperations),
                                      [&](const Operation& op) { return op.name == name; });
  if (operation == std::end(kOperations)) {
    reply = Json::Value(Json::objectValue);
    reply["retValue"] = -111;
    reply["retString"] = scanner::kUnsupportedApi;
    return api_.writer.write(reply);
  }

  std::string error;
  if (operation->needsSession && !sessions_.ValidateSession(cookie, pageId, sHandle, &error)) {
    reply = Json::Value(Json::objectValue);
    reply["request"] = name;
    reply["retValue"] = -112;
    reply["retString"] = error;
    return api_.writer.write(reply);
  }

  (this->*operation->run)(parameterText);
  return api_.writer.write(reply);
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
  templates1_.reserve(templates1_.size() + 1);
  templates2_.reserve(templates2_.size() + 1);
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
  SetLibraryError(scanner::Library::kScanner, 0);
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
  std::lock_guard apiGuard(api_.apiLock);
  return base64Text_;
}

// ---- reply and parameter helpers ----

void TemplateDatabase::SetLibraryError(scanner::Library library, int32_t code) {
  scanner::SetLibraryError(api_.reply, libraries_, library, code);
}

void TemplateDatabase::SetWrongParameter() {
  scanner::SetWrongParameter(api_.reply);
}

void TemplateDatabase::SetIntegerWrongParameter() {
  api_.reply["retValue"] = -112;
  api_.reply["retString"] = scanner::kWrongParameter;
}

bool TemplateDatabase::ReadRequest(const std::string& parameterText, unsigned known,
                                   bool integerMapFault, int64_t& handle,
                                   RequestParameters& params) {
  handle = http::ReadHandleNumber(http::GetParamSHandle(parameterText));
  if (handle == 0) {
    SetWrongParameter();
    return false;
  }
  http::ParameterMap map;
  if (http::ParseParameters(parameterText, map) != 0) {
    if (integerMapFault) {
      SetIntegerWrongParameter();
    } else {
      SetWrongParameter();
    }
    return false;
  }
  if (!ReadParameters(map, known, params)) {
    SetWrongParameter();
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
  scanner::SetSuccess(api_.reply);
}

void TemplateDatabase::DeleteAll(const std::string& /*parameterText*/) {
  ClearTemplates();
  scanner::SetSuccess(api_.reply);
}

void TemplateDatabase::QueryData(const std::string& parameterText) {
  // The handle is not used, but a page must name a scanner all the same.
  if (http::ReadHandleNumber(http::GetParamSHandle(parameterText)) == 0) {
    SetWrongParameter();
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
      db[scanner::IntToString(static_cast<int32_t>(i))] = std::move(user);
    }
  }
  api_.reply["db"] = std::move(db);
  scanner::SetSuccess(api_.reply);
}

}  // namespace database
