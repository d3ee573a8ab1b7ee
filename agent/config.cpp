#include "agent/config.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "agent/origin.h"
#include "platform/paths.h"

namespace agent {

namespace fs = std::filesystem;

namespace {

std::string_view Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// Calls `use(line, number)` with every line that holds more than a comment, trimmed.
template <typename Use>
void ForEachLine(std::string_view text, Use use) {
  int number = 0;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = std::min(text.find('\n', start), text.size());
    ++number;
    std::string_view line = text.substr(start, end - start);
    if (const size_t hash = line.find('#'); hash != std::string_view::npos) {
      line = line.substr(0, hash);
    }
    line = Trim(line);
    if (!line.empty()) {
      use(line, number);
    }
    start = end + 1;
  }
}

std::string Where(const std::string& name, int line) {
  return name + ", line " + std::to_string(line) + ": ";
}

void TakeOrigin(std::string_view text, const std::string& where, AgentConfig& config,
                std::vector<std::string>& problems) {
  std::string why;
  if (auto origin = NormaliseOrigin(text, &why)) {
    AddOrigin(config, *origin);
  } else {
    problems.push_back(where + "\"" + std::string(text) + "\" is not an origin, ignored: " + why);
  }
}

std::optional<std::string> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

void AddOrigin(AgentConfig& config, const std::string& origin) {
  for (const auto& known : config.allowedOrigins) {
    if (known == origin) {
      return;
    }
  }
  config.allowedOrigins.push_back(origin);
}

void ParseConfigText(std::string_view text, const std::string& name, AgentConfig& config,
                     std::vector<std::string>& problems) {
  ForEachLine(text, [&](std::string_view line, int number) {
    const std::string where = Where(name, number);
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      problems.push_back(where + "expected 'key = value', found '" + std::string(line) + "'");
      return;
    }
    const std::string key(Trim(line.substr(0, equals)));
    const std::string value(Trim(line.substr(equals + 1)));
    if (key == "allow-origin") {
      TakeOrigin(value, where, config, problems);
    } else if (key == "scanner-backend") {
      if (value == "libfprint" || value == "virtual" || value == "auto") {
        config.scannerBackend = value;
      } else {
        problems.push_back(where + "scanner-backend must be libfprint, virtual or auto");
      }
    } else if (key == "virtual-scanners") {
      const bool digits = !value.empty() && value.size() <= 2 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
      const int count = digits ? std::stoi(value) : -1;
      if (count >= 0 && count <= kMaxVirtualScanners) {
        config.virtualScanners = count;
      } else {
        problems.push_back(where + "virtual-scanners must be a number from 0 to " +
                           std::to_string(kMaxVirtualScanners));
      }
    } else if (key == "trust-browsers") {
      if (value == "yes" || value == "true") {
        config.trustBrowsers = true;
      } else if (value == "no" || value == "false") {
        config.trustBrowsers = false;
      } else {
        problems.push_back(where + "trust-browsers must be yes or no");
      }
    } else {
      problems.push_back(where + "unknown key '" + key + "'");
    }
  });
}

void ParseOriginsText(std::string_view text, const std::string& name, AgentConfig& config,
                      std::vector<std::string>& problems) {
  ForEachLine(text, [&](std::string_view line, int number) {
    TakeOrigin(line, Where(name, number), config, problems);
  });
}

std::optional<AgentConfig> LoadConfig(const CommandLine& commandLine,
                                      std::vector<std::string>& problems) {
  AgentConfig config;
  if (!commandLine.configFile.empty()) {
    auto text = ReadFile(commandLine.configFile);
    if (!text) {
      problems.push_back("cannot read the configuration file '" + commandLine.configFile + "'");
      return std::nullopt;
    }
    ParseConfigText(*text, commandLine.configFile, config, problems);
  } else {
    // Least important first, so that later files override the scalar keys.
    std::vector<fs::path> dirs = platform::ConfigDirs();
    std::vector<fs::path> ordered(dirs.rbegin(), dirs.rend());
    if (const fs::path home = platform::ConfigHome(); !home.empty()) {
      ordered.push_back(home);
    }
    for (const auto& dir : ordered) {
      const fs::path conf = dir / "webagent" / "webagent.conf";
      if (auto text = ReadFile(conf)) {
        ParseConfigText(*text, conf.string(), config, problems);
      }
      const fs::path origins = dir / "webagent" / "allowed-origins";
      if (auto text = ReadFile(origins)) {
        ParseOriginsText(*text, origins.string(), config, problems);
      }
    }
  }
  for (const auto& origin : commandLine.allowOrigins) {
    AddOrigin(config, origin);
  }
  return config;
}

void ExportDeviceSettings(const AgentConfig& config) {
  if (config.scannerBackend) {
    ::setenv("WEBAGENT_SCANNER_BACKEND", config.scannerBackend->c_str(), 0);
  }
  if (config.virtualScanners) {
    ::setenv("WEBAGENT_VIRTUAL_SCANNERS", std::to_string(*config.virtualScanners).c_str(), 0);
  }
}

}  // namespace agent
