// Prepared minutiae sets of the records one matcher instance has searched, kept for its next
// identifications: an identification compares the probe with every enrolled record, and the
// same records come again with every probe. Decoding and preparing a record costs about a
// fifth of a fast-mode comparison; a kept one costs nothing the next time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "codec/template/minutiae.h"
#include "devicelib/matcher/minutiae_compare.h"

namespace devicelib::matcher {

class PreparedCache {
 public:
  // Records of about 50 minutiae: about 10,100 in fast mode (some 6.6 KB each prepared), 5,600
  // in full mode (12 KB).
  static constexpr size_t kDefaultBudget = size_t{64} << 20;

  explicit PreparedCache(size_t budget = kDefaultBudget) : budget_(budget) {}
  PreparedCache(const PreparedCache&) = delete;
  PreparedCache& operator=(const PreparedCache&) = delete;

  // Starts a search: records looked up from here until the next BeginSearch are in use, and
  // are not dropped to make room for others.
  void BeginSearch() { ++search_; }

  // The prepared form of `record`: kept from an earlier lookup of exactly these bytes, or
  // decoded and prepared now (with `options`; a set kept from the other mode gets this mode's
  // data on its first comparison in it). Kept when it fits the budget, after the records not
  // used in this search have been dropped if need be; otherwise it is prepared into `scratch`
  // and that is returned. nullptr when the record cannot be decoded (never kept). `decoded`
  // is scratch too. Valid until the next call.
  const PreparedTemplate* Get(std::span<const uint8_t> record, const CompareOptions& options,
                              codec::FingerTemplate* decoded, PreparedTemplate* scratch);

  // Looks `record` up ahead of its Get (the next entry of a search, while the current one is
  // compared) and starts loading its kept set into the processor's cache. A Get of a record at
  // the same address and of the same size then starts from the entry found here, and still
  // compares the bytes in full. Changes nothing else: the next Get or Prefetch forgets it.
  void Prefetch(std::span<const uint8_t> record);

  // Bytes held: each kept set with its look-ups as measured when last returned, and its key.
  size_t Bytes() const { return bytes_; }
  size_t size() const { return entries_.size(); }
  void Clear();

 private:
  struct Entry {
    std::unique_ptr<PreparedTemplate> prepared;
    uint64_t lastSearch = 0;
    size_t bytes = 0;
    unsigned built = 0;  // prepared->Built() when `bytes` was counted
  };
  // Looked up by the record's bytes without copying them into a key first. Not noexcept, on
  // purpose: the map then keeps each key's hash with it, and walks a bucket without hashing
  // the keys it passes (records are a few hundred bytes).
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const;
  };
  using Map = std::unordered_map<std::string, Entry, Hash, std::equal_to<>>;
  static size_t Cost(std::string_view key, const PreparedTemplate& prepared);
  // A kept set found again: marked as used in this search, its bytes counted again if it has
  // built look-ups since.
  const PreparedTemplate* Found(Entry& e, std::string_view key);
  // Drops the sets not used in this search, once per search.
  void DropUnused();

  size_t budget_;
  size_t bytes_ = 0;
  uint64_t search_ = 1;
  uint64_t droppedIn_ = 0;  // the search in which DropUnused last ran
  // The key is the whole record, and the map compares whole keys: two records that hash alike
  // never share a prepared set.
  Map entries_;
  // The entry Prefetch found, and the record it was asked for (address and size). Erasing
  // entries forgets it; adding them does not move the others.
  Map::value_type* ahead_ = nullptr;
  const uint8_t* aheadData_ = nullptr;
  size_t aheadSize_ = 0;
};

}  // namespace devicelib::matcher
