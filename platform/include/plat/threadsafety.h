// A mutex, its scoped locks and a condition variable that clang's
// -Wthread-safety checks against the GUARDED_BY / REQUIRES annotations on the
// data and the functions they protect. Other compilers see plain std types and
// no attributes. Plain C++, no OS calls: every layer may include it.
//
// A wait predicate reads guarded data from inside a lambda, which the analysis
// sees as a function of its own: give it REQUIRES(mutex), e.g.
//   cv_.wait(lock, [this]() REQUIRES(mutex_) { return ready_; });
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define VLN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VLN_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VLN_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VLN_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VLN_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VLN_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) VLN_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VLN_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) VLN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VLN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) VLN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VLN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VLN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) VLN_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) VLN_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VLN_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace plat {

class CondVar;
class UniqueLock;

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class UniqueLock;
  std::mutex mutex_;
};

// std::lock_guard for Mutex.
class SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~LockGuard() RELEASE() { mutex_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Mutex& mutex_;
};

// std::unique_lock for Mutex: may be unlocked and locked again in its scope,
// and is what CondVar waits with.
class SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  UniqueLock(Mutex& mutex, std::try_to_lock_t) TRY_ACQUIRE(true, mutex)
      : lock_(mutex.mutex_, std::try_to_lock) {}
  ~UniqueLock() RELEASE() {}
  // The analysis does not follow a moved lock: code that returns one is not
  // checked (NO_THREAD_SAFETY_ANALYSIS) and says why.
  UniqueLock(UniqueLock&&) = default;
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void lock() ACQUIRE() { lock_.lock(); }
  void unlock() RELEASE() { lock_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return lock_.try_lock(); }
  bool owns_lock() const { return lock_.owns_lock(); }
  explicit operator bool() const { return lock_.owns_lock(); }

 private:
  friend class CondVar;
  std::unique_lock<std::mutex> lock_;
};

// std::condition_variable waiting with a UniqueLock. The predicate runs with
// the lock held; the analysis cannot see that through the template, so the
// caller's lambda says it with REQUIRES.
class CondVar {
 public:
  void notify_one() noexcept { cv_.notify_one(); }
  void notify_all() noexcept { cv_.notify_all(); }

  void wait(UniqueLock& lock) { cv_.wait(lock.lock_); }
  template <class Predicate>
  void wait(UniqueLock& lock, Predicate pred) NO_THREAD_SAFETY_ANALYSIS {
    cv_.wait(lock.lock_, pred);
  }
  template <class Rep, class Period>
  std::cv_status wait_for(UniqueLock& lock, const std::chrono::duration<Rep, Period>& d) {
    return cv_.wait_for(lock.lock_, d);
  }
  template <class Rep, class Period, class Predicate>
  bool wait_for(UniqueLock& lock, const std::chrono::duration<Rep, Period>& d,
                Predicate pred) NO_THREAD_SAFETY_ANALYSIS {
    return cv_.wait_for(lock.lock_, d, pred);
  }
  template <class Clock, class Duration>
  std::cv_status wait_until(UniqueLock& lock, const std::chrono::time_point<Clock, Duration>& t) {
    return cv_.wait_until(lock.lock_, t);
  }
  template <class Clock, class Duration, class Predicate>
  bool wait_until(UniqueLock& lock, const std::chrono::time_point<Clock, Duration>& t,
                  Predicate pred) NO_THREAD_SAFETY_ANALYSIS {
    return cv_.wait_until(lock.lock_, t, pred);
  }

 private:
  std::condition_variable cv_;
};

}  // namespace plat
