#include "translayer/Event.h"

#include <chrono>

namespace translayer {

void Event::set() {
  plat::LockGuard lock(mutex_);
  flag_ = true;
  cv_.notify_one();
}

void Event::wait() {
  plat::UniqueLock lock(mutex_);
  cv_.wait(lock, [this]() REQUIRES(mutex_) { return flag_; });
  flag_ = false;
}

bool Event::timedWait(int64_t ms) {
  plat::UniqueLock lock(mutex_);
  bool set = flag_;
  if (!set && ms > 0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    set = cv_.wait_until(lock, deadline, [this]() REQUIRES(mutex_) { return flag_; });
  }
  flag_ = false;
  return !set;
}

void Event::reset() {
  plat::LockGuard lock(mutex_);
  flag_ = false;
}

}  // namespace translayer
