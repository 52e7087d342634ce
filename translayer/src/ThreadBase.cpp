#include "translayer/ThreadBase.h"

#include <system_error>

#include "plat/thread.h"

namespace translayer {

ThreadBase::ThreadBase(std::string name) : name_(std::move(name)) {}

ThreadBase::~ThreadBase() {
  // Joining rather than detaching: a detached body could still run on this
  // (half-destroyed) object.
  join();
}

void ThreadBase::start() {
  {
    plat::LockGuard lock(stateMutex_);
    if (!thread_) {
      {
        plat::LockGuard ended(endedMutex_);
        ended_ = false;
      }
      thread_ = std::make_unique<std::thread>(&ThreadBase::threadEntry, this);
    }
  }
  setThreadName();
}

void ThreadBase::threadEntry() {
  run();
  plat::LockGuard lock(endedMutex_);
  ended_ = true;
}

void ThreadBase::setThreadName() {
  plat::LockGuard lock(stateMutex_);
  if (thread_) plat::setThreadName(thread_->native_handle(), name_);
}

void ThreadBase::join() {
  std::unique_ptr<std::thread> thread;
  {
    plat::LockGuard lock(stateMutex_);
    if (!thread_ || thread_->get_id() == std::this_thread::get_id()) return;
    thread = std::move(thread_);
  }
  // Joined outside the state lock so that the body may still call
  // isRunning() or start() on a sibling without deadlocking on us.
  try {
    if (thread->joinable()) thread->join();
  } catch (const std::system_error&) {
  }
  plat::LockGuard lock(endedMutex_);
  ended_ = true;
}

void ThreadBase::detach() {
  std::unique_ptr<std::thread> thread;
  {
    plat::LockGuard lock(stateMutex_);
    if (!thread_ || thread_->get_id() == std::this_thread::get_id()) return;
    thread = std::move(thread_);
  }
  try {
    if (thread->joinable()) thread->detach();
  } catch (const std::system_error&) {
  }
  plat::LockGuard lock(endedMutex_);
  ended_ = true;
}

bool ThreadBase::isRunning() const {
  plat::LockGuard state(stateMutex_);
  plat::LockGuard ended(endedMutex_);
  return thread_ && !ended_;
}

bool ThreadBase::hasThread() const {
  plat::LockGuard state(stateMutex_);
  return thread_ != nullptr;
}

}  // namespace translayer
