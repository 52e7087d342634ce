#include "clientcommon/RequestChannel.h"

#include <chrono>
#include <cstring>

#include "clientcommon/Channel.h"

using translayer::HwId;
using translayer::kChunkData;
using translayer::TrIfTranClient;
using translayer::TrIfTranPayload;

namespace clientcommon {

RequestChannel::RequestChannel(uint8_t protocolId, const HwId& hwid, size_t replyCapacity)
    : protocolId_(protocolId), hwid_(hwid), join_(replyCapacity) {}

RequestChannel::~RequestChannel() { shutdown(); }

bool RequestChannel::connect() {
  auto client = openConnectedChannel(protocolId_, hwid_, this, kConnectWaitMs);
  if (!client) return false;
  plat::LockGuard lock(requestMutex_);
  client_ = std::move(client);
  return true;
}

void RequestChannel::shutdown() {
  {
    plat::LockGuard lock(stateMutex_);
    closing_ = true;
    broken_ = true;
    join_.stop();
  }
  stateCv_.notify_all();
  std::unique_ptr<TrIfTranClient> client;
  {
    // Waits for a request still running; it has just been woken.
    plat::LockGuard lock(requestMutex_);
    client = std::move(client_);
  }
  closeChannel(std::move(client));
}

bool RequestChannel::send(const uint8_t* request, size_t length, bool awaitReply) {
  if (!client_ || length == 0 || length > kChunkData) return false;
  {
    plat::LockGuard lock(stateMutex_);
    if (broken_) return false;
    join_.arm(awaitReply);
  }
  auto chunk = std::make_shared<TrIfTranPayload>();
  chunk->length = uint16_t(length);
  chunk->last = 1;
  std::memcpy(chunk->data, request, length);
  client_->deliver(std::move(chunk));
  return true;
}

bool RequestChannel::awaitReply(plat::UniqueLock& lock, int waitMs) {
  stateCv_.wait_for(lock, std::chrono::milliseconds(waitMs),
                    [this]() REQUIRES(stateMutex_) { return join_.complete() || broken_; });
  if (join_.complete()) return true;
  // No reply in time, or the channel is gone: the channel is done for, and a
  // reply that still comes is refused, which ends the pipe.
  broken_ = true;
  join_.stop();
  return false;
}

bool RequestChannel::sendWithoutReply(const uint8_t* request, size_t length, int pauseMs) {
  plat::LockGuard requestLock(requestMutex_);
  if (!send(request, length, false)) return false;
  plat::UniqueLock lock(stateMutex_);
  stateCv_.wait_for(lock, std::chrono::milliseconds(pauseMs),
                    [this]() REQUIRES(stateMutex_) { return closing_; });
  return true;
}

bool RequestChannel::deliver(std::shared_ptr<TrIfTranPayload> chunk) {
  bool accepted = false;
  bool wake = true;
  {
    plat::LockGuard lock(stateMutex_);
    accepted = join_.take(chunk.get());
    if (accepted) {
      wake = join_.complete();
    } else {
      broken_ = true;  // unasked for, or more than a reply can hold
    }
  }
  if (wake) stateCv_.notify_all();
  return accepted;
}

void RequestChannel::close(bool) {
  {
    plat::LockGuard lock(stateMutex_);
    broken_ = true;
    join_.stop();
  }
  stateCv_.notify_all();
}

}  // namespace clientcommon
