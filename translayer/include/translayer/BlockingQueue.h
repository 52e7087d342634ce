// First-in first-out queue of shared items with a blocking pop. push() wakes
// one waiter after releasing the lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

template <typename T>
class BlockingQueue {
 public:
  using Item = std::shared_ptr<T>;

  void push(const Item& item) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      items_.push_front(item);
    }
    cv_.notify_one();
  }

  void pop(Item& out) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return !items_.empty(); });
    out = std::move(items_.back());
    items_.pop_back();
  }

  // Pops when an item is there; never blocks.
  bool tryPop(Item& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.empty()) return false;
    out = std::move(items_.back());
    items_.pop_back();
    return true;
  }

  // Waits at most `ms` milliseconds for an item; false when none came.
  bool popFor(Item& out, int64_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !items_.empty(); }))
      return false;
    out = std::move(items_.back());
    items_.pop_back();
    return true;
  }

  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
  }

  void clear() {
    std::deque<Item> dropped;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      dropped.swap(items_);
    }
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Item> items_;  // guarded by mutex_; newest at the front
};
