// Prepared minutiae sets of the records one matcher instance has searched, kept for its next
// identifications: an identification compares the probe with every enrolled record, and the
// same records come again with every probe. Decoding and preparing a record costs about a
// fifth of a fast-mode comparison; a kept one costs nothing the next time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

  // Announces a record that a Get will ask for soon (a search announces the entry kLookAhead
  // places ahead of the one it compares), so that its kept set is in the processor's cache by
  // then: each call takes the records announced before it one step further (its slot of the
  // table, then its entry, key and set, then the set's arrays). A Get of a record at the
  // address and of the size of one announced starts from the entry found, and still compares
  // the bytes in full. Changes nothing else.
  static constexpr int kLookAhead = 3;
  void Prefetch(std::span<const uint8_t> record);

  // Bytes held: each kept set with its look-ups as measured when last returned, and its key.
  size_t Bytes() const { return bytes_; }
  size_t size() const { return count_; }
  void Clear();

 private:
  struct Entry {
    std::string key;  // the whole record
    std::unique_ptr<PreparedTemplate> prepared;
    uint64_t lastSearch = 0;
    size_t bytes = 0;
    unsigned built = 0;  // prepared->Built() when `bytes` was counted
  };
  // Open addressing, linear probing, at most half full: a look-up reads one slot (usually)
  // and then the entry, and the slot's place is known from the hash alone, so that it can be
  // fetched ahead.
  struct Slot {
    uint64_t hash = 0;
    std::unique_ptr<Entry> entry;  // null: free
    // Where the entry's key and set lie, so that a look-ahead fetches them with the entry
    // rather than after it.
    const char* key = nullptr;
    const PreparedTemplate* prepared = nullptr;
  };
  static uint64_t Hash(std::string_view key);
  static size_t Cost(std::string_view key, const PreparedTemplate& prepared);
  // The slot of the first entry of this hash whose key is `key` (or any key, `anyKey`), or null.
  const Slot* Probe(uint64_t hash, std::string_view key, bool anyKey) const;
  Entry* Find(std::string_view key, uint64_t hash) const;
  // The first entry of this hash, whatever its key (the look-ahead's guess: a Get compares the
  // key), with its key (`size` bytes, as the record announced) and set on their way into the
  // processor's cache.
  Entry* Guess(uint64_t hash, size_t size) const;
  void Insert(std::unique_ptr<Entry> entry, uint64_t hash);
  // A kept set found again: marked as used in this search, its bytes counted again if it has
  // built look-ups since.
  const PreparedTemplate* Found(Entry& e);
  // Drops the sets not used in this search, once per search.
  void DropUnused();

  size_t budget_;
  size_t bytes_ = 0;
  uint64_t search_ = 1;
  uint64_t droppedIn_ = 0;  // the search in which DropUnused last ran
  size_t count_ = 0;
  // A power of two of them, or none. The key is the whole record, and a look-up compares whole
  // keys: two records that hash alike never share a prepared set.
  std::vector<Slot> slots_;
  // The records announced by Prefetch, newest first: address and size as asked, hash, and
  // the entry once looked up (null: not yet, or not kept). Dropping entries forgets them;
  // adding entries moves slots but no entry.
  struct Announced {
    const uint8_t* data = nullptr;
    size_t size = 0;
    uint64_t hash = 0;
    Entry* entry = nullptr;
  };
  std::array<Announced, kLookAhead> announced_{};
};

}  // namespace devicelib::matcher
