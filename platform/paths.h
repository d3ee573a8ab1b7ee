// Where the agent keeps its files: the XDG base directories of the user it runs for, and the
// layout of an installed copy next to that of a build folder.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// $XDG_DATA_HOME, or ~/.local/share when unset or not absolute (the XDG rule: relative values
// are invalid and ignored). Empty when neither it nor HOME is known.
std::filesystem::path DataHome();
// $XDG_CONFIG_HOME, or ~/.config.
std::filesystem::path ConfigHome();
// $XDG_CONFIG_DIRS (absolute entries only), or /etc/xdg; most important first.
std::vector<std::filesystem::path> ConfigDirs();
// The user's home folder: $HOME, or the password database's entry.
std::filesystem::path HomeDirectory();

// The files an agent process uses, fixed once at start.
struct AgentLayout {
  // True when the executable sits in an installed prefix (<prefix>/bin with the page under
  // <prefix>/share/webagent/html); false for a run from a build folder.
  bool installed = false;
  std::filesystem::path documentRoot;     // static files, relative to the working directory
  std::filesystem::path pageDir;          // the installed page (installed only)
  std::filesystem::path workingDir;       // where the process works (installed only)
  std::filesystem::path certificateFile;  // PEM, the server's certificate
  std::filesystem::path privateKeyFile;   // PEM, its key
  std::filesystem::path dataDir;          // per-user TLS material (installed only)
};

// Installed: the page under <prefix>/share/webagent/html and the TLS files in the user's data
// folder ($XDG_DATA_HOME/webagent). Build folder: "./html" under the working directory and
// cert/ beside the executable, as a developer runs it.
AgentLayout ResolveAgentLayout(const std::string& exeDir);

// The agent serves "./html" and writes exported images into "./html/img" under its working
// directory. An installed agent works in a private per-user folder ($XDG_RUNTIME_DIR/webagent,
// or $XDG_CACHE_HOME/webagent without a runtime folder) whose "html" holds a link to each entry
// of the installed page and a writable "img" folder of its own. Makes that folder (mode 0700),
// refreshes the links (so that an upgraded page is served at once) and changes into it.
bool EnterInstalledWorkingDir(const AgentLayout& layout, std::string* error);

}  // namespace platform
