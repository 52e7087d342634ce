// A named worker thread whose body is the virtual run().
//
// Stopping the body is the deriving class's business: a class whose run() may
// still be executing when it is destroyed must tell its body to stop and call
// join() in its own destructor, because by the time ~ThreadBase runs the
// derived part is already gone. As a safety net ~ThreadBase joins (never
// detaches) when it is not called on the worker thread itself.
//
// Lock order: stateMutex_ before endedMutex_; this is the only order in which
// both are held.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "plat/threadsafety.h"

namespace translayer {

class ThreadBase {
 public:
  explicit ThreadBase(std::string name);
  virtual ~ThreadBase();
  ThreadBase(const ThreadBase&) = delete;
  ThreadBase& operator=(const ThreadBase&) = delete;

  // Starts the thread unless a thread object exists (running, or returned but
  // not yet joined); in both cases the thread is (re)named.
  void start();
  // Waits for the body and drops the thread object. No-op on the worker thread
  // itself or when there is no thread.
  void join();
  // As join(), but lets the thread run on unobserved.
  void detach();
  // True while a thread object exists and its body has not returned.
  bool isRunning() const;
  // True while a thread object exists, running or returned but not joined.
  bool hasThread() const;
  const std::string& threadName() const { return name_; }

 protected:
  virtual void run() = 0;

 private:
  void threadEntry();
  void setThreadName();

  mutable plat::Mutex stateMutex_;
  std::unique_ptr<std::thread> thread_ GUARDED_BY(stateMutex_);
  mutable plat::Mutex endedMutex_ ACQUIRED_AFTER(stateMutex_);
  bool ended_ GUARDED_BY(endedMutex_) = false;
  const std::string name_;
};

}  // namespace translayer
