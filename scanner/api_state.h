// What the scanner and database APIs share: the lock that lets one operation run at a time,
// the agent-level reply document (deliberately not emptied between requests: pages have come
// to rely on members that an earlier reply left behind), and its writer.
#pragma once

#include <json/json.h>

#include <mutex>

namespace scanner {

struct ApiState {
  std::mutex apiLock;
  Json::Value reply;  // starts as JSON null
  Json::StyledWriter writer;
};

}  // namespace scanner
