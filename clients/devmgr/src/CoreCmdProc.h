// One management connection: the channel's client and the request/reply
// exchange on it.
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

#include "translayer/HwId.h"
#include "translayer/TrIfTranClient.h"
#include "translayer/TrIfTranRemote.h"

struct CoreCmdProc final : public TrIfTranRemote {
 public:
  static constexpr size_t kReplyCapacity = 16384;
  static constexpr int kQueryWaitMs = 1000;
  static constexpr int kCommandWaitMs = 2000;
  static constexpr int kResetPauseMs = 500;
  // The pipe thread sets the connect result at once; this only guards
  // against a thread that never ran.
  static constexpr int kConnectWaitMs = 30000;

  enum class SizeRule { kExact, kAtMost };

  explicit CoreCmdProc(const HwId& hwid) : hwid_(hwid) {}
  // Closes the channel (shutdown) if that was not done yet.
  ~CoreCmdProc();
  CoreCmdProc(const CoreCmdProc&) = delete;
  CoreCmdProc& operator=(const CoreCmdProc&) = delete;

  // Binds, opens the channel and waits for its pipe. False when any step
  // failed; the object then holds no client.
  bool connect();
  // Breaks the handle and wakes a waiting request, waits until no request
  // runs any more, then closes and frees the channel. Idempotent.
  void shutdown();

  // A one-byte request and its reply's data copied into `destination`.
  bool query(uint8_t request, void* destination, size_t size, SizeRule rule);
  // Sends `request` and, on the reply with code request[0] + 1, calls
  // `accept` with the reply's data; false on any failure.
  template <typename Accept>
  bool exchange(const uint8_t* request, size_t length, int waitMs, Accept accept);
  // Sends a request that has no reply, then pauses kResetPauseMs.
  bool sendWithoutReply(const uint8_t* request, size_t length);

  // TrIfTranRemote, on the pipe thread.
  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override;
  void close(bool wait) override;

 private:
  // Sends one request as one chunk; requestMutex_ held. False when there is
  // no usable channel.
  bool send(const uint8_t* request, size_t length, bool awaitReply);
  // Waits for the armed reply; requestMutex_ held. True with the reply
  // complete (stateMutex_ then held by `lock`).
  bool awaitReply(std::unique_lock<std::mutex>& lock, int waitMs);

  const HwId hwid_;

  std::mutex requestMutex_;
  std::unique_ptr<TrIfTranClient> client_;  // guarded by requestMutex_

  std::mutex stateMutex_;
  std::condition_variable stateCv_;
  // Guarded by stateMutex_:
  bool armed_ = false;         // a request went out; its reply's first chunk may come
  bool continuation_ = false;  // a reply is being joined
  bool complete_ = false;      // a whole reply is in the buffer
  bool broken_ = false;        // for good: channel lost, reply missing or refused
  bool closing_ = false;       // shutdown began
  uint64_t replyLength_ = 0;
  uint8_t reply_[kReplyCapacity];
};

template <typename Accept>
bool CoreCmdProc::exchange(const uint8_t* request, size_t length, int waitMs, Accept accept) {
  std::lock_guard<std::mutex> requestLock(requestMutex_);
  if (!send(request, length, true)) return false;
  std::unique_lock<std::mutex> lock(stateMutex_);
  if (!awaitReply(lock, waitMs)) return false;
  if (replyLength_ < 1 || reply_[0] != uint8_t(request[0] + 1)) return false;
  return accept(reply_ + 1, size_t(replyLength_ - 1));
}
