#include "CoreCmdProc.h"

#include <chrono>
#include <cstring>

CoreCmdProc::~CoreCmdProc() { shutdown(); }

bool CoreCmdProc::connect() {
  auto client = std::make_unique<TrIfTranClient>(kProtocolCore);
  if (client->bind() != 0) return false;
  if (client->openChannel(hwid_, this) != 0) {
    client->unbind();
    return false;
  }
  // The server has named the pipe; the handle is only worth having once the
  // pipe thread has opened it.
  if (client->connectResult.timedWait(kConnectWaitMs) || client->notConnected.load() != 0) {
    client->TrIfTranCommon::close(true);
    client->unbind();
    return false;  // the client's destructor joins its thread
  }
  std::lock_guard<std::mutex> lock(requestMutex_);
  client_ = std::move(client);
  return true;
}

void CoreCmdProc::shutdown() {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    closing_ = true;
    broken_ = true;
    armed_ = false;
  }
  stateCv_.notify_all();
  std::unique_ptr<TrIfTranClient> client;
  {
    // Waits for a request still running; it has just been woken.
    std::lock_guard<std::mutex> lock(requestMutex_);
    client = std::move(client_);
  }
  if (!client) return;
  client->TrIfTranCommon::close(true);
  client->unbind();
  client.reset();
}

bool CoreCmdProc::send(const uint8_t* request, size_t length, bool awaitReply) {
  if (!client_ || length == 0 || length > kChunkData) return false;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (broken_) return false;
    replyLength_ = 0;
    complete_ = false;
    continuation_ = false;
    armed_ = awaitReply;
  }
  auto chunk = std::make_shared<TrIfTranPayload>();
  chunk->length = uint16_t(length);
  chunk->last = 1;
  std::memcpy(chunk->data, request, length);
  client_->deliver(std::move(chunk));
  return true;
}

bool CoreCmdProc::awaitReply(std::unique_lock<std::mutex>& lock, int waitMs) {
  stateCv_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return complete_ || broken_; });
  if (complete_) return true;
  // No reply in time, or the channel is gone: the handle is done for, and a
  // reply that still comes is refused, which ends the pipe.
  broken_ = true;
  armed_ = false;
  continuation_ = false;
  return false;
}

bool CoreCmdProc::query(uint8_t request, void* destination, size_t size, SizeRule rule) {
  if (!destination) return false;
  return exchange(&request, 1, kQueryWaitMs, [&](const uint8_t* data, size_t length) {
    if (rule == SizeRule::kExact ? length != size : length > size) return false;
    std::memcpy(destination, data, length);
    return true;
  });
}

bool CoreCmdProc::sendWithoutReply(const uint8_t* request, size_t length) {
  std::lock_guard<std::mutex> requestLock(requestMutex_);
  if (!send(request, length, false)) return false;
  // Gives the device time to take the request before the caller closes the
  // channel; a shutdown cuts the pause short.
  std::unique_lock<std::mutex> lock(stateMutex_);
  stateCv_.wait_for(lock, std::chrono::milliseconds(kResetPauseMs), [this] { return closing_; });
  return true;
}

bool CoreCmdProc::deliver(std::shared_ptr<TrIfTranPayload> chunk) {
  bool accepted = false;
  bool wake = true;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    const bool expected = continuation_ || armed_;
    armed_ = false;
    if (expected && chunk && chunk->length <= kChunkData &&
        replyLength_ + chunk->length <= kReplyCapacity) {
      std::memcpy(reply_ + replyLength_, chunk->data, chunk->length);
      replyLength_ += chunk->length;
      continuation_ = chunk->last == 0;
      complete_ = chunk->last != 0;
      accepted = true;
      wake = complete_;
    } else {
      // Unasked for, or more than a reply can hold.
      broken_ = true;
      continuation_ = false;
    }
  }
  if (wake) stateCv_.notify_all();
  return accepted;
}

void CoreCmdProc::close(bool) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    broken_ = true;
    armed_ = false;
    continuation_ = false;
  }
  stateCv_.notify_all();
}
