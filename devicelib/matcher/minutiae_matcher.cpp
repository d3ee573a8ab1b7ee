#include "devicelib/matcher/minutiae_matcher.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <span>
#include <unordered_map>

#include "codec/template/minutiae_record.h"
#include "devicelib/matcher/minutiae_compare.h"
#include "devicelib/matcher/prepared_cache.h"
#include "devicelib/scanner_lib.h"
#include "devicelib/status.h"

namespace devicelib {
namespace {

// Score thresholds of levels 1..7, measured on the impostor pairs of five real fingerprint sets
// (14,400 pairs pooled, see README.md): levels 1-5 are the lowest scores whose false-match
// rate is at most 1 %, 0.3 %, 0.1 %, 0.03 % and 0.01 % whether the records are read as ISO or
// ANSI, and whether they carry the ridge counts the scanner library keeps, every count the
// extractor finds, or none; level 6 lies well above every impostor score measured (107);
// level 7 extrapolates the impostor tail (about tenfold fewer per 20 points) beyond 1 in
// 1,000,000, with room to spare. Before ridge counts weighed in: 68, 79, 85, 90, 98.
constexpr std::array<int32_t, 7> kThresholds = {69, 79, 87, 94, 100, 140, 175};

// How often Identify looks at the clock (every this many gallery entries); the abort flag is
// looked at before every entry.
constexpr int32_t kClockInterval = 16;

// Scratch memory for one comparison thread: decoded records and prepared minutiae sets.
struct Workspace {
  codec::FingerTemplate decoded;
  matcher::PreparedTemplate probe;
  matcher::PreparedTemplate gallery;
  matcher::Comparator comparator;
};

// Decodes a record of at most kMaxTemplateSize bytes and prepares it. False when unreadable.
bool Load(const uint8_t* data, int32_t size, const matcher::CompareOptions& options,
          codec::FingerTemplate* decoded, matcher::PreparedTemplate* out) {
  if (data == nullptr || size <= 0 || size > kMaxTemplateSize) {
    return false;
  }
  if (codec::DecodeMinutiaeRecord(std::span(data, static_cast<size_t>(size)), decoded) !=
      codec::RecordError::kOk) {
    return false;
  }
  out->Prepare(*decoded, options);
  return true;
}

struct Instance {
  // Verify and Identify use the workspace; calls come one at a time (the agent holds its API
  // lock) but the lock keeps a careless caller from corrupting it.
  std::mutex work;
  Workspace workspace;
  // The enrolled records this instance has searched, prepared (under the same lock). Never
  // shared with another instance.
  matcher::PreparedCache gallery;

  std::atomic<int32_t> fastMode{0};
  std::atomic<int32_t> securityLevel{kDefaultSecurityLevel};
  std::atomic<int32_t> templateType{kTemplateIso19794_2};
  // Score of the last Verify, best score of the last Identify (kParamMatchScore).
  std::atomic<int32_t> lastScore{0};

  // AbortIdentify only raises the flag while an identification runs, so an abort sent when
  // none runs cannot end the next one before it starts.
  std::atomic<bool> identifying{false};
  std::atomic<bool> abortRequested{false};

  matcher::CompareOptions Options() const {
    return fastMode.load() != 0 ? matcher::FastModeOptions() : matcher::FullModeOptions();
  }
  int32_t Threshold() const { return SecurityLevelThreshold(securityLevel.load()); }
};

class MinutiaeMatcher final : public MatcherLib {
 public:
  int32_t Create(MatcherHandle* handle) override {
    if (handle == nullptr) {
      return kInvalidParameter;
    }
    auto instance = std::make_shared<Instance>();
    std::lock_guard lock(registryLock_);
    // Handles are serial numbers, never addresses: a stale handle stays invalid forever.
    const uintptr_t id = nextHandle_++;
    instances_.emplace(id, std::move(instance));
    *handle = reinterpret_cast<MatcherHandle>(id);
    return kOk;
  }

  int32_t Delete(MatcherHandle handle) override {
    std::lock_guard lock(registryLock_);
    return instances_.erase(reinterpret_cast<uintptr_t>(handle)) == 1 ? kOk : kInvalidMatcher;
  }

  int32_t GetParameter(MatcherHandle handle, int32_t id, int32_t* value) override {
    const auto instance = Find(handle);
    if (!instance) {
      return kInvalidMatcher;
    }
    if (value == nullptr) {
      return kInvalidParameter;
    }
    switch (id) {
      case kParamFastMode:
        *value = instance->fastMode.load();
        return kOk;
      case kParamSecurityLevel:
        *value = instance->securityLevel.load();
        return kOk;
      case kParamMatchScore:
        *value = instance->lastScore.load();
        return kOk;
      case kParamMatchThreshold:
        *value = instance->Threshold();
        return kOk;
      default:
        return kInvalidParameter;
    }
  }

  int32_t SetParameter(MatcherHandle handle, int32_t id, const int32_t* value) override {
    const auto instance = Find(handle);
    if (!instance) {
      return kInvalidMatcher;
    }
    if (value == nullptr) {
      return kInvalidParameter;
    }
    switch (id) {
      case kParamFastMode:
        if (*value != 0 && *value != 1) {
          return kInvalidParameter;
        }
        instance->fastMode.store(*value);
        return kOk;
      case kParamSecurityLevel:
        if (*value < kMinSecurityLevel || *value > kMaxSecurityLevel) {
          return kInvalidParameter;
        }
        instance->securityLevel.store(*value);
        return kOk;
      default:
        return kInvalidParameter;
    }
  }

  int32_t Verify(MatcherHandle handle, const uint8_t* probe, int32_t probeSize,
                 const uint8_t* templ, int32_t templSize, int32_t* result) override {
    const auto instance = Find(handle);
    if (!instance) {
      return kInvalidMatcher;
    }
    if (result == nullptr) {
      return kInvalidParameter;
    }
    std::lock_guard lock(instance->work);
    Workspace& w = instance->workspace;
    const matcher::CompareOptions options = instance->Options();
    if (!Load(probe, probeSize, options, &w.decoded, &w.probe) ||
        !Load(templ, templSize, options, &w.decoded, &w.gallery)) {
      return kInvalidTemplate;
    }
    const int32_t score = w.comparator.Score(w.probe, w.gallery, options);
    instance->lastScore.store(score);
    *result = score >= instance->Threshold() ? 1 : 0;
    return kOk;
  }

  int32_t Identify(MatcherHandle handle, const uint8_t* probe, int32_t probeSize,
                   const uint8_t* const* templates, const int32_t* sizes, int32_t count,
                   int32_t timeLimit, int32_t* index) override {
    const auto instance = Find(handle);
    if (!instance) {
      return kInvalidMatcher;
    }
    if (index == nullptr || count < 0 ||
        (count > 0 && (templates == nullptr || sizes == nullptr))) {
      return kInvalidParameter;
    }
    *index = -1;
    std::lock_guard lock(instance->work);
    Workspace& w = instance->workspace;
    const matcher::CompareOptions options = instance->Options();
    if (!Load(probe, probeSize, options, &w.decoded, &w.probe)) {
      return kInvalidTemplate;
    }
    const int32_t threshold = instance->Threshold();
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeLimit);

    instance->abortRequested.store(false);
    instance->identifying.store(true);
    instance->gallery.BeginSearch();
    int32_t status = kOk;
    int32_t bestScore = -1;
    int32_t bestOverall = 0;  // reported even when no entry reaches the threshold
    for (int32_t n = 0; n < count; ++n) {
      if (instance->abortRequested.load(std::memory_order_relaxed)) {
        status = kIdentifyAborted;
        break;
      }
      if (timeLimit > 0 && n % kClockInterval == 0 && std::chrono::steady_clock::now() > deadline) {
        status = kIdentifyTimeout;
        break;
      }
      // Unreadable and empty entries (users whose extraction failed) are skipped.
      const uint8_t* entry = templates[n];
      const int32_t size = sizes[n];
      if (entry == nullptr || size <= 0 || size > kMaxTemplateSize) {
        continue;
      }
      const matcher::PreparedTemplate* prepared = instance->gallery.Get(
          std::span(entry, static_cast<size_t>(size)), options, &w.decoded, &w.gallery);
      if (prepared == nullptr) {
        continue;
      }
      // The kept set of an entry a few places ahead loads while this one is compared (10,000
      // kept sets are far more than the processor's cache holds).
      if (const int32_t ahead = n + matcher::PreparedCache::kLookAhead;
          ahead < count && templates[ahead] != nullptr && sizes[ahead] > 0 &&
          sizes[ahead] <= kMaxTemplateSize) {
        instance->gallery.Prefetch(std::span(templates[ahead], static_cast<size_t>(sizes[ahead])));
      }
      const int32_t score = w.comparator.Score(w.probe, *prepared, options);
      bestOverall = std::max(bestOverall, score);
      if (score >= threshold && score > bestScore) {
        bestScore = score;
        *index = n;
      }
    }
    instance->identifying.store(false);
    instance->lastScore.store(bestOverall);
    if (status != kOk) {
      *index = -1;
    }
    return status;
  }

  int32_t AbortIdentify(MatcherHandle handle) override {
    const auto instance = Find(handle);
    if (!instance) {
      return kInvalidMatcher;
    }
    if (instance->identifying.load()) {
      instance->abortRequested.store(true);
    }
    return kOk;
  }

  int32_t GetErrorString(int32_t code, char* text) override {
    if (text == nullptr) {
      return kInvalidParameter;
    }
    CopyStatusMessage(code, text, kErrorTextSize);
    return kOk;
  }

  int32_t GetTemplateType(MatcherHandle handle, int32_t* type) override {
    const auto instance = Find(handle);
    if (!instance) {
      return kInvalidMatcher;
    }
    if (type == nullptr) {
      return kInvalidParameter;
    }
    *type = instance->templateType.load();
    return kOk;
  }

  int32_t SetTemplateType(MatcherHandle handle, int32_t type) override {
    const auto instance = Find(handle);
    if (!instance) {
      return kInvalidMatcher;
    }
    if (type != kTemplateIso19794_2 && type != kTemplateAnsi378) {
      return kNotSupported;
    }
    instance->templateType.store(type);
    return kOk;
  }

 private:
  std::shared_ptr<Instance> Find(MatcherHandle handle) {
    std::lock_guard lock(registryLock_);
    const auto it = instances_.find(reinterpret_cast<uintptr_t>(handle));
    return it == instances_.end() ? nullptr : it->second;
  }

  std::mutex registryLock_;
  std::unordered_map<uintptr_t, std::shared_ptr<Instance>> instances_;
  uintptr_t nextHandle_ = 1;
};

int32_t Compare(const uint8_t* a, int32_t aSize, const uint8_t* b, int32_t bSize,
                const matcher::CompareOptions& options, int32_t* score) {
  if (score == nullptr) {
    return kInvalidParameter;
  }
  thread_local Workspace w;
  if (!Load(a, aSize, options, &w.decoded, &w.probe) ||
      !Load(b, bSize, options, &w.decoded, &w.gallery)) {
    return kInvalidTemplate;
  }
  *score = w.comparator.Score(w.probe, w.gallery, options);
  return kOk;
}

}  // namespace

int32_t SecurityLevelThreshold(int32_t level) {
  if (level < kMinSecurityLevel || level > kMaxSecurityLevel) {
    return -1;
  }
  return kThresholds[static_cast<size_t>(level - kMinSecurityLevel)];
}

std::unique_ptr<MatcherLib> CreateMinutiaeMatcher() {
  return std::make_unique<MinutiaeMatcher>();
}

int32_t CompareTemplates(const uint8_t* a, int32_t aSize, const uint8_t* b, int32_t bSize,
                         int32_t* score) {
  return Compare(a, aSize, b, bSize, matcher::FullModeOptions(), score);
}

int32_t CompareTemplatesFast(const uint8_t* a, int32_t aSize, const uint8_t* b, int32_t bSize,
                             int32_t* score) {
  return Compare(a, aSize, b, bSize, matcher::FastModeOptions(), score);
}

}  // namespace devicelib
