// One attached scanner: its locks, its reply document, its current image and its exported
// data, and the operations a page runs on it. The operations live in three files along their
// seams: capture.cpp (capture control and status), parameters.cpp, export.cpp (template and
// image export).
#pragma once

#include <json/json.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "devicelib/matcher_lib.h"
#include "service/events.h"
#include "service/image_source.h"
#include "service/reply.h"
#include "service/request.h"

namespace scanner {

inline constexpr uint32_t kDefaultResetTimerMs = 30000;
inline constexpr uint32_t kMinResetTimerMs = 5000;
inline constexpr uint32_t kMaxResetTimerMs = 600000;

// Image export ("getImageData", "saveImageBuffer").
// WSQ compression ratio when the page gives none. Ratios up to 1 ask for the codec's usual
// rate; above 1 the ratio sets the bit rate (8 / ratio bits per pixel).
inline constexpr float kDefaultCompressionRatio = 0.7f;
// Beyond 80 the codec is at its lowest bit rate (0.1 bits per pixel) and could no longer honour
// the ratio asked for; such a value (or 1e9) is a page's mistake, as is a ratio of 0 or below.
inline constexpr double kMaxCompressionRatio = 80.0;
// File errors: the image folder, a converted file that was not written or cannot be read back.
inline constexpr char kCannotCreateFile[] = "Cannot create file";
inline constexpr char kCannotWriteFile[] = "Cannot write file";
inline constexpr char kCannotReadFile[] = "Cannot read file";

// What an export request asks for: "fileType" '1' (BMP), '2' (raw ".dat"), '3' (WSQ) or
// kNoFileType when absent, and the WSQ ratio.
inline constexpr char kNoFileType = '\0';
struct ExportRequest {
  char fileType = kNoFileType;
  float ratio = kDefaultCompressionRatio;
};
// "compressionRatio": the whole text a decimal number in (0, kMaxCompressionRatio]; nullopt
// otherwise.
std::optional<float> ReadCompressionRatio(std::string_view text);
// The export parameters of a request; nullopt for a ratio that is not usable or a "fileType"
// other than "1", "2" and "3", with `detail` (when given) saying which.
std::optional<ExportRequest> ReadExportRequest(const service::ParameterMap& map,
                                               std::string* detail = nullptr);

// What a page is told about its parameter faults ("detail" beside "passed wrong parameter").
inline constexpr char kDetailHandle[] =
    "sHandle is missing or 0: pass a \"DeviceHandle\" that initDevice reported";
inline constexpr char kDetailFileType[] = "fileType must be 1 (BMP), 2 (raw .dat) or 3 (WSQ)";
inline constexpr char kDetailRatio[] =
    "compressionRatio must be a decimal number above 0 and at most 80";

class Scanner : public service::ImageSource {
 public:
  // Every operation takes the parameter text and the agent's matcher instance and writes its
  // members into this scanner's reply document.
  using Operation = void (Scanner::*)(const std::string& parameterText,
                                      devicelib::MatcherHandle matcher);
  // An operation that runs beside any other on this scanner (it must reach a capture that is
  // waiting for a finger): it writes a document of its own and touches only what is safe to
  // share (the library, the atomic image lifetime, the image under imageLock).
  using SideOperation = void (Scanner::*)(Json::Value& reply, const std::string& parameterText);

  // `events`, when given, hears of this scanner's captures under `handle` (the device handle
  // the library gave it).
  explicit Scanner(service::DeviceLibraries libraries, service::EventHub* events = nullptr,
                   int64_t handle = 0);
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // Runs one operation under requestLock on an emptied reply document that names the request,
  // and returns that document. Operations on one scanner run one at a time; a capture that
  // waits for a finger holds up only the requests for its own scanner. `agentLock`, when given,
  // is taken after requestLock for the operation itself (operations that use the agent's
  // matcher instance, which initDevice replaces), so waiting for a busy scanner never holds it.
  // `matcher` is asked for the matcher instance once the locks are held.
  Json::Value Run(Operation operation, const std::string& name, const std::string& parameterText,
                  const std::function<devicelib::MatcherHandle()>& matcher, std::mutex* agentLock);
  Json::Value Run(Operation operation, const std::string& name, const std::string& parameterText,
                  devicelib::MatcherHandle matcher) {
    return Run(
        operation, name, parameterText, [matcher] { return matcher; }, nullptr);
  }
  // Runs a side operation without requestLock, on a document of its own.
  Json::Value RunBeside(SideOperation operation, const std::string& name,
                        const std::string& parameterText);

  // Capture control (capture.cpp).
  void CaptureSingle(const std::string& parameterText, devicelib::MatcherHandle matcher);
  void StartCapturing(const std::string& parameterText, devicelib::MatcherHandle matcher);
  void AutoCapture(const std::string& parameterText, devicelib::MatcherHandle matcher);
  // Side operations: the abort has to reach a capture that waits for a finger, and the status
  // is what a page polls meanwhile.
  void AbortCapture(Json::Value& reply, const std::string& parameterText);
  void GetScannerStatus(Json::Value& reply, const std::string& parameterText);
  // Parameters (parameters.cpp).
  void GetParameters(const std::string& parameterText, devicelib::MatcherHandle matcher);
  void SetParameters(const std::string& parameterText, devicelib::MatcherHandle matcher);
  // Export (export.cpp).
  void GetTemplateData(const std::string& parameterText, devicelib::MatcherHandle matcher);
  void GetImageData(const std::string& parameterText, devicelib::MatcherHandle matcher);
  void SaveImageBuffer(const std::string& parameterText, devicelib::MatcherHandle matcher);
  // "API" "0.1".
  void Version(const std::string& parameterText, devicelib::MatcherHandle matcher);
  // Has nothing behind it: the reply is the request name alone.
  void IsFingerOn(const std::string& parameterText, devicelib::MatcherHandle matcher);

  // Frees the current image and the Base64 text and deletes the converted files.
  void ReleaseCaptureData();

  // Image lifetime in milliseconds (the "resetTimer" parameter).
  uint32_t ResetTimerMs() const { return resetTimerMs_.load(); }

  std::shared_ptr<const std::vector<uint8_t>> CurrentImage() override;
  // Wakes as soon as the capture stores another image, so a live preview sends each frame as
  // it comes rather than looking for one over and over.
  service::ImageBytes WaitForChange(const service::ImageBytes& shown,
                                    std::chrono::milliseconds atMost) override;
  std::string Base64Text() override;

  // The capture callback registered with the scanner library.
  static int32_t OnCaptureFrame(void* unused1, void* unused2, const uint8_t* pixels, int32_t width,
                                int32_t height, void* unused3, void* user);

  // For tests.
  bool HasImage();

 private:
  // Reply helpers on this scanner's document.
  void SetLibraryError(service::Library library, int32_t code);
  int32_t ReadHandle(const std::string& parameterText, int64_t& handle);
  // ReadHandle on a given document.
  static int32_t ReadHandleInto(Json::Value& reply, const std::string& parameterText,
                                int64_t& handle);
  void ApplyResetTimer(const service::ParameterMap& map);
  // ReadHandle, then the parameter map; a text with no parameter besides "sHandle" is a wrong
  // parameter, explained by `needs` (what the operation reads). False (with the reply written)
  // when the operation must end.
  bool ReadHandleAndParameters(const std::string& parameterText, int64_t& handle,
                               service::ParameterMap& map, std::string_view needs);
  bool BeginCaptureRequest(const std::string& parameterText, int64_t& handle);
  bool FetchCapturedImage(int64_t handle);
  void StoreBase64(std::span<const uint8_t> bytes);
  // Has the library write the capture as the converted file of `fileType` ('1', '2', '3');
  // the caller holds imageLock. Returns the library's status.
  int32_t WriteConvertedFile(int64_t handle, char fileType, float ratio);
  // A failed conversion: -1 (the file was not written) as "Cannot write file", any other status
  // as the library's error.
  void SetConversionError(int32_t status);
  // "retValue" "-1" with one of the file messages above.
  void SetFileError(const char* message);
  // Tells the event listeners about this scanner (nothing without a hub).
  void Publish(const char* type, Json::Value data);
  void PublishCaptureStarted(const char* mode);
  void PublishCaptureDone(int32_t status);

  service::DeviceLibraries libraries_;
  service::EventHub* const events_;
  const std::string handleText_;
  // The capture the library runs by itself for this scanner, whose end is announced when it
  // comes: the automatic capture's image, or the abort of either.
  enum StreamMode : int { kNoStream, kLiveStream, kAutoStream };
  std::atomic<int> streamMode_{kNoStream};
  // Written by captures and by the abort, which runs beside them.
  std::atomic<uint32_t> resetTimerMs_{kDefaultResetTimerMs};

  // Guards the current image, the Base64 text, imageUpdated and the converted files; taken
  // alone by the image endpoints, the capture callback and the release countdown.
  std::mutex imageLock_;
  std::shared_ptr<const std::vector<uint8_t>> bmpImage_;  // complete BMP file; null when none
  std::condition_variable imageChanged_;                  // notified whenever bmpImage_ is replaced
  std::string base64Text_;                                // last exported text; empty when none
  bool imageUpdated_ = false;

  // Held for the whole of one operation (always inside the API lock).
  std::mutex requestLock_;
  Json::Value reply_;
  int32_t imageWidth_ = 0;
  int32_t imageHeight_ = 0;
  int32_t imageResolution_ = 0;
  std::vector<uint8_t> rawImage_;  // imageWidth_ x imageHeight_ pixels of the last fetch
};

}  // namespace scanner
