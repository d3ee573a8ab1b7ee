#include "devicelib/core/record_fit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <tuple>
#include <vector>

namespace devicelib {
namespace {

using codec::FingerTemplate;
using codec::RidgeCount;
using codec::TemplateFormat;

// n minutiae on a spiral (distinct positions), qualities in a scrambled order, and ridge counts
// from each minutia to the next three.
FingerTemplate Sample(int n) {
  FingerTemplate t;
  t.width = 400;
  t.height = 400;
  for (int i = 0; i < n; ++i) {
    codec::Minutia m;
    m.x = static_cast<uint16_t>(200 + (i % 17) * 10 - (i / 17) * 3);
    m.y = static_cast<uint16_t>(20 + (i / 17) * 19 + (i % 5));
    m.angle = static_cast<uint16_t>((i * 37) % 360);
    m.quality = static_cast<uint8_t>(1 + (i * 53) % 100);
    t.minutiae.push_back(m);
  }
  for (int i = 0; i < n; ++i) {
    for (int d = 1; d <= 3 && i + d < n && i + d < 255; ++d) {
      t.ridgeCounts.push_back({static_cast<uint8_t>(std::min(i, 254)), static_cast<uint8_t>(i + d),
                               static_cast<uint8_t>((i + d) % 9)});
    }
  }
  return t;
}

// A ridge count by the positions of its minutiae: what must survive any reordering.
using Link = std::tuple<int, int, int, int, int>;
Link LinkOf(const FingerTemplate& t, const RidgeCount& r) {
  const codec::Minutia& a = t.minutiae[r.from];
  const codec::Minutia& b = t.minutiae[r.to];
  if (std::tie(a.x, a.y) < std::tie(b.x, b.y))
    return {a.x, a.y, b.x, b.y, r.count};
  return {b.x, b.y, a.x, a.y, r.count};
}
std::set<Link> Links(const FingerTemplate& t) {
  std::set<Link> out;
  for (const RidgeCount& r : t.ridgeCounts)
    out.insert(LinkOf(t, r));
  return out;
}
int Length2(const Link& l) {
  const int dx = std::get<0>(l) - std::get<2>(l);
  const int dy = std::get<1>(l) - std::get<3>(l);
  return dx * dx + dy * dy;
}

class FitRecordTest : public ::testing::TestWithParam<TemplateFormat> {
 protected:
  FingerTemplate Fit(const FingerTemplate& t, size_t capacity,
                     FitResult expected = FitResult::kOk) {
    std::vector<uint8_t> record;
    EXPECT_EQ(FitRecord(GetParam(), t, capacity, &record), expected);
    FingerTemplate back;
    if (expected == FitResult::kOk) {
      EXPECT_LE(record.size(), capacity);
      EXPECT_EQ(codec::DecodeMinutiaeRecord(record, &back), codec::RecordError::kOk);
    }
    return back;
  }
  size_t SizeOf(const FingerTemplate& t) {
    std::vector<uint8_t> record;
    EXPECT_EQ(codec::EncodeMinutiaeRecord(GetParam(), t, &record), codec::RecordError::kOk);
    return record.size();
  }
};

TEST_P(FitRecordTest, BestMinutiaeFirstRidgeCountsFollowTheirMinutiae) {
  const FingerTemplate t = Sample(40);
  const FingerTemplate back = Fit(t, 1 << 20);
  ASSERT_EQ(back.minutiae.size(), 40u);
  EXPECT_TRUE(std::is_sorted(back.minutiae.begin(), back.minutiae.end(),
                             [](const auto& a, const auto& b) { return a.quality > b.quality; }));
  EXPECT_EQ(Links(back), Links(t));
  for (const RidgeCount& r : back.ridgeCounts)
    EXPECT_LT(r.from, r.to);
}

TEST_P(FitRecordTest, RidgeCountsGiveWayLongestFirstBeforeAnyMinutia) {
  const FingerTemplate t = Sample(30);
  FingerTemplate bare = t;
  bare.ridgeCounts.clear();
  const size_t minutiaeOnly = SizeOf(bare);
  const size_t full = SizeOf(t);
  ASSERT_EQ(full, minutiaeOnly + 5 + 3 * t.ridgeCounts.size());
  ASSERT_LE(full, kRidgeCountRecordLimit);
  EXPECT_EQ(Links(Fit(t, full)), Links(t));
  // Room for the block and a few entries: the shortest stay.
  const std::set<Link> all = Links(t);
  std::vector<Link> byLength(all.begin(), all.end());
  std::stable_sort(byLength.begin(), byLength.end(),
                   [](const Link& a, const Link& b) { return Length2(a) < Length2(b); });
  for (size_t keep : {size_t{10}, size_t{1}}) {
    const FingerTemplate back = Fit(t, minutiaeOnly + 5 + 3 * keep + 2);
    EXPECT_EQ(back.minutiae.size(), 30u);
    const std::set<Link> kept = Links(back);
    ASSERT_EQ(kept.size(), keep);
    for (const Link& l : kept)
      EXPECT_LE(Length2(l), Length2(byLength[keep - 1]));
  }
  // No room for a single entry: no ridge counts, every minutia.
  FingerTemplate back = Fit(t, minutiaeOnly + 7);
  EXPECT_EQ(back.minutiae.size(), 30u);
  EXPECT_TRUE(back.ridgeCounts.empty());
  back = Fit(t, minutiaeOnly);
  EXPECT_EQ(back.minutiae.size(), 30u);
  EXPECT_TRUE(back.ridgeCounts.empty());
  // Less than the minutiae need: the best minutiae that fit, without ridge counts.
  back = Fit(t, minutiaeOnly - 6 * 10 - 1);
  ASSERT_EQ(back.minutiae.size(), 19u);
  EXPECT_TRUE(back.ridgeCounts.empty());
  EXPECT_EQ(back.minutiae.back().quality, Fit(t, full).minutiae[18].quality);
  // Below the headers: nothing.
  Fit(t, 20, FitResult::kTooSmall);
}

TEST_P(FitRecordTest, RidgeCountsStopAtTheirOwnLimitMinutiaeDoNot) {
  // With all its ridge counts the record would pass the limit: the longest go, every minutia
  // stays.
  const FingerTemplate t = Sample(60);
  FingerTemplate bare = t;
  bare.ridgeCounts.clear();
  ASSERT_GT(SizeOf(t), kRidgeCountRecordLimit);
  ASSERT_LT(SizeOf(bare) + 5 + 3 * 10, kRidgeCountRecordLimit);
  std::vector<uint8_t> record;
  ASSERT_EQ(FitRecord(GetParam(), t, 1024, &record), FitResult::kOk);
  EXPECT_LE(record.size(), kRidgeCountRecordLimit);
  EXPECT_GT(record.size(), kRidgeCountRecordLimit - 3);
  FingerTemplate back;
  ASSERT_EQ(codec::DecodeMinutiaeRecord(record, &back), codec::RecordError::kOk);
  EXPECT_EQ(back.minutiae.size(), 60u);
  const std::set<Link> kept = Links(back);
  const std::set<Link> all = Links(t);
  int longestKept = 0;
  for (const Link& l : kept) {
    EXPECT_TRUE(all.count(l));
    longestKept = std::max(longestKept, Length2(l));
  }
  for (const Link& l : all) {
    if (!kept.count(l)) {
      EXPECT_GE(Length2(l), longestKept);
    }
  }
  // Minutiae alone past the limit: all of them that fit the capacity, no ridge count.
  FingerTemplate many = Sample(120);
  many.ridgeCounts.clear();
  ASSERT_EQ(FitRecord(GetParam(), many, 1024, &record), FitResult::kOk);
  ASSERT_EQ(codec::DecodeMinutiaeRecord(record, &back), codec::RecordError::kOk);
  EXPECT_EQ(back.minutiae.size(), 120u);
  EXPECT_TRUE(back.ridgeCounts.empty());
}

std::vector<int> BestQualities(const FingerTemplate& t, size_t n) {
  std::vector<int> q;
  for (const codec::Minutia& m : t.minutiae)
    q.push_back(m.quality);
  std::sort(q.begin(), q.end(), std::greater<>());
  q.resize(std::min(n, q.size()));
  return q;
}

TEST_P(FitRecordTest, ARecordKeepingRidgeCountsHoldsOnlyTheBestMinutiae) {
  // More minutiae than a record with counts holds: the best kRidgeCountMinutiae and counts
  // between them only, within the counts' limit.
  const FingerTemplate many = Sample(120);
  std::vector<uint8_t> record;
  ASSERT_EQ(FitRecord(GetParam(), many, 1024, &record), FitResult::kOk);
  EXPECT_LE(record.size(), kRidgeCountRecordLimit);
  FingerTemplate back;
  ASSERT_EQ(codec::DecodeMinutiaeRecord(record, &back), codec::RecordError::kOk);
  ASSERT_EQ(back.minutiae.size(), kRidgeCountMinutiae);
  EXPECT_EQ(BestQualities(back, 255), BestQualities(many, kRidgeCountMinutiae));
  EXPECT_FALSE(back.ridgeCounts.empty());
  const std::set<Link> all = Links(many);
  for (const Link& l : Links(back))
    EXPECT_TRUE(all.count(l));
  // As many minutiae as it holds, or fewer: every one.
  for (const size_t n : {kRidgeCountMinutiae, size_t{60}}) {
    const FingerTemplate t = Sample(static_cast<int>(n));
    back = Fit(t, 1024);
    EXPECT_EQ(back.minutiae.size(), n);
    EXPECT_FALSE(back.ridgeCounts.empty());
  }
  // A capacity too small for a single count beside the best minutiae: the counts would go
  // anyway, so every minutia that fits is written.
  FingerTemplate capped = many;
  capped.minutiae.resize(kRidgeCountMinutiae);
  capped.ridgeCounts.clear();
  back = Fit(many, SizeOf(capped) + 7);
  EXPECT_EQ(back.minutiae.size(), kRidgeCountMinutiae + 1);
  EXPECT_TRUE(back.ridgeCounts.empty());
  EXPECT_EQ(BestQualities(back, 255), BestQualities(many, kRidgeCountMinutiae + 1));
}

TEST_P(FitRecordTest, MinutiaePastTheRecordsLimitTakeTheirRidgeCountsAlong) {
  // Counts are numbered by minutia, and a record numbers at most 255: those of the minutiae
  // past it must go, not wrap onto others (the record keeps only the best minutiae anyway).
  const FingerTemplate t = Sample(300);
  FingerTemplate back = Fit(t, 1 << 20);
  ASSERT_EQ(back.minutiae.size(), kRidgeCountMinutiae);
  const std::set<Link> before = Links(t);
  const std::set<Link> after = Links(back);
  EXPECT_FALSE(after.empty());
  for (const Link& l : after)
    EXPECT_TRUE(before.count(l));
  FingerTemplate bare = t;
  bare.ridgeCounts.clear();
  back = Fit(bare, 1 << 20);
  EXPECT_EQ(back.minutiae.size(), 255u);
  EXPECT_EQ(BestQualities(back, 255), BestQualities(t, 255));
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, FitRecordTest,
                         ::testing::Values(TemplateFormat::kIso19794_2, TemplateFormat::kAnsi378),
                         [](const auto& info) {
                           return info.param == TemplateFormat::kIso19794_2 ? "Iso" : "Ansi";
                         });

}  // namespace
}  // namespace devicelib
