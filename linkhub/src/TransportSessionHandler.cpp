#include "linkhub/TransportSessionHandler.h"

#include <cstring>
#include <vector>

#include "linkhub/SessionLayer.h"
#include "linkhub/TransportManager.h"

using translayer::HwId;
using translayer::kChunkData;
using translayer::TrIfTranPayload;
using translayer::TrIfTranRemote;

namespace linkhub {

TransportSessionHandler::TransportSessionHandler(TransportManager* manager, SessionLayer* layer)
    : manager_(manager), layer_(layer) {
  for (int c = 0; c < kSlots; ++c) {
    slots_[c].handler_ = this;
    slots_[c].channel_ = uint8_t(c);
  }
}

TransportSessionHandler::~TransportSessionHandler() {
  plat::UniqueLock lock(slotMutex_);
  for (auto& slot : slots_)
    if (frontEndOf(slot)) frontEndOf(slot)->close(false);
  // Each front end lets go from its own thread once its loop has ended
  // (within the engine's drain time), or from OpenChannel when it never got
  // to run.
  slotReleased_.wait(lock, [this]() REQUIRES(slotMutex_) {
    for (const auto& slot : slots_)
      if (frontEndOf(slot)) return false;
    return true;
  });
}

void TransportSessionHandler::onDeviceIdentified(const HwId* id) {
  if (manager_) {
    manager_->noteIdentified(this, *id);
    return;
  }
  hwid_ = *id;
  connected_ = true;
}

void TransportSessionHandler::onData(uint8_t channel, const uint8_t* data, uint16_t length,
                                     bool last) {
  if (channel >= kSlots) return;
  plat::LockGuard lock(slotMutex_);
  TrIfTranRemote* frontEnd = frontEndOf(slots_[channel]);
  if (!frontEnd) return;  // nobody holds the channel: dropped
  if (length > kChunkData) {
    // More than a chunk holds: the message cannot reach the client whole,
    // so its channel ends rather than going on with a gap.
    frontEnd->close(false);
    return;
  }
  auto chunk = std::make_shared<TrIfTranPayload>();
  chunk->length = length;
  chunk->last = last ? 1 : 0;
  if (length) std::memcpy(chunk->data, data, length);
  frontEnd->deliver(std::move(chunk));
}

void TransportSessionHandler::onChannelClosed(uint8_t channel) {
  if (channel >= kSlots) return;
  plat::LockGuard lock(slotMutex_);
  ++closeReports_[channel];
  // The slot stays held until the front end reports back through close().
  if (TrIfTranRemote* frontEnd = frontEndOf(slots_[channel])) frontEnd->close(false);
}

bool TransportSessionHandler::canTakeData(uint8_t channel) {
  if (channel >= kSlots) return true;
  plat::LockGuard lock(slotMutex_);
  TrIfTranRemote* frontEnd = frontEndOf(slots_[channel]);
  return !frontEnd || frontEnd->hasRoom();  // without a front end it is dropped
}

TrIfTranRemote* TransportSessionHandler::attach(TrIfTranRemote* frontEnd, uint8_t protocolId) {
  uint32_t reportsBefore[kSlots];
  {
    plat::LockGuard lock(slotMutex_);
    std::memcpy(reportsBefore, closeReports_, sizeof reportsBefore);
  }
  // Channels that the link gave but that cannot be used: held open (still
  // pending, so the device never hears of them) while searching on, so that
  // the link offers the next one, and freed again at the end.
  std::vector<uint8_t> passedOver;
  TransportTrIfToSession* taken = nullptr;
  uint8_t channel = 0;
  while (!taken && layer_->openChannel(protocolId, &channel)) {
    if (channel >= kSlots) {
      passedOver.push_back(channel);
      continue;
    }
    plat::LockGuard lock(slotMutex_);
    TransportTrIfToSession& slot = slots_[channel];
    // A held slot: its old front end has yet to close. A new close report:
    // a link reset freed the channel again right after it was given.
    if (frontEndOf(slot) || closeReports_[channel] != reportsBefore[channel]) {
      passedOver.push_back(channel);
      continue;
    }
    frontEndOf(slot) = frontEnd;
    taken = &slot;
  }
  for (uint8_t c : passedOver) layer_->closeChannel(c);
  return taken;
}

bool TransportSessionHandler::slotAttached(uint8_t channel) const {
  if (channel >= kSlots) return false;
  plat::LockGuard lock(slotMutex_);
  return frontEndOf(slots_[channel]) != nullptr;
}

int TransportSessionHandler::attachedCount() const {
  plat::LockGuard lock(slotMutex_);
  int n = 0;
  for (const auto& slot : slots_) n += frontEndOf(slot) ? 1 : 0;
  return n;
}

bool TransportSessionHandler::TransportTrIfToSession::deliver(
    std::shared_ptr<TrIfTranPayload> chunk) {
  if (!chunk || chunk->length > kChunkData) return false;
  return handler_->layer_->send(channel_, chunk->data, chunk->length, chunk->last != 0);
}

void TransportSessionHandler::TransportTrIfToSession::roomAgain() {
  handler_->layer_->resumeReceive();
}

void TransportSessionHandler::TransportTrIfToSession::close(bool) {
  {
    plat::LockGuard lock(handler_->slotMutex_);
    if (!frontEnd_) return;
  }
  // While the slot is still held the link cannot give this channel to anyone
  // else, so this closes nobody's channel but our own.
  handler_->layer_->closeChannel(channel_);
  // Notified under the lock: the handler's destructor may return as soon as
  // it sees the slot free.
  plat::LockGuard lock(handler_->slotMutex_);
  frontEnd_ = nullptr;
  handler_->slotReleased_.notify_all();
}

}  // namespace linkhub
