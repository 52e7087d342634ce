// The channel handler of a registration library: it keeps a channel to each
// registered device open while the device is registered, reconnects it when
// it breaks or a reply is overdue, and reports connects and disconnects to
// the application (events 0 and 1). This source is compiled into each such
// library (VLN_CH_PROTOCOL, VLN_CH_ASSERT_FILE, VLN_CH_HANDLER_ASSERT_FILE),
// so each library has its own handler, registry, count and thread.
//
// Threads: registerDevice, unregisterDevice and the service requests run on
// the application's threads; the handler thread ("ChannelHandler") connects,
// supervises and disconnects once a second (sooner after a registration) and
// reports events 0 (reasons 2, 3) and 1; event 0 with reason 1 comes on the
// thread that unregisters. Service events come on the channel's pipe thread;
// what the device sent before the channel's event 1 was delivered is held
// and handed to the service on the handler thread right after event 1, in
// order, so no service event comes before event 1.
//
// Locks, in this order: the library's global lock (registration and
// unregistration, whole), the handler's registry lock (every maintenance
// cycle, every unregistration), a handle's channel lock (requests, reply
// dispatch, connect and disconnect bookkeeping), its state lock (the broken
// flag). The handle lock (which handles exist, which are dead, requests in
// flight) and a handle's gate lock (chunks held while the channel opens) are
// leaves. Channels are opened and closed with no channel lock
// held, so a pipe thread inside the dispatcher never waits for its own end.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "plat/threadsafety.h"
#include "translayer/HwId.h"
#include "translayer/TrIfTranClient.h"
#include "translayer/TrIfTranRemote.h"

namespace chanhandler {

class ChannelHandler;

// The common part of a library's command processor (its handle). The
// service derives from it: deliver() is its reply dispatcher.
class CmdProcBase : public translayer::TrIfTranRemote {
 public:
  explicit CmdProcBase(const translayer::HwId& hwid) : hwid_(hwid) {}
  virtual ~CmdProcBase();
  CmdProcBase(const CmdProcBase&) = delete;
  CmdProcBase& operator=(const CmdProcBase&) = delete;

  const translayer::HwId& hwid() const { return hwid_; }

  // The channel lock; requests and the dispatcher hold it.
  plat::Mutex& channelMutex() RETURN_CAPABILITY(channelMutex_) { return channelMutex_; }
  // Channel lock held: the client to send on, or null while disconnected or
  // broken.
  translayer::TrIfTranClient* usableClient() REQUIRES(channelMutex_);
  // Channel lock held. Armed: the deadline moves to now + ms when that is
  // later; not armed: it is now + ms.
  void armDeadline(int ms) REQUIRES(channelMutex_);
  void disarmDeadline() REQUIRES(channelMutex_);
  // The channel is unusable until the next maintenance step reconnects it.
  void markBroken();
  bool broken() const;

  // TrIfTranRemote: the pipe thread's end.
  void close(bool wait) override;

 protected:
  // Channel lock held, on the handler thread: before a channel opens
  // (setUp) and after it has ended and its pipe thread is gone (tearDown).
  virtual void setUpChannel() REQUIRES(channelMutex_) {}
  virtual void tearDownChannel() REQUIRES(channelMutex_) {}
  // The handle is being unregistered and is broken already: wake requests
  // waiting for a reply. Channel lock held, so no request is between its
  // usability check and its note that it waits.
  virtual void wakeRequests() REQUIRES(channelMutex_) {}
  // The application's callback (none: nothing).
  virtual void notify(uint64_t event, const void* data, uint64_t length) = 0;

 private:
  friend class ChannelHandler;
  friend class Library;
  friend class Use;

  // Handler thread, registry lock held.
  void maintain();
  void connect();
  // Registry lock held, no channel lock. Nothing happens when the handle
  // holds no channel.
  void disconnect(uint64_t reason) EXCLUDES(channelMutex_);
  // At unload: closes the channel without a word to the application. False
  // when the channel lock could not be had (a callback of this handle is
  // running the process's end): the handle must then be left alone.
  bool abandon();

  // The receiver the channel is opened with: until open() what arrives is
  // held, then handed on in order; afterwards chunks pass straight through.
  class Gate final : public translayer::TrIfTranRemote {
   public:
    explicit Gate(CmdProcBase& proc) : proc_(proc) {}
    bool deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) override;
    void close(bool wait) override;
    // Holds from now on; what was held is dropped.
    void hold();
    // Hands what was held to the service (no lock held), then lets chunks
    // through.
    void open();

   private:
    // Before event 1 the device has not been asked anything: more than this
    // is a device out of order.
    static constexpr size_t kMaxHeld = 256;
    CmdProcBase& proc_;
    plat::Mutex mutex_;
    std::deque<std::shared_ptr<translayer::TrIfTranPayload>> held_ GUARDED_BY(mutex_);
    bool open_ GUARDED_BY(mutex_) = false;
    // The service refused a held chunk: the pipe is ended at its next one.
    bool refused_ GUARDED_BY(mutex_) = false;
  };

  const translayer::HwId hwid_;
  Gate gate_{*this};
  mutable plat::Mutex stateMutex_ ACQUIRED_AFTER(channelMutex_);
  bool broken_ GUARDED_BY(stateMutex_) = false;
  plat::Mutex channelMutex_;
  // Guarded by channelMutex_:
  std::unique_ptr<translayer::TrIfTranClient> client_ GUARDED_BY(channelMutex_);
  int64_t deadline_ GUARDED_BY(channelMutex_) = 0;
  bool armed_ GUARDED_BY(channelMutex_) = false;
  // Guarded by the library's handle lock:
  int inFlight_ = 0;
  bool dead_ = false;
};

// Registers hwid (hwidsz must be 16: the library's handler assertion);
// `make` creates the handle for an id not registered yet. The same id again
// gives the same handle; the first callback stays.
CmdProcBase* registerDevice(const uint8_t* hwid, size_t hwidsz,
                            const std::function<CmdProcBase*(const translayer::HwId&)>& make);
// Undoes one registration of `handle`: the first disconnects (event 0
// reason 1 on this thread when connected), unlists and kills the handle,
// waiting out requests in flight; it is freed once every registration of it
// is undone. A pointer that is not registered changes nothing. Asserts "ch"
// when the library has no handler.
void unregisterDevice(void* handle);

// A request's hold on a handle: asserts "ch" when the library has no
// handler; empty (false) when the handle is not a live registration, else
// the handle cannot be freed until the Use ends.
class Use {
 public:
  explicit Use(void* handle);
  ~Use();
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  explicit operator bool() const { return proc_ != nullptr; }
  CmdProcBase* get() const { return proc_; }

 private:
  CmdProcBase* proc_ = nullptr;
};

// Nanoseconds on the monotonic clock of the deadlines.
int64_t monotonicNs();

inline constexpr int kConnectWaitMs = 1000;
inline constexpr int kCycleMs = 1000;

}  // namespace chanhandler
