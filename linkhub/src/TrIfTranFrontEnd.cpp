#include "linkhub/TrIfTranFrontEnd.h"

#include <chrono>

#include "plat/errors.h"
#include "plat/msgpipe.h"
#include "plat/poll.h"
#include "plat/sysmsg.h"
#include "plat/trace.h"

using translayer::Event;
using translayer::TrIfTranCommon;
using translayer::TrIfTranRemote;

namespace linkhub {

TrIfTranFrontEnd::TrIfTranFrontEnd(Event* reaper, int connectTimeoutMs)
    : ThreadBase("TrIfTranFrontEnd"), reaper_(reaper), connectTimeoutMs_(connectTimeoutMs) {}

TrIfTranFrontEnd::~TrIfTranFrontEnd() {
  close(false);
  join();
}

void TrIfTranFrontEnd::setChannel(const std::string& pipeName, TrIfTranRemote* slot) {
  pipeName_ = pipeName;
  slot_ = slot;
}

void TrIfTranFrontEnd::close(bool wait) {
  acceptWake_.set();
  TrIfTranCommon::close(wait);
}

void TrIfTranFrontEnd::releaseSlot() {
  TrIfTranRemote* slot = slot_;
  slot_ = nullptr;
  if (slot) slot->close(false);
}

void TrIfTranFrontEnd::run() {
  plat::Handle listener = plat::kInvalidHandle;
  const int rc = acceptWake_.valid() ? plat::pipeListen(pipeName_, &listener) : -1;
  if (rc != 0) {
    VLN_TRACE(kPipes, "%s: cannot listen: %s", pipeName_.c_str(),
              rc < 0 ? "no wake event" : plat::systemMessage(uint32_t(rc)).c_str());
    connectResult.set();  // notConnected stays 1
    return;
  }
  // The loop runs from here on whatever happens, so a close(true) may wait for it.
  notConnected = 0;
  connectResult.set();
  plat::Handle pipe = awaitClient(listener);
  if (pipe == plat::kInvalidHandle)
    VLN_TRACE(kPipes, "%s: no client came%s", pipeName_.c_str(),
              stopRequested() ? " before the channel was closed" : " in time");
  else
    VLN_TRACE(kPipes, "%s: client connected as pipe %d", pipeName_.c_str(), int(pipe));
  ioLoop(pipe, slot_);
  // Taken first: the reaper may delete this object as soon as finished is set.
  Event* reaper = reaper_;
  finished_.store(true, std::memory_order_release);
  if (reaper) reaper->set();
}

plat::Handle TrIfTranFrontEnd::awaitClient(plat::Handle listener) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(connectTimeoutMs_);
  while (!stopRequested()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      // A client whose connect already went through waits in the backlog:
      // it is taken rather than shown a connected pipe that closes.
      connectDeadlinePassed();
      plat::Handle connection = plat::kInvalidHandle;
      if (plat::pipeAccept(listener, &connection, 0) == 0) return connection;
      break;
    }
    plat::PollItem items[2] = {{listener, plat::kPollRead, 0},
                               {acceptWake_.handle(), plat::kPollRead, 0}};
    if (plat::pollHandles(items, 2, int(left)) < 0) break;
    if (items[1].ready) acceptWake_.consume();
    if (items[0].ready) {
      plat::Handle connection = plat::kInvalidHandle;
      const int rc = plat::pipeAccept(listener, &connection, 0);
      if (rc == 0) return connection;  // the listener is closed and its file gone
      if (rc != plat::kErrorWaitTimeout)
        break;  // a refused peer of another user shows as a time-out
    }
  }
  plat::pipeAbandon(listener);
  return plat::kInvalidHandle;
}

}  // namespace linkhub
