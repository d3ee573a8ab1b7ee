// Feeds arbitrary bytes to the record decoders; a decoded record must encode again and decode
// to the same minutiae and ridge counts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "codec/template/minutiae_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  codec::FingerTemplate t;
  codec::DecodeIso19794_2(input, &t);
  codec::DecodeAnsi378(input, &t);
  codec::TemplateFormat format = codec::TemplateFormat::kUnknown;
  if (codec::DecodeMinutiaeRecord(input, &t, &format) != codec::RecordError::kOk) {
    return 0;
  }
  std::vector<uint8_t> again;
  if (codec::EncodeMinutiaeRecord(format, t, &again) != codec::RecordError::kOk) {
    std::abort();  // whatever decodes must be encodable
  }
  codec::FingerTemplate back;
  if (codec::DecodeMinutiaeRecord(again, &back) != codec::RecordError::kOk ||
      back.minutiae.size() != t.minutiae.size()) {
    std::abort();
  }
  for (size_t i = 0; i < t.minutiae.size(); ++i) {
    if (back.minutiae[i].x != t.minutiae[i].x || back.minutiae[i].y != t.minutiae[i].y ||
        back.minutiae[i].angle != t.minutiae[i].angle) {
      std::abort();
    }
  }
  // The method is written with the counts: a block without entries is not written again.
  if (back.ridgeCounts.size() != t.ridgeCounts.size() ||
      (!t.ridgeCounts.empty() && back.ridgeCountMethod != t.ridgeCountMethod)) {
    std::abort();
  }
  for (size_t i = 0; i < t.ridgeCounts.size(); ++i) {
    if (back.ridgeCounts[i].from != t.ridgeCounts[i].from ||
        back.ridgeCounts[i].to != t.ridgeCounts[i].to ||
        back.ridgeCounts[i].count != t.ridgeCounts[i].count) {
      std::abort();
    }
  }
  return 0;
}
