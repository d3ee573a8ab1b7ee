#include "scanner/device_types.h"

namespace scanner {

const char* DeviceTypeToName(int32_t type) {
  switch (type) {
    case 1001:
      return "KQ10";
    case 1002:
      return "KQ20";
    case 1003:
      return "KQ21";
    case 1004:
      return "Tessaro Duo";
    case 1005:
      return "Tessaro Flat";
    default:
      return "Error";
  }
}

}  // namespace scanner
