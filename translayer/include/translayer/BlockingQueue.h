// First-in first-out queue of shared items with a blocking pop. push() wakes
// one waiter after releasing the lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "plat/threadsafety.h"

namespace translayer {

template <typename T>
class BlockingQueue {
 public:
  using Item = std::shared_ptr<T>;

  void push(const Item& item) {
    {
      plat::LockGuard lock(mutex_);
      items_.push_front(item);
    }
    cv_.notify_one();
  }

  void pop(Item& out) {
    plat::UniqueLock lock(mutex_);
    cv_.wait(lock, [this]() REQUIRES(mutex_) { return !items_.empty(); });
    out = std::move(items_.back());
    items_.pop_back();
  }

  // Pops when an item is there; never blocks.
  bool tryPop(Item& out) {
    plat::LockGuard lock(mutex_);
    if (items_.empty()) return false;
    out = std::move(items_.back());
    items_.pop_back();
    return true;
  }

  // Waits at most `ms` milliseconds for an item; false when none came.
  bool popFor(Item& out, int64_t ms) {
    plat::UniqueLock lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(ms),
                      [this]() REQUIRES(mutex_) { return !items_.empty(); }))
      return false;
    out = std::move(items_.back());
    items_.pop_back();
    return true;
  }

  size_t size() const {
    plat::LockGuard lock(mutex_);
    return items_.size();
  }

  void clear() {
    std::deque<Item> dropped;
    {
      plat::LockGuard lock(mutex_);
      dropped.swap(items_);
    }
  }

 private:
  mutable plat::Mutex mutex_;
  plat::CondVar cv_;
  std::deque<Item> items_ GUARDED_BY(mutex_);  // newest at the front
};

}  // namespace translayer
