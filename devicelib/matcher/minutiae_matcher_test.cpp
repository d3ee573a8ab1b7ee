// The MatcherLib contract of the minutiae matcher: instances, parameters, template types,
// Verify and Identify results and statuses, abort and time limit.
#include "devicelib/matcher/minutiae_matcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "codec/template/minutiae_record.h"
#include "devicelib/matcher/test_minutiae.h"
#include "devicelib/scanner_lib.h"
#include "devicelib/status.h"

namespace devicelib {
namespace {

namespace synth = matcher::testing;

using Bytes = std::vector<uint8_t>;

Bytes Impression(uint32_t finger, uint32_t impression) {
  return synth::Record(synth::Impression(synth::MasterFinger(finger), impression));
}

int32_t Size(const Bytes& b) {
  return static_cast<int32_t>(b.size());
}

class MatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(lib_->Create(&handle_), kOk); }
  void TearDown() override { lib_->Delete(handle_); }

  int32_t Verify(const Bytes& probe, const Bytes& templ, int32_t* result) {
    return lib_->Verify(handle_, probe.data(), Size(probe), templ.data(), Size(templ), result);
  }
  int32_t Matches(const Bytes& probe, const Bytes& templ) {
    int32_t result = -1;
    EXPECT_EQ(Verify(probe, templ, &result), kOk);
    return result;
  }
  int32_t Identify(const Bytes& probe, const std::vector<const uint8_t*>& templates,
                   const std::vector<int32_t>& sizes, int32_t timeLimit, int32_t* index) {
    return lib_->Identify(handle_, probe.data(), Size(probe), templates.data(), sizes.data(),
                          static_cast<int32_t>(templates.size()), timeLimit, index);
  }

  std::unique_ptr<MatcherLib> lib_ = CreateMinutiaeMatcher();
  MatcherHandle handle_ = nullptr;
};

TEST_F(MatcherTest, UnknownAndDeletedHandlesAreRefused) {
  MatcherHandle other = nullptr;
  ASSERT_EQ(lib_->Create(&other), kOk);
  EXPECT_NE(other, handle_);
  ASSERT_EQ(lib_->Delete(other), kOk);
  const Bytes a = Impression(1, 1);
  int32_t value = 0;
  for (MatcherHandle bad : {other, static_cast<MatcherHandle>(nullptr),
                            reinterpret_cast<MatcherHandle>(uintptr_t{0xdeadbeef})}) {
    EXPECT_EQ(lib_->Delete(bad), kInvalidMatcher);
    EXPECT_EQ(lib_->GetParameter(bad, kParamFastMode, &value), kInvalidMatcher);
    EXPECT_EQ(lib_->SetParameter(bad, kParamFastMode, &value), kInvalidMatcher);
    EXPECT_EQ(lib_->Verify(bad, a.data(), Size(a), a.data(), Size(a), &value), kInvalidMatcher);
    const uint8_t* templates[] = {a.data()};
    const int32_t sizes[] = {Size(a)};
    EXPECT_EQ(lib_->Identify(bad, a.data(), Size(a), templates, sizes, 1, 5000, &value),
              kInvalidMatcher);
    EXPECT_EQ(lib_->AbortIdentify(bad), kInvalidMatcher);
    EXPECT_EQ(lib_->GetTemplateType(bad, &value), kInvalidMatcher);
    EXPECT_EQ(lib_->SetTemplateType(bad, kTemplateAnsi378), kInvalidMatcher);
  }
  EXPECT_EQ(lib_->Create(nullptr), kInvalidParameter);
  // The surviving instance is untouched.
  EXPECT_EQ(Matches(a, a), 1);
}

TEST_F(MatcherTest, ParametersHaveDefaultsAndRanges) {
  int32_t value = -1;
  ASSERT_EQ(lib_->GetParameter(handle_, kParamFastMode, &value), kOk);
  EXPECT_EQ(value, 0);
  ASSERT_EQ(lib_->GetParameter(handle_, kParamSecurityLevel, &value), kOk);
  EXPECT_EQ(value, kDefaultSecurityLevel);

  for (int32_t level = kMinSecurityLevel; level <= kMaxSecurityLevel; ++level) {
    EXPECT_EQ(lib_->SetParameter(handle_, kParamSecurityLevel, &level), kOk);
    ASSERT_EQ(lib_->GetParameter(handle_, kParamSecurityLevel, &value), kOk);
    EXPECT_EQ(value, level);
    // Stricter levels never have lower thresholds.
    if (level > kMinSecurityLevel) {
      EXPECT_GT(SecurityLevelThreshold(level), SecurityLevelThreshold(level - 1));
    }
  }
  for (int32_t bad : {0, 8, -1}) {
    EXPECT_EQ(lib_->SetParameter(handle_, kParamSecurityLevel, &bad), kInvalidParameter);
  }
  ASSERT_EQ(lib_->GetParameter(handle_, kParamSecurityLevel, &value), kOk);
  EXPECT_EQ(value, kMaxSecurityLevel);  // refused values change nothing

  const int32_t on = 1;
  EXPECT_EQ(lib_->SetParameter(handle_, kParamFastMode, &on), kOk);
  ASSERT_EQ(lib_->GetParameter(handle_, kParamFastMode, &value), kOk);
  EXPECT_EQ(value, 1);
  const int32_t two = 2;
  EXPECT_EQ(lib_->SetParameter(handle_, kParamFastMode, &two), kInvalidParameter);

  EXPECT_EQ(lib_->GetParameter(handle_, 305, &value), kInvalidParameter);
  EXPECT_EQ(lib_->SetParameter(handle_, 201, &on), kInvalidParameter);
  EXPECT_EQ(lib_->GetParameter(handle_, kParamFastMode, nullptr), kInvalidParameter);
  EXPECT_EQ(lib_->SetParameter(handle_, kParamFastMode, nullptr), kInvalidParameter);
  EXPECT_EQ(SecurityLevelThreshold(0), -1);
}

TEST_F(MatcherTest, TemplateTypes) {
  int32_t type = 0;
  ASSERT_EQ(lib_->GetTemplateType(handle_, &type), kOk);
  EXPECT_EQ(type, kTemplateIso19794_2);
  EXPECT_EQ(lib_->SetTemplateType(handle_, kTemplateAnsi378), kOk);
  ASSERT_EQ(lib_->GetTemplateType(handle_, &type), kOk);
  EXPECT_EQ(type, kTemplateAnsi378);
  for (int32_t unknown : {0, 3, -1, 100}) {
    EXPECT_EQ(lib_->SetTemplateType(handle_, unknown), kNotSupported) << unknown;
  }
  ASSERT_EQ(lib_->GetTemplateType(handle_, &type), kOk);
  EXPECT_EQ(type, kTemplateAnsi378);
  EXPECT_EQ(lib_->GetTemplateType(handle_, nullptr), kInvalidParameter);
}

TEST_F(MatcherTest, ErrorStringsComeFromTheStatusTable) {
  char text[kErrorTextSize];
  for (int32_t code :
       std::initializer_list<int32_t>{kOk, kInvalidTemplate, kIdentifyAborted, kIdentifyTimeout,
                                      kInvalidMatcher, kNotSupported, int32_t{-999}}) {
    std::memset(text, 'x', sizeof text);
    lib_->GetErrorString(code, text);
    EXPECT_STREQ(text, StatusMessage(code));
  }
  EXPECT_EQ(lib_->GetErrorString(kOk, nullptr), kInvalidParameter);
}

TEST_F(MatcherTest, VerifyMatchesTheSameFingerInEitherRecordLayout) {
  const auto master = synth::MasterFinger(7);
  const Bytes iso = synth::Record(synth::Impression(master, 1));
  Bytes ansi;
  ASSERT_EQ(codec::EncodeAnsi378(synth::Impression(master, 2), &ansi), codec::RecordError::kOk);
  EXPECT_EQ(Matches(iso, ansi), 1);
  EXPECT_EQ(Matches(ansi, iso), 1);
  EXPECT_EQ(Matches(iso, Impression(8, 1)), 0);
  // The template type setting does not restrict what is read.
  ASSERT_EQ(lib_->SetTemplateType(handle_, kTemplateAnsi378), kOk);
  EXPECT_EQ(Matches(iso, iso), 1);
  int32_t result = 0;
  EXPECT_EQ(Verify(iso, ansi, nullptr), kInvalidParameter);
  EXPECT_EQ(lib_->Verify(handle_, iso.data(), Size(iso), ansi.data(), Size(ansi), &result), kOk);
}

TEST_F(MatcherTest, VerifyResultFollowsTheSecurityLevelThreshold) {
  // Scores of genuine and impostor pairs, each checked against Verify at every level.
  for (uint32_t f = 0; f < 6; ++f) {
    const Bytes a = Impression(f, 1);
    const Bytes b = f % 2 == 0 ? Impression(f, 2) : Impression(f + 30, 2);
    int32_t score = -1;
    ASSERT_EQ(CompareTemplates(a.data(), Size(a), b.data(), Size(b), &score), kOk);
    EXPECT_GE(score, 0);
    EXPECT_LE(score, kMaxMatchScore);
    for (int32_t level = kMinSecurityLevel; level <= kMaxSecurityLevel; ++level) {
      ASSERT_EQ(lib_->SetParameter(handle_, kParamSecurityLevel, &level), kOk);
      EXPECT_EQ(Matches(a, b), score >= SecurityLevelThreshold(level) ? 1 : 0) << f << level;
    }
  }
}

TEST_F(MatcherTest, MalformedRecordsAreRefusedWith112) {
  const Bytes good = Impression(9, 1);
  Bytes truncated(good.begin(), good.end() - 3);
  Bytes badMagic = good;
  badMagic[0] = 'X';
  Bytes badCount = good;
  badCount[24 + 3] = 200;
  Bytes oversized = good;
  oversized.resize(static_cast<size_t>(kMaxTemplateSize) + 1);
  int32_t result = 7;
  for (const Bytes* bad : {&truncated, &badMagic, &badCount}) {
    EXPECT_EQ(Verify(*bad, good, &result), kInvalidTemplate);
    EXPECT_EQ(Verify(good, *bad, &result), kInvalidTemplate);
  }
  EXPECT_EQ(Verify(oversized, good, &result), kInvalidTemplate);
  EXPECT_EQ(lib_->Verify(handle_, good.data(), 0, good.data(), Size(good), &result),
            kInvalidTemplate);
  EXPECT_EQ(lib_->Verify(handle_, good.data(), Size(good), nullptr, 50, &result), kInvalidTemplate);
  EXPECT_EQ(lib_->Verify(handle_, good.data(), -5, good.data(), Size(good), &result),
            kInvalidTemplate);
  int32_t score = 0;
  EXPECT_EQ(CompareTemplates(badMagic.data(), Size(badMagic), good.data(), Size(good), &score),
            kInvalidTemplate);
  EXPECT_EQ(
      CompareTemplatesFast(good.data(), Size(good), truncated.data(), Size(truncated), &score),
      kInvalidTemplate);
}

// What a page is told beside a result: the score of the comparison and the threshold in force,
// also when the finger did not match (that is when the user needs to know how close it came).
TEST_F(MatcherTest, ScoreAndThresholdOfTheLastComparisonCanBeRead) {
  int32_t value = -1;
  ASSERT_EQ(lib_->GetParameter(handle_, kParamMatchScore, &value), kOk);
  EXPECT_EQ(value, 0);  // nothing compared yet
  const int32_t level = 6;
  ASSERT_EQ(lib_->SetParameter(handle_, kParamSecurityLevel, &level), kOk);
  ASSERT_EQ(lib_->GetParameter(handle_, kParamMatchThreshold, &value), kOk);
  EXPECT_EQ(value, SecurityLevelThreshold(level));
  // Read-only: a page cannot set its own threshold or score through setParameters.
  EXPECT_EQ(lib_->SetParameter(handle_, kParamMatchScore, &level), kInvalidParameter);
  EXPECT_EQ(lib_->SetParameter(handle_, kParamMatchThreshold, &level), kInvalidParameter);

  const Bytes a = Impression(7, 1);
  for (const Bytes& b : {Impression(7, 2), Impression(8, 2)}) {
    int32_t expected = -1;
    ASSERT_EQ(CompareTemplates(a.data(), Size(a), b.data(), Size(b), &expected), kOk);
    int32_t result = -1;
    ASSERT_EQ(Verify(a, b, &result), kOk);
    ASSERT_EQ(lib_->GetParameter(handle_, kParamMatchScore, &value), kOk);
    EXPECT_EQ(value, expected);
    EXPECT_EQ(result, expected >= SecurityLevelThreshold(level) ? 1 : 0);
  }

  // Identify: the best score over the gallery, whether or not it reached the threshold.
  std::vector<Bytes> gallery = {Impression(20, 1), Impression(21, 1), Impression(22, 1)};
  const Bytes stranger = Impression(23, 2);
  int32_t best = 0;
  for (const Bytes& g : gallery) {
    int32_t score = 0;
    ASSERT_EQ(CompareTemplates(stranger.data(), Size(stranger), g.data(), Size(g), &score), kOk);
    best = std::max(best, score);
  }
  ASSERT_GT(best, 0);
  int32_t index = 0;
  ASSERT_EQ(Identify(stranger, {gallery[0].data(), gallery[1].data(), gallery[2].data()},
                     {Size(gallery[0]), Size(gallery[1]), Size(gallery[2])}, 5000, &index),
            kOk);
  EXPECT_EQ(index, -1);
  ASSERT_EQ(lib_->GetParameter(handle_, kParamMatchScore, &value), kOk);
  EXPECT_EQ(value, best);
  ASSERT_EQ(Identify(stranger, {}, {}, 5000, &index), kOk);
  ASSERT_EQ(lib_->GetParameter(handle_, kParamMatchScore, &value), kOk);
  EXPECT_EQ(value, 0);  // an empty gallery: nothing came close
}

// An instance keeps the gallery's records prepared between identifications: a search over the
// same gallery again, over entries whose bytes changed in place, or in the other mode, must
// give what a search from scratch gives (the best score: CompareTemplates over every entry).
TEST_F(MatcherTest, IdentifyFollowsTheGallerysBytesAcrossRepeatedSearches) {
  std::vector<Bytes> gallery;
  for (uint32_t f = 200; f < 212; ++f) {
    gallery.push_back(Impression(f, 1));
  }
  std::vector<const uint8_t*> templates;
  std::vector<int32_t> sizes;
  for (const Bytes& g : gallery) {
    templates.push_back(g.data());
    sizes.push_back(Size(g));
  }
  const auto bestOver = [&](const Bytes& probe, int32_t fast) {
    int32_t best = 0;
    for (const Bytes& g : gallery) {
      int32_t score = 0;
      const auto compare = fast != 0 ? CompareTemplatesFast : CompareTemplates;
      EXPECT_EQ(compare(probe.data(), Size(probe), g.data(), Size(g), &score), kOk);
      best = std::max(best, score);
    }
    return best;
  };
  MatcherHandle other = nullptr;
  ASSERT_EQ(lib_->Create(&other), kOk);
  const Bytes probe = Impression(204, 2);
  int32_t index = 0;
  int32_t value = 0;
  for (int round = 0; round < 3; ++round) {
    for (int32_t fast : {0, 1, 0}) {
      ASSERT_EQ(lib_->SetParameter(handle_, kParamFastMode, &fast), kOk);
      ASSERT_EQ(Identify(probe, templates, sizes, 0, &index), kOk);
      EXPECT_EQ(index, 4);
      ASSERT_EQ(lib_->GetParameter(handle_, kParamMatchScore, &value), kOk);
      EXPECT_EQ(value, bestOver(probe, fast)) << round << " " << fast;
    }
  }
  // The enrolled finger's entry is replaced by a copy of another finger's with one bit changed
  // (the last minutia's quality): a record the store has not seen, nearly the same as one it
  // has.
  gallery[4] = gallery[9];
  gallery[4][gallery[4].size() - 3] ^= 1;
  templates[4] = gallery[4].data();
  sizes[4] = Size(gallery[4]);
  for (int32_t fast : {0, 1}) {
    ASSERT_EQ(lib_->SetParameter(handle_, kParamFastMode, &fast), kOk);
    ASSERT_EQ(Identify(probe, templates, sizes, 0, &index), kOk);
    EXPECT_EQ(index, -1);
    ASSERT_EQ(lib_->GetParameter(handle_, kParamMatchScore, &value), kOk);
    EXPECT_EQ(value, bestOver(probe, fast));
    // Another instance searching the same gallery starts from its own, empty store.
    ASSERT_EQ(lib_->SetParameter(other, kParamFastMode, &fast), kOk);
    ASSERT_EQ(lib_->Identify(other, probe.data(), Size(probe), templates.data(), sizes.data(),
                             static_cast<int32_t>(templates.size()), 0, &index),
              kOk);
    ASSERT_EQ(lib_->GetParameter(other, kParamMatchScore, &value), kOk);
    EXPECT_EQ(value, bestOver(probe, fast));
  }
  lib_->Delete(other);
}

TEST_F(MatcherTest, IdentifyFindsTheFingerAndSkipsEmptyOrUnreadableEntries) {
  std::vector<Bytes> gallery;
  for (uint32_t f = 100; f < 140; ++f) {
    gallery.push_back(Impression(f, 1));
  }
  gallery[5].clear();       // a user whose extraction failed
  gallery[6] = {'F', 'M'};  // garbage
  std::vector<const uint8_t*> templates;
  std::vector<int32_t> sizes;
  for (const Bytes& g : gallery) {
    templates.push_back(g.data());
    sizes.push_back(Size(g));
  }
  templates[7] = nullptr;  // a null pointer with a size
  int32_t index = 0;
  for (int32_t fast : {0, 1}) {
    ASSERT_EQ(lib_->SetParameter(handle_, kParamFastMode, &fast), kOk);
    for (uint32_t f : {100u, 120u, 139u}) {
      ASSERT_EQ(Identify(Impression(f, 2), templates, sizes, 5000, &index), kOk);
      EXPECT_EQ(index, static_cast<int32_t>(f - 100));
    }
    ASSERT_EQ(Identify(Impression(999, 2), templates, sizes, 5000, &index), kOk);
    EXPECT_EQ(index, -1);
  }
  // The entry that was skipped as empty cannot be found even by its own finger.
  ASSERT_EQ(Identify(Impression(105, 2), templates, sizes, 5000, &index), kOk);
  EXPECT_EQ(index, -1);

  EXPECT_EQ(Identify(Bytes{1, 2, 3}, templates, sizes, 5000, &index), kInvalidTemplate);
  ASSERT_EQ(Identify(Impression(100, 2), {}, {}, 5000, &index), kOk);
  EXPECT_EQ(index, -1);
  const Bytes probe = Impression(100, 2);
  EXPECT_EQ(lib_->Identify(handle_, probe.data(), Size(probe), templates.data(), sizes.data(), -1,
                           5000, &index),
            kInvalidParameter);
  EXPECT_EQ(lib_->Identify(handle_, probe.data(), Size(probe), nullptr, nullptr, 3, 5000, &index),
            kInvalidParameter);
  EXPECT_EQ(lib_->Identify(handle_, probe.data(), Size(probe), templates.data(), sizes.data(), 1,
                           5000, nullptr),
            kInvalidParameter);
}

TEST_F(MatcherTest, IdentifyPrefersTheBestOfSeveralMatches) {
  // The same finger enrolled twice: once from a clean impression, once from a poor one.
  const auto master = synth::MasterFinger(42);
  synth::ImpressionSettings poor;
  poor.lost = 0.45f;
  poor.spurious = 0.3f;
  const Bytes clean = synth::Record(synth::Impression(master, 1));
  const Bytes rough = synth::Record(synth::Impression(master, 1, poor));
  const Bytes probe = synth::Record(synth::Impression(master, 2));
  int32_t cleanScore = 0;
  int32_t roughScore = 0;
  ASSERT_EQ(CompareTemplates(probe.data(), Size(probe), clean.data(), Size(clean), &cleanScore),
            kOk);
  ASSERT_EQ(CompareTemplates(probe.data(), Size(probe), rough.data(), Size(rough), &roughScore),
            kOk);
  ASSERT_GT(cleanScore, roughScore);
  int32_t index = -1;
  ASSERT_EQ(Identify(probe, {rough.data(), clean.data()}, {Size(rough), Size(clean)}, 5000, &index),
            kOk);
  EXPECT_EQ(index, 1);
}

// A gallery of 200,000 entries (a few hundred distinct records, repeated): far more work than
// any abort or time limit in these tests allows to finish.
class LargeGalleryTest : public MatcherTest {
 protected:
  static constexpr int32_t kEntries = 200000;
  void SetUp() override {
    MatcherTest::SetUp();
    for (uint32_t f = 0; f < 300; ++f) {
      distinct_.push_back(Impression(1000 + f, 1));
    }
    for (int32_t n = 0; n < kEntries; ++n) {
      const Bytes& b = distinct_[static_cast<size_t>(n) % distinct_.size()];
      templates_.push_back(b.data());
      sizes_.push_back(Size(b));
    }
    probe_ = Impression(5, 2);  // not in the gallery: a full search
  }
  std::vector<Bytes> distinct_;
  std::vector<const uint8_t*> templates_;
  std::vector<int32_t> sizes_;
  Bytes probe_;
};

TEST_F(LargeGalleryTest, AbortFromAnotherThreadEndsIdentificationPromptly) {
  std::atomic<bool> done{false};
  int32_t status = 0;
  int32_t index = 0;
  std::thread identify([&] {
    status = Identify(probe_, templates_, sizes_, 0, &index);
    done = true;
  });
  // Keep asking until it ends: an abort sent before the identification starts is ignored.
  const auto start = std::chrono::steady_clock::now();
  while (!done) {
    EXPECT_EQ(lib_->AbortIdentify(handle_), kOk);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  identify.join();
  EXPECT_EQ(status, kIdentifyAborted);
  EXPECT_EQ(index, -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));

  // The instance works normally afterwards, and an abort while idle changes nothing.
  EXPECT_EQ(lib_->AbortIdentify(handle_), kOk);
  ASSERT_EQ(Identify(probe_, {templates_.begin(), templates_.begin() + 10},
                     {sizes_.begin(), sizes_.begin() + 10}, 5000, &index),
            kOk);
  EXPECT_EQ(index, -1);
}

TEST_F(LargeGalleryTest, TimeLimitEndsIdentification) {
  int32_t index = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Identify(probe_, templates_, sizes_, 20, &index), kIdentifyTimeout);
  EXPECT_EQ(index, -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
}  // namespace devicelib
