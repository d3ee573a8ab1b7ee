// WSQ encoder with the FBI's parameter settings for 500 ppi images (IAFIS-IC-0110, encoder number
// one): the 9/7 filter pair, zero bins 1.2 bin widths wide, a reconstruction point 0.44 of a bin
// width in from the bin's edge, bin widths from subband variances scaled to meet a target bit
// rate, and the three-block Huffman coding with one table for the first block and one shared by
// the other two.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>

#include "codec/wsq/wsq.h"
#include "codec/wsq/wsq_detail.h"

namespace codec {
namespace {

using namespace wsq_detail;

constexpr double kBinCenter = 0.44;
constexpr double kZeroBinRatio = 1.2;
// Subbands whose variance is below this carry nothing worth coding.
constexpr double kMinVariance = 1.01;
// A bin width this many standard deviations wide would give the subband a negative rate in the
// rate model below; such subbands are dropped and the rest quantised again.
constexpr double kMaxWidthOverSigma = 5.0;
// Largest quantisation index the encoder produces; the escape codes carry up to 65535.
constexpr double kMaxIndex = 60000.0;

// Relative weights of the eight coded subbands of the two big quadrants (52..59); 1 elsewhere.
constexpr std::array<double, 8> kHighBandWeight = {1.32, 1.08, 1.42, 1.08, 1.32, 1.42, 1.08, 1.08};

class Writer {
 public:
  std::vector<uint8_t> bytes;

  void U8(unsigned v) { bytes.push_back(static_cast<uint8_t>(v)); }
  void U16(unsigned v) {
    U8(v >> 8);
    U8(v & 0xFF);
  }
  void U32(uint32_t v) {
    U16(v >> 16);
    U16(v & 0xFFFF);
  }
  void Marker(uint8_t m) {
    U8(0xFF);
    U8(m);
  }
  void Scaled16(Scaled s) {
    U8(s.scale);
    U16(s.value);
  }
  // A segment: marker, then a length field that counts itself and the payload.
  void Segment(uint8_t m, const std::vector<uint8_t>& payload) {
    Marker(m);
    U16(static_cast<unsigned>(payload.size() + 2));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
  }
};

// Entropy-coded data: bits packed from the most significant end, every 0xFF byte followed by a
// stuffed 0x00 so that it cannot be taken for a marker, the last byte padded with 1 bits.
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}

  void Put(uint32_t bits, int n) {
    for (int i = n - 1; i >= 0; --i) {
      acc_ = static_cast<uint8_t>((acc_ << 1) | ((bits >> i) & 1u));
      if (++count_ == 8) {
        Emit();
      }
    }
  }
  void Flush() {
    while (count_ != 0) {
      acc_ = static_cast<uint8_t>((acc_ << 1) | 1u);
      if (++count_ == 8) {
        Emit();
      }
    }
  }

 private:
  void Emit() {
    out_.push_back(acc_);
    if (acc_ == 0xFF) {
      out_.push_back(0x00);
    }
    acc_ = 0;
    count_ = 0;
  }

  std::vector<uint8_t>& out_;
  uint8_t acc_ = 0;
  int count_ = 0;
};

// A coded symbol and the raw bits that follow it.
struct Symbol {
  uint8_t symbol;
  uint8_t extraBits;
  uint16_t extra;
};

void AppendZeroRun(uint32_t run, std::vector<Symbol>* out) {
  while (run > 0) {
    const uint32_t n = std::min<uint32_t>(run, 0xFFFF);
    if (n <= kMaxZeroRun) {
      out->push_back({static_cast<uint8_t>(n), 0, 0});
    } else if (n <= 0xFF) {
      out->push_back({kEscRun8, 8, static_cast<uint16_t>(n)});
    } else {
      out->push_back({kEscRun16, 16, static_cast<uint16_t>(n)});
    }
    run -= n;
  }
}

void AppendCoefficient(int32_t v, std::vector<Symbol>* out) {
  if (v >= kMinDirectCoefficient && v <= kMaxDirectCoefficient) {
    out->push_back({static_cast<uint8_t>(kCoefficientBase + v), 0, 0});
    return;
  }
  const uint32_t m = static_cast<uint32_t>(v < 0 ? -v : v);
  if (m <= 0xFF) {
    out->push_back(
        {static_cast<uint8_t>(v > 0 ? kEscPos8 : kEscNeg8), 8, static_cast<uint16_t>(m)});
  } else {
    out->push_back(
        {static_cast<uint8_t>(v > 0 ? kEscPos16 : kEscNeg16), 16, static_cast<uint16_t>(m)});
  }
}

// Variance of the central part of a subband: the edges are left out because the symmetric
// extension and the blank margins of a fingerprint image distort them. The window is 3/4 of the
// width starting at 1/8, and 7/16 of the height starting at 9/32. Subbands of very small images
// (under about 128 x 96 pixels) leave an empty window in some direction; there the whole extent
// is used, and a single coefficient counts with its power about zero, so that the low-pass
// corner of a small image is not thrown away as "flat".
double SubbandVariance(const std::vector<float>& c, int width, const Region& r) {
  int x0 = r.width / 8;
  int w = 3 * r.width / 4;
  int y0 = 9 * r.height / 32;
  int h = 7 * r.height / 16;
  if (w < 1) {
    x0 = 0;
    w = r.width;
  }
  if (h < 1) {
    y0 = 0;
    h = r.height;
  }
  const int64_t n = int64_t{w} * h;
  if (n == 0) {
    return 0.0;
  }
  double sum = 0.0;
  double sum2 = 0.0;
  for (int y = r.y + y0; y < r.y + y0 + h; ++y) {
    const float* row = c.data() + static_cast<size_t>(y) * width + r.x + x0;
    for (int x = 0; x < w; ++x) {
      sum += row[x];
      sum2 += static_cast<double>(row[x]) * row[x];
    }
  }
  if (n == 1) {
    return sum2;
  }
  return (sum2 - sum * sum / static_cast<double>(n)) / static_cast<double>(n - 1);
}

// Largest magnitude in a subband.
double SubbandPeak(const std::vector<float>& c, int width, const Region& r) {
  double peak = 0.0;
  for (int y = r.y; y < r.y + r.height; ++y) {
    const float* row = c.data() + static_cast<size_t>(y) * width + r.x;
    for (int x = 0; x < r.width; ++x) {
      peak = std::max(peak, static_cast<double>(std::fabs(row[x])));
    }
  }
  return peak;
}

// Bin widths for a target bit rate. Each coded subband k is modelled as costing
// log2(5 sigma_k / Q_k) bits per coefficient; with Q_k = Q'_k / q (Q'_k = 1 for the four
// lowest subbands, 10 / (A_k ln sigma_k^2) for the others) the rate equation solves for q in
// closed form. Subbands the solution would give a rate at or below zero are taken out of the
// equation and q is solved again; they are still quantised with the final q (what the NIST
// reference encoder does: they cost little, mostly zero runs, and keep their few large
// coefficients).
std::array<double, kSubbands> BinWidths(const std::array<double, kSubbands>& variance,
                                        const Layout& layout, int width, int height,
                                        double bitRate) {
  std::array<double, kSubbands> relative{};
  std::array<bool, kSubbands> coded{};     // variance high enough to be coded at all
  std::array<bool, kSubbands> modelled{};  // still taking part in the rate equation
  for (int k = 0; k < kCodedSubbands; ++k) {
    if (variance[k] < kMinVariance) {
      continue;
    }
    coded[k] = true;
    modelled[k] = true;
    if (k < 4) {
      relative[k] = 1.0;
    } else {
      const double weight = k >= 52 ? kHighBandWeight[k - 52] : 1.0;
      relative[k] = 10.0 / (weight * std::log(variance[k]));
    }
  }
  const double pixels = static_cast<double>(width) * height;
  double q = 0.0;
  for (;;) {
    double share = 0.0;   // fraction of the image the coded subbands take up
    double logSum = 0.0;  // log2 of prod (sigma_k / Q'_k)^(share_k)
    for (int k = 0; k < kCodedSubbands; ++k) {
      if (!modelled[k]) {
        continue;
      }
      const Region& r = layout.bands[k];
      const double part = static_cast<double>(r.width) * r.height / pixels;
      share += part;
      logSum += part * std::log2(std::sqrt(variance[k]) / relative[k]);
    }
    if (share <= 0.0) {
      break;
    }
    q = std::exp2(bitRate / share - 1.0 - logSum / share) / 2.5;
    bool dropped = false;
    for (int k = 0; k < kCodedSubbands; ++k) {
      if (modelled[k] && relative[k] / q >= kMaxWidthOverSigma * std::sqrt(variance[k])) {
        modelled[k] = false;
        dropped = true;
      }
    }
    if (!dropped) {
      break;
    }
  }
  std::array<double, kSubbands> widths{};
  for (int k = 0; k < kCodedSubbands; ++k) {
    if (coded[k] && q > 0.0) {
      widths[k] = relative[k] / q;
    }
  }
  return widths;
}

std::vector<uint8_t> NistComment(int width, int height, int ppi, double bitRate) {
  char buf[256];
  const int n =
      std::snprintf(buf, sizeof buf,
                    "NIST_COM %d\nPIX_WIDTH %d\nPIX_HEIGHT %d\nPIX_DEPTH 8\n%s"
                    "LOSSY 1\nCOLORSPACE GRAY\nCOMPRESSION WSQ\nWSQ_BITRATE %f",
                    ppi > 0 ? 9 : 8, width, height,
                    ppi > 0 ? ("PPI " + std::to_string(ppi) + "\n").c_str() : "", bitRate);
  return std::vector<uint8_t>(buf, buf + std::clamp(n, 0, static_cast<int>(sizeof buf) - 1));
}

void PutScaled16(std::vector<uint8_t>& p, Scaled s) {
  p.push_back(s.scale);
  p.push_back(static_cast<uint8_t>(s.value >> 8));
  p.push_back(static_cast<uint8_t>(s.value & 0xFF));
}

// The file representation of a non-negative table number, and the value a decoder reads back.
Scaled Represent16(double v) {
  return ToScaled(v, 0xFFFF).value_or(Scaled{0, 0xFFFF});
}

}  // namespace

float WsqBitRateForCompressionRatio(float ratio) {
  if (!(ratio > 1.0f)) {  // also NaN
    return kWsqDefaultBitRate;
  }
  return std::clamp(8.0f / ratio, kWsqMinBitRate, kWsqMaxBitRate);
}

WsqError EncodeWsq(std::span<const uint8_t> pixels, int width, int height,
                   const WsqEncodeOptions& options, std::vector<uint8_t>* out) {
  out->clear();
  if (width < kWsqMinDimension || height < kWsqMinDimension || width > 0xFFFF || height > 0xFFFF ||
      int64_t{width} * height > kWsqMaxPixels ||
      pixels.size() != static_cast<size_t>(width) * height ||
      !(options.bitRate >= kWsqMinBitRate && options.bitRate <= kWsqMaxBitRate) ||
      options.comment.size() > 0xFFFD) {
    return WsqError::kInvalidInput;
  }

  // Shift to zero mean and scale to about [-128, 128]. The decoder undoes this with the numbers
  // as the frame header carries them, so those are the ones used here.
  double sum = 0.0;
  uint8_t lo = 255;
  uint8_t hi = 0;
  for (uint8_t p : pixels) {
    sum += p;
    lo = std::min(lo, p);
    hi = std::max(hi, p);
  }
  const double mean = sum / static_cast<double>(pixels.size());
  double spread = std::max(hi - mean, mean - lo) / 128.0;
  if (spread <= 0.0) {
    spread = 1.0;  // a flat image: every coefficient is zero anyway
  }
  const Scaled meanScaled = Represent16(mean);
  const Scaled spreadScaled = Represent16(spread);
  const double m = FromScaled(meanScaled);
  const double r = FromScaled(spreadScaled) > 0.0 ? FromScaled(spreadScaled) : 1.0;

  std::vector<float> c(pixels.size());
  for (size_t i = 0; i < pixels.size(); ++i) {
    c[i] = static_cast<float>((pixels[i] - m) / r);
  }
  const Layout layout = BuildLayout(width, height);
  const Filters filters = StandardFilters();
  AnalyzeImage(c, width, layout, filters);

  std::array<double, kSubbands> variance{};
  for (int k = 0; k < kCodedSubbands; ++k) {
    variance[k] = SubbandVariance(c, width, layout.bands[k]);
  }
  const std::array<double, kSubbands> widths =
      BinWidths(variance, layout, width, height, options.bitRate);

  // Table numbers as the decoder will read them; quantise with exactly those.
  std::array<Scaled, kSubbands> qScaled{};
  std::array<Scaled, kSubbands> zScaled{};
  std::array<double, kSubbands> q{};
  std::array<double, kSubbands> z{};
  for (int k = 0; k < kSubbands; ++k) {
    if (widths[k] > 0.0) {
      // At very high rates the bin can get so narrow that a coefficient's index would not fit
      // the 16-bit escape code; widen it just enough for the subband's largest coefficient.
      const double binWidth =
          std::max(widths[k], SubbandPeak(c, width, layout.bands[k]) / kMaxIndex);
      qScaled[k] = Represent16(binWidth);
      zScaled[k] = Represent16(kZeroBinRatio * binWidth);
      q[k] = FromScaled(qScaled[k]);
      z[k] = FromScaled(zScaled[k]);
    }
  }

  // Quantise and turn each block into symbols.
  std::array<std::vector<Symbol>, kBlocks> symbols;
  for (int b = 0; b < kBlocks; ++b) {
    uint32_t run = 0;
    for (int k = kBlockStart[b]; k < kBlockStart[b + 1]; ++k) {
      const Region& reg = layout.bands[k];
      if (q[k] <= 0.0 || reg.width <= 0 || reg.height <= 0) {
        continue;
      }
      const double halfZero = z[k] / 2.0;
      for (int y = 0; y < reg.height; ++y) {
        const float* row = c.data() + static_cast<size_t>(reg.y + y) * width + reg.x;
        for (int x = 0; x < reg.width; ++x) {
          const double a = row[x];
          int32_t v = 0;
          if (a > halfZero) {
            v = static_cast<int32_t>(std::min(std::floor((a - halfZero) / q[k]) + 1.0, 65535.0));
          } else if (a < -halfZero) {
            v = static_cast<int32_t>(std::max(std::ceil((a + halfZero) / q[k]) - 1.0, -65535.0));
          }
          if (v == 0) {
            ++run;
            continue;
          }
          AppendZeroRun(run, &symbols[b]);
          run = 0;
          AppendCoefficient(v, &symbols[b]);
        }
      }
    }
    AppendZeroRun(run, &symbols[b]);
  }

  // One table for the first block (the low frequencies, many distinct values) and one for the
  // two others (mostly zero runs and small values).
  constexpr std::array<int, kBlocks> kTableOfBlock = {0, 1, 1};
  std::array<HuffmanTable, 2> tables;
  std::array<HuffmanCode, 2> codes;
  for (int t = 0; t < 2; ++t) {
    std::array<uint32_t, 256> freq{};
    for (int b = 0; b < kBlocks; ++b) {
      if (kTableOfBlock[b] == t) {
        for (const Symbol& s : symbols[b]) {
          ++freq[s.symbol];
        }
      }
    }
    if (std::all_of(freq.begin(), freq.end(), [](uint32_t f) { return f == 0; })) {
      freq[1] = 1;  // an empty block still needs a valid table to point at
    }
    tables[t] = BuildHuffmanTable(freq);
    codes[t] = *CanonicalCodes(tables[t]);
  }

  Writer w;
  w.Marker(kSoi);
  w.Segment(kCom, NistComment(width, height, options.ppi, options.bitRate));
  if (!options.comment.empty()) {
    w.Segment(kCom, std::vector<uint8_t>(options.comment.begin(), options.comment.end()));
  }

  std::vector<uint8_t> p;
  p.push_back(static_cast<uint8_t>(2 * filters.low.size() - 1));
  p.push_back(static_cast<uint8_t>(2 * filters.high.size() - 1));
  for (const auto* taps : {&filters.low, &filters.high}) {
    for (float f : *taps) {
      const Scaled s = ToScaled(f, 0xFFFFFFFF).value_or(Scaled{});
      p.push_back(f < 0.0f ? 1 : 0);
      p.push_back(s.scale);
      for (int shift = 24; shift >= 0; shift -= 8) {
        p.push_back(static_cast<uint8_t>(s.value >> shift));
      }
    }
  }
  w.Segment(kDtt, p);

  p.clear();
  PutScaled16(p, Represent16(kBinCenter));
  for (int k = 0; k < kSubbands; ++k) {
    PutScaled16(p, qScaled[k]);
    PutScaled16(p, zScaled[k]);
  }
  w.Segment(kDqt, p);

  p.clear();
  p.push_back(0);    // black
  p.push_back(255);  // white
  p.push_back(static_cast<uint8_t>(height >> 8));
  p.push_back(static_cast<uint8_t>(height & 0xFF));
  p.push_back(static_cast<uint8_t>(width >> 8));
  p.push_back(static_cast<uint8_t>(width & 0xFF));
  PutScaled16(p, meanScaled);
  PutScaled16(p, spreadScaled);
  p.push_back(2);  // encoder number: the FBI parameter settings
  p.push_back(0);  // software implementation number (none registered)
  p.push_back(0);
  w.Segment(kSof, p);

  int currentTable = -1;
  for (int b = 0; b < kBlocks; ++b) {
    const int t = kTableOfBlock[b];
    if (t != currentTable) {
      p.clear();
      p.push_back(static_cast<uint8_t>(t));
      p.insert(p.end(), tables[t].counts.begin(), tables[t].counts.end());
      p.insert(p.end(), tables[t].values.begin(), tables[t].values.end());
      w.Segment(kDht, p);
      currentTable = t;
    }
    w.Segment(kSob, {static_cast<uint8_t>(t)});
    BitWriter bits(w.bytes);
    const HuffmanCode& code = codes[t];
    for (const Symbol& s : symbols[b]) {
      bits.Put(code.code[s.symbol], code.length[s.symbol]);
      if (s.extraBits > 0) {
        bits.Put(s.extra, s.extraBits);
      }
    }
    bits.Flush();
  }
  w.Marker(kEoi);
  *out = std::move(w.bytes);
  return WsqError::kOk;
}

}  // namespace codec
