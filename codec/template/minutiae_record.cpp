#include "codec/template/minutiae_record.h"

#include <cstddef>

namespace codec {
namespace {

constexpr uint8_t kMagic[4] = {'F', 'M', 'R', 0};
constexpr uint8_t kVersion20[4] = {' ', '2', '0', 0};

constexpr size_t kIsoHeaderSize = 24;
constexpr size_t kAnsiHeaderSize = 26;
constexpr size_t kAnsiLongHeaderSize = 30;  // 6-byte record length form
constexpr size_t kViewHeaderSize = 4;
constexpr size_t kMinutiaSize = 6;
constexpr size_t kExtendedLengthSize = 2;
constexpr size_t kExtendedBlockHeaderSize = 4;  // type, length
constexpr size_t kMaxCoordinate = 0x3FFF;
constexpr uint16_t kRidgeCountBlockType = 0x0001;
constexpr size_t kRidgeCountEntrySize = 3;     // index, index, count
constexpr size_t kRidgeCountHeaderSize = 1;    // extraction method
constexpr size_t kMaxExtendedLength = 0xFFFF;  // the view's 2-byte extended data length

// Big-endian reads; callers check the bounds first.
uint16_t Get16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint16_t>((b[at] << 8) | b[at + 1]);
}
uint32_t Get32(std::span<const uint8_t> b, size_t at) {
  return (static_cast<uint32_t>(b[at]) << 24) | (static_cast<uint32_t>(b[at + 1]) << 16) |
         (static_cast<uint32_t>(b[at + 2]) << 8) | b[at + 3];
}

void Put16(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v >> 8));
  out->push_back(static_cast<uint8_t>(v));
}
void Put32(std::vector<uint8_t>* out, uint32_t v) {
  Put16(out, v >> 16);
  Put16(out, v & 0xFFFF);
}
void Set32(std::vector<uint8_t>* out, size_t at, uint32_t v) {
  (*out)[at] = static_cast<uint8_t>(v >> 24);
  (*out)[at + 1] = static_cast<uint8_t>(v >> 16);
  (*out)[at + 2] = static_cast<uint8_t>(v >> 8);
  (*out)[at + 3] = static_cast<uint8_t>(v);
}

bool HasPrefix(std::span<const uint8_t> b, size_t at, const uint8_t (&text)[4]) {
  for (size_t i = 0; i < 4; ++i) {
    if (b[at + i] != text[i]) {
      return false;
    }
  }
  return true;
}

// The record header fields that follow the format-specific length (and product identifier).
struct CommonHeader {
  size_t viewsAt = 0;  // offset of the first finger view header
  uint8_t viewCount = 0;
};

RecordError CheckMagic(std::span<const uint8_t> record) {
  if (record.size() < 8) {
    return RecordError::kTruncated;
  }
  if (!HasPrefix(record, 0, kMagic)) {
    return RecordError::kBadFormatIdentifier;
  }
  if (!HasPrefix(record, 4, kVersion20)) {
    return RecordError::kBadVersion;
  }
  return RecordError::kOk;
}

// Reads image size, resolutions and the view count starting at `at` (the capture equipment
// field), which both layouts share.
void ReadImageFields(std::span<const uint8_t> record, size_t at, FingerTemplate* out,
                     CommonHeader* header) {
  // at + 0: capture equipment (4 bits reserved/compliance, 12 bits id), not kept.
  out->width = Get16(record, at + 2);
  out->height = Get16(record, at + 4);
  out->xResolution = Get16(record, at + 6);
  out->yResolution = Get16(record, at + 8);
  header->viewCount = record[at + 10];
  // at + 11: reserved byte.
  header->viewsAt = at + 12;
}

using AngleDecoder = bool (*)(uint8_t raw, uint16_t* degrees);

bool IsoAngle(uint8_t raw, uint16_t* degrees) {
  *degrees = static_cast<uint16_t>(((raw * 360u + 128u) / 256u) % 360u);
  return true;
}

bool AnsiAngle(uint8_t raw, uint16_t* degrees) {
  if (raw >= 180) {
    return false;
  }
  *degrees = static_cast<uint16_t>(raw * 2u);
  return true;
}

// One ridge count block's data: the extraction method, then entries of two minutia indices
// (counted from 1 in the order the view lists its minutiae) and the count. Another writer's
// mistakes cost only their own entries: an index that names no minutia of the view, or an entry
// joining a minutia to itself, is dropped, and bytes too few for a whole entry at the end are
// ignored. An unknown method code is read as "non-specific", which promises nothing about how
// the pairs were picked.
void ReadRidgeCounts(std::span<const uint8_t> data, FingerTemplate* out) {
  if (data.empty()) {
    return;
  }
  const uint8_t method = data[0];
  out->ridgeCountMethod = method <= static_cast<uint8_t>(RidgeCountMethod::kEightNeighbour)
                              ? static_cast<RidgeCountMethod>(method)
                              : RidgeCountMethod::kNonSpecific;
  const size_t minutiae = out->minutiae.size();
  for (size_t at = 1; data.size() - at >= kRidgeCountEntrySize; at += kRidgeCountEntrySize) {
    const size_t a = data[at];
    const size_t b = data[at + 1];
    if (a == 0 || b == 0 || a > minutiae || b > minutiae || a == b) {
      continue;
    }
    out->ridgeCounts.push_back({.from = static_cast<uint8_t>(a - 1),
                                .to = static_cast<uint8_t>(b - 1),
                                .count = data[at + 2]});
  }
}

// The extended data of a view: blocks of a 2-byte type, a 2-byte length that counts the block's
// own 4-byte header, and the data. The blocks must fill the area exactly: a block length that
// points past it or cannot cover its own header is a broken record. Of the first view, the ridge
// count blocks are read into *out (when given); other blocks (cores and deltas, a vendor's own)
// are not needed for matching and are skipped.
RecordError ReadExtendedData(std::span<const uint8_t> area, FingerTemplate* out) {
  size_t at = 0;
  while (at < area.size()) {
    if (area.size() - at < kExtendedBlockHeaderSize) {
      return RecordError::kBadExtendedData;
    }
    const size_t length = Get16(area, at + 2);
    if (length < kExtendedBlockHeaderSize || length > area.size() - at) {
      return RecordError::kBadExtendedData;
    }
    if (out != nullptr && Get16(area, at) == kRidgeCountBlockType) {
      ReadRidgeCounts(
          area.subspan(at + kExtendedBlockHeaderSize, length - kExtendedBlockHeaderSize), out);
    }
    at += length;
  }
  return RecordError::kOk;
}

// Walks all finger views from header.viewsAt to the end of the record; keeps the first.
RecordError ReadViews(std::span<const uint8_t> record, const CommonHeader& header,
                      AngleDecoder angle, FingerTemplate* out) {
  if (header.viewCount == 0) {
    return RecordError::kNoFingerView;
  }
  out->minutiae.clear();
  out->ridgeCountMethod = RidgeCountMethod::kNonSpecific;
  out->ridgeCounts.clear();
  size_t at = header.viewsAt;
  for (unsigned view = 0; view < header.viewCount; ++view) {
    if (record.size() - at < kViewHeaderSize) {
      return RecordError::kTruncated;
    }
    const uint8_t position = record[at];
    const uint8_t impression = record[at + 1] & 0x0F;  // high nibble: view number
    const uint8_t quality = record[at + 2];
    const size_t count = record[at + 3];
    at += kViewHeaderSize;
    if ((record.size() - at) / kMinutiaSize < count) {
      return RecordError::kMinutiaeOverrun;
    }
    const bool keep = view == 0;
    if (keep) {
      out->fingerPosition = position;
      out->impressionType = impression;
      out->fingerQuality = quality > 100 ? 100 : quality;
      out->minutiae.reserve(count);
    }
    for (size_t i = 0; i < count; ++i, at += kMinutiaSize) {
      const uint16_t xField = Get16(record, at);
      const unsigned type = xField >> 14;
      Minutia m;
      if (!angle(record[at + 4], &m.angle)) {
        return RecordError::kBadMinutia;
      }
      if (keep) {
        // Type 11b is reserved; a writer that uses it still locates a minutia, which is what
        // matching needs, so it is read as "other" rather than refused.
        m.type = type == 3 ? MinutiaType::kOther : static_cast<MinutiaType>(type);
        m.x = static_cast<uint16_t>(xField & kMaxCoordinate);
        m.y = static_cast<uint16_t>(Get16(record, at + 2) & kMaxCoordinate);
        m.quality = record[at + 5] > 100 ? 100 : record[at + 5];
        out->minutiae.push_back(m);
      }
    }
    if (record.size() - at < kExtendedLengthSize) {
      return RecordError::kTruncated;
    }
    const size_t extended = Get16(record, at);
    at += kExtendedLengthSize;
    if (record.size() - at < extended) {
      return RecordError::kMinutiaeOverrun;
    }
    if (RecordError e = ReadExtendedData(record.subspan(at, extended), keep ? out : nullptr);
        e != RecordError::kOk) {
      return e;
    }
    at += extended;
  }
  return at == record.size() ? RecordError::kOk : RecordError::kTrailingData;
}

enum class AnsiLength : uint8_t { kNone, kShort, kLong };

// Which ANSI record-length form (if any) agrees with the buffer size.
AnsiLength AnsiLengthForm(std::span<const uint8_t> record) {
  if (record.size() >= kAnsiHeaderSize && Get16(record, 8) == record.size()) {
    return AnsiLength::kShort;
  }
  if (record.size() >= kAnsiLongHeaderSize && Get16(record, 8) == 0 &&
      Get32(record, 10) == record.size()) {
    return AnsiLength::kLong;
  }
  return AnsiLength::kNone;
}

// Bytes of the ridge count block a template's view carries (0 when it has no ridge counts).
size_t RidgeCountBlockSize(const FingerTemplate& t) {
  return t.ridgeCounts.empty() ? 0
                               : kExtendedBlockHeaderSize + kRidgeCountHeaderSize +
                                     kRidgeCountEntrySize * t.ridgeCounts.size();
}

// Bytes of one view: its header, minutiae, extended data length and extended data.
size_t ViewSize(const FingerTemplate& t) {
  return kViewHeaderSize + kMinutiaSize * t.minutiae.size() + kExtendedLengthSize +
         RidgeCountBlockSize(t);
}

RecordError CheckEncodable(const FingerTemplate& t) {
  if (t.minutiae.size() > 255 || t.impressionType > 15) {
    return RecordError::kInvalidInput;
  }
  for (const Minutia& m : t.minutiae) {
    if (m.x > kMaxCoordinate || m.y > kMaxCoordinate || m.angle >= 360 || m.quality > 100 ||
        static_cast<unsigned>(m.type) > 2) {
      return RecordError::kInvalidInput;
    }
  }
  if (!t.ridgeCounts.empty()) {
    if (RidgeCountBlockSize(t) > kMaxExtendedLength ||
        static_cast<unsigned>(t.ridgeCountMethod) >
            static_cast<unsigned>(RidgeCountMethod::kEightNeighbour)) {
      return RecordError::kInvalidInput;
    }
    for (const RidgeCount& r : t.ridgeCounts) {
      if (r.from >= t.minutiae.size() || r.to >= t.minutiae.size() || r.from == r.to) {
        return RecordError::kInvalidInput;
      }
    }
  }
  return t.fingerQuality > 100 ? RecordError::kInvalidInput : RecordError::kOk;
}

void PutImageFields(const FingerTemplate& t, std::vector<uint8_t>* out) {
  Put16(out, 0);  // capture equipment: compliance/reserved bits and id unreported
  Put16(out, t.width);
  Put16(out, t.height);
  Put16(out, t.xResolution);
  Put16(out, t.yResolution);
  out->push_back(1);  // one finger view
  out->push_back(0);  // reserved
}

using AngleEncoder = uint8_t (*)(uint16_t degrees);

uint8_t IsoAngleCode(uint16_t degrees) {
  return static_cast<uint8_t>((degrees * 256u + 180u) / 360u);  // at most 255 for 359 degrees
}
uint8_t AnsiAngleCode(uint16_t degrees) {
  return static_cast<uint8_t>(((degrees + 1u) / 2u) % 180u);
}

void PutView(const FingerTemplate& t, AngleEncoder angle, std::vector<uint8_t>* out) {
  out->push_back(t.fingerPosition);
  out->push_back(t.impressionType);  // view number 0 in the high nibble
  out->push_back(t.fingerQuality);
  out->push_back(static_cast<uint8_t>(t.minutiae.size()));
  for (const Minutia& m : t.minutiae) {
    Put16(out, (static_cast<uint32_t>(m.type) << 14) | m.x);
    Put16(out, m.y);
    out->push_back(angle(m.angle));
    out->push_back(m.quality);
  }
  const size_t extended = RidgeCountBlockSize(t);
  Put16(out, static_cast<uint32_t>(extended));
  if (extended == 0) {
    return;
  }
  Put16(out, kRidgeCountBlockType);
  Put16(out, static_cast<uint32_t>(extended));  // counts its own header
  out->push_back(static_cast<uint8_t>(t.ridgeCountMethod));
  for (const RidgeCount& r : t.ridgeCounts) {
    // The records count minutiae from 1.
    out->push_back(static_cast<uint8_t>(r.from + 1));
    out->push_back(static_cast<uint8_t>(r.to + 1));
    out->push_back(r.count);
  }
}

}  // namespace

const char* RecordErrorText(RecordError error) {
  switch (error) {
    case RecordError::kOk:
      return "ok";
    case RecordError::kTruncated:
      return "record is truncated";
    case RecordError::kBadFormatIdentifier:
      return "format identifier is not FMR";
    case RecordError::kBadVersion:
      return "unsupported record version";
    case RecordError::kLengthMismatch:
      return "record length disagrees with the data size";
    case RecordError::kNoFingerView:
      return "record holds no finger view";
    case RecordError::kMinutiaeOverrun:
      return "finger view runs past the end of the record";
    case RecordError::kTrailingData:
      return "data left after the last finger view";
    case RecordError::kBadMinutia:
      return "minutia holds an invalid angle";
    case RecordError::kBadExtendedData:
      return "extended data blocks do not fill their area";
    case RecordError::kUnknownFormat:
      return "record layout not recognised";
    case RecordError::kInvalidInput:
      return "template does not fit the record layout";
  }
  return "unknown error";
}

TemplateFormat DetectTemplateFormat(std::span<const uint8_t> record) {
  if (CheckMagic(record) != RecordError::kOk) {
    return TemplateFormat::kUnknown;
  }
  if (record.size() >= kIsoHeaderSize && Get32(record, 8) == record.size()) {
    return TemplateFormat::kIso19794_2;
  }
  return AnsiLengthForm(record) == AnsiLength::kNone ? TemplateFormat::kUnknown
                                                     : TemplateFormat::kAnsi378;
}

RecordError DecodeIso19794_2(std::span<const uint8_t> record, FingerTemplate* out) {
  if (RecordError e = CheckMagic(record); e != RecordError::kOk) {
    return e;
  }
  if (record.size() < kIsoHeaderSize) {
    return RecordError::kTruncated;
  }
  if (Get32(record, 8) != record.size()) {
    return RecordError::kLengthMismatch;
  }
  CommonHeader header;
  ReadImageFields(record, 12, out, &header);
  return ReadViews(record, header, IsoAngle, out);
}

RecordError DecodeAnsi378(std::span<const uint8_t> record, FingerTemplate* out) {
  if (RecordError e = CheckMagic(record); e != RecordError::kOk) {
    return e;
  }
  if (record.size() < kAnsiHeaderSize) {
    return RecordError::kTruncated;
  }
  size_t at = 0;
  switch (AnsiLengthForm(record)) {
    case AnsiLength::kShort:
      at = 10;
      break;
    case AnsiLength::kLong:
      at = 14;
      break;
    case AnsiLength::kNone:
      return RecordError::kLengthMismatch;
  }
  at += 4;  // CBEFF product identifier (owner, type), not kept
  CommonHeader header;
  ReadImageFields(record, at, out, &header);
  return ReadViews(record, header, AnsiAngle, out);
}

RecordError DecodeMinutiaeRecord(std::span<const uint8_t> record, FingerTemplate* out,
                                 TemplateFormat* format) {
  const TemplateFormat detected = DetectTemplateFormat(record);
  if (format != nullptr) {
    *format = detected;
  }
  switch (detected) {
    case TemplateFormat::kIso19794_2:
      return DecodeIso19794_2(record, out);
    case TemplateFormat::kAnsi378:
      return DecodeAnsi378(record, out);
    case TemplateFormat::kUnknown:
      break;
  }
  // Say why when the cause is plain: a short buffer or a foreign magic number.
  const RecordError magic = CheckMagic(record);
  if (magic != RecordError::kOk) {
    return magic;
  }
  return record.size() < kIsoHeaderSize ? RecordError::kTruncated : RecordError::kUnknownFormat;
}

RecordError EncodeIso19794_2(const FingerTemplate& tmpl, std::vector<uint8_t>* out) {
  if (RecordError e = CheckEncodable(tmpl); e != RecordError::kOk) {
    return e;
  }
  out->clear();
  out->reserve(kIsoHeaderSize + ViewSize(tmpl));
  out->insert(out->end(), kMagic, kMagic + 4);
  out->insert(out->end(), kVersion20, kVersion20 + 4);
  Put32(out, 0);  // record length, set below
  PutImageFields(tmpl, out);
  PutView(tmpl, IsoAngleCode, out);
  Set32(out, 8, static_cast<uint32_t>(out->size()));
  return RecordError::kOk;
}

RecordError EncodeAnsi378(const FingerTemplate& tmpl, std::vector<uint8_t>* out) {
  if (RecordError e = CheckEncodable(tmpl); e != RecordError::kOk) {
    return e;
  }
  // The 2-byte length form while the record fits it (always without ridge counts: at most
  // 26 + 4 + 6 * 255 + 2 bytes), else the 6-byte form.
  size_t size = kAnsiHeaderSize + ViewSize(tmpl);
  const bool longForm = size > 0xFFFF;
  if (longForm) {
    size += kAnsiLongHeaderSize - kAnsiHeaderSize;
  }
  out->clear();
  out->reserve(size);
  out->insert(out->end(), kMagic, kMagic + 4);
  out->insert(out->end(), kVersion20, kVersion20 + 4);
  if (longForm) {
    Put16(out, 0);
    Put32(out, static_cast<uint32_t>(size));
  } else {
    Put16(out, static_cast<uint32_t>(size));
  }
  Put32(out, 0);  // CBEFF product identifier: unregistered
  PutImageFields(tmpl, out);
  PutView(tmpl, AnsiAngleCode, out);
  return RecordError::kOk;
}

RecordError EncodeMinutiaeRecord(TemplateFormat format, const FingerTemplate& tmpl,
                                 std::vector<uint8_t>* out) {
  switch (format) {
    case TemplateFormat::kIso19794_2:
      return EncodeIso19794_2(tmpl, out);
    case TemplateFormat::kAnsi378:
      return EncodeAnsi378(tmpl, out);
    case TemplateFormat::kUnknown:
      break;
  }
  return RecordError::kInvalidInput;
}

}  // namespace codec
