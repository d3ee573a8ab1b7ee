// Huffman code construction for the WSQ coefficient blocks. The WSQ standard takes its entropy
// coder from JPEG (ISO/IEC 10918-1): code lengths from symbol counts by Annex K.2, lengths above
// 16 folded back by Figure K.3, canonical codes by Annex C.
#include <algorithm>
#include <array>
#include <limits>

#include "codec/wsq/wsq_detail.h"

namespace codec::wsq_detail {

HuffmanTable BuildHuffmanTable(std::span<const uint32_t, 256> frequencies) {
  // 257 symbols: the real 256 and one reserved symbol of count 1 that takes the all-ones code
  // and is removed at the end, so that no real code consists of 1 bits only.
  constexpr int kSymbols = 257;
  std::array<uint64_t, kSymbols> freq{};
  std::copy(frequencies.begin(), frequencies.end(), freq.begin());
  freq[256] = 1;
  std::array<int, kSymbols> codeSize{};
  std::array<int, kSymbols> others;
  others.fill(-1);

  for (;;) {
    // The least frequent symbol and the next least; on ties the larger symbol value.
    int v1 = -1;
    int v2 = -1;
    for (int i = 0; i < kSymbols; ++i) {
      if (freq[i] == 0) {
        continue;
      }
      if (v1 < 0 || freq[i] <= freq[v1]) {
        v2 = v1;
        v1 = i;
      } else if (v2 < 0 || freq[i] <= freq[v2]) {
        v2 = i;
      }
    }
    if (v2 < 0) {
      break;
    }
    freq[v1] += freq[v2];
    freq[v2] = 0;
    for (;;) {
      ++codeSize[v1];
      if (others[v1] < 0) {
        break;
      }
      v1 = others[v1];
    }
    others[v1] = v2;
    for (;;) {
      ++codeSize[v2];
      if (others[v2] < 0) {
        break;
      }
      v2 = others[v2];
    }
  }

  // Number of codes of each length; lengths can reach 256 in theory before the fold.
  std::array<int, kSymbols + 1> bits{};
  for (int i = 0; i < kSymbols; ++i) {
    if (codeSize[i] > 0) {
      ++bits[codeSize[i]];
    }
  }
  // Fold codes longer than 16 bits: a pair at length i becomes one code at i - 1 plus a code
  // that takes the place of one at length j < i - 1 split into two of length j + 1.
  for (int i = kSymbols; i > 16; --i) {
    while (bits[i] > 0) {
      int j = i - 2;
      while (bits[j] == 0) {
        --j;
      }
      bits[i] -= 2;
      ++bits[i - 1];
      bits[j + 1] += 2;
      --bits[j];
    }
  }
  // Drop the reserved symbol from the longest length in use.
  int longest = 16;
  while (longest > 0 && bits[longest] == 0) {
    --longest;
  }
  if (longest > 0) {
    --bits[longest];
  }

  HuffmanTable table;
  for (int i = 1; i <= 16; ++i) {
    table.counts[i - 1] = static_cast<uint8_t>(bits[i]);
  }
  // Values in order of rising code length, then of value (the reserved symbol last of all).
  std::array<int, 256> order{};
  for (int i = 0; i < 256; ++i) {
    order[i] = i;
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return codeSize[a] < codeSize[b]; });
  for (int v : order) {
    if (codeSize[v] > 0 && table.values.size() < 256) {
      table.values.push_back(static_cast<uint8_t>(v));
    }
  }
  // The reserved symbol had the longest code of all, so the values above are exactly the codes
  // that the counts describe; trim in case it tied with real symbols at that length.
  size_t total = 0;
  for (uint8_t c : table.counts) {
    total += c;
  }
  table.values.resize(std::min(total, table.values.size()));
  return table;
}

std::optional<HuffmanCode> CanonicalCodes(const HuffmanTable& table) {
  size_t total = 0;
  for (uint8_t c : table.counts) {
    total += c;
  }
  if (total != table.values.size() || total > 256) {
    return std::nullopt;
  }
  HuffmanCode out;
  uint32_t code = 0;
  size_t k = 0;
  for (int len = 1; len <= 16; ++len) {
    for (int i = 0; i < table.counts[len - 1]; ++i) {
      const uint8_t v = table.values[k++];
      if (out.length[v] != 0) {
        return std::nullopt;  // a value listed twice
      }
      out.code[v] = static_cast<uint16_t>(code);
      out.length[v] = static_cast<uint8_t>(len);
      ++code;
    }
    if (code > (1u << len)) {
      return std::nullopt;  // more codes than this length can hold
    }
    code <<= 1;
  }
  return out;
}

}  // namespace codec::wsq_detail
