#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace platform {

namespace fs = std::filesystem;

namespace {

// An XDG variable counts only when it holds an absolute path.
fs::path AbsoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value != '/') {
    return {};
  }
  return fs::path(value);
}

fs::path UnderHome(const char* relative) {
  const fs::path home = HomeDirectory();
  return home.empty() ? fs::path() : home / relative;
}

}  // namespace

fs::path HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    return fs::path(home);
  }
  const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<size_t>(size) : 16384U, '\0');
  passwd entry{};
  passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
      result != nullptr && result->pw_dir != nullptr && result->pw_dir[0] == '/') {
    return fs::path(result->pw_dir);
  }
  return {};
}

fs::path DataHome() {
  fs::path dir = AbsoluteFromEnvironment("XDG_DATA_HOME");
  return dir.empty() ? UnderHome(".local/share") : dir;
}

fs::path ConfigHome() {
  fs::path dir = AbsoluteFromEnvironment("XDG_CONFIG_HOME");
  return dir.empty() ? UnderHome(".config") : dir;
}

std::vector<fs::path> ConfigDirs() {
  std::vector<fs::path> dirs;
  if (const char* value = std::getenv("XDG_CONFIG_DIRS"); value != nullptr && *value != '\0') {
    std::string text = value;
    size_t start = 0;
    while (start <= text.size()) {
      const size_t colon = std::min(text.find(':', start), text.size());
      const std::string entry = text.substr(start, colon - start);
      if (!entry.empty() && entry.front() == '/') {
        dirs.emplace_back(entry);
      }
      start = colon + 1;
    }
  }
  if (dirs.empty()) {
    dirs.emplace_back("/etc/xdg");
  }
  return dirs;
}

AgentLayout ResolveAgentLayout(const std::string& exeDir) {
  AgentLayout layout;
  std::error_code error;
  if (!exeDir.empty()) {
    const fs::path exe(exeDir);
    const fs::path page = exe.parent_path() / "share" / "webagent" / "html";
    if (exe.filename() == "bin" && fs::is_regular_file(page / "index.html", error)) {
      layout.installed = true;
      layout.documentRoot = page;
      layout.dataDir = DataHome().empty() ? fs::path() : DataHome() / "webagent";
      layout.certificateFile = layout.dataDir / "localhost_cert.crt";
      layout.privateKeyFile = layout.dataDir / "localhost_cert.key";
      return layout;
    }
  }
  layout.documentRoot = "./html";
  const fs::path certDir = exeDir.empty() ? fs::path("cert") : fs::path(exeDir) / "cert";
  layout.certificateFile = certDir / "localhost_cert.crt";
  layout.privateKeyFile = certDir / "localhost_cert.key";
  return layout;
}

}  // namespace platform
