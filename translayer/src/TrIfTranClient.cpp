#include "translayer/TrIfTranClient.h"

#include <cstring>

#include "plat/msgpipe.h"
#include "plat/sysmsg.h"
#include "plat/trace.h"
#include "translayer/ConnectionServerRpc.h"

namespace translayer {

namespace {

constexpr const char* kProtocolSequence = "ncacn_np";

}  // namespace

TrIfTranClient::TrIfTranClient(uint8_t protocolId)
    : ThreadBase("TrIfTranClient"), protocolId_(protocolId) {}

TrIfTranClient::~TrIfTranClient() {
  // The engine keeps a stop asked for before its loop starts, so this also
  // ends a thread that is still connecting.
  TrIfTranCommon::close(false);
  join();
  unbind();
}

int TrIfTranClient::bind() {
  if (binding_) return 0;
  try {
    stringBinding_ = std::string(kProtocolSequence) + ":[" + plat::kControlPipeName + "]";
    binding_ = std::make_unique<plat::RpcBinding>(plat::kControlPipeName);
  } catch (const std::bad_alloc&) {
    return kRpcExceptionResult;
  }
  return 0;
}

void TrIfTranClient::unbind() {
  binding_.reset();
  stringBinding_.clear();
}

int TrIfTranClient::openChannel(const HwId& hwid, TrIfTranRemote* receiver) {
  return openChannel(hwid, protocolId_, receiver);
}

int TrIfTranClient::openChannel(const HwId& hwid, uint8_t protocolId, TrIfTranRemote* receiver) {
  if (!binding_) return 1;
  // A thread that has ended but was not joined still counts: starting the
  // object again would do nothing, and the server's new channel would be left
  // without a client.
  if (hasThread()) return 3;
  char name[kPipeNameBuffer] = {};
  const int result = OpenChannelWrapper(*binding_, protocolId, hwid, name, &lastException_);
  if (result != 0) return result;
  pipeName_.assign(name, strnlen(name, sizeof name));
  receiver_ = receiver;
  start();
  return 0;
}

void TrIfTranClient::run() {
  plat::Handle pipe = plat::kInvalidHandle;
  if (const int rc = plat::pipeConnect(pipeName_, &pipe); rc != 0) {
    VLN_TRACE(kPipes, "%s: cannot connect: %s", pipeName_.c_str(),
              plat::systemMessage(uint32_t(rc)).c_str());
    connectResult.set();  // notConnected stays 1
    return;
  }
  VLN_TRACE(kPipes, "%s: connected as pipe %d", pipeName_.c_str(), int(pipe));
  notConnected = 0;
  connectResult.set();
  ioLoop(pipe, receiver_);
  TrIfTranCommon::close(false);
}

int TrIfTranClient::getOnlineDevices(uint32_t* exceptionCode) {
  if (exceptionCode) *exceptionCode = 0;
  if (!binding_) return 1;
  return GetOnlineDevices(
      *binding_, cookie(),
      [this](uint64_t cookie, const HwId* ids, size_t count) {
        // The stub has already matched the cookie to the one sent: it is this
        // object, no cast of a foreign value needed.
        storeDeviceList(count, ids);
      },
      exceptionCode);
}

void TrIfTranClient::storeDeviceList(size_t count, const HwId* ids) {
  std::vector<HwId> list(ids, ids + count);
  plat::LockGuard lock(listMutex_);
  deviceList_.swap(list);
}

std::vector<HwId> TrIfTranClient::deviceList() const {
  plat::LockGuard lock(listMutex_);
  return deviceList_;
}

}  // namespace translayer
