// The in-process media's entry points as the record the connection server
// keeps for a loaded media library, for tests that run the server's core
// against emulated devices in one process. Header only: the server's headers
// are needed by its users, not by devsim_core.
#pragma once

#include "devsim/InProcessMedia.h"
#include "linkhub/MediaLibrary.h"

namespace devsim {

inline linkhub::MediaRecord inProcessMediaRecord() {
  linkhub::MediaRecord r;
  r.getMediaInfo = &InProcessMedia::getMediaInfo;
  r.getChannelInfo = &InProcessMedia::getChannelInfo;
  r.envCreate = &InProcessMedia::envCreate;
  r.envDestroy = &InProcessMedia::envDestroy;
  r.channelConnect = &InProcessMedia::channelConnect;
  r.channelDisconnect = &InProcessMedia::channelDisconnect;
  r.setTransmitEvent = &InProcessMedia::setTransmitEvent;
  return r;
}

}  // namespace devsim
