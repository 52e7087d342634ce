#include "ChannelHandler.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "clientcommon/Assert.h"
#include "clientcommon/Channel.h"
#include "clientcommon/TestPause.h"
#include "translayer/Event.h"
#include "translayer/ThreadBase.h"

using translayer::Event;
using translayer::HwId;
using translayer::ThreadBase;
using translayer::TrIfTranClient;

#ifndef VLN_CH_PROTOCOL
#error "compiled into a registration library only (vln_add_registration_library)"
#endif

namespace chanhandler {

namespace {

constexpr const char* kAssertFile = VLN_CH_ASSERT_FILE;
constexpr const char* kHandlerAssertFile = VLN_CH_HANDLER_ASSERT_FILE;
// At unload, how long a lock held by a thread still running is waited for.
constexpr auto kUnloadLockWait = std::chrono::seconds(1);

// A lock that may be held by a thread that never lets go (the process ends
// inside one of the library's callbacks): tried for a while, not waited for.
plat::UniqueLock lockAtUnload(plat::Mutex& mutex) {
  const auto deadline = std::chrono::steady_clock::now() + kUnloadLockWait;
  plat::UniqueLock lock(mutex, std::try_to_lock);
  while (!lock && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lock.try_lock();
  }
  return lock;
}

}  // namespace

int64_t monotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class ChannelHandler final : public ThreadBase {
 public:
  struct Entry {
    CmdProcBase* proc = nullptr;
    int holds = 0;  // registrations of the id not yet undone
  };

  ChannelHandler() : ThreadBase("ChannelHandler") { start(); }
  ~ChannelHandler() override { stop(); }

  // Ends the thread and waits for it.
  void stop() {
    {
      plat::LockGuard lock(stopMutex_);
      stop_ = true;
    }
    wake.set();
    join();
  }
  bool onOwnThread() const { return ownThread_.load() == std::this_thread::get_id(); }

  plat::Mutex registryMutex;
  // Guarded by registryMutex: live registrations in memcmp order of the ids,
  // and unregistered handles still held by further registrations.
  std::map<HwId, Entry> registry GUARDED_BY(registryMutex);
  std::map<CmdProcBase*, int> dead GUARDED_BY(registryMutex);
  Event wake;

 protected:
  void run() override {
    ownThread_.store(std::this_thread::get_id());
    for (;;) {
      wake.timedWait(kCycleMs);
      {
        plat::LockGuard lock(stopMutex_);
        if (stop_) return;
      }
      plat::LockGuard lock(registryMutex);
      for (auto& entry : registry) entry.second.proc->maintain();
    }
  }

 private:
  plat::Mutex stopMutex_;
  bool stop_ GUARDED_BY(stopMutex_) = false;
  std::atomic<std::thread::id> ownThread_{};
};

// The library's state: one per library, never destroyed (a call may come
// from another thread while the process ends). It lives in the library's
// own static storage, so an unloaded library leaves nothing on the heap.
class Library {
 public:
  static Library& get() {
    alignas(Library) static unsigned char storage[sizeof(Library)];
    static Library* instance = new (storage) Library;
    return *instance;
  }

  plat::Mutex global;
  // Guarded by global:
  std::unique_ptr<ChannelHandler> handler GUARDED_BY(global);
  int32_t count GUARDED_BY(global) = 0;  // registrations not yet undone

  plat::Mutex handles ACQUIRED_AFTER(global);
  plat::CondVar handlesCv;
  // Guarded by handles:
  std::set<CmdProcBase*> known GUARDED_BY(handles);  // not yet freed, live or dead
  bool handlerExists GUARDED_BY(handles) = false;

  // First unregistration, registry lock held: no request may start, every
  // request in flight is woken and waited out, then the channel closes
  // (event 0 with reason 1 on this thread when it was connected).
  void kill(CmdProcBase* proc) {
    {
      plat::LockGuard lock(handles);
      proc->dead_ = true;
    }
    {
      // Under the lock a request holds from its check that the channel is
      // usable until it is noted as waiting: either it sees the break, or
      // it already waits and is woken.
      plat::LockGuard channel(proc->channelMutex_);
      proc->markBroken();
      proc->wakeRequests();
    }
    plat::UniqueLock lock(handles);
    handlesCv.wait(lock, [proc] { return proc->inFlight_ == 0; });
    lock.unlock();
    proc->disconnect(1);
  }

  void free(CmdProcBase* proc) {
    {
      plat::LockGuard lock(handles);
      known.erase(proc);
    }
    delete proc;
  }

  // The library is unloaded (or the process ends): the handler stops and
  // every channel closes; the application hears nothing. Whatever a thread
  // of the library itself still holds (the process ends from inside one of
  // its callbacks) is left as it is.
  // Not checked: the locks are only tried (lockAtUnload) and may not be held.
  void unload() NO_THREAD_SAFETY_ANALYSIS {
    plat::UniqueLock globalLock = lockAtUnload(global);
    if (!globalLock || !handler) return;
    if (handler->onOwnThread()) {
      handler.release();  // never joins itself
      return;
    }
    handler->stop();
    plat::UniqueLock registryLock = lockAtUnload(handler->registryMutex);
    if (!registryLock) {
      handler.release();
      return;
    }
    std::vector<CmdProcBase*> procs;
    for (auto& entry : handler->registry) procs.push_back(entry.second.proc);
    for (auto& entry : handler->dead) procs.push_back(entry.first);
    handler->registry.clear();
    handler->dead.clear();
    for (CmdProcBase* proc : procs) {
      if (proc->abandon()) free(proc);
    }
    registryLock.unlock();
    handler.reset();
    count = 0;
    plat::LockGuard lock(handles);
    handlerExists = false;
  }
};

namespace {

struct Unloader {
  ~Unloader() { Library::get().unload(); }
} unloader;

}  // namespace

CmdProcBase::~CmdProcBase() { clientcommon::closeChannel(std::move(client_)); }

TrIfTranClient* CmdProcBase::usableClient() { return broken() ? nullptr : client_.get(); }

void CmdProcBase::armDeadline(int ms) {
  const int64_t due = monotonicNs() + int64_t(ms) * 1000000;
  if (!armed_ || due > deadline_) deadline_ = due;
  armed_ = true;
}

void CmdProcBase::disarmDeadline() { armed_ = false; }

void CmdProcBase::markBroken() {
  plat::LockGuard lock(stateMutex_);
  broken_ = true;
}

bool CmdProcBase::broken() const {
  plat::LockGuard lock(stateMutex_);
  return broken_;
}

void CmdProcBase::close(bool) { markBroken(); }

bool CmdProcBase::Gate::deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) {
  {
    plat::LockGuard lock(mutex_);
    if (refused_) return false;
    if (!open_) {
      if (held_.size() == kMaxHeld) {
        held_.clear();
        refused_ = true;
        return false;
      }
      held_.push_back(std::move(chunk));
      return true;
    }
  }
  return proc_.deliver(std::move(chunk));
}

void CmdProcBase::Gate::close(bool wait) { proc_.close(wait); }

void CmdProcBase::Gate::hold() {
  plat::LockGuard lock(mutex_);
  held_.clear();
  open_ = false;
  refused_ = false;
}

void CmdProcBase::Gate::open() {
  for (;;) {
    std::shared_ptr<translayer::TrIfTranPayload> chunk;
    {
      // The pipe thread keeps holding until this finds nothing left, so
      // whatever it adds meanwhile still comes in order.
      plat::LockGuard lock(mutex_);
      if (held_.empty() || refused_) {
        held_.clear();
        open_ = true;
        return;
      }
      chunk = std::move(held_.front());
      held_.pop_front();
    }
    if (!proc_.deliver(std::move(chunk))) {
      plat::LockGuard lock(mutex_);
      refused_ = true;
    }
  }
}

void CmdProcBase::maintain() {
  uint64_t reason = 0;
  {
    plat::LockGuard lock(channelMutex_);
    if (!client_) {
      // Connected below, outside the lock.
    } else if (broken()) {
      reason = 2;
    } else if (armed_ && deadline_ < monotonicNs()) {
      reason = 3;
    } else {
      return;
    }
  }
  if (reason)
    disconnect(reason);
  else
    connect();
}

void CmdProcBase::connect() {
  {
    plat::LockGuard lock(channelMutex_);
    {
      plat::LockGuard state(stateMutex_);
      broken_ = false;
    }
    armed_ = false;
    setUpChannel();
  }
  gate_.hold();
  auto client = clientcommon::openConnectedChannel(VLN_CH_PROTOCOL, hwid_, &gate_, kConnectWaitMs);
  clientcommon::testPause(kAssertFile, "connect");
  {
    plat::LockGuard lock(channelMutex_);
    if (!client) {
      // Not reported: the next cycle tries again. The pipe has ended; what
      // it brought goes with it.
      gate_.hold();
      tearDownChannel();
      return;
    }
    client_ = std::move(client);
    armed_ = false;
    notify(1, nullptr, 0);
  }
  // The service takes the channel lock for each chunk.
  gate_.open();
}

void CmdProcBase::disconnect(uint64_t reason) {
  std::unique_ptr<TrIfTranClient> client;
  {
    // Taken out under the lock: a requester inside deliver() has finished.
    plat::LockGuard lock(channelMutex_);
    client = std::move(client_);
    armed_ = false;
  }
  if (!client) return;
  clientcommon::closeChannel(std::move(client));
  gate_.hold();
  {
    plat::LockGuard lock(channelMutex_);
    tearDownChannel();
  }
  notify(0, nullptr, reason);
}

// Not checked: the lock is only tried (lockAtUnload).
bool CmdProcBase::abandon() NO_THREAD_SAFETY_ANALYSIS {
  std::unique_ptr<TrIfTranClient> client;
  {
    plat::UniqueLock lock = lockAtUnload(channelMutex_);
    if (!lock) return false;
    client = std::move(client_);
  }
  if (!client) return true;
  clientcommon::closeChannel(std::move(client));
  gate_.hold();
  plat::UniqueLock lock = lockAtUnload(channelMutex_);
  if (!lock) return false;
  tearDownChannel();
  return true;
}

CmdProcBase* registerDevice(const uint8_t* hwid, size_t hwidsz,
                            const std::function<CmdProcBase*(const HwId&)>& make) {
  VLN_CLIENT_ASSERT(hwid && hwidsz == sizeof(HwId::id), clientcommon::kAssertHwidSize,
                    kHandlerAssertFile);
  HwId id;
  std::memcpy(id.id, hwid, sizeof id.id);
  Library& lib = Library::get();
  plat::LockGuard global(lib.global);
  if (!lib.handler) {
    lib.handler = std::make_unique<ChannelHandler>();
    plat::LockGuard lock(lib.handles);
    lib.handlerExists = true;
  }
  ++lib.count;
  plat::LockGuard registry(lib.handler->registryMutex);
  auto it = lib.handler->registry.find(id);
  if (it != lib.handler->registry.end()) {
    ++it->second.holds;
    return it->second.proc;
  }
  CmdProcBase* proc = make(id);
  lib.handler->registry[id] = {proc, 1};
  {
    plat::LockGuard lock(lib.handles);
    lib.known.insert(proc);
  }
  lib.handler->wake.set();
  return proc;
}

void unregisterDevice(void* handle) {
  Library& lib = Library::get();
  plat::LockGuard global(lib.global);
  VLN_CLIENT_ASSERT(lib.handler, clientcommon::kAssertRegistration, kAssertFile);
  bool undone = false;
  CmdProcBase* toFree = nullptr;
  {
    ChannelHandler& handler = *lib.handler;
    plat::LockGuard registry(handler.registryMutex);
    auto live = handler.registry.begin();
    while (live != handler.registry.end() && live->second.proc != handle) ++live;
    if (live != handler.registry.end()) {
      CmdProcBase* proc = live->second.proc;
      const int holds = live->second.holds - 1;
      handler.registry.erase(live);
      lib.kill(proc);
      if (holds == 0)
        toFree = proc;
      else
        handler.dead[proc] = holds;
      undone = true;
    } else {
      auto dead = handler.dead.find(static_cast<CmdProcBase*>(handle));
      if (dead != handler.dead.end()) {
        if (--dead->second == 0) {
          toFree = dead->first;
          handler.dead.erase(dead);
        }
        undone = true;
      }
    }
  }
  if (toFree) lib.free(toFree);
  if (undone && --lib.count == 0) {
    lib.handler.reset();  // stops and joins the thread
    plat::LockGuard lock(lib.handles);
    lib.handlerExists = false;
  }
}

Use::Use(void* handle) {
  Library& lib = Library::get();
  plat::UniqueLock lock(lib.handles);
  if (!lib.handlerExists) {
    lock.unlock();
    VLN_CLIENT_ASSERT(false, clientcommon::kAssertRegistration, kAssertFile);
  }
  auto it = lib.known.find(static_cast<CmdProcBase*>(handle));
  if (it == lib.known.end() || (*it)->dead_) return;
  proc_ = *it;
  ++proc_->inFlight_;
}

Use::~Use() {
  if (!proc_) return;
  Library& lib = Library::get();
  plat::LockGuard lock(lib.handles);
  if (--proc_->inFlight_ == 0) lib.handlesCv.notify_all();
}

}  // namespace chanhandler
