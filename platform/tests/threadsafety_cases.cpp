// Compiled once per case by threadsafety_analysis.cmake: VLN_CASE_OK must pass
// clang's analysis cleanly, every other case must be refused with its message.
#include "plat/threadsafety.h"

class Account {
 public:
  // What the code base does: every form below must pass.
  void deposit(int amount) {
    plat::LockGuard lock(mutex_);
    balance_ += amount;
    changed_.notify_all();
  }
  bool awaitAtLeast(int amount) {
    plat::UniqueLock lock(mutex_);
    changed_.wait(lock, [&]() REQUIRES(mutex_) { return balance_ >= amount; });
    return changed_.wait_for(lock, std::chrono::milliseconds(1),
                             [&]() REQUIRES(mutex_) { return balance_ >= amount; });
  }
  int relock() {
    plat::UniqueLock lock(mutex_);
    lock.unlock();
    lock.lock();
    return helper();
  }
  void inOrder() {
    plat::LockGuard first(mutex_);
    plat::LockGuard second(audit_);
    ++entries_;
  }
  bool tryIt() {
    if (!mutex_.try_lock()) return false;
    ++balance_;
    mutex_.unlock();
    return true;
  }

#if defined(VLN_CASE_UNLOCKED_READ)
  int peek() { return balance_; }
#elif defined(VLN_CASE_UNLOCKED_WRITE)
  void poke() { balance_ = 0; }
#elif defined(VLN_CASE_WRONG_LOCK)
  void poke() {
    plat::LockGuard lock(audit_);
    balance_ = 0;
  }
#elif defined(VLN_CASE_AFTER_UNLOCK)
  void poke() {
    plat::UniqueLock lock(mutex_);
    lock.unlock();
    balance_ = 0;
  }
#elif defined(VLN_CASE_PREDICATE_WITHOUT_REQUIRES)
  void wait() {
    plat::UniqueLock lock(mutex_);
    changed_.wait(lock, [&] { return balance_ > 0; });
  }
#elif defined(VLN_CASE_CALL_WITHOUT_LOCK)
  int poke() { return helper(); }
#elif defined(VLN_CASE_LOCK_ORDER)
  void poke() {
    plat::LockGuard second(audit_);
    plat::LockGuard first(mutex_);
  }
#elif defined(VLN_CASE_DOUBLE_LOCK)
  void poke() {
    plat::LockGuard lock(mutex_);
    mutex_.lock();
  }
#endif

 private:
  int helper() REQUIRES(mutex_) { return balance_; }

  plat::Mutex mutex_;
  plat::Mutex audit_ ACQUIRED_AFTER(mutex_);
  plat::CondVar changed_;
  int balance_ GUARDED_BY(mutex_) = 0;
  int entries_ GUARDED_BY(audit_) = 0;
};

int main() {
  Account a;
  a.deposit(1);
  return a.awaitAtLeast(1) && a.relock() == 1 && a.tryIt() ? 0 : 1;
}
