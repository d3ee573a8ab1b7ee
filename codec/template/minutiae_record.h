// Encoding and decoding of finger minutiae records in the two standard layouts:
//   ISO/IEC 19794-2:2005 finger minutiae record (24-byte record header, 4-byte record length),
//   ANSI INCITS 378-2004 (26-byte record header with a 2-byte record length, or 30 bytes with
//   the 6-byte form used for records of 65,536 bytes and more).
// Both begin with "FMR\0" and " 20\0"; they differ in the record header, in the angle unit
// (360/256 degrees for ISO, 2 degrees for ANSI) and in little else.
//
// Decoders read only the first finger view of a record but check the whole record: every view's
// minutiae and extended data must lie inside the record, the extended data blocks must fill
// their area, and the views must end exactly where the record length says. They never read
// outside the span they are given. What other writers put in as the standards allow is read:
// several views (the first is used), extended data (the first view's ridge count blocks are
// read, other blocks skipped), no minutiae, qualities above 100 (taken as 100), the reserved
// minutia type (taken as "other"). Ridge count entries that name no minutia of the view or join a
// minutia to itself are dropped, not refused.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/template/minutiae.h"

namespace codec {

enum class TemplateFormat : uint8_t { kUnknown = 0, kIso19794_2 = 1, kAnsi378 = 2 };

enum class RecordError : uint8_t {
  kOk = 0,
  kTruncated,            // the buffer ends inside a header or a minutia
  kBadFormatIdentifier,  // not "FMR\0"
  kBadVersion,           // not " 20\0"
  kLengthMismatch,       // the record length field disagrees with the buffer size
  kNoFingerView,         // the record declares no finger view
  kMinutiaeOverrun,      // minutiae or extended data run past the end of the record
  kTrailingData,         // bytes left over after the last finger view
  kBadMinutia,           // a minutia angle the standard forbids (ANSI: 180 and above)
  kBadExtendedData,      // extended data blocks whose lengths do not tile their area
  kUnknownFormat,        // DecodeMinutiaeRecord could not tell which layout the record uses
  kInvalidInput,         // encoders: a field does not fit the record layout
};

// Short English description of an error, for logs and test output. Never null.
const char* RecordErrorText(RecordError error);

// Which layout the record uses, judged from its header and its size: the record length field
// of the respective layout must equal record.size(). kUnknown when neither fits.
TemplateFormat DetectTemplateFormat(std::span<const uint8_t> record);

// Decoders. On success *out holds the first finger view (its minutiae vector is reused, so a
// caller that decodes many records into one object allocates only once). On failure *out is
// unspecified.
RecordError DecodeIso19794_2(std::span<const uint8_t> record, FingerTemplate* out);
RecordError DecodeAnsi378(std::span<const uint8_t> record, FingerTemplate* out);
// Detects the layout, then decodes. *format (optional) receives the detected layout.
RecordError DecodeMinutiaeRecord(std::span<const uint8_t> record, FingerTemplate* out,
                                 TemplateFormat* format = nullptr);

// Encoders: one finger view; its extended data is one ridge count block (type 0x0001, minutia
// indices counted from 1) when the template has ridge counts, else none. Refuse (kInvalidInput)
// more than 255 minutiae, coordinates above 16383, angles above 359, qualities above 100, an
// impression type above 15, an unknown minutia type or ridge count method, a ridge count that
// names no minutia or joins a minutia to itself, or more ridge counts than the block's 2-byte
// length can hold. ANSI records above 65,535 bytes take the 6-byte length form. *out is replaced
// by the record.
RecordError EncodeIso19794_2(const FingerTemplate& tmpl, std::vector<uint8_t>* out);
RecordError EncodeAnsi378(const FingerTemplate& tmpl, std::vector<uint8_t>* out);
RecordError EncodeMinutiaeRecord(TemplateFormat format, const FingerTemplate& tmpl,
                                 std::vector<uint8_t>* out);

}  // namespace codec
