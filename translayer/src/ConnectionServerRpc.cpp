#include "translayer/ConnectionServerRpc.h"

#include <cstring>
#include <new>

#include "base/ByteReader.h"
#include "plat/errors.h"
#include "translayer/RpcMemory.h"

namespace translayer {

namespace {

constexpr uint32_t kOutOfMemory = plat::kErrorOutOfMemory;

using base::ByteReader;
using base::ByteWriter;

// All zero when it does not fit.
HwId readHwId(ByteReader& in) {
  HwId id{};
  in.bytes(id.id, sizeof id.id);
  return id;
}

[[noreturn]] void badStubData() { throw plat::RpcException(plat::kRpcBadStubData); }

// The RPC exception guard of every client stub.
template <typename Body>
int guarded(uint32_t* exceptionCode, Body&& body) {
  if (exceptionCode) *exceptionCode = 0;
  uint32_t code;
  try {
    return body();
  } catch (const plat::RpcException& e) {
    code = e.code();
  } catch (const std::bad_alloc&) {
    code = kOutOfMemory;
  } catch (...) {
    code = plat::kRpcCallFailed;
  }
  if (exceptionCode) *exceptionCode = code;
  return kRpcExceptionResult;
}

ByteWriter hwidArgument(const HwId* hwid) {
  if (!hwid) throw plat::RpcException(plat::kRpcInvalidArgument);
  ByteWriter args;
  args.bytes(hwid->id, 16);
  return args;
}

void expectNoOutputs(const plat::RpcResult& r) {
  if (!r.outputs.empty()) badStubData();
}

}  // namespace

// ------------------------------------------------------------------ client

int GetOnlineDevices(const plat::RpcBinding& binding, uint64_t cookie,
                     const OnlineDevicesSink& sink, uint32_t* exceptionCode) {
  return guarded(exceptionCode, [&] {
    ByteWriter args;
    args.u64(cookie);
    auto onCallback = [&](uint16_t number, const uint8_t* data, size_t length) -> uint32_t {
      if (number != kOnlineDevicesCallback) return plat::kRpcProcedureOutOfRange;
      ByteReader in(data, length);
      const uint64_t got = in.u64();
      const int16_t count = in.i16();
      if (in.failed() || count < 0 || in.remaining() != size_t(count) * sizeof(HwId))
        return plat::kRpcBadStubData;
      if (got != cookie) return plat::kRpcInvalidArgument;
      HwId* ids = nullptr;
      if (count > 0) {
        ids = static_cast<HwId*>(MIDL_user_allocate(size_t(count) * sizeof(HwId)));
        if (!ids) return kOutOfMemory;
        in.bytes(ids, size_t(count) * sizeof(HwId));
      }
      try {
        if (sink) sink(got, ids, size_t(count));
      } catch (...) {
        MIDL_user_free(ids);
        throw;
      }
      MIDL_user_free(ids);
      return 0;
    };
    plat::RpcResult r = plat::rpcCall(binding, kConnectionServerRpc, kProcGetOnlineDevices,
                                      args.data(), onCallback);
    expectNoOutputs(r);
    return int(r.result);
  });
}

int ReservedProc1(const plat::RpcBinding& binding, const HwId* hwid, int16_t* length,
                  uint8_t* buffer, uint32_t* exceptionCode) {
  return guarded(exceptionCode, [&] {
    if (!length || *length < 0 || (*length > 0 && !buffer)) badStubData();
    ByteWriter args = hwidArgument(hwid);
    args.u16(uint16_t(*length)).bytes(buffer, size_t(*length));
    plat::RpcResult r =
        plat::rpcCall(binding, kConnectionServerRpc, kProcReservedProc1, args.data());
    ByteReader out(r.outputs);
    const int16_t n = out.i16();
    if (out.failed() || n < 0 || n > *length || out.remaining() != size_t(n)) badStubData();
    if (n > 0) out.bytes(buffer, size_t(n));
    *length = n;
    return int(r.result);
  });
}

int ReservedProc2(const plat::RpcBinding& binding, const HwId* hwid, int16_t length,
                  const uint8_t* buffer, uint32_t* exceptionCode) {
  return guarded(exceptionCode, [&] {
    if (length < 0 || (length > 0 && !buffer)) badStubData();
    ByteWriter args = hwidArgument(hwid);
    args.u16(uint16_t(length)).bytes(buffer, size_t(length));
    plat::RpcResult r =
        plat::rpcCall(binding, kConnectionServerRpc, kProcReservedProc2, args.data());
    expectNoOutputs(r);
    return int(r.result);
  });
}

int AskUserDeviceSelection(const plat::RpcBinding& binding, HwId* hwid, uint64_t parentWindow,
                           uint32_t* exceptionCode) {
  return guarded(exceptionCode, [&] {
    ByteWriter args = hwidArgument(hwid);
    args.u64(parentWindow);
    plat::RpcResult r =
        plat::rpcCall(binding, kConnectionServerRpc, kProcAskUserDeviceSelection, args.data());
    if (r.outputs.size() != sizeof(HwId)) badStubData();
    std::memcpy(hwid->id, r.outputs.data(), sizeof(HwId));
    return int(r.result);
  });
}

int OpenChannel(const plat::RpcBinding& binding, const HwId* hwid, uint8_t protocolId, int16_t size,
                char* pipe, uint32_t* exceptionCode) {
  return guarded(exceptionCode, [&] {
    if (size > 0 && !pipe) throw plat::RpcException(plat::kRpcInvalidArgument);
    ByteWriter args = hwidArgument(hwid);
    args.u8(protocolId).u16(uint16_t(size));
    plat::RpcResult r = plat::rpcCall(binding, kConnectionServerRpc, kProcOpenChannel, args.data());
    ByteReader out(r.outputs);
    const uint16_t n = out.u16();
    if (out.failed() || out.remaining() != n) badStubData();
    if (r.result != 0) {
      if (n != 0) badStubData();
      return int(r.result);
    }
    // The name must fit the buffer and end at its first zero byte.
    const uint8_t* name = out.view(n);
    if (n < 1 || size <= 0 || n > uint16_t(size) || std::memchr(name, 0, n) != name + n - 1)
      badStubData();
    std::memcpy(pipe, name, n);
    return 0;
  });
}

int OpenChannelWrapper(const plat::RpcBinding& binding, uint8_t protocolId, HwId hwid,
                       char name[kPipeNameBuffer], uint32_t* exceptionCode) {
  return OpenChannel(binding, &hwid, protocolId, kPipeNameBuffer, name, exceptionCode);
}

// ------------------------------------------------------------------ server

uint32_t ConnectionServerCall::onlineDevicesCallback(uint64_t cookie, const HwId* ids,
                                                     size_t count) {
  if (count > kMaxOnlineDevices || (count > 0 && !ids)) return plat::kRpcBadStubData;
  ByteWriter args;
  args.reserve(10 + count * sizeof(HwId));
  args.u64(cookie).u16(uint16_t(count)).bytes(ids, count * sizeof(HwId));
  return call_.callback(kOnlineDevicesCallback, args.data());
}

uint32_t dispatchConnectionServerRpc(ConnectionServerRpcHandler& handler, plat::RpcCall& call,
                                     uint16_t procedure, const uint8_t* arguments, size_t length,
                                     plat::RpcResult* reply) {
  ConnectionServerCall context(call);
  ByteReader in(arguments, length);
  ByteWriter out;
  reply->outputs.clear();
  switch (procedure) {
    case kProcGetOnlineDevices: {
      const uint64_t cookie = in.u64();
      if (!in.done()) return plat::kRpcBadStubData;
      reply->result = handler.GetOnlineDevices(context, cookie);
      return 0;
    }
    case kProcReservedProc1:
    case kProcReservedProc2: {
      const HwId hwid = readHwId(in);
      const int16_t n = in.i16();
      if (in.failed() || n < 0 || in.remaining() != size_t(n)) return plat::kRpcBadStubData;
      const uint8_t* bytes = in.view(size_t(n));
      std::vector<uint8_t> buffer(bytes, bytes + n);
      if (procedure == kProcReservedProc2) {
        reply->result = handler.ReservedProc2(context, hwid, buffer);
        return 0;
      }
      reply->result = handler.ReservedProc1(context, hwid, &buffer);
      if (buffer.size() > size_t(n)) buffer.resize(size_t(n));
      out.u16(uint16_t(buffer.size())).bytes(buffer.data(), buffer.size());
      reply->outputs = out.take();
      return 0;
    }
    case kProcAskUserDeviceSelection: {
      const HwId sent = readHwId(in);
      const uint64_t window = in.u64();
      if (!in.done()) return plat::kRpcBadStubData;
      HwId hwid = sent;
      reply->result = handler.AskUserDeviceSelection(context, &hwid, window);
      const HwId& answer = reply->result == 0 ? hwid : sent;
      out.bytes(answer.id, sizeof answer.id);
      reply->outputs = out.take();
      return 0;
    }
    case kProcOpenChannel: {
      const HwId hwid = readHwId(in);
      const uint8_t protocolId = in.u8();
      const int16_t size = in.i16();
      if (!in.done()) return plat::kRpcBadStubData;
      std::string name;
      uint16_t result = 1;
      if (size > 0) {
        result = handler.OpenChannel(context, hwid, protocolId, size, &name);
        if (result == 0 && (name.size() + 1 > size_t(size) || name.find('\0') != std::string::npos))
          result = 1;
      }
      reply->result = result;
      if (result != 0) {
        out.u16(0);
      } else {
        out.u16(uint16_t(name.size() + 1)).bytes(name.c_str(), name.size() + 1);
      }
      reply->outputs = out.take();
      return 0;
    }
    default:
      return plat::kRpcProcedureOutOfRange;
  }
}

uint32_t ConnectionServerRpcServer::start(const plat::RpcServerOptions& options,
                                          plat::RpcServer::Step* failedStep) {
  ConnectionServerRpcHandler* handler = handler_;
  return server_.start(
      kConnectionServerRpc,
      [handler](plat::RpcCall& call, uint16_t procedure, const uint8_t* arguments, size_t length,
                plat::RpcResult* reply) {
        return dispatchConnectionServerRpc(*handler, call, procedure, arguments, length, reply);
      },
      options, failedStep);
}

}  // namespace translayer
