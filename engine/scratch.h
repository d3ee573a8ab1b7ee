// Working buffers of the extraction stages, shared by all threads through a bounded pool.
//
// The stages need a few small buffers (window sums per block, sliding column sums, the
// enhancement's rolling windows of rows) and the enhancement its kernel bank, a few hundred KB
// in all for a 640 x 480 image: nothing in a set grows with the image's area faster than a
// sixty-fourth of it. Building the kernel bank for every image would cost more than using it, so
// sets are kept - but not per thread: a server extracts on any of its many worker threads, and
// a set kept on each of them would grow the process with every thread. The pool holds at most
// one set per core; a thread that finds every set in use waits for one, which costs nothing in
// throughput since the cores are busy anyway.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace engine {

// One oriented 1-D kernel: offsets into a padded image of a given stride, and their weights.
struct Kernel {
  std::vector<int> offset;
  std::vector<float> weight;
};

// The enhancement's oriented kernels for a padded image of one stride: across-ridge band-pass
// per (angle, period) and along-ridge Gaussian per angle. Built by enhance.cpp.
struct KernelBank {
  int stride = -1;
  std::vector<Kernel> across;  // [angle * periods + period]
  std::vector<Kernel> along;   // [angle]

  void Build(int s);
};

// Sums of a per-pixel value over the window of side `window` centred on every block of side
// `block` (clipped to the image), as the segmentation and orientation read them. The image is
// fed one row at a time as a prefix sum along the row; each row adds its stretch of every
// window to the few block rows whose windows hold it. One entry per block is kept instead of
// an integral image.
//
// Sums are kept modulo 2^32: every window sums less than 2^31 in magnitude (a 16 x 16 window of
// squared Sobel gradients, 2.7e8, is the largest), so the wrapped sum is exact; a signed sum
// (gradient cross products) is static_cast<int32_t> of it.
class BlockSums {
 public:
  // Zeroed sums for a width x height image, in `sums` and `spans` (reused storage).
  BlockSums(std::vector<uint32_t>& sums, std::vector<uint16_t>& spans, int width, int height,
            int block, int window)
      : sums_(sums), columns_((width + block - 1) / block) {
    const int rows = (height + block - 1) / block;
    sums_.assign(static_cast<size_t>(columns_) * rows, 0);
    spans.resize(2 * (static_cast<size_t>(columns_) + height));
    uint16_t* columnSpans = spans.data();
    uint16_t* rowSpans = spans.data() + 2 * static_cast<size_t>(columns_);
    columnSpans_ = columnSpans;
    rowSpans_ = rowSpans;
    // Block b's window is [b * block + block / 2 - window / 2, ... + window), clipped.
    const int start = block / 2 - window / 2;
    for (int bx = 0; bx < columns_; ++bx) {
      columnSpans[2 * bx] = static_cast<uint16_t>(std::clamp(bx * block + start, 0, width));
      columnSpans[2 * bx + 1] =
          static_cast<uint16_t>(std::clamp(bx * block + start + window, 0, width));
    }
    // For every row: the first and one past the last block row whose window holds it.
    for (int y = 0; y < height; ++y) {
      int first = 0;
      while (first < rows && first * block + start + window <= y)
        ++first;
      int last = first;
      while (last < rows && last * block + start <= y)
        ++last;
      rowSpans[2 * y] = static_cast<uint16_t>(first);
      rowSpans[2 * y + 1] = static_cast<uint16_t>(last);
    }
  }
  // Adds row y, given as prefix[x] = the (wrapped) sum of its values left of x, x = 0..width.
  void AddRow(int y, const uint32_t* prefix) {
    for (int by = rowSpans_[2 * y]; by < rowSpans_[2 * y + 1]; ++by) {
      uint32_t* row = &sums_[static_cast<size_t>(by) * columns_];
      for (int bx = 0; bx < columns_; ++bx)
        row[bx] += prefix[columnSpans_[2 * bx + 1]] - prefix[columnSpans_[2 * bx]];
    }
  }
  // The sum over block (bx, by)'s window.
  uint32_t At(int bx, int by) const { return sums_[static_cast<size_t>(by) * columns_ + bx]; }

 private:
  std::vector<uint32_t>& sums_;
  int columns_;
  const uint16_t* columnSpans_;
  const uint16_t* rowSpans_;
};

// Sums of a per-pixel value over a (2r+1) x (2r+1) box around every pixel of one row at a time,
// clipped to the image: column sums over the box's rows slide down the image as the row
// advances, and a prefix over them gives any box of the current row. Two rows of 32-bit
// entries instead of a whole integral image; sums wrap modulo 2^32 and are exact as long as
// the box's true sum stays below 2^32.
class SlidingBox {
 public:
  SlidingBox(std::vector<uint32_t>& columns, std::vector<uint32_t>& prefix, int width, int height,
             int radius)
      : columns_(columns), prefix_(prefix), width_(width), height_(height), radius_(radius) {
    columns_.assign(static_cast<size_t>(width), 0);
    prefix_.assign(static_cast<size_t>(width) + 1, 0);
  }
  // Moves the box's rows to those around row y (rows must come in increasing order), summing
  // each pixel's grey level or its square; `pixels` is the image, rows of `width` bytes. Then
  // Sum reads the boxes of row y.
  enum class Value { kGrey, kSquare };
  void Advance(int y, const uint8_t* pixels, Value value) {
    const int y0 = std::max(0, y - radius_), y1 = std::min(height_, y + radius_ + 1);
    const size_t stride = static_cast<size_t>(width_);
    for (; bottom_ < y1; ++bottom_)
      AddRow(pixels + bottom_ * stride, value, true);
    for (; top_ < y0; ++top_)
      AddRow(pixels + top_ * stride, value, false);
    rows_ = y1 - y0;
    const uint32_t* columns = columns_.data();
    uint32_t* prefix = prefix_.data();
    uint32_t run = prefix[0];
    for (int x = 0; x < width_; ++x) {
      run += columns[x];
      prefix[x + 1] = run;
    }
  }
  // Sum over the box around (x, current row), clipped; `count` gets its pixel count.
  uint32_t Sum(int x, int* count) const {
    const int x0 = std::max(0, x - radius_), x1 = std::min(width_, x + radius_ + 1);
    *count = (x1 - x0) * rows_;
    return prefix_[x1] - prefix_[x0];
  }
  // The current row's prefix over the column sums (width + 1 entries): the box sum of an x at
  // least radius from both edges is Prefix()[x + radius + 1] - Prefix()[x - radius].
  const uint32_t* Prefix() const { return prefix_.data(); }
  int Rows() const { return rows_; }  // rows in the current box

 private:
  // Adds (or takes away) one image row's values to (from) the column sums: with SSE2 sixteen
  // pixels at a time, widened to 32 bits (a square fits 16 bits), which the compiler does not do
  // by itself at -O2.
  void AddRow(const uint8_t* row, Value value, bool add) {
    uint32_t* columns = columns_.data();
    const bool square = value == Value::kSquare;
    int x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; x + 16 <= width_; x += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
      __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
      if (square) {
        lo = _mm_mullo_epi16(lo, lo);
        hi = _mm_mullo_epi16(hi, hi);
      }
      const __m128i parts[4] = {_mm_unpacklo_epi16(lo, zero), _mm_unpackhi_epi16(lo, zero),
                                _mm_unpacklo_epi16(hi, zero), _mm_unpackhi_epi16(hi, zero)};
      for (int k = 0; k < 4; ++k) {
        __m128i* c = reinterpret_cast<__m128i*>(columns + x + 4 * k);
        const __m128i sum = _mm_loadu_si128(c);
        _mm_storeu_si128(c, add ? _mm_add_epi32(sum, parts[k]) : _mm_sub_epi32(sum, parts[k]));
      }
    }
#endif
    for (; x < width_; ++x) {
      const uint32_t v = row[x];
      const uint32_t term = square ? v * v : v;
      columns[x] = add ? columns[x] + term : columns[x] - term;
    }
  }

  std::vector<uint32_t>& columns_;
  std::vector<uint32_t>& prefix_;
  int width_, height_, radius_;
  int top_ = 0, bottom_ = 0, rows_ = 0;
};

// One set of buffers. The stages run one after another, so they share the same buffers; every
// stage writes each entry it reads, so nothing is carried over from the last image but the
// kernel bank (rebuilt when the stride changes).
struct Scratch {
  std::vector<uint32_t> blocks[3];  // BlockSums
  std::vector<uint16_t> spans[3];
  std::vector<uint32_t> rowPrefix[3];  // one image row's prefix sums, fed to BlockSums
  std::vector<uint32_t> columns[2];    // SlidingBox
  std::vector<uint32_t> prefix[2];
  std::vector<float> rings[2];  // the enhancement's rolling windows of padded rows
  KernelBank bank;

  // Heap bytes the set holds (its working set between images).
  size_t Bytes() const;
};

class ScratchPool {
 public:
  explicit ScratchPool(unsigned limit);
  ScratchPool(const ScratchPool&) = delete;
  ScratchPool& operator=(const ScratchPool&) = delete;

  // Exclusive use of one set until the lease ends.
  class Lease {
   public:
    Lease(Lease&& other) noexcept : pool_(other.pool_), scratch_(std::move(other.scratch_)) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    Scratch& operator*() const { return *scratch_; }
    Scratch* operator->() const { return scratch_.get(); }

   private:
    friend class ScratchPool;
    Lease(ScratchPool& pool, std::unique_ptr<Scratch> scratch)
        : pool_(pool), scratch_(std::move(scratch)) {}
    ScratchPool& pool_;
    std::unique_ptr<Scratch> scratch_;
  };

  // An idle set, a new one while fewer than `limit` exist, or else the next one given back.
  Lease Acquire();

  unsigned limit() const { return limit_; }
  unsigned created() const;  // sets made so far (never more than limit)

 private:
  void Return(std::unique_ptr<Scratch> scratch);

  const unsigned limit_;
  mutable std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<Scratch>> idle_;
  unsigned created_ = 0;
};

// The pool the stages use: one set per hardware thread (at least one).
ScratchPool& SharedScratch();

// Holds one set of SharedScratch() for every stage the calling thread runs until it ends: an
// extraction leases once, not once per stage.
class ScratchScope {
 public:
  ScratchScope();
  ScratchScope(const ScratchScope&) = delete;
  ScratchScope& operator=(const ScratchScope&) = delete;
  ~ScratchScope();

 private:
  ScratchPool::Lease lease_;
  Scratch* previous_;
};

// The set a stage works in: its thread's ScratchScope's, or else one leased for the stage alone
// (a stage called on its own, as the tests do).
class StageScratch {
 public:
  StageScratch();
  Scratch& operator*() const { return *scratch_; }
  Scratch* operator->() const { return scratch_; }

 private:
  std::optional<ScratchPool::Lease> own_;
  Scratch* scratch_;
};

}  // namespace engine
