// The agent's command line: what to do, and the settings given on it.
#pragma once

#include <string>
#include <vector>

namespace agent {

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kTrust, kUntrust };
  Action action = Action::kRun;
  // Normalised origins from --allow-origin, in the order given.
  std::vector<std::string> allowOrigins;
  // --config FILE: read this file instead of the usual configuration files; empty if not given.
  std::string configFile;
};

struct CommandLineResult {
  bool ok = false;
  CommandLine commandLine;
  std::string error;  // one line for people, when !ok
};

// Parses the arguments after the program name. Options: --help (-h), --version, --allow-origin
// URL (repeatable), --config FILE (each also as --name=value); commands: trust, untrust.
CommandLineResult ParseCommandLine(const std::vector<std::string>& arguments);

// The text of --help.
std::string UsageText();
// "webagent X.Y.Z".
std::string VersionText();

}  // namespace agent
