// GoogleMock doubles of the two device libraries, for unit tests of the services above them.
#pragma once

#include <gmock/gmock.h>

#include <cstdio>

#include "devicelib/matcher_lib.h"
#include "devicelib/scanner_lib.h"

namespace fakes {

class MockScannerLib : public devicelib::ScannerLib {
 public:
  MockScannerLib() {
    using ::testing::_;
    using ::testing::Invoke;
    ON_CALL(*this, GetErrorString(_, _)).WillByDefault(Invoke([](int32_t code, char* text) {
      std::snprintf(text, devicelib::kErrorTextSize, "scanner message %d", code);
      return 0;
    }));
  }
  MOCK_METHOD(int32_t, Init, (), (override));
  MOCK_METHOD(int32_t, Uninit, (), (override));
  MOCK_METHOD(int32_t, SetScannerCallback, (devicelib::ScannerCallback, void*), (override));
  MOCK_METHOD(int32_t, GetScannerNumber, (int32_t*), (override));
  MOCK_METHOD(int32_t, GetScannerHandle, (int32_t, int64_t*), (override));
  MOCK_METHOD(int32_t, GetScannerID, (int64_t, char*), (override));
  MOCK_METHOD(int32_t, GetScannerType, (int64_t, int32_t*), (override));
  MOCK_METHOD(int32_t, GetParameter, (int64_t, int32_t, int32_t*), (override));
  MOCK_METHOD(int32_t, SetParameter, (int64_t, int32_t, const int32_t*), (override));
  MOCK_METHOD(int32_t, IsSensorOn, (int64_t, int32_t*), (override));
  MOCK_METHOD(int32_t, CaptureSingleImage, (int64_t), (override));
  MOCK_METHOD(int32_t, StartCapturing, (int64_t, devicelib::ImageCallback, void*), (override));
  MOCK_METHOD(int32_t, IsCapturing, (int64_t, int32_t*), (override));
  MOCK_METHOD(int32_t, AbortCapturing, (int64_t), (override));
  MOCK_METHOD(int32_t, Extract, (int64_t, uint8_t*, int32_t*, int32_t*), (override));
  MOCK_METHOD(int32_t, SetEncryptionKey, (int64_t, const uint8_t*), (override));
  MOCK_METHOD(int32_t, EncryptTemplate, (int64_t, const uint8_t*, int32_t, uint8_t*, int32_t*),
              (override));
  MOCK_METHOD(int32_t, DecryptTemplate, (int64_t, const uint8_t*, int32_t, uint8_t*, int32_t*),
              (override));
  MOCK_METHOD(int32_t, GetCaptureImageInfo, (int64_t, int32_t*, int32_t*, int32_t*), (override));
  MOCK_METHOD(int32_t, GetCaptureImage, (int64_t, uint8_t*), (override));
  MOCK_METHOD(int32_t, SaveCaptureImageToBmpFile, (int64_t, const char*), (override));
  MOCK_METHOD(int32_t, GetErrorString, (int32_t, char*), (override));
  MOCK_METHOD(int32_t, GetTemplateType, (int64_t, int32_t*), (override));
  MOCK_METHOD(int32_t, SetTemplateType, (int64_t, int32_t), (override));
  MOCK_METHOD(int32_t, SaveCaptureImageToDatFile, (int64_t, const char*), (override));
  MOCK_METHOD(int32_t, SaveCaptureImageToWsqFile, (int64_t, float, const char*), (override));
  MOCK_METHOD(int32_t, SelectTemplate,
              (int64_t, const uint8_t* const*, const int32_t*, int32_t, uint8_t* const*, int32_t*,
               int32_t),
              (override));
  MOCK_METHOD(int32_t, StartAutoCapture, (int64_t, devicelib::ImageCallback, void*), (override));
  MOCK_METHOD(int32_t, ExtractEx, (int64_t, int32_t, uint8_t*, int32_t*, int32_t*), (override));
  MOCK_METHOD(int32_t, SelectTemplateEx,
              (int64_t, int32_t, const uint8_t* const*, const int32_t*, int32_t, uint8_t* const*,
               int32_t*, int32_t),
              (override));
};

class MockMatcherLib : public devicelib::MatcherLib {
 public:
  MockMatcherLib() {
    using ::testing::_;
    using ::testing::Invoke;
    ON_CALL(*this, GetErrorString(_, _)).WillByDefault(Invoke([](int32_t code, char* text) {
      std::snprintf(text, devicelib::kErrorTextSize, "matcher message %d", code);
      return 0;
    }));
  }
  MOCK_METHOD(int32_t, Create, (devicelib::MatcherHandle*), (override));
  MOCK_METHOD(int32_t, Delete, (devicelib::MatcherHandle), (override));
  MOCK_METHOD(int32_t, GetParameter, (devicelib::MatcherHandle, int32_t, int32_t*), (override));
  MOCK_METHOD(int32_t, SetParameter, (devicelib::MatcherHandle, int32_t, const int32_t*),
              (override));
  MOCK_METHOD(int32_t, Verify,
              (devicelib::MatcherHandle, const uint8_t*, int32_t, const uint8_t*, int32_t,
               int32_t*),
              (override));
  MOCK_METHOD(int32_t, Identify,
              (devicelib::MatcherHandle, const uint8_t*, int32_t, const uint8_t* const*,
               const int32_t*, int32_t, int32_t, int32_t*),
              (override));
  MOCK_METHOD(int32_t, AbortIdentify, (devicelib::MatcherHandle), (override));
  MOCK_METHOD(int32_t, GetErrorString, (int32_t, char*), (override));
  MOCK_METHOD(int32_t, GetTemplateType, (devicelib::MatcherHandle, int32_t*), (override));
  MOCK_METHOD(int32_t, SetTemplateType, (devicelib::MatcherHandle, int32_t), (override));
};

}  // namespace fakes
