// Frees a scanner's captured data some time after the last capture request. One countdown
// runs at a time for the whole agent: a new request while it runs only re-arms it (and it
// still releases the scanner it was started for).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "scanner/scanner.h"

namespace scanner {

class ReleaseCountdown {
 public:
  ReleaseCountdown() = default;
  ~ReleaseCountdown();
  ReleaseCountdown(const ReleaseCountdown&) = delete;
  ReleaseCountdown& operator=(const ReleaseCountdown&) = delete;

  void Schedule(std::shared_ptr<Scanner> scanner, uint32_t lifetimeMs);

 private:
  void Run(std::shared_ptr<Scanner> scanner);

  std::mutex mutex_;
  std::condition_variable wake_;
  bool active_ = false;
  bool stopping_ = false;
  std::atomic<uint32_t> remainingMs_{0};
  std::thread thread_;
};

}  // namespace scanner
