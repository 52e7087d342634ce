// The receiver side of a channel: a pipe engine, a service command processor
// or a server channel slot. Both operations are called on the caller's thread
// (for an engine's receiver: the engine's loop thread) and must not block on
// the engine that calls them.
#pragma once

#include <memory>

#include "translayer/Payload.h"

namespace translayer {

class TrIfTranRemote {
 public:
  // Takes one chunk of the peer's message; false asks the caller to end the channel.
  virtual bool deliver(std::shared_ptr<TrIfTranPayload> chunk) = 0;
  // The channel is to be closed or has ended. `wait` asks the callee to return
  // only once its own side has ended.
  virtual void close(bool wait) = 0;
  // Asked by a producer before it delivers: false while this side already
  // holds as much as it may for a peer that does not read. Must not block.
  virtual bool hasRoom() { return true; }
  // An engine calls this on its receiver, on the loop thread, once its own
  // hasRoom() has turned true again after it answered false.
  virtual void roomAgain() {}

 protected:
  ~TrIfTranRemote() = default;
};

}  // namespace translayer
