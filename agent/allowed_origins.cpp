#include "agent/allowed_origins.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "http/request_policy.h"

namespace agent {

namespace {

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && blank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

std::optional<std::string> Origin(std::string_view text, const std::string& where,
                                  std::vector<std::string>& problems) {
  std::optional<std::string> origin = http::NormaliseOrigin(text);
  if (!origin) {
    problems.push_back(where + ": \"" + std::string(text) +
                       "\" is not an origin (scheme://host[:port], for example "
                       "https://app.example.com)");
  }
  return origin;
}

}  // namespace

std::vector<std::string> ParseAllowedOrigins(std::string_view text,
                                             std::vector<std::string>& problems) {
  std::vector<std::string> origins;
  int number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    line = Trim(line.substr(0, line.find('#')));
    if (line.empty()) {
      continue;
    }
    if (auto origin = Origin(line, "line " + std::to_string(number), problems)) {
      origins.push_back(std::move(*origin));
    }
  }
  return origins;
}

std::vector<std::string> AllowedOriginsFromArguments(int argc, const char* const* argv,
                                                     std::vector<std::string>& problems) {
  std::vector<std::string> origins;
  const std::string_view option = kAllowOriginOption;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    std::optional<std::string_view> value;
    if (argument == option) {
      if (i + 1 < argc) {
        value = argv[++i];
      } else {
        problems.push_back(std::string(option) + " needs an origin, for example " +
                           std::string(option) + " https://app.example.com");
      }
    } else if (argument.starts_with(option) && argument.substr(option.size()).starts_with('=')) {
      value = argument.substr(option.size() + 1);
    }
    if (value) {
      if (auto origin = Origin(*value, std::string(option), problems)) {
        origins.push_back(std::move(*origin));
      }
    }
  }
  return origins;
}

std::string AllowedOriginsFilePath(const char* xdgConfigHome, const char* home) {
  // A relative XDG_CONFIG_HOME is ignored, as the XDG base directory rules require.
  if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/') {
    return std::string(xdgConfigHome) + "/webagent/allowed-origins";
  }
  if (home != nullptr && home[0] != '\0') {
    return std::string(home) + "/.config/webagent/allowed-origins";
  }
  return {};
}

std::vector<std::string> LoadAllowedOrigins(int argc, const char* const* argv) {
  std::vector<std::string> problems;
  std::vector<std::string> origins;
  const std::string path =
      AllowedOriginsFilePath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
  if (!path.empty()) {
    std::ifstream file(path);
    if (file) {
      std::ostringstream text;
      text << file.rdbuf();
      std::vector<std::string> fileProblems;
      origins = ParseAllowedOrigins(text.str(), fileProblems);
      for (const std::string& problem : fileProblems) {
        problems.push_back(path + ", " + problem);
      }
    }
  }
  for (std::string& origin : AllowedOriginsFromArguments(argc, argv, problems)) {
    origins.push_back(std::move(origin));
  }
  std::vector<std::string> unique;
  for (std::string& origin : origins) {
    if (std::find(unique.begin(), unique.end(), origin) == unique.end()) {
      unique.push_back(std::move(origin));
    }
  }
  for (const std::string& problem : problems) {
    std::fprintf(stderr, "webagent: ignored %s\n", problem.c_str());
  }
  if (!unique.empty()) {
    std::string list;
    for (const std::string& origin : unique) {
      list += (list.empty() ? "" : ", ") + origin;
    }
    std::fprintf(stderr, "webagent: besides its own page, these sites may use the agent: %s\n",
                 list.c_str());
  }
  return unique;
}

}  // namespace agent
