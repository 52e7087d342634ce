// One loaded media library: its six entry points and what the server needs to
// drive a channel's transmit-request event.
//
// The transport manager fills one record per library it loads (dlopen +
// dlsym) and keeps it alive until the library is unloaded; its address is the
// context passed to EnvCreate, so media events name their library by it. An
// in-process media (the tests' fault-injecting pair) fills the same record
// with its own functions and a null module.
#pragma once

#include <cstdint>

#include "usblink/MediaInterface.h"

namespace linkhub {

struct MediaRecord {
  GetMediaInfoFn getMediaInfo = nullptr;
  GetChannelInfoFn getChannelInfo = nullptr;
  EnvCreateFn envCreate = nullptr;
  EnvDestroyFn envDestroy = nullptr;
  ChannelConnectFn channelConnect = nullptr;
  ChannelDisconnectFn channelDisconnect = nullptr;
  // The library's handle (from dlopen); null for an in-process media.
  void* module = nullptr;
  // Sets a transmit-request event returned by channelConnect. For a loaded
  // library this is the platform's event setter (the event is an eventfd);
  // an in-process media supplies its own. Must not block: it is called with
  // the link lock held, on any thread.
  void (*setTransmitEvent)(int txEvent) = nullptr;
};

}  // namespace linkhub
