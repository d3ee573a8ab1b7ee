#include "devicelib/matcher/prepared_cache.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "codec/template/minutiae_record.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace devicelib::matcher {
namespace {

void Touch(const void* p) {
#if defined(__SSE2__)
  _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#else
  (void)p;
#endif
}

}  // namespace

uint64_t PreparedCache::Hash(std::string_view s) {
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
  return h;
}

size_t PreparedCache::Cost(std::string_view key, const PreparedTemplate& prepared) {
  // The entry and its slots in the table, roughly.
  constexpr size_t kNode = 64;
  return sizeof(PreparedTemplate) + prepared.Bytes() + key.size() + kNode;
}

const PreparedCache::Slot* PreparedCache::Probe(uint64_t hash, std::string_view key,
                                                bool anyKey) const {
  if (slots_.empty()) {
    return nullptr;
  }
  const size_t mask = slots_.size() - 1;
  for (size_t at = hash & mask;; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (!slot.entry) {
      return nullptr;
    }
    // The hash first; the whole key decides (unless any entry of the hash will do).
    if (slot.hash == hash && (anyKey || slot.entry->key == key)) {
      return &slot;
    }
  }
}

PreparedCache::Entry* PreparedCache::Find(std::string_view key, uint64_t hash) const {
  const Slot* slot = Probe(hash, key, false);
  return slot != nullptr ? slot->entry.get() : nullptr;
}

PreparedCache::Entry* PreparedCache::Guess(uint64_t hash, size_t size) const {
  const Slot* slot = Probe(hash, {}, true);
  if (slot == nullptr) {
    return nullptr;
  }
  Touch(slot->entry.get());
  Touch(slot->prepared);
  // Past a shorter key's end (another record of the same hash) this touches memory it never
  // reads: a prefetch does not fault.
  for (size_t line = 0; line < size; line += 64) {
    Touch(slot->key + line);
  }
  return slot->entry.get();
}

void PreparedCache::Insert(std::unique_ptr<Entry> entry, uint64_t hash) {
  if (2 * (count_ + 1) > slots_.size()) {
    std::vector<Slot> old = std::move(slots_);
    slots_ = std::vector<Slot>(std::max<size_t>(64, 2 * old.size()));
    count_ = 0;
    for (Slot& slot : old) {
      if (slot.entry) {
        Insert(std::move(slot.entry), slot.hash);
      }
    }
  }
  const size_t mask = slots_.size() - 1;
  size_t at = hash & mask;
  while (slots_[at].entry) {
    at = (at + 1) & mask;
  }
  slots_[at].hash = hash;
  slots_[at].key = entry->key.data();
  slots_[at].prepared = entry->prepared.get();
  slots_[at].entry = std::move(entry);
  ++count_;
}

void PreparedCache::Clear() {
  announced_ = {};
  slots_.clear();
  count_ = 0;
  bytes_ = 0;
}

void PreparedCache::DropUnused() {
  if (droppedIn_ == search_) {
    return;
  }
  droppedIn_ = search_;
  announced_ = {};
  // Linear probing cannot leave holes in a run: the kept entries go into a new table.
  std::vector<Slot> old = std::move(slots_);
  slots_ = std::vector<Slot>(old.size());
  count_ = 0;
  for (Slot& slot : old) {
    if (!slot.entry) {
      continue;
    }
    if (slot.entry->lastSearch != search_) {
      bytes_ -= slot.entry->bytes;
    } else {
      Insert(std::move(slot.entry), slot.hash);
    }
  }
}

const PreparedTemplate* PreparedCache::Found(Entry& e) {
  e.lastSearch = search_;
  // Its look-ups grow as it plays the probe or the gallery side, or a mode, for the first time.
  if (const unsigned built = e.prepared->Built(); built != e.built) {
    const size_t cost = Cost(e.key, *e.prepared);
    bytes_ += cost - e.bytes;
    e.bytes = cost;
    e.built = built;
  }
  return e.prepared.get();
}

void PreparedCache::Prefetch(std::span<const uint8_t> record) {
  static_assert(kLookAhead == 3, "a slot, then the entry and set, then the set's arrays");
  // Announced two calls ago: its entry and set have been on their way since the last call; now
  // the set's arrays (the record comes next).
  if (const Entry* e = announced_[1].entry) {
    e->prepared->Prefetch();
  }
  // Announced by the last call: its slot has been on its way since; now the entry, its key and
  // its set.
  if (Announced& last = announced_[0]; last.data != nullptr) {
    last.entry = Guess(last.hash, last.size);
  }
  announced_[2] = announced_[1];
  announced_[1] = announced_[0];
  // The new one: its slot.
  const std::string_view key(reinterpret_cast<const char*>(record.data()), record.size());
  announced_[0] = Announced{record.data(), record.size(), Hash(key), nullptr};
  if (!slots_.empty()) {
    Touch(&slots_[announced_[0].hash & (slots_.size() - 1)]);
  }
}

const PreparedTemplate* PreparedCache::Get(std::span<const uint8_t> record,
                                           const CompareOptions& options,
                                           codec::FingerTemplate* decoded,
                                           PreparedTemplate* scratch) {
  const std::string_view key(reinterpret_cast<const char*>(record.data()), record.size());
  // A record announced at this address: its entry only if the bytes are its key's (whatever
  // happened to the memory since).
  for (const Announced& a : announced_) {
    if (a.entry != nullptr && a.data == record.data() && a.size == record.size() &&
        a.entry->key == key) {
      return Found(*a.entry);
    }
  }
  const uint64_t hash = Hash(key);
  if (Entry* e = Find(key, hash)) {
    return Found(*e);
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
  auto entry = std::make_unique<Entry>();
  entry->key = std::string(key);
  entry->prepared = std::move(prepared);
  entry->lastSearch = search_;
  entry->bytes = cost;
  entry->built = entry->prepared->Built();
  bytes_ += cost;
  const PreparedTemplate* result = entry->prepared.get();
  Insert(std::move(entry), hash);
  return result;
}

}  // namespace devicelib::matcher
