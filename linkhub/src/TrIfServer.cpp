#include "linkhub/TrIfServer.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "linkhub/TrIfTranFrontEnd.h"
#include "linkhub/TransportManager.h"
#include "plat/errors.h"
#include "plat/runtime.h"
#include "plat/trace.h"

using translayer::ConnectionServerCall;
using translayer::HwId;
using translayer::ThreadBase;
using translayer::TrIfTranRemote;

namespace linkhub {

namespace {

// "\\.\" + "\pipe\zamoconnectionserver" + "_\": 40 characters with the number.
constexpr const char* kPipePrefix = "\\\\.\\\\pipe\\zamoconnectionserver_\\";

}  // namespace

TrIfServer::TrIfServer(TransportManager* manager, DeviceChooser* chooser)
    : TrIfServer(manager, chooser, Options{}) {}

TrIfServer::TrIfServer(TransportManager* manager, DeviceChooser* chooser, const Options& options)
    : ThreadBase("TrIfServer"),
      manager_(manager),
      chooser_(chooser),
      options_(options),
      rpc_(this) {}

TrIfServer::~TrIfServer() { stop(); }

std::string TrIfServer::pipeNameFor(uint32_t number) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", unsigned(number));
  return std::string(kPipePrefix) + digits;
}

bool TrIfServer::start() {
  {
    plat::LockGuard lock(stopMutex_);
    if (started_ || stopped_) return false;
    started_ = true;
  }
  if (int rc = heap_.create(options_.heapInitialBytes, options_.heapMaximumBytes)) {
    ShowFatalError(uint32_t(rc), "HeapCreate failed");
    return false;
  }
  emptyPipeDirectory();
  plat::RpcServer::Step step = plat::RpcServer::Step::kEndpoint;
  if (uint32_t rc = rpc_.start(options_.rpc, &step)) {
    ShowFatalError(rc, step == plat::RpcServer::Step::kEndpoint ? "RpcServerUseAllProtseqsIf failed"
                                                                : "RpcServerListen failed");
    return false;
  }
  ThreadBase::start();
  return true;
}

void TrIfServer::emptyPipeDirectory() {
  // Pipes left by a server that died. Only the holder of the instance lock
  // starts a server, so nothing here is alive.
  std::string somePipe;
  if (plat::pipePath(pipeNameFor(0), &somePipe) != 0) return;
  const std::filesystem::path dir = std::filesystem::path(somePipe).parent_path();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::error_code ignored;
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

void TrIfServer::stop() {
  // Choosers first: the drain below waits for their calls.
  stopSource_.request_stop();
  rpc_.stop();
  {
    plat::LockGuard lock(stopMutex_);
    stopped_ = true;
  }
  reaperEvent_.set();
  join();
  // Without a reaper thread (never started) the front ends are ended here.
  endAllFrontEnds();
}

void TrIfServer::run() {
  for (;;) {
    reaperEvent_.wait();
    {
      plat::LockGuard lock(stopMutex_);
      if (stopped_) break;
    }
    std::vector<TrIfTranFrontEnd*> done;
    {
      plat::LockGuard lock(serverMutex_);
      for (auto it = frontEnds_.begin(); it != frontEnds_.end();) {
        if (!it->second && it->first->finished()) {
          done.push_back(it->first);
          it = frontEnds_.erase(it);
        } else {
          ++it;
        }
      }
    }
    // A finished front end's thread has at most a return left: deleting joins it.
    for (TrIfTranFrontEnd* fe : done) delete fe;
  }
  endAllFrontEnds();
}

void TrIfServer::endAllFrontEnds() {
  std::vector<TrIfTranFrontEnd*> all;
  {
    plat::LockGuard lock(serverMutex_);
    for (auto& entry : frontEnds_) all.push_back(entry.first);
    frontEnds_.clear();
  }
  // All end at once, then each is joined.
  for (TrIfTranFrontEnd* fe : all) fe->close(false);
  for (TrIfTranFrontEnd* fe : all) delete fe;
}

size_t TrIfServer::frontEndCount() const {
  plat::LockGuard lock(serverMutex_);
  return frontEnds_.size();
}

// ---- procedures ----------------------------------------------------------------

uint16_t TrIfServer::openChannel(const HwId& hwid, uint8_t protocolId, int16_t size,
                                 std::string* pipeName) {
  {
    plat::LockGuard lock(stopMutex_);
    if (stopped_) return kBufferTooSmall;
  }
  auto owned = std::make_unique<TrIfTranFrontEnd>(&reaperEvent_, options_.connectTimeoutMs);
  owned->setStallLimit(options_.stalledClientMs);
  TrIfTranRemote* slot = nullptr;
  const uint8_t rc = manager_->allocChannel(owned.get(), hwid, protocolId, &slot);
  if (rc != 0) return rc;

  // Into the set before its thread starts, marked as ours until we are done.
  TrIfTranFrontEnd* frontEnd = owned.release();
  uint32_t number;
  {
    plat::LockGuard lock(serverMutex_);
    number = counter_++;
    frontEnds_.emplace(frontEnd, true);
  }
  const std::string name = pipeNameFor(number);
  frontEnd->setChannel(name, slot);
  if (size < 1 || name.size() + 1 > size_t(size)) {
    discard(frontEnd);
    return kBufferTooSmall;
  }
  try {
    frontEnd->start();
  } catch (const std::system_error&) {
    discard(frontEnd);  // no thread to be had: as if the pipe could not be made
    return kBufferTooSmall;
  }
  frontEnd->connectResult.wait();
  if (frontEnd->notConnected.load() != 0) {
    discard(frontEnd);
    return kBufferTooSmall;
  }
  {
    plat::LockGuard lock(serverMutex_);
    frontEnds_[frontEnd] = false;
  }
  // It may have finished already (a client that came and went at once).
  reaperEvent_.set();
  *pipeName = name;
  return kOk;
}

void TrIfServer::discard(TrIfTranFrontEnd* frontEnd) {
  {
    plat::LockGuard lock(serverMutex_);
    frontEnds_.erase(frontEnd);
  }
  frontEnd->join();
  // The link channel and the slot are freed before the front end goes, so
  // that the slot never points at a deleted front end.
  frontEnd->releaseSlot();
  delete frontEnd;
}

uint16_t TrIfServer::getOnlineDevices(
    const std::function<uint32_t(const HwId*, size_t)>& callback) {
  return manager_->reportOnlineDevices([&](const HwId* ids, size_t count) -> uint32_t {
    HwId* copy = nullptr;
    if (count > 0) {
      copy = static_cast<HwId*>(heap_.allocate(count * sizeof(HwId)));
      if (!copy) return plat::kErrorNotEnoughMemory;  // the callback cannot be made
      std::memcpy(copy, ids, count * sizeof(HwId));
    }
    const uint32_t result = callback(copy, count);
    heap_.free(copy);
    return result;
  });
}

uint16_t TrIfServer::askUserDeviceSelection(HwId* hwid, uint64_t parentWindow) {
  if (!chooser_) return kCancelled;
  std::stop_token stop = stopSource_.get_token();
  if (stop.stop_requested()) return kCancelled;
  HwId chosen = *hwid;
  if (!chooser_->chooseDevice(&chosen, parentWindow, stop)) return kCancelled;
  *hwid = chosen;
  return kOk;
}

uint16_t TrIfServer::GetOnlineDevices(ConnectionServerCall& call, uint64_t cookie) {
  return getOnlineDevices([&](const HwId* ids, size_t count) {
    return call.onlineDevicesCallback(cookie, ids, count);
  });
}

uint16_t TrIfServer::AskUserDeviceSelection(ConnectionServerCall& call, HwId* hwid,
                                            uint64_t parentWindow) {
  if (call.stopping()) return kCancelled;
  return askUserDeviceSelection(hwid, parentWindow);
}

uint16_t TrIfServer::OpenChannel(ConnectionServerCall& call, const HwId& hwid, uint8_t protocolId,
                                 int16_t size, std::string* pipeName) {
  const uint16_t rc = openChannel(hwid, protocolId, size, pipeName);
  // 1 pipe or buffer, 2 no such device online, 3 no free channel on it.
  VLN_TRACE(kRpc, "pid %d: OpenChannel %s protocol %u: %u%s%s", call.transport().peerPid(),
            formatHwId(hwid).c_str(), unsigned(protocolId), unsigned(rc),
            rc == 0   ? " "
            : rc == 2 ? " (no connected device with this id)"
            : rc == 3 ? " (no free channel on it)"
                      : " (pipe name buffer too small or pipe not listening)",
            rc == 0 ? pipeName->c_str() : "");
  return rc;
}

}  // namespace linkhub
