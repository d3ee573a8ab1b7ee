#include "devicelib/status.h"

#include <cstring>

namespace devicelib {

const char* StatusMessage(int32_t code) {
  switch (code) {
    case kOk:
      return "Success";
    case kFailed:
      return "Operation failed";
    case kNotInitialised:
      return "Scanner library is not initialised";
    case kInvalidHandle:
      return "Invalid device handle";
    case kInvalidParameter:
      return "Invalid parameter";
    case kNoImage:
      return "No image has been captured";
    case kCaptureTimeout:
      return "Capture timed out: no finger on the sensor";
    case kCaptureAborted:
      return "Capture was aborted";
    case kDeviceBusy:
      return "Device is busy capturing";
    case kDeviceRemoved:
      return "Device was removed";
    case kOutOfMemory:
      return "Out of memory";
    case kBufferTooSmall:
      return "Buffer too small";
    case kNotSupported:
      return "Not supported";
    case kInvalidTemplate:
      return "Invalid template data";
    case kCryptoFailed:
      return "Template decryption failed (wrong key or damaged data)";
    case kDevicePermission:
      return "No permission to open the scanner: install the scanner udev rule, then replug it";
    case kDeviceInUse:
      return "Scanner is in use by another program (for example fprintd)";
    case kDeviceFailed:
      return "Scanner failed: it did not answer as expected";
    case kAlreadyInitialised:
      return "Already initialised";
    case kNoFinger:
      return "No fingerprint found in the image";
    case kLowQuality:
      return "Low quality fingerprint";
    case kSelectionFailed:
      return "Templates are not consistent enough to select";
    case kIdentifyAborted:
      return "Identification was aborted";
    case kIdentifyTimeout:
      return "Identification time limit exceeded";
    case kInvalidMatcher:
      return "Invalid matcher instance";
    default:
      return "Unknown error";
  }
}

void CopyStatusMessage(int32_t code, char* text, int32_t size) {
  if (text == nullptr || size <= 0) {
    return;
  }
  std::strncpy(text, StatusMessage(code), static_cast<size_t>(size) - 1);
  text[size - 1] = '\0';
}

}  // namespace devicelib
