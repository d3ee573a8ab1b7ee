#include "service/dispatcher.h"

#include <algorithm>

#include "service/reply.h"
#include "service/request.h"

namespace service {

std::string Dispatcher::Dispatch(std::span<const Operation> table, std::string_view name,
                                 const char* cookie, std::string_view parameterText) {
  const auto operation = std::find_if(table.begin(), table.end(),
                                      [&](const Operation& op) { return op.name == name; });
  Request request;
  request.name = std::string(name);
  request.cookie = cookie;
  request.parameterText = std::string(parameterText);
  request.handleText = GetParamSHandle(parameterText);
  request.pageId = GetParamId(parameterText);

  std::unique_lock apiLock(apiLock_, std::defer_lock);
  if (operation == table.end() || !operation->bypassesApiLock) {
    apiLock.lock();
  }
  if (operation == table.end()) {
    return ReplyText(UnsupportedApiReply());
  }
  request.operation = &*operation;
  if (operation->needsSession) {
    SessionRefusal refusal;
    if (!sessions_.CheckSession(cookie, request.pageId, request.handleText, &refusal)) {
      return ReplyText(SessionRefusalReply(name, refusal));
    }
  }
  return ReplyText(operation->run(request));
}

}  // namespace service
