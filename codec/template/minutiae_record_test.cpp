#include "codec/template/minutiae_record.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

namespace codec {
namespace {

FingerTemplate SampleTemplate(uint32_t seed, size_t count) {
  std::mt19937 rng(seed);
  FingerTemplate t;
  t.width = 320;
  t.height = 480;
  t.fingerPosition = 2;
  t.impressionType = 0;
  t.fingerQuality = 77;
  for (size_t i = 0; i < count; ++i) {
    Minutia m;
    m.x = static_cast<uint16_t>(rng() % 320);
    m.y = static_cast<uint16_t>(rng() % 480);
    m.angle = static_cast<uint16_t>(rng() % 360);
    m.type = static_cast<MinutiaType>(rng() % 3);
    m.quality = static_cast<uint8_t>(rng() % 101);
    t.minutiae.push_back(m);
  }
  return t;
}

int AngleError(int a, int b) {
  const int d = std::abs(a - b) % 360;
  return d > 180 ? 360 - d : d;
}

// Header fields and minutiae agree; angles within the format's quantisation.
void ExpectSameTemplate(const FingerTemplate& a, const FingerTemplate& b, int angleTolerance) {
  EXPECT_EQ(a.width, b.width);
  EXPECT_EQ(a.height, b.height);
  EXPECT_EQ(a.xResolution, b.xResolution);
  EXPECT_EQ(a.yResolution, b.yResolution);
  EXPECT_EQ(a.fingerPosition, b.fingerPosition);
  EXPECT_EQ(a.impressionType, b.impressionType);
  EXPECT_EQ(a.fingerQuality, b.fingerQuality);
  ASSERT_EQ(a.minutiae.size(), b.minutiae.size());
  for (size_t i = 0; i < a.minutiae.size(); ++i) {
    EXPECT_EQ(a.minutiae[i].x, b.minutiae[i].x) << i;
    EXPECT_EQ(a.minutiae[i].y, b.minutiae[i].y) << i;
    EXPECT_EQ(a.minutiae[i].type, b.minutiae[i].type) << i;
    EXPECT_EQ(a.minutiae[i].quality, b.minutiae[i].quality) << i;
    EXPECT_LE(AngleError(a.minutiae[i].angle, b.minutiae[i].angle), angleTolerance) << i;
  }
  EXPECT_EQ(a.ridgeCountMethod, b.ridgeCountMethod);
  ASSERT_EQ(a.ridgeCounts.size(), b.ridgeCounts.size());
  for (size_t i = 0; i < a.ridgeCounts.size(); ++i) {
    EXPECT_EQ(a.ridgeCounts[i].from, b.ridgeCounts[i].from) << i;
    EXPECT_EQ(a.ridgeCounts[i].to, b.ridgeCounts[i].to) << i;
    EXPECT_EQ(a.ridgeCounts[i].count, b.ridgeCounts[i].count) << i;
  }
}

// Ridge counts between random distinct minutiae of t.
void AddRidgeCounts(FingerTemplate& t, uint32_t seed, size_t count) {
  std::mt19937 rng(seed);
  t.ridgeCountMethod = RidgeCountMethod::kEightNeighbour;
  const auto n = static_cast<uint32_t>(t.minutiae.size());
  for (size_t i = 0; i < count; ++i) {
    const auto from = static_cast<uint8_t>(rng() % n);
    const auto to = static_cast<uint8_t>((from + 1 + rng() % (n - 1)) % n);
    t.ridgeCounts.push_back({.from = from, .to = to, .count = static_cast<uint8_t>(rng())});
  }
}

using Bytes = std::vector<uint8_t>;
// A ridge count block as the records lay it out: type, length (counting the 4-byte header),
// extraction method, then (index, index, count) entries with indices counted from 1.
Bytes RidgeCountBlock(uint8_t method, std::initializer_list<uint8_t> entries) {
  const size_t length = 4 + 1 + entries.size();
  Bytes b = {0x00, 0x01, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), method};
  b.insert(b.end(), entries);
  return b;
}

TEST(MinutiaeRecord, IsoLayoutByteForByte) {
  FingerTemplate t;
  t.width = 0x0140;
  t.height = 0x01E0;
  t.fingerPosition = 1;
  t.impressionType = 0;
  t.fingerQuality = 60;
  t.minutiae.push_back(
      {.x = 0x0123, .y = 0x0456, .angle = 90, .type = MinutiaType::kBifurcation, .quality = 55});
  std::vector<uint8_t> record;
  ASSERT_EQ(EncodeIso19794_2(t, &record), RecordError::kOk);
  const std::vector<uint8_t> expected = {
      'F',  'M',  'R',  0,    ' ', '2', '0', 0,  // format identifier, version
      0,    0,    0,    36,                      // record length (4 bytes)
      0,    0,                                   // capture equipment
      0x01, 0x40, 0x01, 0xE0,                    // image size
      0,    197,  0,    197,                     // resolution, pixels per cm
      1,    0,                                   // one finger view, reserved
      1,    0,    60,   1,                       // position, view/impression, quality, n
      0x81, 0x23, 0x04, 0x56, 64,  55,           // type 10b + x, y, 90 deg = 64, quality
      0,    0};                                  // no extended data
  EXPECT_EQ(record, expected);
}

TEST(MinutiaeRecord, AnsiLayoutByteForByte) {
  FingerTemplate t;
  t.width = 500;
  t.height = 500;
  t.minutiae.push_back(
      {.x = 10, .y = 20, .angle = 359, .type = MinutiaType::kRidgeEnding, .quality = 100});
  std::vector<uint8_t> record;
  ASSERT_EQ(EncodeAnsi378(t, &record), RecordError::kOk);
  const std::vector<uint8_t> expected = {
      'F',  'M',  'R',  0,    ' ', '2', '0', 0,  // format identifier, version
      0,    38,                                  // record length (2 bytes)
      0,    0,    0,    0,                       // CBEFF product identifier
      0,    0,                                   // capture equipment
      0x01, 0xF4, 0x01, 0xF4,                    // image size
      0,    197,  0,    197,                     // resolution
      1,    0,                                   // one finger view, reserved
      0,    0,    0,    1,                       // position, view/impression, quality, n
      0x40, 10,   0,    20,   0,   100,          // type 01b + x, y, 359 deg -> 360/2 wraps to 0
      0,    0};
  EXPECT_EQ(record, expected);
}

TEST(MinutiaeRecord, RidgeCountBlockByteForByte) {
  // Both layouts end the view alike: the extended data length, then one ridge count block of
  // type 0x0001 whose length counts its own header, the extraction method (2: eight-neighbour)
  // and one entry per count, the minutiae numbered from 1 in the order the view lists them.
  FingerTemplate t;
  t.width = 0x0140;
  t.height = 0x01E0;
  t.fingerPosition = 1;
  t.fingerQuality = 60;
  t.minutiae.push_back(
      {.x = 0x0123, .y = 0x0456, .angle = 90, .type = MinutiaType::kBifurcation, .quality = 55});
  t.minutiae.push_back(
      {.x = 0x0010, .y = 0x0020, .angle = 0, .type = MinutiaType::kRidgeEnding, .quality = 40});
  t.ridgeCountMethod = RidgeCountMethod::kEightNeighbour;
  t.ridgeCounts.push_back({.from = 0, .to = 1, .count = 7});
  t.ridgeCounts.push_back({.from = 1, .to = 0, .count = 9});
  const Bytes view = {
      1,    0,    60,   2,             // position, view/impression, quality, n
      0x81, 0x23, 0x04, 0x56, 64, 55,  // bifurcation (0x123, 0x456), 90 deg, quality 55
      0x40, 0x10, 0x00, 0x20, 0,  40,  // ending (0x10, 0x20), 0 deg, quality 40
      0,    11,                        // extended data: 11 bytes
      0x00, 0x01, 0x00, 11,            // ridge count block, 11 bytes with its header
      2,                               // eight-neighbour
      1,    2,    7,                   // minutiae 1 and 2: 7 ridges
      2,    1,    9};                  // minutiae 2 and 1: 9 ridges
  Bytes iso;
  ASSERT_EQ(EncodeIso19794_2(t, &iso), RecordError::kOk);
  ASSERT_EQ(iso.size(), 24 + view.size());
  EXPECT_EQ(iso[11], iso.size());  // record length
  EXPECT_EQ(Bytes(iso.begin() + 24, iso.end()), view);
  Bytes ansi;
  ASSERT_EQ(EncodeAnsi378(t, &ansi), RecordError::kOk);
  ASSERT_EQ(ansi.size(), 26 + view.size());
  EXPECT_EQ(ansi[9], ansi.size());  // record length
  Bytes ansiView(ansi.begin() + 26, ansi.end());
  EXPECT_EQ(ansiView[4 + 4], 45);  // 90 degrees in ANSI's 2-degree unit (ISO: 64 of 256)
  ansiView[4 + 4] = 64;
  EXPECT_EQ(ansiView, view);
  // Without ridge counts the view ends with an empty extended data area, as before.
  t.ridgeCounts.clear();
  ASSERT_EQ(EncodeIso19794_2(t, &iso), RecordError::kOk);
  EXPECT_EQ(iso.size(), 24 + 4 + 12 + 2u);
  EXPECT_EQ(iso[iso.size() - 2], 0);
  EXPECT_EQ(iso[iso.size() - 1], 0);
}

TEST(MinutiaeRecord, RoundTripsBothLayouts) {
  for (size_t count : {size_t{0}, size_t{1}, size_t{2}, size_t{40}, size_t{255}}) {
    FingerTemplate t = SampleTemplate(static_cast<uint32_t>(count), count);
    if (count >= 2) {  // ridge counts need two minutiae; the largest index is 255
      AddRidgeCounts(t, static_cast<uint32_t>(count), 2 * count);
    }
    std::vector<uint8_t> iso;
    std::vector<uint8_t> ansi;
    ASSERT_EQ(EncodeIso19794_2(t, &iso), RecordError::kOk);
    ASSERT_EQ(EncodeAnsi378(t, &ansi), RecordError::kOk);
    EXPECT_EQ(DetectTemplateFormat(iso), TemplateFormat::kIso19794_2);
    EXPECT_EQ(DetectTemplateFormat(ansi), TemplateFormat::kAnsi378);

    FingerTemplate back;
    TemplateFormat format = TemplateFormat::kUnknown;
    ASSERT_EQ(DecodeMinutiaeRecord(iso, &back, &format), RecordError::kOk);
    EXPECT_EQ(format, TemplateFormat::kIso19794_2);
    ExpectSameTemplate(t, back, 1);
    ASSERT_EQ(DecodeMinutiaeRecord(ansi, &back, &format), RecordError::kOk);
    EXPECT_EQ(format, TemplateFormat::kAnsi378);
    ExpectSameTemplate(t, back, 1);

    // Decoding one layout with the other's decoder fails on the length field.
    EXPECT_EQ(DecodeAnsi378(iso, &back), RecordError::kLengthMismatch);
    EXPECT_EQ(DecodeIso19794_2(ansi, &back), RecordError::kLengthMismatch);
  }
}

TEST(MinutiaeRecord, AnglesQuantiseToTheNearestCode) {
  FingerTemplate t;
  for (uint16_t a = 0; a < 360; ++a) {
    t.minutiae.push_back({.x = 1, .y = 1, .angle = a, .type = MinutiaType::kOther, .quality = 0});
  }
  t.minutiae.resize(255);
  std::vector<uint8_t> iso;
  std::vector<uint8_t> ansi;
  ASSERT_EQ(EncodeIso19794_2(t, &iso), RecordError::kOk);
  ASSERT_EQ(EncodeAnsi378(t, &ansi), RecordError::kOk);
  FingerTemplate a;
  FingerTemplate b;
  ASSERT_EQ(DecodeIso19794_2(iso, &a), RecordError::kOk);
  ASSERT_EQ(DecodeAnsi378(ansi, &b), RecordError::kOk);
  for (size_t i = 0; i < t.minutiae.size(); ++i) {
    EXPECT_LT(a.minutiae[i].angle, 360);
    EXPECT_LE(AngleError(a.minutiae[i].angle, t.minutiae[i].angle), 1) << i;  // 1.4 deg steps
    EXPECT_EQ(b.minutiae[i].angle % 2, 0);
    EXPECT_LE(AngleError(b.minutiae[i].angle, t.minutiae[i].angle), 1) << i;  // 2 deg steps
  }
}

TEST(MinutiaeRecord, EncodersRefuseWhatTheLayoutCannotHold) {
  std::vector<uint8_t> out;
  FingerTemplate tooMany = SampleTemplate(1, 256);
  EXPECT_EQ(EncodeIso19794_2(tooMany, &out), RecordError::kInvalidInput);
  EXPECT_EQ(EncodeAnsi378(tooMany, &out), RecordError::kInvalidInput);

  const auto refused = [&](auto change) {
    FingerTemplate t = SampleTemplate(2, 3);
    change(t);
    return EncodeIso19794_2(t, &out) == RecordError::kInvalidInput &&
           EncodeAnsi378(t, &out) == RecordError::kInvalidInput;
  };
  EXPECT_TRUE(refused([](FingerTemplate& t) { t.minutiae[1].x = 0x4000; }));
  EXPECT_TRUE(refused([](FingerTemplate& t) { t.minutiae[1].y = 0x4000; }));
  EXPECT_TRUE(refused([](FingerTemplate& t) { t.minutiae[1].angle = 360; }));
  EXPECT_TRUE(refused([](FingerTemplate& t) { t.minutiae[1].quality = 101; }));
  EXPECT_TRUE(refused([](FingerTemplate& t) { t.minutiae[1].type = MinutiaType{3}; }));
  EXPECT_TRUE(refused([](FingerTemplate& t) { t.fingerQuality = 101; }));
  EXPECT_TRUE(refused([](FingerTemplate& t) { t.impressionType = 16; }));
  // Ridge counts must join two different minutiae of the view.
  EXPECT_TRUE(refused([](FingerTemplate& t) { t.ridgeCounts.push_back({0, 3, 1}); }));
  EXPECT_TRUE(refused([](FingerTemplate& t) { t.ridgeCounts.push_back({3, 0, 1}); }));
  EXPECT_TRUE(refused([](FingerTemplate& t) { t.ridgeCounts.push_back({1, 1, 1}); }));
  EXPECT_TRUE(refused([](FingerTemplate& t) {
    t.ridgeCounts.push_back({0, 1, 1});
    t.ridgeCountMethod = RidgeCountMethod{3};
  }));
  // The block's length field holds at most 65,535 bytes: 21,843 entries.
  FingerTemplate full = SampleTemplate(4, 255);
  AddRidgeCounts(full, 4, 21843);
  EXPECT_EQ(EncodeIso19794_2(full, &out), RecordError::kOk);
  full.ridgeCounts.push_back({0, 1, 1});
  EXPECT_EQ(EncodeIso19794_2(full, &out), RecordError::kInvalidInput);
  EXPECT_EQ(EncodeMinutiaeRecord(TemplateFormat::kUnknown, SampleTemplate(3, 3), &out),
            RecordError::kInvalidInput);
}

class MalformedRecord : public ::testing::TestWithParam<TemplateFormat> {
 protected:
  std::vector<uint8_t> Record(size_t count = 5) {
    std::vector<uint8_t> r;
    EXPECT_EQ(EncodeMinutiaeRecord(GetParam(), SampleTemplate(7, count), &r), RecordError::kOk);
    return r;
  }
  size_t HeaderSize() const { return GetParam() == TemplateFormat::kIso19794_2 ? 24 : 26; }
  // Rewrites the record length field after a change of size.
  void FixLength(std::vector<uint8_t>& r) const {
    if (GetParam() == TemplateFormat::kIso19794_2) {
      r[8] = r[9] = 0;
      r[10] = static_cast<uint8_t>(r.size() >> 8);
      r[11] = static_cast<uint8_t>(r.size());
    } else {
      r[8] = static_cast<uint8_t>(r.size() >> 8);
      r[9] = static_cast<uint8_t>(r.size());
    }
  }
  RecordError Decode(const std::vector<uint8_t>& r) {
    FingerTemplate t;
    return GetParam() == TemplateFormat::kIso19794_2 ? DecodeIso19794_2(r, &t)
                                                     : DecodeAnsi378(r, &t);
  }
};

TEST_P(MalformedRecord, WrongMagicOrVersion) {
  auto r = Record();
  r[0] = 'X';
  EXPECT_EQ(Decode(r), RecordError::kBadFormatIdentifier);
  r = Record();
  r[1] = 'I';  // "FIR": a finger image record is not a minutiae record
  EXPECT_EQ(Decode(r), RecordError::kBadFormatIdentifier);
  r = Record();
  r[4] = '0';
  r[5] = '3';  // "030": the 2011 revisions are a different layout
  EXPECT_EQ(Decode(r), RecordError::kBadVersion);
  EXPECT_EQ(DetectTemplateFormat(r), TemplateFormat::kUnknown);
}

TEST_P(MalformedRecord, TruncatedAnywhere) {
  const auto r = Record();
  for (size_t size = 0; size < r.size(); ++size) {
    std::vector<uint8_t> cut(r.begin(), r.begin() + static_cast<ptrdiff_t>(size));
    EXPECT_NE(Decode(cut), RecordError::kOk) << size;
    FingerTemplate t;
    EXPECT_NE(DecodeMinutiaeRecord(cut, &t), RecordError::kOk) << size;
    // With the length field made to agree, the cut shows up as a structural error.
    if (size >= HeaderSize()) {
      FixLength(cut);
      const RecordError e = Decode(cut);
      EXPECT_TRUE(e == RecordError::kTruncated || e == RecordError::kMinutiaeOverrun) << size;
    }
  }
}

TEST_P(MalformedRecord, LengthFieldDisagreesWithBuffer) {
  auto r = Record();
  r.push_back(0);  // buffer one longer than the record says
  EXPECT_EQ(Decode(r), RecordError::kLengthMismatch);
  FixLength(r);  // now the record says it is longer than its views
  EXPECT_EQ(Decode(r), RecordError::kTrailingData);
}

TEST_P(MalformedRecord, MinutiaeCountOverrunsTheRecord) {
  auto r = Record(5);
  r[HeaderSize() + 3] = 200;
  EXPECT_EQ(Decode(r), RecordError::kMinutiaeOverrun);
  r = Record(5);
  r[r.size() - 1] = 10;  // extended data block longer than what is left
  EXPECT_EQ(Decode(r), RecordError::kMinutiaeOverrun);
}

TEST_P(MalformedRecord, NoFingerViewRefusedReservedMinutiaTypeReadAsOther) {
  auto r = Record();
  r[HeaderSize() - 2] = 0;
  EXPECT_EQ(Decode(r), RecordError::kNoFingerView);
  r = Record();
  r[HeaderSize() + 4] |= 0xC0;  // type 11b is reserved: the minutia is kept as "other"
  FingerTemplate t;
  ASSERT_EQ(DecodeMinutiaeRecord(r, &t), RecordError::kOk);
  EXPECT_EQ(t.minutiae[0].type, MinutiaType::kOther);
  EXPECT_EQ(t.minutiae[0].x, SampleTemplate(7, 5).minutiae[0].x);
}

TEST_P(MalformedRecord, SecondFingerViewAcceptedFirstOneRead) {
  auto r = Record(3);
  const FingerTemplate second = SampleTemplate(99, 4);
  std::vector<uint8_t> other;
  ASSERT_EQ(EncodeMinutiaeRecord(GetParam(), second, &other), RecordError::kOk);
  r.insert(r.end(), other.begin() + static_cast<ptrdiff_t>(HeaderSize()), other.end());
  r[HeaderSize() - 2] = 2;
  FixLength(r);
  FingerTemplate t;
  ASSERT_EQ(DecodeMinutiaeRecord(r, &t), RecordError::kOk);
  ExpectSameTemplate(t, SampleTemplate(7, 3), 1);
  r[HeaderSize() - 2] = 3;  // a third view that is not there
  EXPECT_EQ(Decode(r), RecordError::kTruncated);
}

TEST_P(MalformedRecord, ExtendedDataIsSkipped) {
  auto r = Record(2);
  r[r.size() - 1] = 4;
  r.insert(r.end(), {0, 1, 0, 4});  // one extended data area of type 1, length 4
  FixLength(r);
  FingerTemplate t;
  ASSERT_EQ(DecodeMinutiaeRecord(r, &t), RecordError::kOk);
  EXPECT_EQ(t.minutiae.size(), 2u);
}

TEST_P(MalformedRecord, RidgeCountsOfOtherWritersAreReadAsFarAsTheyMakeSense) {
  // Record(3): three minutiae, numbered 1..3 in the blocks.
  const auto withArea = [&](const Bytes& area, FingerTemplate* t) {
    auto r = Record(3);
    r[r.size() - 2] = static_cast<uint8_t>(area.size() >> 8);
    r[r.size() - 1] = static_cast<uint8_t>(area.size());
    r.insert(r.end(), area.begin(), area.end());
    FixLength(r);
    return DecodeMinutiaeRecord(r, t);
  };
  FingerTemplate t;
  // Entries naming no minutia (index 0, index 4) or one minutia twice are dropped, the rest kept.
  ASSERT_EQ(withArea(RidgeCountBlock(1, {1, 3, 5, 0, 1, 2, 2, 4, 6, 3, 3, 1, 3, 2, 8}), &t),
            RecordError::kOk);
  EXPECT_EQ(t.minutiae.size(), 3u);
  EXPECT_EQ(t.ridgeCountMethod, RidgeCountMethod::kFourNeighbour);
  ASSERT_EQ(t.ridgeCounts.size(), 2u);
  EXPECT_EQ(t.ridgeCounts[0].from, 0);
  EXPECT_EQ(t.ridgeCounts[0].to, 2);
  EXPECT_EQ(t.ridgeCounts[0].count, 5);
  EXPECT_EQ(t.ridgeCounts[1].from, 2);
  EXPECT_EQ(t.ridgeCounts[1].to, 1);
  EXPECT_EQ(t.ridgeCounts[1].count, 8);
  // Empty blocks, with and without the method byte; a cut entry at the end is ignored; an
  // unknown method promises nothing.
  ASSERT_EQ(withArea({0, 1, 0, 4}, &t), RecordError::kOk);
  EXPECT_TRUE(t.ridgeCounts.empty());
  ASSERT_EQ(withArea(RidgeCountBlock(2, {}), &t), RecordError::kOk);
  EXPECT_TRUE(t.ridgeCounts.empty());
  EXPECT_EQ(t.ridgeCountMethod, RidgeCountMethod::kEightNeighbour);
  ASSERT_EQ(withArea(RidgeCountBlock(9, {1, 2, 3, 2, 3}), &t), RecordError::kOk);
  EXPECT_EQ(t.ridgeCountMethod, RidgeCountMethod::kNonSpecific);
  ASSERT_EQ(t.ridgeCounts.size(), 1u);
  EXPECT_EQ(t.ridgeCounts[0].count, 3);
  // Core/delta and vendor blocks around it are skipped; two ridge count blocks both count.
  Bytes area = {0x00, 0x02, 0x00, 0x06, 0x40, 0x00};  // core/delta block
  const Bytes first = RidgeCountBlock(0, {1, 2, 4});
  const Bytes second = RidgeCountBlock(0, {2, 3, 6});
  area.insert(area.end(), first.begin(), first.end());
  area.insert(area.end(), {0x01, 0x00, 0x00, 0x05, 'v'});  // a vendor's block
  area.insert(area.end(), second.begin(), second.end());
  ASSERT_EQ(withArea(area, &t), RecordError::kOk);
  ASSERT_EQ(t.ridgeCounts.size(), 2u);
  EXPECT_EQ(t.ridgeCounts[0].count, 4);
  EXPECT_EQ(t.ridgeCounts[1].count, 6);
  // A decode into a template that held ridge counts leaves none when the record has none.
  ASSERT_EQ(DecodeMinutiaeRecord(Record(3), &t), RecordError::kOk);
  EXPECT_TRUE(t.ridgeCounts.empty());
  // A ridge count block must still fit its area like any other.
  Bytes cut = RidgeCountBlock(0, {1, 2, 4});
  cut[3] += 1;
  EXPECT_EQ(withArea(cut, &t), RecordError::kBadExtendedData);
}

TEST_P(MalformedRecord, RidgeCountsOfASecondViewAreNotMixedIntoTheFirst) {
  auto r = Record(3);
  FingerTemplate second = SampleTemplate(99, 4);
  AddRidgeCounts(second, 99, 5);
  std::vector<uint8_t> other;
  ASSERT_EQ(EncodeMinutiaeRecord(GetParam(), second, &other), RecordError::kOk);
  r.insert(r.end(), other.begin() + static_cast<ptrdiff_t>(HeaderSize()), other.end());
  r[HeaderSize() - 2] = 2;
  FixLength(r);
  FingerTemplate t;
  ASSERT_EQ(DecodeMinutiaeRecord(r, &t), RecordError::kOk);
  ExpectSameTemplate(t, SampleTemplate(7, 3), 1);
}

TEST_P(MalformedRecord, ExtendedDataBlocksMustFillTheirArea) {
  // Area of 8 bytes; the blocks inside it are varied.
  const auto withBlocks = [&](std::initializer_list<uint8_t> blocks) {
    auto r = Record(2);
    r[r.size() - 1] = static_cast<uint8_t>(blocks.size());
    r.insert(r.end(), blocks);
    FixLength(r);
    return Decode(r);
  };
  EXPECT_EQ(withBlocks({0, 2, 0, 8, 1, 2, 3, 4}), RecordError::kOk);               // one block
  EXPECT_EQ(withBlocks({0, 1, 0, 4, 0x01, 0x00, 0, 4}), RecordError::kOk);         // two blocks
  EXPECT_EQ(withBlocks({0, 2, 0, 9, 1, 2, 3, 4}), RecordError::kBadExtendedData);  // past it
  EXPECT_EQ(withBlocks({0, 2, 0, 2, 1, 2, 3, 4}), RecordError::kBadExtendedData);  // < header
  EXPECT_EQ(withBlocks({0, 2, 0, 0, 1, 2, 3, 4}), RecordError::kBadExtendedData);  // zero
  EXPECT_EQ(withBlocks({0, 1, 0, 4, 0, 2, 0}), RecordError::kBadExtendedData);     // cut header
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, MalformedRecord,
                         ::testing::Values(TemplateFormat::kIso19794_2, TemplateFormat::kAnsi378),
                         [](const auto& info) {
                           return info.param == TemplateFormat::kIso19794_2 ? "Iso" : "Ansi";
                         });

TEST(MinutiaeRecord, AnsiAngleAbove179IsRefused) {
  std::vector<uint8_t> r;
  ASSERT_EQ(EncodeAnsi378(SampleTemplate(5, 2), &r), RecordError::kOk);
  r[26 + 4 + 4] = 180;
  FingerTemplate t;
  EXPECT_EQ(DecodeAnsi378(r, &t), RecordError::kBadMinutia);
}

TEST(MinutiaeRecord, AnsiLongLengthForm) {
  // A record written with the 6-byte length form (zero, then a 4-byte length).
  std::vector<uint8_t> shortForm;
  ASSERT_EQ(EncodeAnsi378(SampleTemplate(6, 4), &shortForm), RecordError::kOk);
  std::vector<uint8_t> r(shortForm.begin(), shortForm.begin() + 8);
  const size_t size = shortForm.size() + 4;
  r.insert(r.end(), {0, 0, 0, 0, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)});
  r.insert(r.end(), shortForm.begin() + 10, shortForm.end());
  EXPECT_EQ(DetectTemplateFormat(r), TemplateFormat::kAnsi378);
  FingerTemplate t;
  ASSERT_EQ(DecodeMinutiaeRecord(r, &t), RecordError::kOk);
  ExpectSameTemplate(t, SampleTemplate(6, 4), 1);
  // The encoder takes this form itself when ridge counts make the record too long for 2 bytes.
  FingerTemplate big = SampleTemplate(6, 255);
  AddRidgeCounts(big, 6, 21800);
  std::vector<uint8_t> longForm;
  ASSERT_EQ(EncodeAnsi378(big, &longForm), RecordError::kOk);
  ASSERT_GT(longForm.size(), 0xFFFFu);
  EXPECT_EQ(longForm[8], 0);
  EXPECT_EQ(longForm[9], 0);
  EXPECT_EQ(longForm[10] << 24 | longForm[11] << 16 | longForm[12] << 8 | longForm[13],
            static_cast<int>(longForm.size()));
  ASSERT_EQ(DecodeMinutiaeRecord(longForm, &t), RecordError::kOk);
  ExpectSameTemplate(t, big, 1);
}

TEST(MinutiaeRecord, DetectionRefusesForeignData) {
  FingerTemplate t;
  EXPECT_EQ(DecodeMinutiaeRecord({}, &t), RecordError::kTruncated);
  const std::vector<uint8_t> zeros(64, 0);
  EXPECT_EQ(DetectTemplateFormat(zeros), TemplateFormat::kUnknown);
  EXPECT_EQ(DecodeMinutiaeRecord(zeros, &t), RecordError::kBadFormatIdentifier);
  std::vector<uint8_t> r;
  ASSERT_EQ(EncodeIso19794_2(SampleTemplate(8, 3), &r), RecordError::kOk);
  r[11] ^= 1;  // neither layout's length agrees
  EXPECT_EQ(DetectTemplateFormat(r), TemplateFormat::kUnknown);
  EXPECT_EQ(DecodeMinutiaeRecord(r, &t), RecordError::kUnknownFormat);
  EXPECT_STRNE(RecordErrorText(RecordError::kUnknownFormat), "");
}

// Records written byte by byte from the layouts the two standards define, as another vendor's
// extractor would write them: what the decoder must make of them.
TEST(MinutiaeRecord, IsoRecordWithTwoViewsAndExtendedDataFromAnotherWriter) {
  const std::vector<uint8_t> record = {
      'F', 'M', 'R', 0, ' ', '2', '0', 0,  // format identifier, version
      0, 0, 0, 66,                         // record length
      0x10, 0x2A,                          // capture equipment: certified, device 0x02A
      0x01, 0x2C, 0x01, 0x90,              // image 300 x 400
      0x00, 0xE0, 0x00, 0xE0,              // 224 pixels per cm (569 ppi)
      2, 0,                                // two finger views, reserved
      // View 1: right index (2), view number 0, live-scan rolled (1), quality 87, 2 minutiae.
      2, 0x01, 87, 2, 0x40, 0x64, 0x00, 0xC8, 0xC0,
      0xFF,                                // ending at (100, 200), 0xC0 = 270 degrees, quality 255
      0x80, 0x0A, 0xC0, 0x14, 0x01, 0x00,  // bifurcation at (10, 20), reserved y bits set, 1.4 deg
      0, 18,                               // extended data: 18 bytes
      0x00, 0x01, 0x00, 0x0A, 0x01,        // ridge count block (10 bytes): method 1,
      2, 1, 3, 1, 0,                       //   minutiae 2 and 1: 3 ridges, padding
      0x01, 0x00, 0x00, 0x08, 'v', 'n', 'd', 'r',  // vendor block type 0x0100, 8 bytes
      // View 2: left index (7), view number 1, no minutiae, no extended data.
      7, 0x10, 40, 0, 0, 0};
  ASSERT_EQ(record.size(), 66u);
  EXPECT_EQ(DetectTemplateFormat(record), TemplateFormat::kIso19794_2);
  FingerTemplate t;
  ASSERT_EQ(DecodeMinutiaeRecord(record, &t), RecordError::kOk);
  EXPECT_EQ(t.width, 300);
  EXPECT_EQ(t.height, 400);
  EXPECT_EQ(t.xResolution, 224);
  EXPECT_EQ(t.fingerPosition, 2);  // the first view
  EXPECT_EQ(t.impressionType, 1);
  EXPECT_EQ(t.fingerQuality, 87);
  ASSERT_EQ(t.minutiae.size(), 2u);
  EXPECT_EQ(t.minutiae[0].x, 100);
  EXPECT_EQ(t.minutiae[0].y, 200);
  EXPECT_EQ(t.minutiae[0].angle, 270);
  EXPECT_EQ(t.minutiae[0].type, MinutiaType::kRidgeEnding);
  EXPECT_EQ(t.minutiae[0].quality, 100);  // beyond the scale: the best quality
  EXPECT_EQ(t.minutiae[1].x, 10);
  EXPECT_EQ(t.minutiae[1].y, 20);  // reserved bits above the coordinate ignored
  EXPECT_EQ(t.minutiae[1].angle, 1);
  EXPECT_EQ(t.minutiae[1].type, MinutiaType::kBifurcation);
  EXPECT_EQ(t.minutiae[1].quality, 0);  // "not reported"
  EXPECT_EQ(t.ridgeCountMethod, RidgeCountMethod::kFourNeighbour);
  ASSERT_EQ(t.ridgeCounts.size(), 1u);  // the padding is no entry
  EXPECT_EQ(t.ridgeCounts[0].from, 1);
  EXPECT_EQ(t.ridgeCounts[0].to, 0);
  EXPECT_EQ(t.ridgeCounts[0].count, 3);
}

TEST(MinutiaeRecord, AnsiRecordWithoutMinutiaeFromAnotherWriter) {
  const std::vector<uint8_t> record = {
      'F',  'M',  'R',  0,    ' ', '2', '0', 0,  // format identifier, version
      0,    32,                                  // record length (2-byte form)
      0x01, 0x02, 0x03, 0x04,  // CBEFF product identifier: owner 0x0102, type 0x0304
      0x00, 0x00,              // capture equipment
      0x01, 0x00, 0x01, 0x00,  // image 256 x 256
      0x00, 0xC5, 0x00, 0xC5,  // 197 pixels per cm
      1,    0,                 // one view, reserved
      0,    0,    0,    0,     // unknown finger, plain, quality 0, no minutiae
      0,    0};                // no extended data
  FingerTemplate t;
  ASSERT_EQ(DecodeMinutiaeRecord(record, &t), RecordError::kOk);
  EXPECT_TRUE(t.minutiae.empty());
  EXPECT_EQ(t.width, 256);
  // The same minutiae-free view with a minutia angle of 179 units (358 degrees) added.
  std::vector<uint8_t> one = record;
  one[9] = 38;
  one[29] = 1;
  one.insert(one.begin() + 30, {0x40, 0x05, 0x00, 0x06, 179, 50});
  ASSERT_EQ(DecodeMinutiaeRecord(one, &t), RecordError::kOk);
  ASSERT_EQ(t.minutiae.size(), 1u);
  EXPECT_EQ(t.minutiae[0].angle, 358);
}

}  // namespace
}  // namespace codec
