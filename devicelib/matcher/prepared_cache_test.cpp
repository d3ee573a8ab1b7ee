// The prepared sets an instance keeps for its identifications: a kept set must be the one of
// exactly the record asked for, and the cache must stay within its budget.
#include "devicelib/matcher/prepared_cache.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codec/template/minutiae_record.h"
#include "devicelib/matcher/test_minutiae.h"

namespace devicelib::matcher {
namespace {

namespace synth = testing;
using Bytes = std::vector<uint8_t>;

Bytes Record(uint32_t finger, uint32_t impression) {
  return synth::Record(synth::Impression(synth::MasterFinger(finger), impression));
}

// The score of `probe` against `record` prepared from scratch.
int FreshScore(const PreparedTemplate& probe, const Bytes& record, const CompareOptions& options) {
  codec::FingerTemplate decoded;
  EXPECT_EQ(codec::DecodeMinutiaeRecord(record, &decoded), codec::RecordError::kOk);
  PreparedTemplate prepared;
  prepared.Prepare(decoded, options);
  Comparator comparator;
  return comparator.Score(probe, prepared, options);
}

PreparedTemplate Prepared(const Bytes& record, const CompareOptions& options) {
  codec::FingerTemplate decoded;
  EXPECT_EQ(codec::DecodeMinutiaeRecord(record, &decoded), codec::RecordError::kOk);
  PreparedTemplate prepared;
  prepared.Prepare(decoded, options);
  return prepared;
}

TEST(PreparedCache, KeepsEachRecordsOwnSetAndNeverAnotherRecords) {
  const CompareOptions options = FullModeOptions();
  PreparedCache cache;
  codec::FingerTemplate decoded;
  PreparedTemplate scratch;
  const Bytes a = Record(1, 1);
  // The same record with one minutia moved by a pixel, and with another resolution: the same
  // length and nearly the same bytes, but other sets.
  Bytes moved = a;
  Bytes rescaled = a;
  {
    codec::FingerTemplate t;
    ASSERT_EQ(codec::DecodeMinutiaeRecord(a, &t), codec::RecordError::kOk);
    t.minutiae[5].x = static_cast<uint16_t>(t.minutiae[5].x + 1);
    moved = synth::Record(t);
    t.minutiae[5].x = static_cast<uint16_t>(t.minutiae[5].x - 1);
    t.xResolution = t.yResolution = 250;
    ASSERT_EQ(codec::EncodeIso19794_2(t, &rescaled), codec::RecordError::kOk);
  }
  ASSERT_EQ(moved.size(), a.size());
  ASSERT_NE(moved, a);
  ASSERT_NE(rescaled, a);
  const PreparedTemplate probe = Prepared(Record(1, 2), options);
  Comparator comparator;

  cache.BeginSearch();
  const PreparedTemplate* first = cache.Get(a, options, &decoded, &scratch);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(first, &scratch);
  const int scoreA = comparator.Score(probe, *first, options);
  EXPECT_EQ(scoreA, FreshScore(probe, a, options));
  for (const Bytes* other : {&moved, &rescaled}) {
    const PreparedTemplate* kept = cache.Get(*other, options, &decoded, &scratch);
    ASSERT_NE(kept, nullptr);
    EXPECT_NE(kept, first);
    EXPECT_EQ(comparator.Score(probe, *kept, options), FreshScore(probe, *other, options));
  }
  EXPECT_EQ(cache.size(), 3u);
  // The next search finds each record's own set again.
  cache.BeginSearch();
  EXPECT_EQ(cache.Get(a, options, &decoded, &scratch), first);
  EXPECT_EQ(comparator.Score(probe, *first, options), scoreA);
  EXPECT_EQ(comparator.Score(probe, *cache.Get(moved, options, &decoded, &scratch), options),
            FreshScore(probe, moved, options));
  EXPECT_EQ(comparator.Score(probe, *cache.Get(rescaled, options, &decoded, &scratch), options),
            FreshScore(probe, rescaled, options));
  EXPECT_EQ(cache.size(), 3u);
}

TEST(PreparedCache, ALookAheadNeverHandsARecordAnotherRecordsSet) {
  const CompareOptions options = FastModeOptions();
  PreparedCache cache;
  codec::FingerTemplate decoded;
  PreparedTemplate scratch;
  const Bytes a = Record(4, 1);
  Bytes moved = a;  // same size, one minutia a pixel away
  Bytes third = a;  // and another
  {
    codec::FingerTemplate t;
    ASSERT_EQ(codec::DecodeMinutiaeRecord(a, &t), codec::RecordError::kOk);
    t.minutiae[3].y = static_cast<uint16_t>(t.minutiae[3].y + 1);
    moved = synth::Record(t);
    t.minutiae[8].x = static_cast<uint16_t>(t.minutiae[8].x + 2);
    third = synth::Record(t);
  }
  ASSERT_EQ(moved.size(), a.size());
  ASSERT_EQ(third.size(), a.size());
  const PreparedTemplate probe = Prepared(Record(4, 2), options);
  Comparator comparator;
  cache.BeginSearch();
  const PreparedTemplate* keptA = cache.Get(a, options, &decoded, &scratch);
  const PreparedTemplate* keptMoved = cache.Get(moved, options, &decoded, &scratch);
  ASSERT_NE(keptA, nullptr);
  ASSERT_NE(keptMoved, nullptr);
  ASSERT_NE(keptA, keptMoved);

  // Announced, then taken through the look-ahead's steps by announcing others after it, as a
  // search does; then asked for as it was: the kept set.
  const Bytes filler = Record(9, 9);  // never kept
  const auto announce = [&](PreparedCache& c, const Bytes& record) {
    c.Prefetch(record);
    for (int n = 1; n < PreparedCache::kLookAhead; ++n) {
      c.Prefetch(filler);
    }
  };
  Bytes buffer = a;
  announce(cache, buffer);
  EXPECT_EQ(cache.Get(buffer, options, &decoded, &scratch), keptA);
  // Asked for before the look-ahead found it: the same.
  cache.Prefetch(buffer);
  EXPECT_EQ(cache.Get(buffer, options, &decoded, &scratch), keptA);
  // The memory announced rewritten in between with another record of the same size, kept or
  // not: that record's own set, never the one found ahead.
  announce(cache, buffer);
  buffer = moved;
  EXPECT_EQ(cache.Get(buffer, options, &decoded, &scratch), keptMoved);
  announce(cache, buffer);
  buffer = third;
  const PreparedTemplate* other = cache.Get(buffer, options, &decoded, &scratch);
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other, keptA);
  EXPECT_NE(other, keptMoved);
  EXPECT_EQ(comparator.Score(probe, *other, options), FreshScore(probe, third, options));
  // One record announced and another asked for at a different address.
  announce(cache, a);
  EXPECT_EQ(cache.Get(moved, options, &decoded, &scratch), keptMoved);
  // Announced, then dropped before its Get: prepared again, and scored as fresh.
  PreparedCache dropped;
  dropped.BeginSearch();
  ASSERT_NE(dropped.Get(a, options, &decoded, &scratch), &scratch);
  announce(dropped, a);
  dropped.Clear();
  const PreparedTemplate* again = dropped.Get(a, options, &decoded, &scratch);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(comparator.Score(probe, *again, options), FreshScore(probe, a, options));
  // Records nobody kept, announced: nothing found, nothing changed.
  const size_t bytes = cache.Bytes();
  announce(cache, filler);
  EXPECT_EQ(cache.Bytes(), bytes);
  EXPECT_EQ(cache.size(), 3u);
}

TEST(PreparedCache, CountsTheLookUpsAKeptSetBuildsLater) {
  // In full mode a set builds the look-ups of the side it plays on its first comparison.
  const CompareOptions options = FullModeOptions();
  PreparedCache cache;
  codec::FingerTemplate decoded;
  PreparedTemplate scratch;
  const Bytes a = Record(7, 1);
  const PreparedTemplate probe = Prepared(Record(7, 2), options);
  Comparator comparator;
  cache.BeginSearch();
  const PreparedTemplate* kept = cache.Get(a, options, &decoded, &scratch);
  ASSERT_NE(kept, nullptr);
  const size_t before = cache.Bytes();
  const size_t setBefore = kept->Bytes();
  comparator.Score(probe, *kept, options);
  comparator.Score(*kept, probe, options);
  ASSERT_GT(kept->Bytes(), setBefore);
  cache.BeginSearch();
  EXPECT_EQ(cache.Get(a, options, &decoded, &scratch), kept);
  EXPECT_EQ(cache.Bytes() - before, kept->Bytes() - setBefore);
  // Found again with nothing built since: the same count.
  EXPECT_EQ(cache.Get(a, options, &decoded, &scratch), kept);
  EXPECT_EQ(cache.Bytes() - before, kept->Bytes() - setBefore);
}

TEST(PreparedCache, SetsKeptInOneModeScoreAsFreshOnesInTheOther) {
  PreparedCache cache;
  codec::FingerTemplate decoded;
  PreparedTemplate scratch;
  std::vector<Bytes> records;
  for (uint32_t f = 0; f < 6; ++f) {
    records.push_back(Record(f, 3));
  }
  for (const CompareOptions& first : {FullModeOptions(), FastModeOptions()}) {
    cache.Clear();
    for (const CompareOptions& options : {first, FullModeOptions(), FastModeOptions()}) {
      const PreparedTemplate probe = Prepared(Record(2, 4), options);
      Comparator comparator;
      cache.BeginSearch();
      for (const Bytes& r : records) {
        const PreparedTemplate* kept = cache.Get(r, options, &decoded, &scratch);
        ASSERT_NE(kept, nullptr);
        EXPECT_EQ(comparator.Score(probe, *kept, options), FreshScore(probe, r, options));
        // Either side: a kept set may have built the other side's look-ups already.
        EXPECT_EQ(comparator.Score(*kept, probe, options), FreshScore(probe, r, options));
      }
    }
  }
}

TEST(PreparedCache, UnreadableRecordsAreNotKept) {
  PreparedCache cache;
  codec::FingerTemplate decoded;
  PreparedTemplate scratch;
  const Bytes garbage(60, 0x5A);
  cache.BeginSearch();
  EXPECT_EQ(cache.Get(garbage, FullModeOptions(), &decoded, &scratch), nullptr);
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.Bytes(), 0u);
}

TEST(PreparedCache, StaysWithinItsBudgetAndKeepsWhatTheSearchUses) {
  const CompareOptions options = FastModeOptions();
  std::vector<Bytes> records;
  for (uint32_t f = 0; f < 12; ++f) {
    records.push_back(Record(f, 5));
  }
  // Room for about four sets.
  PreparedCache probeSize;
  codec::FingerTemplate decoded;
  PreparedTemplate scratch;
  probeSize.BeginSearch();
  probeSize.Get(records[0], options, &decoded, &scratch);
  const size_t one = probeSize.Bytes();
  ASSERT_GT(one, sizeof(PreparedTemplate));
  PreparedCache cache(4 * one + one / 2);

  const PreparedTemplate probe = Prepared(Record(3, 6), options);
  Comparator comparator;
  std::vector<const PreparedTemplate*> firstSearch;
  cache.BeginSearch();
  for (const Bytes& r : records) {
    const PreparedTemplate* p = cache.Get(r, options, &decoded, &scratch);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(comparator.Score(probe, *p, options), FreshScore(probe, r, options));
    EXPECT_LE(cache.Bytes(), 4 * one + one / 2);
    firstSearch.push_back(p == &scratch ? nullptr : p);
  }
  EXPECT_GE(cache.size(), 3u);
  EXPECT_LE(cache.size(), 4u);
  // The first records were kept and are found again; the later ones did not fit.
  EXPECT_NE(firstSearch[0], nullptr);
  EXPECT_EQ(firstSearch[11], nullptr);
  cache.BeginSearch();
  EXPECT_EQ(cache.Get(records[0], options, &decoded, &scratch), firstSearch[0]);

  // A search over other records makes room by dropping the sets it does not use.
  cache.BeginSearch();
  for (size_t n = 8; n < records.size(); ++n) {
    const PreparedTemplate* p = cache.Get(records[n], options, &decoded, &scratch);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(p, &scratch);
    EXPECT_EQ(comparator.Score(probe, *p, options), FreshScore(probe, records[n], options));
  }
  EXPECT_EQ(cache.size(), 4u);
  EXPECT_LE(cache.Bytes(), 4 * one + one / 2);
}

}  // namespace
}  // namespace devicelib::matcher
