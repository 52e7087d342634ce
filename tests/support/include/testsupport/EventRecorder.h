// Records every callback of a client library in the test process, with the
// thread it came on and when, and lets a test wait for the events it expects.
// A service's recorder derives from it and decodes its own events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plat/thread.h"

namespace testsupport {

using Clock = std::chrono::steady_clock;
// Generous: nothing here depends on the machine's speed.
constexpr int kWaitMs = 20000;

template <typename Handle>
struct EventStamp {
  Handle handle = nullptr;
  uint64_t event = 0;
  uint64_t length = 0;
  std::thread::id thread;
  std::string threadName;
  Clock::time_point at;
};

template <typename Handle, typename Record>
class EventRecorder {
 public:
  // A record stamped with the callback's arguments, thread and time.
  static Record stamped(Handle handle, uint64_t event, uint64_t length) {
    Record r;
    r.handle = handle;
    r.event = event;
    r.length = length;
    r.thread = std::this_thread::get_id();
    r.threadName = plat::currentThreadName();
    r.at = Clock::now();
    return r;
  }

  void add(Record r) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(std::move(r));
    cv_.notify_all();
  }

  // Index of the first record at or after `from` for `handle` with `event`
  // that `also` accepts, or -1 when none came within `ms`.
  int waitFor(Handle handle, uint64_t event, size_t from, int ms = kWaitMs,
              const std::function<bool(const Record&)>& also = {}) {
    std::unique_lock<std::mutex> lock(mutex_);
    int found = -1;
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (size_t i = from; i < records_.size(); ++i) {
        const Record& r = records_[i];
        if (r.handle == handle && r.event == event && (!also || also(r))) {
          found = int(i);
          return true;
        }
      }
      return false;
    });
    return found;
  }
  // Waits until `count` records of `event` for `handle` came from `from` on.
  bool waitCount(Handle handle, uint64_t event, size_t from, size_t count, int ms = kWaitMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      size_t n = 0;
      for (size_t i = from; i < records_.size(); ++i)
        if (records_[i].handle == handle && records_[i].event == event) ++n;
      return n >= count;
    });
  }
  Record at(int i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.at(size_t(i));
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
  }
  // The records of `handle` from `from` on.
  std::vector<Record> since(Handle handle, size_t from) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Record> out;
    for (size_t i = from; i < records_.size(); ++i)
      if (records_[i].handle == handle) out.push_back(records_[i]);
    return out;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Record> records_;
};

// Threads of a registration library (its handler and its channels' pipe
// threads).
inline size_t libraryThreads() {
  size_t n = 0;
  for (const std::string& name : plat::processThreadNames())
    if (name == "ChannelHandler" || name == "TrIfTranClient") ++n;
  return n;
}

// Waits until `done` holds; false when it did not within kWaitMs.
template <typename Done>
bool eventually(Done done) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// True once no library thread is left: a joined thread can stay listed for a
// moment while the kernel finishes its exit, so a count of zero is waited for
// (a thread that was not joined stays and fails it).
inline bool noLibraryThreadsLeft() {
  return eventually([] { return libraryThreads() == 0; });
}

inline long msBetween(Clock::time_point a, Clock::time_point b) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

}  // namespace testsupport
