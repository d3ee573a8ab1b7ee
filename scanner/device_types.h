// Model names of the scanner types the library reports.
#pragma once

#include <cstdint>

namespace scanner {

// "KQ10", "KQ20", "KQ21", "Tessaro Duo", "Tessaro Flat" for 1001..1005, "Error" otherwise.
const char* DeviceTypeToName(int32_t type);

}  // namespace scanner
