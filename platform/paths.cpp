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
      layout.documentRoot = "./html";
      layout.pageDir = page;
      if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
          runtime != nullptr && *runtime == '/') {
        layout.workingDir = fs::path(runtime) / "webagent";
      } else {
        fs::path cache = AbsoluteFromEnvironment("XDG_CACHE_HOME");
        cache = cache.empty() ? UnderHome(".cache") : cache;
        layout.workingDir = cache.empty() ? fs::path() : cache / "webagent";
      }
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

bool EnterInstalledWorkingDir(const AgentLayout& layout, std::string* error) {
  auto fail = [&](const std::string& what, const std::error_code& ec) {
    if (error != nullptr) {
      *error = what + ": " + ec.message();
    }
    return false;
  };
  std::error_code ec;
  if (layout.workingDir.empty()) {
    return fail("no folder to work in", std::make_error_code(std::errc::no_such_file_or_directory));
  }
  const fs::path html = layout.workingDir / "html";
  fs::create_directories(html / "img", ec);
  if (ec) {
    return fail("cannot create " + html.string(), ec);
  }
  // Exported images are fingerprints: only the user may read them.
  fs::permissions(layout.workingDir, fs::perms::owner_all, ec);
  if (ec) {
    return fail("cannot restrict " + layout.workingDir.string(), ec);
  }
  // Links from an older version of the page that lead nowhere now.
  for (const auto& entry : fs::directory_iterator(html, ec)) {
    std::error_code ignored;
    if (entry.is_symlink(ignored) && !fs::exists(entry.path(), ignored)) {
      fs::remove(entry.path(), ignored);
    }
  }
  for (const auto& entry : fs::directory_iterator(layout.pageDir, ec)) {
    const fs::path link = html / entry.path().filename();
    if (entry.path().filename() == "img") {
      continue;  // the agent's own, writable
    }
    std::error_code ignored;
    if (fs::is_symlink(fs::symlink_status(link, ignored)) &&
        fs::read_symlink(link, ignored) == entry.path()) {
      continue;
    }
    fs::remove_all(link, ignored);
    fs::create_symlink(entry.path(), link, ec);
    if (ec) {
      return fail("cannot link " + link.string(), ec);
    }
  }
  if (ec) {
    return fail("cannot read " + layout.pageDir.string(), ec);
  }
  fs::current_path(layout.workingDir, ec);
  if (ec) {
    return fail("cannot change into " + layout.workingDir.string(), ec);
  }
  return true;
}

}  // namespace platform
