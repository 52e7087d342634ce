#include "translayer/Event.h"

#include <chrono>

void Event::set() {
  std::lock_guard<std::mutex> lock(mutex_);
  flag_ = true;
  cv_.notify_one();
}

void Event::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return flag_; });
  flag_ = false;
}

bool Event::timedWait(int64_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  bool set = flag_;
  if (!set && ms > 0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    set = cv_.wait_until(lock, deadline, [this] { return flag_; });
  }
  flag_ = false;
  return !set;
}

void Event::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  flag_ = false;
}
