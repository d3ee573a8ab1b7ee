// The control protocol of the virtual scanners: one request line of the `virtual-scanner`
// command (list, place, lift, plug, unplug) turned into calls on the device model and an answer
// text. The transport is control_socket.h.
#include <charconv>
#include <cstdio>
#include <sstream>

#include "devicelib/status.h"
#include "devicelib/virtual/virtual_scanner.h"

namespace devicelib::virt {
namespace {

bool ParseNumber(const std::string& text, int64_t* value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end;
}

}  // namespace

std::string VirtualScannerLib::HandleControlRequest(const std::string& request) {
  std::istringstream in(request);
  std::vector<std::string> words;
  for (std::string w; in >> w;) {
    words.push_back(w);
  }
  auto error = [](const std::string& message) { return "error\n" + message + "\n"; };
  auto number = [&](size_t i, int64_t lo, int64_t hi, int64_t* value) {
    return i < words.size() && ParseNumber(words[i], value) && *value >= lo && *value <= hi;
  };
  auto noDevice = [&](int64_t index) {
    return error("no device " + std::to_string(index) + " (see: virtual-scanner list)");
  };
  if (words.empty()) {
    return error("empty request");
  }
  const std::string& command = words[0];
  int64_t device = 0;
  if (command == "list" && words.size() == 1) {
    std::ostringstream out;
    out << "ok\n";
    char line[256];
    std::snprintf(line, sizeof(line), "%-5s  %-19s  %-12s  %-17s  %s\n", "INDEX", "HANDLE", "ID",
                  "TYPE", "SENSOR");
    out << line;
    for (const DeviceState& d : ListDevices()) {
      const std::string handle = d.handle != 0 ? std::to_string(d.handle) : "-";
      const char* model = DeviceTypeName(d.type);
      std::string type = std::to_string(d.type) + " " + (model != nullptr ? model : "unknown");
      std::string sensor = d.fingerOn ? "finger " + std::to_string(d.finger) + " (quality " +
                                            std::to_string(d.placementQuality) + ")"
                                      : "empty";
      if (d.capturing) {
        sensor += ", capturing";
      }
      std::snprintf(line, sizeof(line), "%-5d  %-19s  %-12s  %-17s  %s\n", d.index, handle.c_str(),
                    d.id.c_str(), type.c_str(), sensor.c_str());
      out << line;
    }
    return out.str();
  }
  if (command == "place" && words.size() == 4) {
    int64_t finger = 0, quality = 0;
    if (!number(1, 0, INT32_MAX, &device)) {
      return error("bad device index: " + words[1]);
    }
    if (!number(2, 0, UINT32_MAX, &finger)) {
      return error("bad finger number (0..4294967295): " + words[2]);
    }
    if (!number(3, 0, 100, &quality)) {
      return error("bad quality (0..100): " + words[3]);
    }
    const int32_t status = PlaceFinger(static_cast<int32_t>(device), static_cast<uint32_t>(finger),
                                       static_cast<int32_t>(quality));
    return status == kOk ? "ok\n" : noDevice(device);
  }
  if ((command == "lift" || command == "unplug") && words.size() == 2) {
    if (!number(1, 0, INT32_MAX, &device)) {
      return error("bad device index: " + words[1]);
    }
    const auto index = static_cast<int32_t>(device);
    const int32_t status = command == "lift" ? LiftFinger(index) : UnplugDevice(index);
    return status == kOk ? "ok\n" : noDevice(device);
  }
  if (command == "plug" && words.size() <= 2) {
    int64_t type = kDefaultType;
    if (words.size() == 2 && !number(1, 1, INT32_MAX, &type)) {
      return error("bad device type: " + words[1] + " (a positive code, e.g. 1001..1005)");
    }
    int32_t index = 0;
    if (PlugDevice(static_cast<int32_t>(type), &index) != kOk) {
      return error("cannot plug more than " + std::to_string(kMaxDevices) + " devices");
    }
    return "ok\nplugged device " + std::to_string(index) + "\n";
  }
  return error("bad request: " + request);
}

}  // namespace devicelib::virt
