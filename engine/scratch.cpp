#include "engine/scratch.h"

#include <algorithm>
#include <thread>

namespace engine {

namespace {

template <typename T>
size_t Held(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

}  // namespace

size_t Scratch::Bytes() const {
  size_t n = 0;
  for (const auto& v : blocks)
    n += Held(v);
  for (const auto& v : spans)
    n += Held(v);
  for (const auto& v : rowPrefix)
    n += Held(v);
  for (const auto& v : columns)
    n += Held(v);
  for (const auto& v : prefix)
    n += Held(v);
  for (const auto& v : rings)
    n += Held(v);
  n += Held(bank.across) + Held(bank.along);
  for (const auto* kernels : {&bank.across, &bank.along}) {
    for (const Kernel& k : *kernels)
      n += Held(k.offset) + Held(k.weight);
  }
  return n;
}

ScratchPool::ScratchPool(unsigned limit) : limit_(std::max(1u, limit)) {}

ScratchPool::Lease::~Lease() {
  if (scratch_)
    pool_.Return(std::move(scratch_));
}

ScratchPool::Lease ScratchPool::Acquire() {
  std::unique_lock lock(mutex_);
  returned_.wait(lock, [&] { return !idle_.empty() || created_ < limit_; });
  if (!idle_.empty()) {
    std::unique_ptr<Scratch> s = std::move(idle_.back());
    idle_.pop_back();
    return Lease(*this, std::move(s));
  }
  // An empty set is a few small objects; its buffers grow on first use, outside the lock.
  auto s = std::make_unique<Scratch>();
  ++created_;
  return Lease(*this, std::move(s));
}

void ScratchPool::Return(std::unique_ptr<Scratch> scratch) {
  {
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(scratch));
  }
  returned_.notify_one();
}

unsigned ScratchPool::created() const {
  std::lock_guard lock(mutex_);
  return created_;
}

ScratchPool& SharedScratch() {
  static ScratchPool pool(std::thread::hardware_concurrency());
  return pool;
}

namespace {
thread_local Scratch* current = nullptr;  // the set of this thread's ScratchScope, if any
}  // namespace

ScratchScope::ScratchScope() : lease_(SharedScratch().Acquire()), previous_(current) {
  current = &*lease_;
}

ScratchScope::~ScratchScope() {
  current = previous_;
}

StageScratch::StageScratch() : scratch_(current) {
  if (!scratch_) {
    own_.emplace(SharedScratch().Acquire());
    scratch_ = &**own_;
  }
}

}  // namespace engine
