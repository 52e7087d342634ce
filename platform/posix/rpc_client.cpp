// The client stub of the control RPC: one connection per call, callbacks
// answered on it before the reply is read.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/ByteReader.h"
#include "plat/rpc.h"
#include "plat/trace.h"
#include "rpc_wire.h"

namespace plat {

using namespace rpcwire;

RpcResult rpcCall(const RpcBinding& binding, const RpcInterface& iface, uint16_t procedure,
                  const std::vector<uint8_t>& arguments, const RpcCallbackHandler& onCallback) {
  std::string path;
  if (pipePath(binding.endpoint(), &path) != 0) throw RpcException(kRpcServerUnavailable);
  FdGuard conn{connectTo(path)};
  if (conn.fd < 0) {
    VLN_TRACE(kRpc, "no server at %s: %s", path.c_str(), ::strerror(errno));
    throw RpcException(kRpcServerUnavailable);
  }
  // The runtime dir is private, but a socket of another user is no server of ours.
  ucred cred{};
  if (!peerCredentials(conn.fd, &cred) || cred.uid != geteuid()) {
    VLN_TRACE(kRpc, "%s belongs to another user: not our server", path.c_str());
    throw RpcException(kRpcServerUnavailable);
  }

  if (arguments.size() > kRpcFrameLimit - kCallHeader) throw RpcException(kRpcBadStubData);
  base::ByteWriter call;
  call.reserve(kCallHeader + arguments.size());
  call.u8(kRpcFrameCall).bytes(iface.id, 16).u16(iface.major).u16(iface.minor).u16(procedure);
  call.bytes(arguments.data(), arguments.size());
  // A server that refuses us at once has closed already; its fault is still
  // there to read, so a failed send is judged by what comes back.
  writeFrame(conn.fd, call.data());

  std::vector<uint8_t> frame;
  for (;;) {
    switch (readFrame(conn.fd, &frame)) {
      case ReadResult::kLost:
        throw RpcException(kRpcCallFailed);
      case ReadResult::kTooLong:
        throw RpcException(kRpcBadStubData);
      case ReadResult::kOk:
        break;
    }
    if (frame.empty()) throw RpcException(kRpcBadStubData);
    switch (frame[0]) {
      case kRpcFrameReply: {
        if (frame.size() < 3) throw RpcException(kRpcBadStubData);
        RpcResult result;
        result.result = base::loadU16(&frame[1]);
        result.outputs.assign(frame.begin() + 3, frame.end());
        return result;
      }
      case kRpcFrameFault: {
        if (frame.size() != 5) throw RpcException(kRpcBadStubData);
        const uint32_t code = base::loadU32(&frame[1]);
        throw RpcException(code ? code : kRpcBadStubData);
      }
      case kRpcFrameCallback: {
        uint32_t status = kRpcBadStubData;
        if (frame.size() >= 3) {
          status = kRpcProcedureOutOfRange;
          if (onCallback) {
            try {
              status = onCallback(base::loadU16(&frame[1]), frame.data() + 3, frame.size() - 3);
            } catch (const RpcException& e) {
              status = e.code() ? e.code() : kRpcCallFailed;
            } catch (...) {
              status = kRpcCallFailed;
            }
          }
        }
        const std::vector<uint8_t> answer =
            status == 0 ? std::vector<uint8_t>{kRpcFrameCallbackDone} : faultBody(status);
        if (!writeFrame(conn.fd, answer)) throw RpcException(kRpcCallFailed);
        break;
      }
      default:
        throw RpcException(kRpcBadStubData);
    }
  }
}

}  // namespace plat
