#include "scanner/release_countdown.h"

#include <chrono>

namespace scanner {

namespace {

constexpr uint32_t kCountdownStepMs = 100;

}  // namespace

ReleaseCountdown::~ReleaseCountdown() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

void ReleaseCountdown::Schedule(std::shared_ptr<Scanner> scanner, uint32_t lifetimeMs) {
  std::lock_guard lock(mutex_);
  if (active_) {
    remainingMs_.store(lifetimeMs);  // re-arm the running countdown
    return;
  }
  if (thread_.joinable()) {
    thread_.join();  // the previous countdown has finished
  }
  active_ = true;
  remainingMs_.store(lifetimeMs);
  thread_ = std::thread(&ReleaseCountdown::Run, this, std::move(scanner));
}

void ReleaseCountdown::Run(std::shared_ptr<Scanner> scanner) {
  {
    std::unique_lock lock(mutex_);
    while (remainingMs_.load() > kCountdownStepMs) {
      if (wake_.wait_for(lock, std::chrono::milliseconds(kCountdownStepMs),
                         [this] { return stopping_; })) {
        active_ = false;
        remainingMs_.store(0);
        return;
      }
      remainingMs_.fetch_sub(kCountdownStepMs);
    }
  }
  scanner->ReleaseCaptureData();
  std::lock_guard lock(mutex_);
  active_ = false;
  remainingMs_.store(0);
}

}  // namespace scanner
