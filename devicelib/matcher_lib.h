// The matcher library contract: template comparison for verification and identification.
// Every operation returns a 32-bit status, 0 on success (codes in devicelib/status.h).
#pragma once

#include <cstdint>

namespace devicelib {

// An opaque matcher instance made by Create and released by Delete.
using MatcherHandle = void*;

// Parameter identifiers of the matcher.
inline constexpr int32_t kParamFastMode = 301;       // 0 = off
inline constexpr int32_t kParamSecurityLevel = 302;  // see matcher README for the levels
// Read-only (GetParameter), so that a page can be told how close a finger came:
// the score of the last Verify on the instance, or the best score of the last Identify whether
// or not it reached the threshold (0 when it compared nothing)...
inline constexpr int32_t kParamMatchScore = 303;
// ...and the score a comparison must reach at the current security level.
inline constexpr int32_t kParamMatchThreshold = 304;

class MatcherLib {
 public:
  virtual ~MatcherLib() = default;

  virtual int32_t Create(MatcherHandle* handle) = 0;
  virtual int32_t Delete(MatcherHandle handle) = 0;
  virtual int32_t GetParameter(MatcherHandle handle, int32_t id, int32_t* value) = 0;
  virtual int32_t SetParameter(MatcherHandle handle, int32_t id, const int32_t* value) = 0;
  // result: 1 = match, 0 = no match. -112 when a template cannot be read.
  virtual int32_t Verify(MatcherHandle handle, const uint8_t* probe, int32_t probeSize,
                         const uint8_t* templ, int32_t templSize, int32_t* result) = 0;
  // index: 0..count-1 for the best match above the threshold, -1 for none. timeLimit in
  // milliseconds. Returns early with its own status when aborted or out of time.
  virtual int32_t Identify(MatcherHandle handle, const uint8_t* probe, int32_t probeSize,
                           const uint8_t* const* templates, const int32_t* sizes, int32_t count,
                           int32_t timeLimit, int32_t* index) = 0;
  // Callable from another thread while Identify runs on the same instance.
  virtual int32_t AbortIdentify(MatcherHandle handle) = 0;
  // text: 128 bytes, always zero-terminated.
  virtual int32_t GetErrorString(int32_t code, char* text) = 0;
  virtual int32_t GetTemplateType(MatcherHandle handle, int32_t* type) = 0;
  // -111 for a type the matcher does not know.
  virtual int32_t SetTemplateType(MatcherHandle handle, int32_t type) = 0;
};

}  // namespace devicelib
