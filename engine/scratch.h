// Working buffers of the extraction stages, shared by all threads through a bounded pool.
//
// Each stage needs a few image-sized buffers (integral images, a padded plane) and the
// enhancement its kernel bank. Allocating them fresh for every image costs about 15 % of the
// extraction time (page faults and zeroing of multi-megabyte blocks), so they are kept - but not
// per thread: a server extracts on any of its many worker threads, and a set kept on each of
// them grew the process by some 10 MB per thread. The pool holds at most one set per core; a
// thread that finds every set in use waits for one, which costs nothing in throughput since the
// cores are busy anyway.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

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

// Integral images are kept modulo 2^32: every box the stages read sums less than 2^31 in
// magnitude (at most a 25 x 25 window of squared grey levels, 4.1e7, or a 16 x 16 window of
// squared Sobel gradients, 2.7e8), and a box of wrapped corner values is exact modulo 2^32,
// so it is the true sum at half the memory of 64-bit entries.
using Integral = std::vector<uint32_t>;

// Sum over [x0, x1) x [y0, y1) of an integral image with `stride` entries per row; a signed sum
// (gradient cross products) is static_cast<int32_t> of it.
inline uint32_t BoxSum(const Integral& t, size_t stride, int x0, int y0, int x1, int y1) {
  return t[y1 * stride + x1] - t[y0 * stride + x1] - t[y1 * stride + x0] + t[y0 * stride + x0];
}

// One set of buffers. The stages run one after another, so they share the same buffers; every
// stage writes each entry it reads, so nothing is carried over from the last image but the
// kernel bank (rebuilt when the stride changes).
struct Scratch {
  Integral sums[3];
  std::vector<float> planes[2];  // padded float planes
  KernelBank bank;
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
