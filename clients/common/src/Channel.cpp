#include "clientcommon/Channel.h"

using translayer::HwId;
using translayer::TrIfTranClient;
using translayer::TrIfTranRemote;

namespace clientcommon {

std::unique_ptr<TrIfTranClient> openConnectedChannel(uint8_t protocolId, const HwId& hwid,
                                                     TrIfTranRemote* receiver, int waitMs) {
  auto client = std::make_unique<TrIfTranClient>(protocolId);
  if (client->bind() != 0) return nullptr;
  if (client->openChannel(hwid, receiver) != 0) {
    client->unbind();
    return nullptr;
  }
  // The server has only named the pipe; the channel is worth having once
  // the pipe thread has opened it.
  if (client->connectResult.timedWait(waitMs) || client->notConnected.load() != 0) {
    closeChannel(std::move(client));
    return nullptr;
  }
  return client;
}

void closeChannel(std::unique_ptr<TrIfTranClient> client) {
  if (!client) return;
  client->TrIfTranCommon::close(true);
  client->unbind();
  client.reset();  // joins the pipe thread
}

}  // namespace clientcommon
