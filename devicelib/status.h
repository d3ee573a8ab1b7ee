// Status codes of the scanner and matcher libraries, and their messages. 0 is success.
// The table is documented in devicelib/README.md; pages see these numbers as "retValue".
#pragma once

#include <cstdint>

namespace devicelib {

enum Status : int32_t {
  kOk = 0,
  kFailed = -1,              // generic failure; file conversions: file not written
  kNotInitialised = -101,    // Init has not been called (or Uninit was)
  kInvalidHandle = -102,     // no device with that handle
  kInvalidParameter = -103,  // argument out of range or null
  kNoImage = -104,           // nothing captured yet
  kCaptureTimeout = -105,    // no finger within the capture time-out
  kCaptureAborted = -106,    // AbortCapturing ended the capture
  kDeviceBusy = -107,        // a capture already runs on the device
  kDeviceRemoved = -108,     // the device was unplugged
  kOutOfMemory = -109,
  kBufferTooSmall = -110,    // output capacity smaller than the result
  kNotSupported = -111,      // the device or library does not support this
  kInvalidTemplate = -112,   // a template cannot be read
  kCryptoFailed = -113,      // decryption failed: wrong key or damaged data
  kDevicePermission = -114,  // the device's USB node may not be opened by this user
  kDeviceInUse = -115,       // another program has claimed the device
  kDeviceFailed = -116,      // the device did not answer as expected
  kAlreadyInitialised = -201,
  kNoFinger = -301,         // extraction found no fingerprint in the image
  kLowQuality = -302,       // quality below the requested level
  kSelectionFailed = -303,  // the templates given for selection do not agree
  kIdentifyAborted = -401,  // AbortIdentify ended the identification
  kIdentifyTimeout = -402,  // the identification time limit ran out
  kInvalidMatcher = -403,   // no such matcher instance
};

// Message for a status; a generic text for codes outside the table. Never null.
const char* StatusMessage(int32_t code);

// Copies StatusMessage(code) into text (size bytes, always zero-terminated).
void CopyStatusMessage(int32_t code, char* text, int32_t size);

}  // namespace devicelib
