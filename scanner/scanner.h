// One attached scanner: its locks, its reply document, its current image and its exported
// data, and the operations a page runs on it.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "devicelib/matcher_lib.h"
#include "http/params.h"
#include "scanner/reply.h"

namespace scanner {

// Paths of the converted images, relative to the working directory.
inline constexpr char kConvertedBmpPath[] = "./html/img/convertedCaptureImage.bmp";
inline constexpr char kConvertedDatPath[] = "./html/img/convertedCaptureImage.dat";
inline constexpr char kConvertedWsqPath[] = "./html/img/convertedCaptureImage.wsq";

inline constexpr uint32_t kDefaultResetTimerMs = 30000;
inline constexpr uint32_t kMinResetTimerMs = 5000;
inline constexpr uint32_t kMaxResetTimerMs = 600000;

class Scanner {
 public:
  explicit Scanner(DeviceLibraries libraries);
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // Runs one operation under requestLock and returns a copy of the reply document. `matcher`
  // is the agent's matcher instance.
  Json::Value HandleRequest(const std::string& name, const std::string& parameterText,
                            devicelib::MatcherHandle matcher);

  // The initDevice reply: the devices the library lists now, written into this scanner's own
  // reply document without emptying it first.
  std::string ListScanners();

  // Frees the current image and the Base64 text and deletes the converted files.
  void ReleaseCaptureData();

  // Image lifetime in milliseconds (the "resetTimer" parameter).
  uint32_t ResetTimerMs() const { return resetTimerMs_; }

  // The current image as a complete BMP file, or null when there is none. Images are never
  // changed in place: a new capture replaces the pointer, so a reader can send the bytes it
  // got without holding imageLock while a slow page takes them.
  std::shared_ptr<const std::vector<uint8_t>> CurrentImage();
  // The last exported Base64 text (empty when there is none).
  std::string Base64Text();

  // The capture callback registered with the scanner library.
  static int32_t OnCaptureFrame(void* unused1, void* unused2, const uint8_t* pixels, int32_t width,
                                int32_t height, void* unused3, void* user);

  // For tests.
  bool HasImage();
  int32_t ScannerType() const { return scannerType_; }

 private:
  // Reply helpers on this scanner's document.
  void SetLibraryError(Library library, int32_t code);
  int32_t ReadHandle(const std::string& parameterText, int64_t& handle);
  int32_t ParseParameters(const std::string& parameterText, http::ParameterMap& map);
  void ApplyResetTimer(const http::ParameterMap& map);
  // ReadHandle, then ParseParameters; a text with no parameter besides "sHandle" is a wrong
  // parameter. False (with the reply written) when the operation must end.
  bool ReadHandleAndParameters(const std::string& parameterText, int64_t& handle,
                               http::ParameterMap& map);
  bool BeginCaptureRequest(const std::string& parameterText, int64_t& handle);
  bool FetchCapturedImage(int64_t handle);
  void StoreBase64(std::span<const uint8_t> bytes);

  // Capture control.
  void CaptureSingle(const std::string& parameterText);
  void StartCapturing(const std::string& parameterText);
  void AbortCapture(const std::string& parameterText);
  void AutoCapture(const std::string& parameterText);
  void GetScannerStatus(const std::string& parameterText);
  // Parameters.
  void GetParameters(const std::string& parameterText, devicelib::MatcherHandle matcher);
  void SetParameters(const std::string& parameterText, devicelib::MatcherHandle matcher);
  // Export.
  void GetTemplateData(const std::string& parameterText);
  void GetImageData(const std::string& parameterText);
  void SaveImageBuffer(const std::string& parameterText);

  DeviceLibraries libraries_;
  uint32_t resetTimerMs_ = kDefaultResetTimerMs;

  // Guards the current image, the Base64 text, imageUpdated and the converted files; taken
  // alone by the image endpoints, the capture callback and the release countdown.
  std::mutex imageLock_;
  std::shared_ptr<const std::vector<uint8_t>> bmpImage_;  // complete BMP file; null when none
  std::string base64Text_;                                // last exported text; empty when none
  bool imageUpdated_ = false;

  // Held for the whole of one operation (always inside the API lock).
  std::mutex requestLock_;
  Json::Value reply_;
  Json::StyledWriter writer_;
  int32_t scannerType_ = 0;
  int32_t imageWidth_ = 0;
  int32_t imageHeight_ = 0;
  int32_t imageResolution_ = 0;
  std::vector<uint8_t> rawImage_;  // imageWidth_ x imageHeight_ pixels of the last fetch
};

}  // namespace scanner
