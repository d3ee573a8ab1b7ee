// The scratch pool on its own (exclusive, bounded, waiters served), and the whole extractor run
// from many threads at once against the same images extracted on one thread: a set lent twice,
// or a buffer carried over between images of different sizes, changes the minutiae.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "devicelib/virtual/synthetic_finger.h"
#include "engine/extractor.h"
#include "engine/scratch.h"

namespace engine {
namespace {

TEST(ScratchPool, LendsEachSetToOneHolderAndNeverMoreSetsThanTheLimit) {
  constexpr unsigned kLimit = 3;
  constexpr int kThreads = 8, kRounds = 300;
  ScratchPool pool(kLimit);
  std::atomic<int> out{0}, maxOut{0};
  std::atomic<int> clobbered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const ScratchPool::Lease lease = pool.Acquire();
        const int now = ++out;
        int seen = maxOut.load();
        while (now > seen && !maxOut.compare_exchange_weak(seen, now)) {
        }
        lease->columns[0].assign(16, t);
        std::this_thread::yield();
        if (std::any_of(lease->columns[0].begin(), lease->columns[0].end(),
                        [&](int64_t v) { return v != t; }))
          ++clobbered;
        --out;
      }
    });
  }
  for (std::thread& th : threads)
    th.join();
  EXPECT_EQ(clobbered.load(), 0);
  EXPECT_LE(maxOut.load(), static_cast<int>(kLimit));
  EXPECT_LE(pool.created(), kLimit);
  EXPECT_GE(pool.created(), 1u);
}

TEST(ScratchPool, WaiterGetsTheSetGivenBackAndBuffersAreKept) {
  ScratchPool pool(1);
  std::atomic<bool> got{false};
  std::thread waiter;
  {
    const ScratchPool::Lease lease = pool.Acquire();
    lease->columns[0].assign(1000, 7);
    waiter = std::thread([&] {
      const ScratchPool::Lease mine = pool.Acquire();
      // The one set, with the buffer its last holder grew: nothing is reallocated per image.
      EXPECT_EQ(mine->columns[0].size(), 1000u);
      got = true;
    });
    // However long the waiter had, it cannot have a set while the only one is lent.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(got.load());
  }
  waiter.join();
  EXPECT_TRUE(got.load());
  EXPECT_EQ(pool.created(), 1u);
  EXPECT_EQ(pool.limit(), 1u);
  EXPECT_GE(ScratchPool(0).limit(), 1u);  // a machine reporting no cores still extracts
}

struct Job {
  std::vector<uint8_t> pixels;
  int width = 0, height = 0, ppi = 500;
};

// Virtual fingers whole and cropped to several sizes, some at another resolution: the stages'
// buffers change size from one image to the next.
std::vector<Job> MixedImages() {
  std::vector<Job> jobs;
  const int crops[][2] = {{0, 0}, {200, 260}, {300, 400}, {160, 180}, {256, 300}, {0, 0}};
  for (uint32_t id = 1; id <= 6; ++id) {
    const auto imp = devicelib::virt::MakeImpression(id, id % 2, 90);
    Job j;
    j.width = crops[id - 1][0] ? std::min(crops[id - 1][0], imp.width) : imp.width;
    j.height = crops[id - 1][1] ? std::min(crops[id - 1][1], imp.height) : imp.height;
    const int x0 = (imp.width - j.width) / 2, y0 = (imp.height - j.height) / 2;
    for (int y = 0; y < j.height; ++y) {
      const auto row = imp.pixels.begin() + static_cast<ptrdiff_t>(y0 + y) * imp.width + x0;
      j.pixels.insert(j.pixels.end(), row, row + j.width);
    }
    j.ppi = id % 3 == 0 ? 569 : 500;
    jobs.push_back(std::move(j));
  }
  return jobs;
}

std::string Describe(const Extraction& e) {
  std::string s = std::to_string(e.quality) + " " + std::to_string(e.features.width) + "x" +
                  std::to_string(e.features.height) + ":";
  for (const codec::Minutia& m : e.features.minutiae) {
    s += " " + std::to_string(m.x) + "," + std::to_string(m.y) + "," + std::to_string(m.angle) +
         "," + std::to_string(static_cast<int>(m.type)) + "," + std::to_string(m.quality);
  }
  return s;
}

TEST(Extract, ManyThreadsAtOnceGiveWhatOneThreadGives) {
  const std::vector<Job> jobs = MixedImages();
  std::vector<std::string> expected;
  for (const Job& j : jobs) {
    expected.push_back(Describe(Extract({j.pixels, j.width, j.height, j.ppi})));
    ASSERT_FALSE(Extract({j.pixels, j.width, j.height, j.ppi}).features.minutiae.empty());
  }
  constexpr int kThreads = 6, kPasses = 2;
  std::vector<std::vector<std::string>> mismatches(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int pass = 0; pass < kPasses; ++pass) {
        for (size_t k = 0; k < jobs.size(); ++k) {
          const size_t i = (k + t + pass) % jobs.size();  // each thread its own order
          const Job& j = jobs[i];
          const std::string got = Describe(Extract({j.pixels, j.width, j.height, j.ppi}));
          if (got != expected[i])
            mismatches[t].push_back("image " + std::to_string(i) + ": " + got);
        }
      }
    });
  }
  for (std::thread& th : threads)
    th.join();
  for (int t = 0; t < kThreads; ++t)
    EXPECT_TRUE(mismatches[t].empty()) << "thread " << t << ": " << mismatches[t].front();
  EXPECT_LE(SharedScratch().created(), SharedScratch().limit());
}

// The buffers a set keeps between images grow with a small share of the image, never with whole
// image-sized planes: with the server's many workers and sets kept for reuse, every image-sized
// buffer here was a megabyte or more of resident memory.
TEST(Extract, KeepsLessThanHalfAMegabyteOfScratchForA640x480Image) {
  constexpr int kWidth = 640, kHeight = 480;
  const auto imp = devicelib::virt::MakeImpression(3, 0, 90);
  std::vector<uint8_t> pixels(static_cast<size_t>(kWidth) * kHeight, 255);
  const int x0 = (kWidth - imp.width) / 2, y0 = (kHeight - imp.height) / 2;
  ASSERT_GE(x0, 0);
  ASSERT_GE(y0, 0);
  for (int y = 0; y < imp.height; ++y) {
    std::copy_n(imp.pixels.begin() + static_cast<ptrdiff_t>(y) * imp.width, imp.width,
                pixels.begin() + static_cast<ptrdiff_t>(y0 + y) * kWidth + x0);
  }
  ASSERT_GT(Extract({pixels, kWidth, kHeight, 500}).features.minutiae.size(), 10u);
  // Every set the pool made is idle now; the one just used is among them.
  std::vector<ScratchPool::Lease> sets;
  size_t largest = 0;
  for (unsigned n = 0; n < SharedScratch().created(); ++n) {
    sets.push_back(SharedScratch().Acquire());
    largest = std::max(largest, sets.back()->Bytes());
  }
  EXPECT_GT(largest, 0u);
  EXPECT_LT(largest, 512u * 1024u);
}

}  // namespace
}  // namespace engine
