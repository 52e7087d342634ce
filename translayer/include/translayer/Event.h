// An auto-reset flag: every successful wait consumes it. Any number of
// setters and waiters; set() wakes one waiter.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "plat/threadsafety.h"

namespace translayer {

class Event {
 public:
  void set();
  void wait();
  // Waits at most `ms` milliseconds (none when ms <= 0). Returns true when the
  // time ran out without the flag set, false when it was set. The flag is
  // cleared either way.
  bool timedWait(int64_t ms);
  // Clears the flag without waiting.
  void reset();

 private:
  plat::Mutex mutex_;
  plat::CondVar cv_;
  bool flag_ GUARDED_BY(mutex_) = false;
};

}  // namespace translayer
