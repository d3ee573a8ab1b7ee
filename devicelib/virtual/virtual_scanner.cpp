#include "devicelib/virtual/virtual_scanner.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "devicelib/virtual/control_socket.h"

namespace devicelib {

std::unique_ptr<ScannerLib> CreateVirtualScannerLib() {
  return std::make_unique<virt::VirtualScannerLib>(virt::OptionsFromEnvironment());
}

namespace virt {
namespace {

bool ParseInt(const std::string& text, int64_t* value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end;
}

}  // namespace

VirtualScannerOptions OptionsFromEnvironment() {
  VirtualScannerOptions options;
  int64_t count = 1;
  if (const char* text = std::getenv("WEBAGENT_VIRTUAL_SCANNERS"); text != nullptr && *text) {
    if (!ParseInt(text, &count) || count < 0 || count > 8) {
      std::fprintf(stderr, "WEBAGENT_VIRTUAL_SCANNERS=\"%s\" is not a number 0..8; using 1\n",
                   text);
      count = 1;
    }
  }
  std::vector<int32_t> types;
  if (const char* text = std::getenv("WEBAGENT_VIRTUAL_SCANNER_TYPES"); text != nullptr && *text) {
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
      int64_t code = 0;
      if (!ParseInt(item, &code) || DeviceTypeName(static_cast<int32_t>(code)) == nullptr) {
        std::fprintf(stderr, "WEBAGENT_VIRTUAL_SCANNER_TYPES: \"%s\" is no type 1001..1005\n",
                     item.c_str());
        types.clear();
        break;
      }
      types.push_back(static_cast<int32_t>(code));
    }
  }
  for (int64_t i = 0; i < count; ++i) {
    options.types.push_back(types.empty() ? kDefaultType
                                          : types[std::min<size_t>(i, types.size() - 1)]);
  }
  return options;
}

VirtualScannerLib::VirtualScannerLib(const VirtualScannerOptions& options)
    : ScannerCore(std::make_unique<VirtualDriver>(options.types)),
      devices_(static_cast<VirtualDriver&>(driver())) {
  if (options.controlSocket) {
    control_ = std::make_unique<ControlServer>(
        [this](const std::string& request) { return HandleControlRequest(request); });
    std::string error;
    if (!control_->Start(ControlSocketPath(), &error)) {
      std::fprintf(stderr, "virtual scanner: no control socket (%s)\n", error.c_str());
      control_.reset();
    }
  }
}

VirtualScannerLib::~VirtualScannerLib() {
  // No control request may reach a half-destroyed library.
  if (control_) {
    control_->Stop();
  }
}

std::vector<DeviceState> VirtualScannerLib::ListDevices() {
  std::vector<DeviceState> list;
  int32_t index = 0;
  for (const VirtualDeviceState& d : devices_.List()) {
    DeviceState state;
    state.index = index++;
    state.handle = HandleOf(d.key);
    state.id = d.id;
    state.type = d.type;
    state.fingerOn = d.fingerOn;
    state.finger = d.finger;
    state.placementQuality = d.placementQuality;
    state.capturing = IsCapturingKey(d.key);
    list.push_back(state);
  }
  return list;
}

int32_t VirtualScannerLib::PlaceFinger(int32_t index, uint32_t finger, int32_t placementQuality) {
  return devices_.PlaceFinger(index, finger, placementQuality);
}

int32_t VirtualScannerLib::LiftFinger(int32_t index) {
  return devices_.LiftFinger(index);
}

int32_t VirtualScannerLib::PlugDevice(int32_t type, int32_t* index) {
  return devices_.PlugDevice(type, index);
}

int32_t VirtualScannerLib::UnplugDevice(int32_t index) {
  return devices_.UnplugDevice(index);
}

std::string VirtualScannerLib::ControlPath() const {
  return control_ ? control_->path() : std::string();
}

}  // namespace virt
}  // namespace devicelib
