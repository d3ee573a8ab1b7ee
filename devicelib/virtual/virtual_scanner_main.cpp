// virtual-scanner: changes the virtual scanners of the running agent through its control
// socket. See --help.
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "devicelib/virtual/control_socket.h"

namespace {

constexpr const char* kUsage =
    "usage: virtual-scanner COMMAND [ARGUMENTS]\n"
    "\n"
    "Changes the virtual fingerprint scanners of the web agent running for this user.\n"
    "DEVICE is a device's index as 'list' shows it (the library's current enumeration).\n"
    "\n"
    "commands:\n"
    "  list                                show the devices: index, handle, ID, type, sensor\n"
    "  place DEVICE FINGER [--quality Q]   rest finger FINGER (a number >= 0) on the sensor;\n"
    "                                      Q 0..100 is how well it is placed (default 90; low\n"
    "                                      values give smudged images of low quality)\n"
    "  lift DEVICE                         take the finger off the sensor\n"
    "  plug [--type CODE]                  attach a new device (types 1001 KQ10, 1002 KQ20,\n"
    "                                      1003 KQ21, 1004 Tessaro Duo, 1005 Tessaro Flat;\n"
    "                                      any other code is a type the agent does not\n"
    "                                      know; default 1005)\n"
    "  unplug DEVICE                       detach a device\n"
    "  --help                              show this text\n"
    "\n"
    "The agent listens on $XDG_RUNTIME_DIR/webagent-virtual-scanner.sock\n"
    "(/tmp/webagent-virtual-scanner-UID.sock when XDG_RUNTIME_DIR is unset).\n"
    "Exit status: 0 done, 1 refused by the agent or no agent running, 2 bad arguments.\n";

bool IsNumber(std::string_view text, long long lo, long long hi) {
  long long value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && ec == std::errc() && ptr == text.data() + text.size() && value >= lo &&
         value <= hi;
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "virtual-scanner: %s\n(see virtual-scanner --help)\n", problem.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  // Split off the options; what remains are the positional words.
  std::string quality = "90", type;
  bool haveQuality = false, haveType = false;
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string value;
    const std::string& a = args[i];
    bool isQuality = a == "--quality" || a.rfind("--quality=", 0) == 0;
    bool isType = a == "--type" || a.rfind("--type=", 0) == 0;
    if (isQuality || isType) {
      const size_t eq = a.find('=');
      if (eq != std::string::npos) {
        value = a.substr(eq + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return Usage(a + " needs a value");
      }
      (isQuality ? quality : type) = value;
      (isQuality ? haveQuality : haveType) = true;
    } else if (a.rfind("--", 0) == 0) {
      return Usage("unknown option " + a);
    } else {
      words.push_back(a);
    }
  }
  const std::string& command = words.empty() ? std::string() : words[0];
  const bool isPlace = command == "place", isPlug = command == "plug";
  if (haveQuality && !isPlace) {
    return Usage("--quality belongs to 'place'");
  }
  if (haveType && !isPlug) {
    return Usage("--type belongs to 'plug'");
  }
  std::string request;
  if (command == "list") {
    if (words.size() != 1) {
      return Usage("'list' takes no arguments");
    }
    request = "list";
  } else if (isPlace) {
    if (words.size() != 3) {
      return Usage("usage: place DEVICE FINGER [--quality Q]");
    }
    if (!IsNumber(words[1], 0, 2147483647)) {
      return Usage("DEVICE must be a device index (0, 1, ...), not '" + words[1] + "'");
    }
    if (!IsNumber(words[2], 0, 4294967295LL)) {
      return Usage("FINGER must be a number 0..4294967295, not '" + words[2] + "'");
    }
    if (!IsNumber(quality, 0, 100)) {
      return Usage("quality must be a number 0..100, not '" + quality + "'");
    }
    request = "place " + words[1] + " " + words[2] + " " + quality;
  } else if (command == "lift" || command == "unplug") {
    if (words.size() != 2) {
      return Usage("usage: " + command + " DEVICE");
    }
    if (!IsNumber(words[1], 0, 2147483647)) {
      return Usage("DEVICE must be a device index (0, 1, ...), not '" + words[1] + "'");
    }
    request = command + " " + words[1];
  } else if (isPlug) {
    if (words.size() != 1) {
      return Usage("usage: plug [--type CODE]");
    }
    if (haveType && !IsNumber(type, 1, 2147483647)) {
      return Usage("type must be a positive device type code, not '" + type + "'");
    }
    request = haveType ? "plug " + type : "plug";
  } else if (command.empty()) {
    return Usage("no command given");
  } else {
    return Usage("unknown command '" + command + "'");
  }

  std::string answer, error;
  if (!devicelib::virt::SendControlRequest(devicelib::virt::ControlSocketPath(), request, &answer,
                                           &error)) {
    std::fprintf(stderr, "virtual-scanner: %s\n", error.c_str());
    return 1;
  }
  const size_t firstLine = answer.find('\n');
  const std::string status = answer.substr(0, firstLine);
  const std::string body = firstLine == std::string::npos ? "" : answer.substr(firstLine + 1);
  if (status == "ok") {
    std::fputs(body.c_str(), stdout);
    return 0;
  }
  std::fprintf(stderr, "virtual-scanner: %s", body.empty() ? "the agent refused\n" : body.c_str());
  return 1;
}
