#include "agent/command_line.h"

#include "agent/origin.h"

#ifndef WEBAGENT_VERSION
#error "WEBAGENT_VERSION is set by the build from the project's version"
#endif

namespace agent {

namespace {

CommandLineResult Error(std::string message) {
  CommandLineResult result;
  result.error = std::move(message);
  return result;
}

}  // namespace

CommandLineResult ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLineResult result;
  CommandLine& line = result.commandLine;
  bool commandSeen = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    // "--name value" and "--name=value" both work for the options that take a value.
    auto value = [&](const std::string& name, std::string* out) -> bool {
      if (argument == name) {
        if (i + 1 >= arguments.size()) {
          return false;
        }
        *out = arguments[++i];
        return true;
      }
      *out = argument.substr(name.size() + 1);
      return true;
    };
    auto is = [&](const std::string& name) {
      return argument == name || argument.rfind(name + "=", 0) == 0;
    };

    if (argument == "--help" || argument == "-h") {
      line.action = CommandLine::Action::kHelp;
      result.ok = true;
      return result;  // help wins over everything else on the line
    }
    if (argument == "--version") {
      line.action = CommandLine::Action::kVersion;
    } else if (is("--allow-origin")) {
      std::string url;
      if (!value("--allow-origin", &url)) {
        return Error(
            "option '--allow-origin' needs a URL, e.g. --allow-origin https://app.example.com");
      }
      std::string why;
      auto origin = NormaliseOrigin(url, &why);
      if (!origin) {
        return Error("invalid origin '" + url + "' for --allow-origin: " + why);
      }
      line.allowOrigins.push_back(*origin);
    } else if (is("--config")) {
      if (!value("--config", &line.configFile) || line.configFile.empty()) {
        return Error("option '--config' needs a file name");
      }
    } else if (argument == "trust" || argument == "untrust") {
      if (commandSeen) {
        return Error("only one command may be given, found '" + argument + "' as well");
      }
      commandSeen = true;
      if (line.action != CommandLine::Action::kVersion) {
        line.action =
            argument == "trust" ? CommandLine::Action::kTrust : CommandLine::Action::kUntrust;
      }
    } else if (!argument.empty() && argument.front() == '-') {
      return Error("unknown option '" + argument + "'");
    } else {
      return Error("unknown command '" + argument + "'");
    }
  }
  result.ok = true;
  return result;
}

std::string UsageText() {
  return "Usage: webagent [OPTION]...\n"
         "       webagent trust | untrust\n"
         "\n"
         "Lets web pages on this computer use the fingerprint scanners attached to it, over\n"
         "https://127.0.0.1:8083/ and http://127.0.0.1:8084/.\n"
         "\n"
         "Commands:\n"
         "  trust                 make the browsers of this user (Chromium, Firefox) trust the\n"
         "                        agent's local certificate authority\n"
         "  untrust               remove that trust again\n"
         "\n"
         "Options:\n"
         "  --allow-origin URL    also let pages of this origin use the agent, e.g.\n"
         "                        https://app.example.com (may be given more than once)\n"
         "  --config FILE         read settings from FILE instead of the usual files\n"
         "  --help                show this text and exit\n"
         "  --version             show the version and exit\n"
         "\n"
         "Files:\n"
         "  $XDG_CONFIG_HOME/webagent/webagent.conf     settings (also /etc/xdg/webagent/)\n"
         "  $XDG_CONFIG_HOME/webagent/allowed-origins   one allowed origin a line\n"
         "  $XDG_DATA_HOME/webagent/                    certificate, key, local authority\n"
         "\n"
         "Stop the agent with Ctrl+C, Shift+Esc, or 'systemctl --user stop webagent'.\n"
         "See webagent(1).\n";
}

std::string VersionText() {
  return std::string("webagent ") + WEBAGENT_VERSION;
}

}  // namespace agent
