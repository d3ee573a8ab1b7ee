#include "devicelib/core/record_fit.h"

#include <algorithm>
#include <numeric>

namespace devicelib {
namespace {

constexpr size_t kMinutiaBytes = 6;
constexpr size_t kRidgeCountBytes = 3;

int SquaredLength(const codec::FingerTemplate& t, const codec::RidgeCount& r) {
  const int dx = t.minutiae[r.from].x - t.minutiae[r.to].x;
  const int dy = t.minutiae[r.from].y - t.minutiae[r.to].y;
  return dx * dx + dy * dy;
}

bool ByPair(const codec::RidgeCount& a, const codec::RidgeCount& b) {
  return a.from != b.from ? a.from < b.from : a.to < b.to;
}

// Best minutiae first, so that trimming to the capacity drops the least reliable ones; the
// ridge counts are renumbered to follow their minutiae, and those of minutiae past the 255 a
// record holds go.
void OrderByQuality(codec::FingerTemplate* t) {
  const size_t n = t->minutiae.size();
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return t->minutiae[a].quality > t->minutiae[b].quality;
  });
  std::vector<codec::Minutia> sorted(n);
  std::vector<size_t> place(n);
  for (size_t k = 0; k < n; ++k) {
    sorted[k] = t->minutiae[order[k]];
    place[order[k]] = k;
  }
  t->minutiae = std::move(sorted);
  const size_t kept = std::min<size_t>(n, 255);
  t->minutiae.resize(kept);
  std::vector<codec::RidgeCount> counts;
  counts.reserve(t->ridgeCounts.size());
  for (const codec::RidgeCount& r : t->ridgeCounts) {
    if (r.from >= n || r.to >= n)
      continue;
    const size_t a = std::min(place[r.from], place[r.to]);
    const size_t b = std::max(place[r.from], place[r.to]);
    if (b < kept)
      counts.push_back({static_cast<uint8_t>(a), static_cast<uint8_t>(b), r.count});
  }
  std::sort(counts.begin(), counts.end(), ByPair);
  t->ridgeCounts = std::move(counts);
}

// Drops the longest ridge counts until the record shrinks by `excess` bytes (all of them, and
// with them the block's header, when fewer would not do).
void DropLongestRidgeCounts(codec::FingerTemplate* t, size_t excess) {
  const size_t drop = (excess + kRidgeCountBytes - 1) / kRidgeCountBytes;
  if (drop >= t->ridgeCounts.size()) {
    t->ridgeCounts.clear();
    return;
  }
  std::stable_sort(t->ridgeCounts.begin(), t->ridgeCounts.end(),
                   [&](const codec::RidgeCount& a, const codec::RidgeCount& b) {
                     return SquaredLength(*t, a) < SquaredLength(*t, b);
                   });
  t->ridgeCounts.resize(t->ridgeCounts.size() - drop);
  std::sort(t->ridgeCounts.begin(), t->ridgeCounts.end(), ByPair);
}

// The best `kept` minutiae and the ridge counts between them (the minutiae in quality order).
void KeepBest(codec::FingerTemplate* t, size_t kept) {
  t->minutiae.resize(kept);
  t->ridgeCounts.erase(std::remove_if(t->ridgeCounts.begin(), t->ridgeCounts.end(),
                                      [&](const codec::RidgeCount& r) { return r.to >= kept; }),
                       t->ridgeCounts.end());
}

// FitRecord on minutiae in quality order; *features ends as written.
FitResult Fit(codec::TemplateFormat format, codec::FingerTemplate* features, size_t capacity,
              std::vector<uint8_t>* record) {
  codec::FingerTemplate& t = *features;
  if (codec::EncodeMinutiaeRecord(format, t, record) != codec::RecordError::kOk) {
    return FitResult::kFailed;
  }
  const size_t withRidgeCounts = std::min(capacity, kRidgeCountRecordLimit);
  if (record->size() > withRidgeCounts && !t.ridgeCounts.empty()) {
    DropLongestRidgeCounts(&t, record->size() - withRidgeCounts);
    if (codec::EncodeMinutiaeRecord(format, t, record) != codec::RecordError::kOk) {
      return FitResult::kFailed;
    }
  }
  if (record->size() > capacity) {
    t.ridgeCounts.clear();  // gone already, or there were none
    const size_t overhead = record->size() - kMinutiaBytes * t.minutiae.size();
    if (overhead > capacity) {
      return FitResult::kTooSmall;
    }
    t.minutiae.resize((capacity - overhead) / kMinutiaBytes);
    if (codec::EncodeMinutiaeRecord(format, t, record) != codec::RecordError::kOk ||
        record->size() > capacity) {
      return FitResult::kFailed;
    }
  }
  return FitResult::kOk;
}

}  // namespace

FitResult FitRecord(codec::TemplateFormat format, codec::FingerTemplate features, size_t capacity,
                    std::vector<uint8_t>* record) {
  OrderByQuality(&features);
  if (!features.ridgeCounts.empty() && features.minutiae.size() > kRidgeCountMinutiae) {
    // A dry print's doubtful minutiae make way for ridge counts, but only where counts are then
    // written: otherwise the minutiae are all the record has.
    codec::FingerTemplate capped = features;
    KeepBest(&capped, kRidgeCountMinutiae);
    if (Fit(format, &capped, capacity, record) == FitResult::kOk && !capped.ridgeCounts.empty()) {
      return FitResult::kOk;
    }
  }
  return Fit(format, &features, capacity, record);
}

}  // namespace devicelib
