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

 protected:
  ~TrIfTranRemote() = default;
};

}  // namespace translayer
