#include "devicelib/matcher/prepared_cache.h"

#include "codec/template/minutiae_record.h"

namespace devicelib::matcher {

size_t PreparedCache::Cost(std::string_view key, const PreparedTemplate& prepared) {
  // The map node and its bucket slot, roughly.
  constexpr size_t kNode = 64;
  return sizeof(PreparedTemplate) + prepared.Bytes() + key.size() + kNode;
}

void PreparedCache::Clear() {
  entries_.clear();
  bytes_ = 0;
}

void PreparedCache::DropUnused() {
  if (droppedIn_ == search_) {
    return;
  }
  droppedIn_ = search_;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.lastSearch != search_) {
      bytes_ -= it->second.bytes;
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

const PreparedTemplate* PreparedCache::Get(std::span<const uint8_t> record,
                                           const CompareOptions& options,
                                           codec::FingerTemplate* decoded,
                                           PreparedTemplate* scratch) {
  const std::string_view key(reinterpret_cast<const char*>(record.data()), record.size());
  if (const auto it = entries_.find(key); it != entries_.end()) {
    Entry& e = it->second;
    e.lastSearch = search_;
    // Its look-ups grow as it plays the probe or the gallery side for the first time.
    const size_t cost = Cost(key, *e.prepared);
    bytes_ += cost - e.bytes;
    e.bytes = cost;
    return e.prepared.get();
  }
  if (codec::DecodeMinutiaeRecord(record, decoded) != codec::RecordError::kOk) {
    return nullptr;
  }
  // Full of sets this search uses (it has dropped the others already): this one is prepared
  // for the moment only.
  if (droppedIn_ == search_ && bytes_ + sizeof(PreparedTemplate) + key.size() > budget_) {
    scratch->Prepare(*decoded, options);
    return scratch;
  }
  auto prepared = std::make_unique<PreparedTemplate>();
  prepared->Prepare(*decoded, options);
  const size_t cost = Cost(key, *prepared);
  if (bytes_ + cost > budget_) {
    DropUnused();
  }
  if (bytes_ + cost > budget_) {
    *scratch = std::move(*prepared);
    return scratch;
  }
  Entry& e = entries_[std::string(key)];
  e.prepared = std::move(prepared);
  e.lastSearch = search_;
  e.bytes = cost;
  bytes_ += cost;
  return e.prepared.get();
}

}  // namespace devicelib::matcher
