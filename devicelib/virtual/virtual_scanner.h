// The virtual scanner backend: the scanner library core (devicelib/core) over the virtual
// scanners' device model (virtual_driver.h), so that the agent and every scanner operation can
// run and be tested without hardware. Each device images synthetic fingers
// (synthetic_finger.h); which finger rests on which device, and which devices are attached, is
// changed at run time through the control socket (control_socket.h, virtual_control.cpp) with
// the `virtual-scanner` command, or directly through the control methods below (tests).
//
// Environment, read when the object is created:
//   WEBAGENT_VIRTUAL_SCANNERS       number of devices attached at start, 0..8 (default 1)
//   WEBAGENT_VIRTUAL_SCANNER_TYPES  comma-separated type codes of those devices, the last one
//                                   repeating (default 1005)
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devicelib/core/scanner_core.h"
#include "devicelib/virtual/virtual_driver.h"

namespace devicelib {

// The backend with the devices of the environment and its control socket running.
std::unique_ptr<ScannerLib> CreateVirtualScannerLib();

namespace virt {

struct VirtualScannerOptions {
  std::vector<int32_t> types;  // one entry per device attached at start
  bool controlSocket = true;   // serve ControlSocketPath()
};

// Options from the environment variables above (bad values: a warning, then the defaults).
VirtualScannerOptions OptionsFromEnvironment();

struct DeviceState {
  int32_t index = 0;
  int64_t handle = 0;  // 0 while the library is not initialised
  std::string id;
  int32_t type = 0;
  bool fingerOn = false;
  uint32_t finger = 0;
  int32_t placementQuality = 0;
  bool capturing = false;
};

class ControlServer;

class VirtualScannerLib : public ScannerCore {
 public:
  explicit VirtualScannerLib(const VirtualScannerOptions& options);
  ~VirtualScannerLib() override;
  VirtualScannerLib(const VirtualScannerLib&) = delete;
  VirtualScannerLib& operator=(const VirtualScannerLib&) = delete;

  // Control: what the `virtual-scanner` command does. `index` is the position in the current
  // enumeration. Each answers 0 or a status (-102 for an index with no device, -103 for a bad
  // value, -1 when no more devices can be plugged).
  std::vector<DeviceState> ListDevices();
  int32_t PlaceFinger(int32_t index, uint32_t finger, int32_t placementQuality);
  int32_t LiftFinger(int32_t index);
  int32_t PlugDevice(int32_t type, int32_t* index);
  int32_t UnplugDevice(int32_t index);
  // One request line of the control protocol -> the answer text ("ok\n..." or "error\n...").
  std::string HandleControlRequest(const std::string& request);
  // The control socket path, or empty when the socket is not served.
  std::string ControlPath() const;

 private:
  VirtualDriver& devices_;
  std::unique_ptr<ControlServer> control_;
};

}  // namespace virt
}  // namespace devicelib
