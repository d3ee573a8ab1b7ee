// Everything the agent settles before its server starts: the command line, the configuration
// files, where its page and TLS material are, and the commands that end without serving.
#pragma once

#include <optional>

#include "agent/server.h"
#include "agent/web_agent.h"

namespace agent {

struct StartPlan {
  // Set when the process is to end at once with this status (--help, --version, trust,
  // untrust, a usage error, TLS material that cannot be made).
  std::optional<int> exitStatus;
  WebAgentOptions options;
  ServerFiles files;
};

// Exit status of a usage error, as command-line programs report it.
inline constexpr int kUsageError = 2;

StartPlan PrepareStart(int argc, char** argv);

}  // namespace agent
