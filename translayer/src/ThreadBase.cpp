#include "translayer/ThreadBase.h"

#include <system_error>

#include "plat/thread.h"

ThreadBase::ThreadBase(std::string name) : name_(std::move(name)) {}

ThreadBase::~ThreadBase() {
  // Joining rather than detaching: a detached body could still run on this
  // (half-destroyed) object.
  join();
}

void ThreadBase::start() {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!thread_) {
      {
        std::lock_guard<std::mutex> ended(endedMutex_);
        ended_ = false;
      }
      thread_ = std::make_unique<std::thread>(&ThreadBase::threadEntry, this);
    }
  }
  setThreadName();
}

void ThreadBase::threadEntry() {
  run();
  std::lock_guard<std::mutex> lock(endedMutex_);
  ended_ = true;
}

void ThreadBase::setThreadName() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  if (thread_) plat::setThreadName(thread_->native_handle(), name_);
}

void ThreadBase::join() {
  std::unique_ptr<std::thread> thread;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!thread_ || thread_->get_id() == std::this_thread::get_id()) return;
    thread = std::move(thread_);
  }
  // Joined outside the state lock so that the body may still call
  // isRunning() or start() on a sibling without deadlocking on us.
  try {
    if (thread->joinable()) thread->join();
  } catch (const std::system_error&) {
  }
  std::lock_guard<std::mutex> lock(endedMutex_);
  ended_ = true;
}

void ThreadBase::detach() {
  std::unique_ptr<std::thread> thread;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!thread_ || thread_->get_id() == std::this_thread::get_id()) return;
    thread = std::move(thread_);
  }
  try {
    if (thread->joinable()) thread->detach();
  } catch (const std::system_error&) {
  }
  std::lock_guard<std::mutex> lock(endedMutex_);
  ended_ = true;
}

bool ThreadBase::isRunning() const {
  std::lock_guard<std::mutex> state(stateMutex_);
  std::lock_guard<std::mutex> ended(endedMutex_);
  return thread_ && !ended_;
}

bool ThreadBase::hasThread() const {
  std::lock_guard<std::mutex> state(stateMutex_);
  return thread_ != nullptr;
}
