// The scanner library contract. The agent drives fingerprint scanners only through this
// interface; a backend (the virtual scanner by default, real USB scanners later) implements it.
//
// Every operation returns a 32-bit status: 0 is success, anything else is one of the codes of
// devicelib/status.h, whose text GetErrorString gives. Buffers belong to the caller; texts are
// zero-terminated. A device is addressed by the opaque 64-bit handle from GetScannerHandle.
#pragma once

#include <cstdint>
#include <memory>

namespace devicelib {

// Image callback of StartCapturing and StartAutoCapture. Arguments: two values the agent does
// not use (the backend passes its device handle and a frame counter), the 8-bit grey pixels
// (top row first), width, height, a value the agent does not use (the resolution in ppi), and
// the user pointer given at registration. The agent answers 1 after storing the image.
using ImageCallback = int32_t (*)(void* unused1, void* unused2, const uint8_t* pixels,
                                  int32_t width, int32_t height, void* unused3, void* user);

// Device-event callback of SetScannerCallback (plug/unplug notices). The agent registers one
// that ignores its arguments and answers 0.
using ScannerCallback = int32_t (*)(int32_t event, int64_t handle, void* user);

// Parameter identifiers of GetParameter/SetParameter.
inline constexpr int32_t kParamCaptureTimeout = 201;  // milliseconds
inline constexpr int32_t kParamBrightness = 202;
inline constexpr int32_t kParamSensitivity = 203;
inline constexpr int32_t kParamTemplateSize = 302;  // capacity Extract may fill, in bytes

// Template type codes, shared by the scanner and matcher libraries.
inline constexpr int32_t kTemplateIso19794_2 = 1;  // ISO/IEC 19794-2:2005 finger minutiae record
inline constexpr int32_t kTemplateAnsi378 = 2;     // ANSI INCITS 378-2004

// Largest template the libraries produce or accept.
inline constexpr int32_t kMaxTemplateSize = 1024;
inline constexpr int32_t kIdTextSize = 260;     // GetScannerID output buffer
inline constexpr int32_t kErrorTextSize = 128;  // GetErrorString output buffer
inline constexpr int32_t kEncryptionKeySize = 32;

class ScannerLib {
 public:
  virtual ~ScannerLib() = default;

  // Initialises the library and enumerates the attached devices. -201: already initialised.
  virtual int32_t Init() = 0;
  virtual int32_t Uninit() = 0;
  virtual int32_t SetScannerCallback(ScannerCallback callback, void* user) = 0;
  virtual int32_t GetScannerNumber(int32_t* count) = 0;
  virtual int32_t GetScannerHandle(int32_t index, int64_t* handle) = 0;
  // id: kIdTextSize bytes.
  virtual int32_t GetScannerID(int64_t handle, char* id) = 0;
  virtual int32_t GetScannerType(int64_t handle, int32_t* type) = 0;
  virtual int32_t GetParameter(int64_t handle, int32_t id, int32_t* value) = 0;
  // Takes the address of the value, as the matcher's SetParameter does.
  virtual int32_t SetParameter(int64_t handle, int32_t id, const int32_t* value) = 0;
  virtual int32_t IsSensorOn(int64_t handle, int32_t* flag) = 0;
  // Blocks until a finger is imaged, the capture time-out runs out, or AbortCapturing.
  virtual int32_t CaptureSingleImage(int64_t handle) = 0;
  virtual int32_t StartCapturing(int64_t handle, ImageCallback callback, void* user) = 0;
  virtual int32_t IsCapturing(int64_t handle, int32_t* flag) = 0;
  virtual int32_t AbortCapturing(int64_t handle) = 0;
  // Extracts from the last captured image into at most kParamTemplateSize bytes.
  virtual int32_t Extract(int64_t handle, uint8_t* templ, int32_t* size, int32_t* quality) = 0;
  // key: kEncryptionKeySize bytes.
  virtual int32_t SetEncryptionKey(int64_t handle, const uint8_t* key) = 0;
  // outSize: in, the capacity of out; out, the bytes written.
  virtual int32_t EncryptTemplate(int64_t handle, const uint8_t* in, int32_t inSize, uint8_t* out,
                                  int32_t* outSize) = 0;
  virtual int32_t DecryptTemplate(int64_t handle, const uint8_t* in, int32_t inSize, uint8_t* out,
                                  int32_t* outSize) = 0;
  virtual int32_t GetCaptureImageInfo(int64_t handle, int32_t* width, int32_t* height,
                                      int32_t* resolution) = 0;
  // pixels: width x height bytes as GetCaptureImageInfo reports them.
  virtual int32_t GetCaptureImage(int64_t handle, uint8_t* pixels) = 0;
  virtual int32_t SaveCaptureImageToBmpFile(int64_t handle, const char* path) = 0;
  // text: kErrorTextSize bytes, always zero-terminated.
  virtual int32_t GetErrorString(int32_t code, char* text) = 0;
  virtual int32_t GetTemplateType(int64_t handle, int32_t* type) = 0;
  virtual int32_t SetTemplateType(int64_t handle, int32_t type) = 0;
  virtual int32_t SaveCaptureImageToDatFile(int64_t handle, const char* path) = 0;
  virtual int32_t SaveCaptureImageToWsqFile(int64_t handle, float ratio, const char* path) = 0;
  // Picks the two most consistent of inCount (4) templates into outs (outCount, 2), each
  // kMaxTemplateSize bytes.
  virtual int32_t SelectTemplate(int64_t handle, const uint8_t* const* templates,
                                 const int32_t* sizes, int32_t inCount, uint8_t* const* outs,
                                 int32_t* outSizes, int32_t outCount) = 0;
  virtual int32_t StartAutoCapture(int64_t handle, ImageCallback callback, void* user) = 0;
  virtual int32_t ExtractEx(int64_t handle, int32_t capacity, uint8_t* templ, int32_t* size,
                            int32_t* quality) = 0;
  virtual int32_t SelectTemplateEx(int64_t handle, int32_t capacity,
                                   const uint8_t* const* templates, const int32_t* sizes,
                                   int32_t inCount, uint8_t* const* outs, int32_t* outSizes,
                                   int32_t outCount) = 0;
};

}  // namespace devicelib
