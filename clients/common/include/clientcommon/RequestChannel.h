// One request/reply channel of a client library whose requests run on the
// caller's thread and wait for their reply: the channel's client, the
// joining of the reply's chunks, and the broken flag that lasts for the life
// of the channel (a handle is never reconnected: disconnect and connect anew).
//
// Threads: connect, the requests and shutdown run on callers' threads;
// deliver and close (TrIfTranRemote) on the channel's pipe thread.
// Locks, in this order: requestMutex_ (serialises requests and guards the
// client pointer; held across a request's wait), then stateMutex_ (the reply
// state; a leaf, the only lock the pipe thread takes). The pipe thread never
// waits for a requester, so a lost channel wakes a waiting request at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "clientcommon/ReplyJoin.h"
#include "plat/threadsafety.h"
#include "translayer/HwId.h"
#include "translayer/TrIfTranClient.h"
#include "translayer/TrIfTranRemote.h"

namespace clientcommon {

class RequestChannel : public translayer::TrIfTranRemote {
 public:
  // The pipe thread sets the connect result at once; this only guards
  // against a thread that never ran.
  static constexpr int kConnectWaitMs = 30000;

  // `replyCapacity`: the longest reply taken; a longer one breaks the channel.
  RequestChannel(uint8_t protocolId, const translayer::HwId& hwid, size_t replyCapacity);
  // Closes the channel (shutdown) if that was not done yet.
  virtual ~RequestChannel();
  RequestChannel(const RequestChannel&) = delete;
  RequestChannel& operator=(const RequestChannel&) = delete;

  // Binds, opens the channel and waits for its pipe. False when any step
  // failed; the object then holds no client.
  bool connect();
  // Breaks the channel and wakes a waiting request, waits until no request
  // runs any more, then closes and frees the channel. Idempotent.
  void shutdown();

  // Sends `request` (one chunk) and waits at most waitMs for the reply with
  // code request[0] + 1; then calls `accept` with the reply's data and
  // returns its result. False on any failure; a missing reply breaks the
  // channel for good.
  template <typename Accept>
  bool exchange(const uint8_t* request, size_t length, int waitMs, Accept accept);
  // Sends a request that has no reply, then pauses pauseMs (cut short by a
  // shutdown) so that the device takes it before the caller closes.
  bool sendWithoutReply(const uint8_t* request, size_t length, int pauseMs);

  const translayer::HwId& hwid() const { return hwid_; }

  // TrIfTranRemote, on the pipe thread.
  bool deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) override;
  void close(bool wait) override;

 private:
  // Sends one request as one chunk; requestMutex_ held. False when there is
  // no usable channel.
  bool send(const uint8_t* request, size_t length, bool awaitReply) REQUIRES(requestMutex_);
  // Waits for the armed reply; requestMutex_ held. True with the reply
  // complete (stateMutex_ then held by `lock`).
  bool awaitReply(plat::UniqueLock& lock, int waitMs) REQUIRES(requestMutex_, stateMutex_);

  const uint8_t protocolId_;
  const translayer::HwId hwid_;

  plat::Mutex requestMutex_;
  std::unique_ptr<translayer::TrIfTranClient> client_ GUARDED_BY(requestMutex_);

  plat::Mutex stateMutex_ ACQUIRED_AFTER(requestMutex_);
  plat::CondVar stateCv_;
  // Guarded by stateMutex_:
  ReplyJoin join_ GUARDED_BY(stateMutex_);
  bool broken_ GUARDED_BY(stateMutex_) = false;  // for good: channel lost, reply missing or refused
  bool closing_ GUARDED_BY(stateMutex_) = false;  // shutdown began
};

template <typename Accept>
bool RequestChannel::exchange(const uint8_t* request, size_t length, int waitMs, Accept accept) {
  plat::LockGuard requestLock(requestMutex_);
  if (!send(request, length, true)) return false;
  plat::UniqueLock lock(stateMutex_);
  if (!awaitReply(lock, waitMs)) return false;
  if (!join_.answers(request[0])) return false;
  return accept(join_.data(), join_.dataLength());
}

}  // namespace clientcommon
