// The agent's configuration files.
//
// Two files in a "webagent" folder of each XDG configuration directory (the system-wide ones,
// /etc/xdg by default, then the user's $XDG_CONFIG_HOME, ~/.config by default):
//
//   webagent.conf     "key = value" lines: scanner-backend, virtual-scanners, trust-browsers,
//                     allow-origin (repeatable)
//   allowed-origins   one origin a line
//
// In both, "#" starts a comment and blank lines are ignored. Origins add up over all files and
// the command line; for the other keys the user's file overrides the system's, and the
// environment (WEBAGENT_SCANNER_BACKEND, WEBAGENT_VIRTUAL_SCANNERS) overrides both.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/command_line.h"

namespace agent {

struct AgentConfig {
  // Normalised, each once, in the order first met.
  std::vector<std::string> allowedOrigins;
  std::optional<std::string> scannerBackend;  // "libfprint", "virtual" or "auto"
  std::optional<int> virtualScanners;         // 0 to 8
  // Run "webagent trust" at every start (for desktops set up by an administrator).
  bool trustBrowsers = false;
};

inline constexpr int kMaxVirtualScanners = 8;

// Adds an origin unless it is there already.
void AddOrigin(AgentConfig& config, const std::string& origin);

// Reads the text of a webagent.conf file; lines that cannot be used are skipped and described
// in `problems` ("NAME, line N: reason").
void ParseConfigText(std::string_view text, const std::string& name, AgentConfig& config,
                     std::vector<std::string>& problems);
// Reads the text of an allowed-origins file.
void ParseOriginsText(std::string_view text, const std::string& name, AgentConfig& config,
                      std::vector<std::string>& problems);

// The configuration the command line asks for: the usual files (or only --config FILE), then
// the command line's own origins. Returns nothing when --config names a file that cannot be
// read; `problems` then says why.
std::optional<AgentConfig> LoadConfig(const CommandLine& commandLine,
                                      std::vector<std::string>& problems);

// Hands the backend choice and the number of virtual scanners to the device libraries through
// their environment variables, unless the environment sets them already.
void ExportDeviceSettings(const AgentConfig& config);

}  // namespace agent
