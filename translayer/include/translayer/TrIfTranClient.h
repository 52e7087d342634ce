// The client end of one channel: binds to the connection server's control
// interface, asks it to open a channel of one service on one device, then
// runs the pipe engine on the pipe it names, on its own thread
// ("TrIfTranClient").
//
// Use: bind(); openChannel(hwid, receiver) == 0; connectResult.wait(); then
// notConnected tells whether the pipe is up. Messages go out through
// deliver() (MessageWriter::send); what the server sends arrives at the
// receiver's deliver() on the channel thread, and the receiver's
// close(false) once when the channel ends. Owners close(true) a connected
// client, unbind and delete it; every channel uses a new client.
//
// Threads: bind, unbind, openChannel and getOnlineDevices on the owner's
// thread; the pipe I/O on the channel thread; storeDeviceList on the thread
// that makes the GetOnlineDevices call (during it). The device list has its
// own lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "plat/rpc.h"
#include "plat/threadsafety.h"
#include "translayer/HwId.h"
#include "translayer/ThreadBase.h"
#include "translayer/TrIfTranCommon.h"

namespace translayer {

class TrIfTranClient : public ThreadBase, public TrIfTranCommon {
 public:
  // protocolId: the service openChannel(hwid, receiver) asks for (the
  // library's own id).
  explicit TrIfTranClient(uint8_t protocolId = 0);
  // Stops the channel (no wait), joins the channel thread, unbinds.
  ~TrIfTranClient() override;

  // Binds to the control endpoint: 0 (also when already bound); 4 when the
  // binding cannot be made. Local and lazy: a missing server shows at the
  // first call.
  int bind();
  void unbind();
  bool isBound() const { return binding_ != nullptr; }
  // The binding for the other procedures (null while unbound).
  const plat::RpcBinding* binding() const { return binding_.get(); }
  const std::string& stringBinding() const { return stringBinding_; }

  // Opens a channel: 1 unbound (no call made); 3 a channel thread exists
  // (running, or ended but not joined: a client is opened once); else the
  // result of OpenChannel: 4 on an RPC exception (its code in
  // lastExceptionCode()), the server's 1, 2 or 3 unchanged, or 0: the pipe
  // name and the receiver are kept and the channel thread starts. It does not
  // wait for the pipe: wait on connectResult, then read notConnected.
  int openChannel(const HwId& hwid, TrIfTranRemote* receiver);
  int openChannel(const HwId& hwid, uint8_t protocolId, TrIfTranRemote* receiver);
  uint32_t lastExceptionCode() const { return lastException_; }
  const std::string& pipeName() const { return pipeName_; }

  // GetOnlineDevices with this client as the cookie; the server's callback
  // replaces the device list. 1 when unbound, else as the stub
  // (ConnectionServerRpc.h): 0, or 4 with the code in *exceptionCode.
  int getOnlineDevices(uint32_t* exceptionCode);
  // Replaces the device list with `count` ids, in the given order.
  void storeDeviceList(size_t count, const HwId* ids);
  std::vector<HwId> deviceList() const;
  // The cookie that names this client in GetOnlineDevices.
  uint64_t cookie() const { return reinterpret_cast<uintptr_t>(this); }

 protected:
  void run() override;

 private:
  const uint8_t protocolId_;
  std::unique_ptr<plat::RpcBinding> binding_;
  std::string stringBinding_;
  mutable plat::Mutex listMutex_;
  std::vector<HwId> deviceList_ GUARDED_BY(listMutex_);
  std::string pipeName_;                // written before the thread starts, then read-only
  TrIfTranRemote* receiver_ = nullptr;  // not owned; as pipeName_
  uint32_t lastException_ = 0;
};

}  // namespace translayer
