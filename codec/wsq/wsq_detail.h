// Building blocks shared by the WSQ encoder and decoder: marker codes, the subband layout, the
// wavelet filter bank, the scaled-integer numbers of the tables, and Huffman code construction.
// Not part of the codec's public interface; exposed for the unit tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace codec::wsq_detail {

// Marker codes.
inline constexpr uint8_t kSoi = 0xA0;       // start of image
inline constexpr uint8_t kEoi = 0xA1;       // end of image
inline constexpr uint8_t kSof = 0xA2;       // start of frame
inline constexpr uint8_t kSob = 0xA3;       // start of block
inline constexpr uint8_t kDtt = 0xA4;       // define transform table
inline constexpr uint8_t kDqt = 0xA5;       // define quantisation table
inline constexpr uint8_t kDht = 0xA6;       // define Huffman table(s)
inline constexpr uint8_t kDrt = 0xA7;       // define restart interval
inline constexpr uint8_t kCom = 0xA8;       // comment
inline constexpr uint8_t kRstFirst = 0xB0;  // restart markers RST0..RST7
inline constexpr uint8_t kRstLast = 0xB7;

inline constexpr int kSubbands = 64;       // entries of the quantisation table
inline constexpr int kCodedSubbands = 60;  // 60..63 exist only as table entries
inline constexpr int kTreeNodes = 20;      // two-dimensional splits of the decomposition
inline constexpr int kBlocks = 3;
// First subband of each coding block, and one past the last of the last block.
inline constexpr std::array<int, kBlocks + 1> kBlockStart = {0, 19, 52, 64};

// A rectangle of the coefficient array. For a split node, invertRows / invertCols say that the
// horizontal / vertical split puts the high-pass half first: the node's spectrum is mirrored in
// that direction (it came from an odd number of high-pass steps), and swapping keeps the
// subbands laid out, and numbered, in order of rising frequency.
struct Region {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool invertRows = false;
  bool invertCols = false;
};

struct Layout {
  std::array<Region, kTreeNodes> nodes;  // in analysis order: every parent before its children
  std::array<Region, kSubbands> bands;   // 60..63 empty
};

// The decomposition of a width x height image into the 64 subbands.
Layout BuildLayout(int width, int height);

// One-dimensional analysis / synthesis filters of odd length. low holds h0(0), h0(1), ...
// (h0 is symmetric about 0); high holds h1(-1), h1(0), h1(1), ... (h1 is symmetric about -1),
// exactly the halves the transform table carries.
struct Filters {
  std::vector<float> low;
  std::vector<float> high;
};

// The 9/7 biorthogonal pair of the standard: the values the encoder writes.
Filters StandardFilters();

// Splits every node of the layout in place (rows, then columns), parents first.
void AnalyzeImage(std::span<float> image, int width, const Layout& layout, const Filters& filters);
// Undoes AnalyzeImage: nodes in reverse order, columns then rows.
void SynthesizeImage(std::span<float> image, int width, const Layout& layout,
                     const Filters& filters);

// Numbers in the tables are unsigned integers with a decimal scale: value / 10^scale.
struct Scaled {
  uint8_t scale = 0;
  uint32_t value = 0;
};
// The most precise representation of magnitude |v| whose integer part fits in maxValue
// (0xFFFF or 0xFFFFFFFF). nullopt when |v| is too large or not finite.
std::optional<Scaled> ToScaled(double v, uint32_t maxValue);
double FromScaled(Scaled s);

// Huffman table in the form DHT carries it: counts[i] codes of length i + 1, then the values in
// order of rising code length.
struct HuffmanTable {
  std::array<uint8_t, 16> counts{};
  std::vector<uint8_t> values;
};
// Optimal code lengths limited to 16 bits from symbol frequencies (JPEG's procedure, ISO/IEC
// 10918-1 Annex K.2, which the WSQ standard adopts): no code consists of 1 bits only. Symbols of
// frequency 0 get no code. At least one symbol must have a non-zero frequency.
HuffmanTable BuildHuffmanTable(std::span<const uint32_t, 256> frequencies);

// Canonical codes of a table (ISO/IEC 10918-1 Annex C): code and length per symbol (length 0 =
// no code). nullopt when the counts over-subscribe the code space or name a value twice.
struct HuffmanCode {
  std::array<uint16_t, 256> code{};
  std::array<uint8_t, 256> length{};
};
std::optional<HuffmanCode> CanonicalCodes(const HuffmanTable& table);

// Symbols of the coefficient coding (IAFIS-IC-0110, Huffman coding of the quantised
// coefficients).
inline constexpr int kMaxZeroRun = 100;       // symbols 1..100: a run of that many zeros
inline constexpr int kEscPos8 = 101;          // then 8 bits: a positive coefficient
inline constexpr int kEscNeg8 = 102;          // then 8 bits: a negative coefficient's magnitude
inline constexpr int kEscPos16 = 103;         // then 16 bits
inline constexpr int kEscNeg16 = 104;         // then 16 bits
inline constexpr int kEscRun8 = 105;          // then 8 bits: a zero run
inline constexpr int kEscRun16 = 106;         // then 16 bits: a zero run
inline constexpr int kCoefficientBase = 180;  // symbols 107..254: coefficient (symbol - 180)
inline constexpr int kMinDirectCoefficient = -73;
inline constexpr int kMaxDirectCoefficient = 74;

}  // namespace codec::wsq_detail
