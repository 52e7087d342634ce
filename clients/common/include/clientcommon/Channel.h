// Opening and closing one service channel to a device for a client library.
#pragma once

#include <cstdint>
#include <memory>

#include "translayer/HwId.h"
#include "translayer/TrIfTranClient.h"

namespace clientcommon {

// Binds, asks the server for a channel of `protocolId` on `hwid` for
// `receiver`, and waits at most `waitMs` for the pipe thread to connect.
// The connected client, or null when any step failed (nothing is left
// running then). The result comes as soon as the pipe thread has run, so the
// wait is short unless that thread never got to run.
std::unique_ptr<translayer::TrIfTranClient> openConnectedChannel(
    uint8_t protocolId, const translayer::HwId& hwid, translayer::TrIfTranRemote* receiver,
    int waitMs);

// Stops the channel and waits for its pipe thread (whose end calls the
// receiver's close), unbinds and frees the client. Null: nothing.
void closeChannel(std::unique_ptr<translayer::TrIfTranClient> client);

}  // namespace clientcommon
