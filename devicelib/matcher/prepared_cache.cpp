#include "devicelib/matcher/prepared_cache.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "codec/template/minutiae_record.h"

namespace devicelib::matcher {

size_t PreparedCache::Hash::operator()(std::string_view s) const {
  // Four independent lanes of eight bytes (a record of 300 bytes is ten steps of each, rather
  // than one chain of forty), then mixed into one. The length starts every lane.
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  std::array<uint64_t, 4> lane{};
  for (size_t l = 0; l < lane.size(); ++l) {
    lane[l] = (s.size() + l) * kMul;
  }
  const char* p = s.data();
  size_t left = s.size();
  for (; left >= 32; left -= 32, p += 32) {
    for (size_t l = 0; l < lane.size(); ++l) {
      uint64_t word;
      std::memcpy(&word, p + 8 * l, sizeof(word));
      lane[l] = (lane[l] ^ word) * kMul;
      lane[l] ^= lane[l] >> 29;
    }
  }
  for (size_t l = 0; left > 0; ++l) {
    uint64_t word = 0;
    const size_t n = std::min<size_t>(left, 8);
    std::memcpy(&word, p, n);
    lane[l] = (lane[l] ^ word) * kMul;
    lane[l] ^= lane[l] >> 29;
    p += n;
    left -= n;
  }
  uint64_t h = lane[0] ^ std::rotl(lane[1], 16) ^ std::rotl(lane[2], 32) ^ std::rotl(lane[3], 48);
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  return static_cast<size_t>(h);
}

size_t PreparedCache::Cost(std::string_view key, const PreparedTemplate& prepared) {
  // The map node and its bucket slot, roughly.
  constexpr size_t kNode = 64;
  return sizeof(PreparedTemplate) + prepared.Bytes() + key.size() + kNode;
}

void PreparedCache::Clear() {
  ahead_ = nullptr;
  entries_.clear();
  bytes_ = 0;
}

void PreparedCache::DropUnused() {
  if (droppedIn_ == search_) {
    return;
  }
  droppedIn_ = search_;
  ahead_ = nullptr;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.lastSearch != search_) {
      bytes_ -= it->second.bytes;
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

const PreparedTemplate* PreparedCache::Found(Entry& e, std::string_view key) {
  e.lastSearch = search_;
  // Its look-ups grow as it plays the probe or the gallery side, or a mode, for the first time.
  if (const unsigned built = e.prepared->Built(); built != e.built) {
    const size_t cost = Cost(key, *e.prepared);
    bytes_ += cost - e.bytes;
    e.bytes = cost;
    e.built = built;
  }
  return e.prepared.get();
}

void PreparedCache::Prefetch(std::span<const uint8_t> record) {
  ahead_ = nullptr;
  const std::string_view key(reinterpret_cast<const char*>(record.data()), record.size());
  const auto it = entries_.find(key);
  if (it == entries_.end()) {
    return;
  }
  ahead_ = &*it;
  aheadData_ = record.data();
  aheadSize_ = record.size();
  it->second.prepared->Prefetch();
}

const PreparedTemplate* PreparedCache::Get(std::span<const uint8_t> record,
                                           const CompareOptions& options,
                                           codec::FingerTemplate* decoded,
                                           PreparedTemplate* scratch) {
  const std::string_view key(reinterpret_cast<const char*>(record.data()), record.size());
  Map::value_type* ahead = ahead_;
  ahead_ = nullptr;
  // The entry looked up ahead for a record at this address: still only if the bytes are its
  // key's (whatever happened to the memory since).
  if (ahead != nullptr && aheadData_ == record.data() && aheadSize_ == record.size() &&
      ahead->first == key) {
    return Found(ahead->second, key);
  }
  if (const auto it = entries_.find(key); it != entries_.end()) {
    return Found(it->second, key);
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
  e.built = e.prepared->Built();
  bytes_ += cost;
  return e.prepared.get();
}

}  // namespace devicelib::matcher
