// The bridge between one device link (a SessionLayer) and the pipe front ends
// of its open channels: 16 channel slots, slot i serving link channel i.
//
// A slot is attached to one front end from TransportManager::allocChannel
// until that front end reports the end of its channel through the slot's
// close(). Only a slot that no front end holds is handed out again, so a
// front end that closes late can only ever close its own channel.
//
// Threads:
// - the layer's thread: onDeviceIdentified (no layer lock held);
// - the media I/O thread (and whatever thread runs a link reset): onData,
//   onChannelClosed and canTakeData, with the layer's link lock held;
// - RPC call threads: attach (inside allocChannel, sessions lock held);
// - front-end pipe threads: the slots' deliver, close and roomAgain;
// - the manager thread: the destructor.
//
// Locks: slotMutex_ guards every slot's front-end pointer and the close
// counts. It comes after the manager's sessions lock and after the link lock,
// and nothing is taken under it but the front end's own engine locks: a
// front end's deliver() and close(false) are called with it held (they only
// queue), and so is hasRoom(), which is what keeps the front end alive during the call, since a
// front end is deleted only after its slot has let go of it. The layer is
// never called with slotMutex_ held.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "linkhub/SessionLayerEvents.h"
#include "plat/threadsafety.h"
#include "translayer/HwId.h"
#include "translayer/TrIfTranRemote.h"

namespace linkhub {

class SessionLayer;
class TransportManager;

class TransportSessionHandler final : public SessionLayerEvents {
 public:
  static constexpr int kSlots = 16;

  // One channel slot: what the front end of that channel sees as its
  // receiver.
  class TransportTrIfToSession final : public translayer::TrIfTranRemote {
   public:
    // One chunk of the client's message to the device; false (the link
    // refused it) ends the front end's channel.
    bool deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) override;
    // The front end's channel has ended: the link channel is closed and the
    // slot let go. `wait` is not used. A second close does nothing.
    void close(bool wait) override;
    // The front end has room for the device's data again.
    void roomAgain() override;
    uint8_t channel() const { return channel_; }

   private:
    friend class TransportSessionHandler;
    TransportSessionHandler* handler_ = nullptr;
    uint8_t channel_ = 0;
    translayer::TrIfTranRemote* frontEnd_ GUARDED_BY(handler_->slotMutex_) = nullptr;
  };

  // `manager` may be null (then identification is only recorded here).
  TransportSessionHandler(TransportManager* manager, SessionLayer* layer);
  // Tells every attached front end to end (no wait) and returns once each
  // has let go of its slot. The layer's thread must have ended already.
  ~TransportSessionHandler();
  TransportSessionHandler(const TransportSessionHandler&) = delete;
  TransportSessionHandler& operator=(const TransportSessionHandler&) = delete;

  void onDeviceIdentified(const translayer::HwId* id) override;
  void onData(uint8_t channel, const uint8_t* data, uint16_t length, bool last) override;
  void onChannelClosed(uint8_t channel) override;
  // False while the channel's front end holds as much as it may for a
  // client that does not read.
  bool canTakeData(uint8_t channel) override;

  // Opens a channel of the link for `protocolId` and attaches `frontEnd` to
  // its slot. Link channels whose slot is still held (their old front end has
  // not closed yet) are passed over. Null when no channel can be had.
  translayer::TrIfTranRemote* attach(translayer::TrIfTranRemote* frontEnd, uint8_t protocolId);

  // Observers.
  bool slotAttached(uint8_t channel) const;
  int attachedCount() const;
  SessionLayer* layer() const { return layer_; }

 private:
  friend class TransportManager;

  TransportManager* const manager_;
  SessionLayer* const layer_;

  mutable plat::Mutex slotMutex_;
  plat::CondVar slotReleased_;  // with slotMutex_
  TransportTrIfToSession slots_[kSlots];
  // Channel-closed reports per channel; lets attach() see a link reset that
  // closed the channel it was just given.
  uint32_t closeReports_[kSlots] GUARDED_BY(slotMutex_) = {};
  // A slot's front-end pointer as the handler reaches it: every slot's
  // handler_ is this, so its guard is slotMutex_, which the analysis cannot
  // tell from the pointer.
  translayer::TrIfTranRemote*& frontEndOf(TransportTrIfToSession& slot)
      REQUIRES(slotMutex_) NO_THREAD_SAFETY_ANALYSIS {
    return slot.frontEnd_;
  }
  translayer::TrIfTranRemote* frontEndOf(const TransportTrIfToSession& slot) const
      REQUIRES(slotMutex_) NO_THREAD_SAFETY_ANALYSIS {
    return slot.frontEnd_;
  }

  // Guarded by the manager's sessions lock (only the handler's own thread
  // writes them when there is no manager).
  bool connected_ = false;  // set at the first identity report, never cleared
  translayer::HwId hwid_{};
};

}  // namespace linkhub
