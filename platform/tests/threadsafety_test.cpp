// The annotated lock types behave as the std types they wrap: a wait gives
// the lock up and has it again when it returns, a timed wait gives up after
// its time, an unlocked UniqueLock lets others in, a tried lock fails while
// another thread holds the mutex.
#include "plat/threadsafety.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Box {
  plat::Mutex mutex;
  plat::CondVar changed;
  int value GUARDED_BY(mutex) = 0;
};

// True when another thread cannot take `mutex` now.
bool heldElsewhere(plat::Mutex& mutex) {
  bool taken = false;
  std::thread([&] {
    plat::UniqueLock probe(mutex, std::try_to_lock);
    taken = probe.owns_lock();
  }).join();
  return !taken;
}

TEST(ThreadSafetyTest, WaitReleasesTheLockAndHoldsItAgainOnReturn) {
  Box box;
  std::atomic<bool> waiting{false};
  std::atomic<bool> heldAfterWait{false};
  std::thread waiter([&] {
    plat::UniqueLock lock(box.mutex);
    waiting = true;
    box.changed.wait(lock, [&]() REQUIRES(box.mutex) { return box.value == 1; });
    heldAfterWait = heldElsewhere(box.mutex);
    box.value = 2;
  });
  while (!waiting) std::this_thread::yield();
  {
    // Only possible while the waiter sleeps in wait() with the lock given up.
    plat::LockGuard lock(box.mutex);
    box.value = 1;
  }
  box.changed.notify_all();
  waiter.join();
  EXPECT_TRUE(heldAfterWait);
  plat::LockGuard lock(box.mutex);
  EXPECT_EQ(2, box.value);
}

TEST(ThreadSafetyTest, TimedWaitsGiveUpAfterTheirTimeAndHoldTheLock) {
  Box box;
  struct Case {
    const char* name;
    int value;      // the predicate holds when value == 1
    bool expected;  // what the wait returns
  };
  const Case cases[] = {{"predicate false", 0, false}, {"predicate already true", 1, true}};
  for (const Case& c : cases) {
    for (bool until : {false, true}) {
      plat::UniqueLock lock(box.mutex);
      box.value = c.value;
      const auto start = Clock::now();
      const auto pred = [&]() REQUIRES(box.mutex) { return box.value == 1; };
      const bool got = until ? box.changed.wait_until(lock, start + 50ms, pred)
                             : box.changed.wait_for(lock, 50ms, pred);
      const auto waited = Clock::now() - start;
      EXPECT_EQ(c.expected, got) << c.name << (until ? " (until)" : " (for)");
      if (!c.expected) {
        EXPECT_GE(waited, 50ms) << c.name;
      }
      EXPECT_TRUE(heldElsewhere(box.mutex)) << c.name;
    }
  }
}

TEST(ThreadSafetyTest, UniqueLockUnlockLetsOthersInAndLockTakesItBack) {
  Box box;
  plat::UniqueLock lock(box.mutex);
  EXPECT_TRUE(lock.owns_lock());
  EXPECT_TRUE(heldElsewhere(box.mutex));
  lock.unlock();
  EXPECT_FALSE(lock.owns_lock());
  EXPECT_FALSE(heldElsewhere(box.mutex));
  lock.lock();
  EXPECT_TRUE(lock.owns_lock());
  EXPECT_TRUE(heldElsewhere(box.mutex));
}

TEST(ThreadSafetyTest, MutexIsReleasedWhenItsGuardGoes) {
  Box box;
  {
    plat::LockGuard lock(box.mutex);
    EXPECT_TRUE(heldElsewhere(box.mutex));
  }
  EXPECT_FALSE(heldElsewhere(box.mutex));
  if (!box.mutex.try_lock()) {
    ADD_FAILURE() << "a free mutex could not be tried";
    return;
  }
  EXPECT_TRUE(heldElsewhere(box.mutex));
  box.mutex.unlock();
}

}  // namespace
