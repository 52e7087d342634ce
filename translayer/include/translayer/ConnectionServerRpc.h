// ConnectionServerRpc, the control interface of the connection server, as
// typed procedures over the RPC transport of plat/rpc.h: the client stubs
// and the server's dispatch.
//
// Interface 14f9f1c3-044e-46c4-ad20-c1b80648cb78 version 1.1, endpoint
// "\pipe\zamoconnectionserver". Arguments and outputs, little-endian:
//
//   0 GetOnlineDevices       in: u64 cookie
//   1 ReservedProc1          in: HwId, i16 length, bytes      out: i16 length, bytes
//   2 ReservedProc2          in: HwId, i16 length, bytes
//   3 AskUserDeviceSelection in: HwId, u64 window             out: HwId
//   4 OpenChannel            in: HwId, u8 protocol id, i16 size
//                            out: u16 n, n bytes: with result 0, 1 <= n <= size
//                            and byte n-1 is the first zero; else n is 0
//   callback 0 OnlineDevicesCallback: u64 cookie, i16 count, 16 x count bytes
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "plat/rpc.h"
#include "translayer/HwId.h"

namespace translayer {

inline constexpr plat::RpcInterface kConnectionServerRpc = {
    {0x14, 0xf9, 0xf1, 0xc3, 0x04, 0x4e, 0x46, 0xc4, 0xad, 0x20, 0xc1, 0xb8, 0x06, 0x48, 0xcb,
     0x78},
    1,
    1,
    5};

enum ConnectionServerProcedure : uint16_t {
  kProcGetOnlineDevices = 0,
  kProcReservedProc1 = 1,
  kProcReservedProc2 = 2,
  kProcAskUserDeviceSelection = 3,
  kProcOpenChannel = 4,
};
inline constexpr uint16_t kOnlineDevicesCallback = 0;

// What a client stub returns when the call raised an RPC exception.
inline constexpr int kRpcExceptionResult = 4;
// The pipe-name buffer every OpenChannel caller of this system passes.
inline constexpr int16_t kPipeNameBuffer = 64;
// The most ids one OnlineDevicesCallback carries (its count is an i16).
inline constexpr size_t kMaxOnlineDevices = 32767;

// ---------------------------------------------------------------- client stubs
//
// Each returns the procedure's 16-bit result, or 4 when the call raised an
// RPC exception (no server: 1722, connection lost: 1726, bad data from the
// server: 1783, the server's faults), whose code then goes to *exceptionCode
// (set to 0 otherwise; may be null). They run on the caller's thread and
// block until the server answers.

// Receives OnlineDevicesCallback on the calling thread, during the call:
// the cookie is the one this call sent (any other is answered with a fault,
// 87, and the sink is not called), ids are valid during the call only.
using OnlineDevicesSink = std::function<void(uint64_t cookie, const HwId* ids, size_t count)>;

int GetOnlineDevices(const plat::RpcBinding& binding, uint64_t cookie,
                     const OnlineDevicesSink& sink, uint32_t* exceptionCode);

// *length: in, the bytes of buffer sent; out, the bytes the server gave back
// (never more than went in).
int ReservedProc1(const plat::RpcBinding& binding, const HwId* hwid, int16_t* length,
                  uint8_t* buffer, uint32_t* exceptionCode);
int ReservedProc2(const plat::RpcBinding& binding, const HwId* hwid, int16_t length,
                  const uint8_t* buffer, uint32_t* exceptionCode);

// *hwid is replaced by the server's answer (the chosen id with 0, the one
// sent with 5).
int AskUserDeviceSelection(const plat::RpcBinding& binding, HwId* hwid, uint64_t parentWindow,
                           uint32_t* exceptionCode);

// With 0, pipe holds the pipe name and its terminator (within size bytes);
// with any other result pipe is untouched. Results: 0; 1 buffer too small
// (a size of 0 or less included) or pipe not listening; 2 no connected device
// with this id; 3 no free channel on it.
int OpenChannel(const plat::RpcBinding& binding, const HwId* hwid, uint8_t protocolId, int16_t size,
                char* pipe, uint32_t* exceptionCode);

// The per-library OpenChannel wrapper: OpenChannel with the library's
// protocol id and a kPipeNameBuffer-byte name buffer.
int OpenChannelWrapper(const plat::RpcBinding& binding, uint8_t protocolId, HwId hwid,
                       char name[kPipeNameBuffer], uint32_t* exceptionCode);

// ---------------------------------------------------------------- server side

// The call a procedure runs in: the only way back to the calling client.
class ConnectionServerCall {
 public:
  explicit ConnectionServerCall(plat::RpcCall& call) : call_(call) {}

  // Sends OnlineDevicesCallback (cookie, count, ids) to the caller on this
  // call's connection and waits for the client to run it. 0 when it did;
  // else the RPC exception code: the client's fault (87 for a cookie it did
  // not send), 1726 when the client is gone or the server stops, 1783 for
  // more than kMaxOnlineDevices ids (nothing is sent then).
  uint32_t onlineDevicesCallback(uint64_t cookie, const HwId* ids, size_t count);
  // True once the server is stopping: a procedure that waits (the chooser
  // dialog) should give up.
  bool stopping() const { return call_.stopping(); }
  // The transport call underneath (tests send malformed callbacks with it).
  plat::RpcCall& transport() { return call_; }

 private:
  plat::RpcCall& call_;
};

// What the connection server implements: one virtual per procedure. Each
// runs on an RPC call thread, many at once; the arguments are already
// unmarshalled and checked, and the outputs are checked before they go out.
// An exception other than plat::RpcException becomes fault 1726.
class ConnectionServerRpcHandler {
 public:
  virtual ~ConnectionServerRpcHandler() = default;

  // 0 ok; 4 when the callback failed.
  virtual uint16_t GetOnlineDevices(ConnectionServerCall& call, uint64_t cookie) = 0;
  // Reserved: 0 and no effect. ReservedProc1 may shorten *buffer (a longer
  // one is cut to the length that came in).
  virtual uint16_t ReservedProc1(ConnectionServerCall& call, const HwId& hwid,
                                 std::vector<uint8_t>* buffer) {
    return 0;
  }
  virtual uint16_t ReservedProc2(ConnectionServerCall& call, const HwId& hwid,
                                 const std::vector<uint8_t>& buffer) {
    return 0;
  }
  // 0 with *hwid the chosen id; 5 cancelled (*hwid is then sent back as it came).
  virtual uint16_t AskUserDeviceSelection(ConnectionServerCall& call, HwId* hwid,
                                          uint64_t parentWindow) = 0;
  // Called with size >= 1 only (a smaller size is answered with 1 before).
  // Returns 0 with *pipeName the pipe's name without terminator, or 1, 2 or 3.
  // A 0 whose name does not fit (name and terminator within size bytes) or
  // holds a zero byte goes out as 1: the client is never sent a bad name.
  virtual uint16_t OpenChannel(ConnectionServerCall& call, const HwId& hwid, uint8_t protocolId,
                               int16_t size, std::string* pipeName) = 0;
};

// Unmarshals one call of the interface, runs it on `handler`, marshals its
// outputs: the plat::RpcDispatcher of the interface. Malformed arguments give
// fault 1783 without calling the handler.
uint32_t dispatchConnectionServerRpc(ConnectionServerRpcHandler& handler, plat::RpcCall& call,
                                     uint16_t procedure, const uint8_t* arguments, size_t length,
                                     plat::RpcResult* reply);

// Serves the interface at its endpoint with a pool of call threads (at least
// 16, up to 1234 concurrent calls) and dispatches to `handler`, which must
// outlive the server. Threads: start() and stop() on the owner's thread.
class ConnectionServerRpcServer {
 public:
  explicit ConnectionServerRpcServer(ConnectionServerRpcHandler* handler) : handler_(handler) {}
  ~ConnectionServerRpcServer() { stop(); }
  ConnectionServerRpcServer(const ConnectionServerRpcServer&) = delete;
  ConnectionServerRpcServer& operator=(const ConnectionServerRpcServer&) = delete;

  // Win32 code, 0 when listening; *failedStep tells which step failed (the
  // endpoint: 1740 when a live server holds it; or the listening threads).
  uint32_t start(const plat::RpcServerOptions& options = {},
                 plat::RpcServer::Step* failedStep = nullptr);
  // Stops accepting and returns once no call is running any more (see
  // plat::RpcServer::stop): after it, the handler is called no more.
  void stop() { server_.stop(); }
  unsigned callsInFlight() const { return server_.callsInFlight(); }

 private:
  ConnectionServerRpcHandler* handler_;
  plat::RpcServer server_;
};

}  // namespace translayer
