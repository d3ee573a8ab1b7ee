// Test doubles of the two device libraries for the database tests: GoogleMock classes whose
// default actions model a tiny fingerprint world, so that a test can enrol a finger, read it
// out, and match it, and still check the calls with EXPECT_CALL where the order matters.
//
// The world: the finger on the sensor is a number. Its template is "T", the finger number, and
// a pattern derived from it; two templates match when their bytes are equal. Encryption puts the
// first 16 key bytes in front and XORs the rest with the key, so a wrong key is noticed.
#pragma once

#include <gmock/gmock.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "devicelib/matcher_lib.h"
#include "devicelib/scanner_lib.h"
#include "devicelib/status.h"
#include "tests/fakes/mock_libraries.h"

namespace database::testing {

// The plain GoogleMock classes are the project's shared ones.
using fakes::MockMatcherLib;
using fakes::MockScannerLib;

// Template of a finger: "T", the finger number, then 30 + finger pattern bytes.
inline std::vector<uint8_t> FingerTemplate(int finger) {
  std::vector<uint8_t> bytes = {'T', static_cast<uint8_t>(finger)};
  for (int i = 0; i < 30 + finger; ++i) {
    bytes.push_back(static_cast<uint8_t>(finger * 37 + i * 11));
  }
  return bytes;
}

// The scanner's message texts, so tests can tell which library a reply names.
inline std::string ScannerMessage(int32_t code) {
  return std::string("scanner: ") + devicelib::StatusMessage(code);
}
inline std::string MatcherMessage(int32_t code) {
  return std::string("matcher: ") + devicelib::StatusMessage(code);
}

class FakeScannerLib : public ::testing::NiceMock<MockScannerLib> {
 public:
  int finger = 1;                                            // the finger on the sensor
  int32_t quality = 80;                                      // quality every extraction reports
  std::array<uint8_t, devicelib::kEncryptionKeySize> key{};  // current encryption key

  FakeScannerLib() {
    using ::testing::_;
    using ::testing::Invoke;
    using ::testing::Return;
    key.fill(0x5a);
    ON_CALL(*this, GetErrorString(_, _)).WillByDefault(Invoke([](int32_t code, char* text) {
      const std::string message = ScannerMessage(code);
      std::snprintf(text, devicelib::kErrorTextSize, "%s", message.c_str());
      return 0;
    }));
    ON_CALL(*this, SetParameter(_, _, _)).WillByDefault(Return(0));
    ON_CALL(*this, CaptureSingleImage(_)).WillByDefault(Return(0));
    ON_CALL(*this, Extract(_, _, _, _))
        .WillByDefault(Invoke([this](int64_t, uint8_t* templ, int32_t* size, int32_t* q) {
          return Fill(templ, size, q);
        }));
    ON_CALL(*this, ExtractEx(_, _, _, _, _))
        .WillByDefault(
            Invoke([this](int64_t, int32_t capacity, uint8_t* templ, int32_t* size, int32_t* q) {
              if (capacity < static_cast<int32_t>(FingerTemplate(finger).size())) {
                return static_cast<int32_t>(devicelib::kBufferTooSmall);
              }
              return Fill(templ, size, q);
            }));
    ON_CALL(*this, SetEncryptionKey(_, _)).WillByDefault(Invoke([this](int64_t, const uint8_t* k) {
      std::copy(k, k + key.size(), key.begin());
      return 0;
    }));
    ON_CALL(*this, EncryptTemplate(_, _, _, _, _))
        .WillByDefault(Invoke([this](int64_t, const uint8_t* in, int32_t inSize, uint8_t* out,
                                     int32_t* outSize) {
          if (*outSize < inSize + 16) {
            return static_cast<int32_t>(devicelib::kBufferTooSmall);
          }
          std::copy(key.begin(), key.begin() + 16, out);
          for (int32_t i = 0; i < inSize; ++i) {
            out[16 + i] = static_cast<uint8_t>(in[i] ^ key[static_cast<size_t>(i) % key.size()]);
          }
          *outSize = inSize + 16;
          return 0;
        }));
    ON_CALL(*this, DecryptTemplate(_, _, _, _, _))
        .WillByDefault(Invoke([this](int64_t, const uint8_t* in, int32_t inSize, uint8_t* out,
                                     int32_t* outSize) {
          if (inSize < 16 || !std::equal(key.begin(), key.begin() + 16, in)) {
            return static_cast<int32_t>(devicelib::kCryptoFailed);
          }
          if (*outSize < inSize - 16) {
            return static_cast<int32_t>(devicelib::kBufferTooSmall);
          }
          for (int32_t i = 0; i < inSize - 16; ++i) {
            out[i] = static_cast<uint8_t>(in[16 + i] ^ key[static_cast<size_t>(i) % key.size()]);
          }
          *outSize = inSize - 16;
          return 0;
        }));
    auto select = [](const uint8_t* const* templates, const int32_t* sizes, int32_t,
                     uint8_t* const* outs, int32_t* outSizes, int32_t) {
      // Picks the second and the fourth capture, so a test sees which ones went where.
      std::copy(templates[1], templates[1] + sizes[1], outs[0]);
      outSizes[0] = sizes[1];
      std::copy(templates[3], templates[3] + sizes[3], outs[1]);
      outSizes[1] = sizes[3];
      return 0;
    };
    ON_CALL(*this, SelectTemplate(_, _, _, _, _, _, _))
        .WillByDefault(Invoke([select](int64_t, const uint8_t* const* t, const int32_t* s,
                                       int32_t n, uint8_t* const* o, int32_t* os,
                                       int32_t m) { return select(t, s, n, o, os, m); }));
    ON_CALL(*this, SelectTemplateEx(_, _, _, _, _, _, _, _))
        .WillByDefault(Invoke([select](int64_t, int32_t, const uint8_t* const* t, const int32_t* s,
                                       int32_t n, uint8_t* const* o, int32_t* os,
                                       int32_t m) { return select(t, s, n, o, os, m); }));
  }

 private:
  int32_t Fill(uint8_t* templ, int32_t* size, int32_t* q) {
    const std::vector<uint8_t> bytes = FingerTemplate(finger);
    std::copy(bytes.begin(), bytes.end(), templ);
    *size = static_cast<int32_t>(bytes.size());
    *q = quality;
    return 0;
  }
};

class FakeMatcherLib : public ::testing::NiceMock<MockMatcherLib> {
 public:
  // When set, Identify waits until AbortIdentify is called and then answers kIdentifyAborted.
  bool blockIdentify = false;
  // Scores: kSameScore for equal templates, kOtherScore otherwise; the threshold lies between.
  static constexpr int32_t kSameScore = 200;
  static constexpr int32_t kOtherScore = 30;
  static constexpr int32_t kThreshold = 102;
  int32_t lastScore = 0;  // what the matcher reports as the last comparison's score

  FakeMatcherLib() {
    using ::testing::_;
    using ::testing::Invoke;
    ON_CALL(*this, GetErrorString(_, _)).WillByDefault(Invoke([](int32_t code, char* text) {
      const std::string message = MatcherMessage(code);
      std::snprintf(text, devicelib::kErrorTextSize, "%s", message.c_str());
      return 0;
    }));
    ON_CALL(*this, Verify(_, _, _, _, _, _))
        .WillByDefault(
            Invoke([this](devicelib::MatcherHandle, const uint8_t* probe, int32_t probeSize,
                          const uint8_t* templ, int32_t templSize, int32_t* result) {
              if (templSize < 2 || templ[0] != 'T') {
                return static_cast<int32_t>(devicelib::kInvalidTemplate);
              }
              *result = Same(probe, probeSize, templ, templSize) ? 1 : 0;
              lastScore = *result == 1 ? kSameScore : kOtherScore;
              return 0;
            }));
    ON_CALL(*this, GetParameter(_, _, _))
        .WillByDefault(Invoke([this](devicelib::MatcherHandle, int32_t id, int32_t* value) {
          if (id == devicelib::kParamMatchScore) {
            *value = lastScore;
          } else if (id == devicelib::kParamMatchThreshold) {
            *value = kThreshold;
          } else {
            *value = 0;
          }
          return 0;
        }));
    ON_CALL(*this, Identify(_, _, _, _, _, _, _, _))
        .WillByDefault(Invoke([this](devicelib::MatcherHandle, const uint8_t* probe,
                                     int32_t probeSize, const uint8_t* const* templates,
                                     const int32_t* sizes, int32_t count, int32_t, int32_t* index) {
          if (blockIdentify) {
            std::unique_lock lock(mutex_);
            identifying_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return aborted_; });
            identifying_ = false;
            aborted_ = false;
            return static_cast<int32_t>(devicelib::kIdentifyAborted);
          }
          *index = -1;
          lastScore = count > 0 ? kOtherScore : 0;
          for (int32_t i = 0; i < count; ++i) {
            if (Same(probe, probeSize, templates[i], sizes[i])) {
              *index = i;
              lastScore = kSameScore;
              break;
            }
          }
          return 0;
        }));
    ON_CALL(*this, AbortIdentify(_)).WillByDefault(Invoke([this](devicelib::MatcherHandle) {
      std::lock_guard lock(mutex_);
      aborted_ = true;
      changed_.notify_all();
      return 0;
    }));
  }

  // Waits until a blocking Identify has started.
  void WaitUntilIdentifying() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return identifying_; });
  }

 private:
  static bool Same(const uint8_t* a, int32_t aSize, const uint8_t* b, int32_t bSize) {
    return aSize == bSize && std::equal(a, a + aSize, b);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool identifying_ = false;
  bool aborted_ = false;
};

}  // namespace database::testing
