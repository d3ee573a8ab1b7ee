// Everything the agent settles before its server starts: the command line, the configuration
// files, where its page and TLS material are, and the commands that end without serving.
#pragma once

#include <optional>
#include <string>

#include "agent/web_agent.h"

namespace agent {

// Where the server finds its static files and TLS material: a build folder's "./html" under the
// working directory and cert/ beside the executable, or an installed agent's per-user files.
struct ServerFiles {
  std::string documentRoot;
  std::string certificateFile;  // PEM certificate chain of the HTTPS port
  std::string privateKeyFile;   // its PEM private key
};

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
