// What a SessionLayer reports to its owner (the session's channel slots).
//
// Threads and locks, for the implementer:
// - onDeviceIdentified runs on the layer's own thread with NO layer lock held,
//   so it may take locks that are also held around SessionLayer::openChannel
//   (the manager's sessions lock).
// - onData and onChannelClosed run with the layer's link lock held: on the
//   media's I/O thread for everything the device sends, and on whatever
//   thread runs a link reset (the layer's thread, or the media thread on a
//   protocol error). They must not call back into the same layer, and must
//   not wait for a thread that may be waiting for the link lock.
#pragma once

#include <cstdint>

#include "translayer/HwId.h"

namespace linkhub {

class SessionLayerEvents {
 public:
  // The device answered the identity request (again after every link reset).
  // The id is valid during the call only.
  virtual void onDeviceIdentified(const translayer::HwId* id) = 0;
  // One in-sequence fragment of the device's data on an open channel; `last`
  // ends a message. `data` is valid during the call only; `length` may be 0
  // for an empty last fragment.
  virtual void onData(uint8_t channel, const uint8_t* data, uint16_t length, bool last) = 0;
  // The device closed the channel, or a link reset did. Not reported for a
  // channel that the host itself was closing.
  virtual void onChannelClosed(uint8_t channel) = 0;
  // Whether the receiver of an open channel takes more data now. While it
  // does not, the layer leaves the device's frames unaccepted (the device
  // sends them again) until resumeReceive() or a later frame finds room.
  // Runs with the link lock held, like onData.
  virtual bool canTakeData(uint8_t channel) {
    (void)channel;
    return true;
  }

 protected:
  ~SessionLayerEvents() = default;
};

}  // namespace linkhub
