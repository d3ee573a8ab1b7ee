// WSQ decoder. The file is a sequence of marker segments: SOI, then tables (DTT, DQT, DHT, DRT,
// COM) in any order, SOF, then three coded blocks each introduced by SOB and optionally preceded
// by more tables, then EOI. Each block holds the quantised coefficients of its subbands (those
// with a non-zero bin width), row by row and subband after subband, as Huffman-coded symbols.
//
// Every length read from the file is checked against the bytes that remain before use, the
// image size is bounded by kWsqMaxPixels before anything is allocated, and coefficients are
// dequantised straight into the one coefficient array, so the memory used is a fixed multiple
// of the pixel count whatever the file says.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <string_view>

#include "codec/wsq/wsq.h"
#include "codec/wsq/wsq_detail.h"

namespace codec {
namespace {

using namespace wsq_detail;

// Bounds-checked reading of big-endian fields from a byte span.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> data) : data_(data) {}

  size_t remaining() const { return data_.size() - pos_; }
  size_t pos() const { return pos_; }
  void seek(size_t pos) { pos_ = std::min(pos, data_.size()); }

  bool U8(uint8_t* v) {
    if (remaining() < 1) {
      return false;
    }
    *v = data_[pos_++];
    return true;
  }
  bool U16(uint16_t* v) {
    if (remaining() < 2) {
      return false;
    }
    *v = static_cast<uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
    pos_ += 2;
    return true;
  }
  bool U32(uint32_t* v) {
    if (remaining() < 4) {
      return false;
    }
    *v = (uint32_t{data_[pos_]} << 24) | (uint32_t{data_[pos_ + 1]} << 16) |
         (uint32_t{data_[pos_ + 2]} << 8) | uint32_t{data_[pos_ + 3]};
    pos_ += 4;
    return true;
  }
  // Scale byte followed by a 16-bit value.
  bool Scaled16(Scaled* s) {
    uint16_t v = 0;
    if (!U8(&s->scale) || !U16(&v)) {
      return false;
    }
    s->value = v;
    return true;
  }
  std::span<const uint8_t> Take(size_t n) {
    auto s = data_.subspan(pos_, n);
    pos_ += n;
    return s;
  }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

// Reads the entropy-coded bits of one block: 0xFF 0x00 stands for a data byte 0xFF, 0xFF
// followed by a restart marker is skipped, any other 0xFF xx is the marker that ends the block.
class BitReader {
 public:
  BitReader(std::span<const uint8_t> data, size_t pos) : data_(data), pos_(pos) {}

  size_t pos() const { return pos_; }

  // Called before each symbol. A restart marker may only follow the last, padded, byte of an
  // interval: when one comes next, the bits left of the current byte are padding.
  void SkipRestart() {
    if (pos_ + 1 < data_.size() && data_[pos_] == 0xFF && data_[pos_ + 1] >= kRstFirst &&
        data_[pos_ + 1] <= kRstLast) {
      pos_ += 2;
      count_ = 0;
    }
  }

  bool Bit(uint32_t* bit) {
    if (count_ == 0) {
      if (pos_ >= data_.size()) {
        return false;
      }
      uint8_t b = data_[pos_];
      if (b == 0xFF) {
        if (pos_ + 1 >= data_.size() || data_[pos_ + 1] != 0x00) {
          return false;  // a marker: the block's data has ended
        }
        ++pos_;
      }
      ++pos_;
      byte_ = b;
      count_ = 8;
    }
    --count_;
    *bit = (byte_ >> count_) & 1u;
    return true;
  }

  bool Bits(int n, uint32_t* value) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      uint32_t b = 0;
      if (!Bit(&b)) {
        return false;
      }
      v = (v << 1) | b;
    }
    *value = v;
    return true;
  }

  // Moves to the marker that ends the block: the bits left are padding.
  void SkipToMarker() {
    count_ = 0;
    while (pos_ + 1 < data_.size()) {
      if (data_[pos_] == 0xFF && data_[pos_ + 1] != 0x00 &&
          !(data_[pos_ + 1] >= kRstFirst && data_[pos_ + 1] <= kRstLast)) {
        return;
      }
      ++pos_;
    }
    pos_ = data_.size();
  }

 private:
  std::span<const uint8_t> data_;
  size_t pos_;
  uint8_t byte_ = 0;
  int count_ = 0;
};

// Canonical decoding tables (ISO/IEC 10918-1 Annex F.2.2.3).
struct HuffmanDecoder {
  bool defined = false;
  std::array<int32_t, 17> minCode{};
  std::array<int32_t, 17> maxCode{};  // -1: no code of this length
  std::array<int32_t, 17> valPtr{};
  std::vector<uint8_t> values;

  bool Build(const HuffmanTable& table) {
    if (!CanonicalCodes(table)) {
      return false;
    }
    int32_t code = 0;
    int32_t k = 0;
    for (int len = 1; len <= 16; ++len) {
      const int n = table.counts[len - 1];
      if (n == 0) {
        maxCode[len] = -1;
      } else {
        valPtr[len] = k;
        minCode[len] = code;
        code += n;
        k += n;
        maxCode[len] = code - 1;
      }
      code <<= 1;
    }
    values = table.values;
    defined = true;
    return true;
  }

  // The next symbol, or -1 on a bad code or the end of the data.
  int Decode(BitReader& in) const {
    int32_t code = 0;
    for (int len = 1; len <= 16; ++len) {
      uint32_t b = 0;
      if (!in.Bit(&b)) {
        return -1;
      }
      code = (code << 1) | static_cast<int32_t>(b);
      if (maxCode[len] >= 0 && code <= maxCode[len]) {
        return values[static_cast<size_t>(valPtr[len] + code - minCode[len])];
      }
    }
    return -1;
  }
};

struct QuantTable {
  bool defined = false;
  float binCenter = 0.0f;
  std::array<float, kSubbands> q{};
  std::array<float, kSubbands> z{};
};

struct Frame {
  bool defined = false;
  int width = 0;
  int height = 0;
  double mean = 0.0;
  double scale = 0.0;
};

// State of a decode in progress.
class Decoder {
 public:
  explicit Decoder(std::span<const uint8_t> data) : data_(data), in_(data) {}

  WsqError Run(WsqImage* out);

 private:
  WsqError Segment(uint8_t marker);
  WsqError Comment(std::span<const uint8_t> p);
  WsqError TransformTable(Reader& r);
  WsqError QuantizationTable(Reader& r);
  WsqError HuffmanTables(Reader& r);
  WsqError StartOfFrame(Reader& r);
  WsqError Block(Reader& r);

  std::span<const uint8_t> data_;
  Reader in_;
  std::optional<Filters> filters_;
  QuantTable quant_;
  std::array<HuffmanDecoder, 8> huffman_;
  Frame frame_;
  Layout layout_{};
  std::vector<float> coefficients_;
  int blocks_ = 0;
  int ppi_ = -1;
  std::vector<std::string> comments_;
};

// "PPI <n>" line of a NIST_COM comment.
int PpiFromComment(std::string_view text) {
  if (text.substr(0, 8) != "NIST_COM") {
    return -1;
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    std::string_view line = text.substr(start, end - start);
    if (line.substr(0, 4) == "PPI ") {
      int ppi = -1;
      auto digits = line.substr(4);
      auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), ppi);
      if (ec == std::errc() && ppi > 0) {
        return ppi;
      }
      return -1;
    }
    start = end + 1;
  }
  return -1;
}

WsqError Decoder::Run(WsqImage* out) {
  uint8_t b0 = 0;
  uint8_t b1 = 0;
  if (!in_.U8(&b0) || !in_.U8(&b1)) {
    return WsqError::kTruncated;
  }
  if (b0 != 0xFF || b1 != kSoi) {
    return WsqError::kNotWsq;
  }
  for (;;) {
    if (!in_.U8(&b0) || !in_.U8(&b1)) {
      return WsqError::kTruncated;
    }
    if (b0 != 0xFF) {
      return WsqError::kBadMarker;
    }
    if (b1 == kEoi) {
      break;
    }
    if (WsqError e = Segment(b1); e != WsqError::kOk) {
      return e;
    }
  }
  if (!frame_.defined) {
    return WsqError::kMissingTable;
  }
  // Every block that holds coefficients must have been coded.
  for (int b = blocks_; b < kBlocks; ++b) {
    for (int k = kBlockStart[b]; k < kBlockStart[b + 1]; ++k) {
      const Region& r = layout_.bands[k];
      if (quant_.q[k] > 0.0f && r.width > 0 && r.height > 0) {
        return WsqError::kBadCodedData;
      }
    }
  }
  if (!filters_) {
    return WsqError::kMissingTable;
  }
  SynthesizeImage(coefficients_, frame_.width, layout_, *filters_);

  out->width = frame_.width;
  out->height = frame_.height;
  out->ppi = ppi_;
  out->comments = std::move(comments_);
  out->pixels.resize(coefficients_.size());
  for (size_t i = 0; i < coefficients_.size(); ++i) {
    const double v = coefficients_[i] * frame_.scale + frame_.mean;
    // NaN (from absurd filters) and everything out of range end up at 0 or 255.
    out->pixels[i] = !(v > 0.0) ? 0 : v >= 255.0 ? 255 : static_cast<uint8_t>(v + 0.5);
  }
  return WsqError::kOk;
}

WsqError Decoder::Segment(uint8_t marker) {
  uint16_t length = 0;
  if (!in_.U16(&length)) {
    return WsqError::kTruncated;
  }
  if (length < 2) {
    return WsqError::kBadSegment;
  }
  if (in_.remaining() < static_cast<size_t>(length - 2)) {
    return WsqError::kTruncated;
  }
  Reader r(in_.Take(length - 2));
  WsqError e = WsqError::kOk;
  switch (marker) {
    case kCom:
      e = Comment(r.Take(r.remaining()));
      break;
    case kDtt:
      e = TransformTable(r);
      break;
    case kDqt:
      e = QuantizationTable(r);
      break;
    case kDht:
      e = HuffmanTables(r);
      break;
    case kDrt: {
      // The restart interval only tells where restart markers may appear; they are recognised
      // wherever they are.
      uint16_t interval = 0;
      if (!r.U16(&interval)) {
        return WsqError::kBadSegment;
      }
      break;
    }
    case kSof:
      e = StartOfFrame(r);
      break;
    case kSob:
      return Block(r);  // the coded data follows the segment, not inside it
    default:
      return WsqError::kBadMarker;
  }
  if (e == WsqError::kOk && r.remaining() != 0) {
    return WsqError::kBadSegment;
  }
  return e;
}

WsqError Decoder::Comment(std::span<const uint8_t> p) {
  std::string text(p.begin(), p.end());
  if (int ppi = PpiFromComment(text); ppi > 0) {
    ppi_ = ppi;
  }
  comments_.push_back(std::move(text));
  return WsqError::kOk;
}

WsqError Decoder::TransformTable(Reader& r) {
  uint8_t lowLength = 0;
  uint8_t highLength = 0;
  if (!r.U8(&lowLength) || !r.U8(&highLength)) {
    return WsqError::kBadSegment;
  }
  if (lowLength == 0 || highLength == 0) {
    return WsqError::kBadSegment;
  }
  // Even-length (half-sample symmetric) filters are allowed by the standard but used by no
  // encoder in service; over-long ones make no sense for images of this size.
  if (lowLength % 2 == 0 || highLength % 2 == 0 || lowLength > 31 || highLength > 31) {
    return WsqError::kUnsupportedFilter;
  }
  Filters f;
  for (int pass = 0; pass < 2; ++pass) {
    const int count = ((pass == 0 ? lowLength : highLength) + 1) / 2;
    auto& taps = pass == 0 ? f.low : f.high;
    for (int i = 0; i < count; ++i) {
      uint8_t sign = 0;
      Scaled s;
      if (!r.U8(&sign) || !r.U8(&s.scale) || !r.U32(&s.value)) {
        return WsqError::kBadSegment;
      }
      const double v = FromScaled(s);
      taps.push_back(static_cast<float>(sign != 0 ? -v : v));
    }
  }
  filters_ = std::move(f);
  return WsqError::kOk;
}

WsqError Decoder::QuantizationTable(Reader& r) {
  QuantTable t;
  Scaled c;
  if (!r.Scaled16(&c)) {
    return WsqError::kBadSegment;
  }
  t.binCenter = static_cast<float>(FromScaled(c));
  for (int k = 0; k < kSubbands; ++k) {
    Scaled q;
    Scaled z;
    if (!r.Scaled16(&q) || !r.Scaled16(&z)) {
      return WsqError::kBadSegment;
    }
    t.q[k] = static_cast<float>(FromScaled(q));
    t.z[k] = static_cast<float>(FromScaled(z));
  }
  t.defined = true;
  quant_ = t;
  return WsqError::kOk;
}

WsqError Decoder::HuffmanTables(Reader& r) {
  do {
    uint8_t id = 0;
    HuffmanTable table;
    if (!r.U8(&id) || r.remaining() < 16) {
      return WsqError::kBadSegment;
    }
    if (id >= huffman_.size()) {
      return WsqError::kBadSegment;
    }
    size_t total = 0;
    for (auto& c : table.counts) {
      r.U8(&c);
      total += c;
    }
    if (total == 0 || total > 256 || r.remaining() < total) {
      return WsqError::kBadHuffmanTable;
    }
    auto values = r.Take(total);
    table.values.assign(values.begin(), values.end());
    if (!huffman_[id].Build(table)) {
      return WsqError::kBadHuffmanTable;
    }
  } while (r.remaining() > 0);
  return WsqError::kOk;
}

WsqError Decoder::StartOfFrame(Reader& r) {
  if (frame_.defined) {
    return WsqError::kBadMarker;
  }
  uint8_t black = 0;
  uint8_t white = 0;
  uint16_t height = 0;
  uint16_t width = 0;
  Scaled mean;
  Scaled scale;
  uint8_t encoder = 0;
  uint16_t software = 0;
  if (!r.U8(&black) || !r.U8(&white) || !r.U16(&height) || !r.U16(&width) || !r.Scaled16(&mean) ||
      !r.Scaled16(&scale) || !r.U8(&encoder) || !r.U16(&software)) {
    return WsqError::kBadSegment;
  }
  if (width == 0 || height == 0 || int64_t{width} * height > kWsqMaxPixels) {
    return WsqError::kBadDimensions;
  }
  frame_ = Frame{true, width, height, FromScaled(mean), FromScaled(scale)};
  layout_ = BuildLayout(width, height);
  coefficients_.assign(static_cast<size_t>(width) * height, 0.0f);
  return WsqError::kOk;
}

WsqError Decoder::Block(Reader& r) {
  uint8_t tableId = 0;
  if (!r.U8(&tableId) || r.remaining() != 0) {
    return WsqError::kBadSegment;
  }
  if (!frame_.defined || blocks_ >= kBlocks) {
    return WsqError::kBadMarker;
  }
  if (!quant_.defined || tableId >= huffman_.size() || !huffman_[tableId].defined) {
    return WsqError::kMissingTable;
  }
  const HuffmanDecoder& huff = huffman_[tableId];
  const int block = blocks_++;

  // The block's subbands, in coding order.
  std::array<int, kSubbands> bands{};
  int bandCount = 0;
  for (int k = kBlockStart[block]; k < kBlockStart[block + 1]; ++k) {
    const Region& reg = layout_.bands[k];
    if (quant_.q[k] > 0.0f && reg.width > 0 && reg.height > 0) {
      bands[bandCount++] = k;
    }
  }

  BitReader bits(data_, in_.pos());
  int bandIndex = 0;
  int col = 0;
  int row = 0;
  const int width = frame_.width;
  // Skips n coefficients (they stay zero); false when that runs past the block's end.
  auto skip = [&](uint32_t n) {
    while (n > 0) {
      if (bandIndex >= bandCount) {
        return false;
      }
      const Region& reg = layout_.bands[bands[bandIndex]];
      const uint64_t left = static_cast<uint64_t>(reg.height - row) * reg.width - col;
      if (n < left) {
        const uint64_t pos = static_cast<uint64_t>(row) * reg.width + col + n;
        row = static_cast<int>(pos / reg.width);
        col = static_cast<int>(pos % reg.width);
        return true;
      }
      n -= static_cast<uint32_t>(left);
      ++bandIndex;
      row = 0;
      col = 0;
    }
    return true;
  };
  auto put = [&](int32_t v) {
    if (bandIndex >= bandCount) {
      return false;
    }
    const int k = bands[bandIndex];
    const Region& reg = layout_.bands[k];
    if (v != 0) {
      const float q = quant_.q[k];
      const float halfZero = quant_.z[k] / 2.0f;
      const float c = quant_.binCenter;
      const float fv = static_cast<float>(v);
      coefficients_[static_cast<size_t>(reg.y + row) * width + reg.x + col] =
          v > 0 ? (fv - c) * q + halfZero : (fv + c) * q - halfZero;
    }
    return skip(1);
  };

  while (bandIndex < bandCount) {
    bits.SkipRestart();
    const int symbol = huff.Decode(bits);
    if (symbol < 0) {
      return WsqError::kBadCodedData;
    }
    uint32_t extra = 0;
    bool ok = true;
    if (symbol >= 1 && symbol <= kMaxZeroRun) {
      ok = skip(static_cast<uint32_t>(symbol));
    } else if (symbol == kEscPos8 || symbol == kEscNeg8) {
      ok = bits.Bits(8, &extra) &&
           put(symbol == kEscPos8 ? static_cast<int32_t>(extra) : -static_cast<int32_t>(extra));
    } else if (symbol == kEscPos16 || symbol == kEscNeg16) {
      ok = bits.Bits(16, &extra) &&
           put(symbol == kEscPos16 ? static_cast<int32_t>(extra) : -static_cast<int32_t>(extra));
    } else if (symbol == kEscRun8) {
      ok = bits.Bits(8, &extra) && skip(extra);
    } else if (symbol == kEscRun16) {
      ok = bits.Bits(16, &extra) && skip(extra);
    } else if (symbol > kEscRun16 && symbol < 255) {
      ok = put(symbol - kCoefficientBase);
    } else {
      ok = false;
    }
    if (!ok) {
      return WsqError::kBadCodedData;
    }
  }
  bits.SkipToMarker();
  in_.seek(bits.pos());
  return WsqError::kOk;
}

}  // namespace

const char* WsqErrorText(WsqError error) {
  switch (error) {
    case WsqError::kOk:
      return "no error";
    case WsqError::kInvalidInput:
      return "invalid image size, pixel count or bit rate";
    case WsqError::kTruncated:
      return "the data ends too early";
    case WsqError::kNotWsq:
      return "not a WSQ file";
    case WsqError::kBadMarker:
      return "unexpected marker";
    case WsqError::kBadSegment:
      return "malformed segment";
    case WsqError::kUnsupportedFilter:
      return "unsupported wavelet filters";
    case WsqError::kBadDimensions:
      return "image dimensions out of range";
    case WsqError::kMissingTable:
      return "a required table or frame header is missing";
    case WsqError::kBadHuffmanTable:
      return "invalid Huffman table";
    case WsqError::kBadCodedData:
      return "invalid coded coefficients";
  }
  return "unknown error";
}

WsqError DecodeWsq(std::span<const uint8_t> data, WsqImage* out) {
  Decoder decoder(data);
  return decoder.Run(out);
}

}  // namespace codec
