#include "devicelib/core/scanner_core.h"
