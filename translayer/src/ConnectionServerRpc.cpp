#include "translayer/ConnectionServerRpc.h"

#include <cstring>
#include <new>

#include "translayer/RpcMemory.h"

namespace {

constexpr uint32_t kOutOfMemory = 14;

void putU16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void putU64(std::vector<uint8_t>& b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void putBytes(std::vector<uint8_t>& b, const void* p, size_t n) {
  const auto* bytes = static_cast<const uint8_t*>(p);
  b.insert(b.end(), bytes, bytes + n);
}

// Reads fields off untrusted bytes; a read past the end clears ok() and
// yields zeros.
class Cursor {
 public:
  Cursor(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  const uint8_t* take(size_t k) {
    if (!ok_ || n_ - pos_ < k) {
      ok_ = false;
      return nullptr;
    }
    const uint8_t* at = p_ + pos_;
    pos_ += k;
    return at;
  }
  uint8_t u8() {
    const uint8_t* q = take(1);
    return q ? q[0] : 0;
  }
  uint16_t u16() {
    const uint8_t* q = take(2);
    return q ? uint16_t(q[0] | q[1] << 8) : 0;
  }
  int16_t i16() { return int16_t(u16()); }
  uint64_t u64() {
    const uint8_t* q = take(8);
    uint64_t v = 0;
    for (int i = 0; q && i < 8; ++i) v |= uint64_t(q[i]) << (8 * i);
    return v;
  }
  HwId hwid() {
    HwId id{};
    if (const uint8_t* q = take(16)) std::memcpy(id.id, q, 16);
    return id;
  }
  bool ok() const { return ok_; }
  size_t remaining() const { return n_ - pos_; }
  // Everything read and nothing left over.
  bool complete() const { return ok_ && pos_ == n_; }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  bool ok_ = true;
};

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

std::vector<uint8_t> hwidArgument(const HwId* hwid) {
  if (!hwid) throw plat::RpcException(plat::kRpcInvalidArgument);
  std::vector<uint8_t> args;
  putBytes(args, hwid->id, 16);
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
    std::vector<uint8_t> args;
    putU64(args, cookie);
    auto onCallback = [&](uint16_t number, const uint8_t* data, size_t length) -> uint32_t {
      if (number != kOnlineDevicesCallback) return plat::kRpcProcedureOutOfRange;
      Cursor in(data, length);
      const uint64_t got = in.u64();
      const int16_t count = in.i16();
      if (!in.ok() || count < 0 || in.remaining() != size_t(count) * sizeof(HwId))
        return plat::kRpcBadStubData;
      if (got != cookie) return plat::kRpcInvalidArgument;
      HwId* ids = nullptr;
      if (count > 0) {
        ids = static_cast<HwId*>(MIDL_user_allocate(size_t(count) * sizeof(HwId)));
        if (!ids) return kOutOfMemory;
        std::memcpy(ids, in.take(size_t(count) * sizeof(HwId)), size_t(count) * sizeof(HwId));
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
    plat::RpcResult r =
        plat::rpcCall(binding, kConnectionServerRpc, kProcGetOnlineDevices, args, onCallback);
    expectNoOutputs(r);
    return int(r.result);
  });
}

int ReservedProc1(const plat::RpcBinding& binding, const HwId* hwid, int16_t* length,
                  uint8_t* buffer, uint32_t* exceptionCode) {
  return guarded(exceptionCode, [&] {
    if (!length || *length < 0 || (*length > 0 && !buffer)) badStubData();
    std::vector<uint8_t> args = hwidArgument(hwid);
    putU16(args, uint16_t(*length));
    putBytes(args, buffer, size_t(*length));
    plat::RpcResult r = plat::rpcCall(binding, kConnectionServerRpc, kProcReservedProc1, args);
    Cursor out(r.outputs.data(), r.outputs.size());
    const int16_t n = out.i16();
    if (!out.ok() || n < 0 || n > *length || out.remaining() != size_t(n)) badStubData();
    if (n > 0) std::memcpy(buffer, out.take(size_t(n)), size_t(n));
    *length = n;
    return int(r.result);
  });
}

int ReservedProc2(const plat::RpcBinding& binding, const HwId* hwid, int16_t length,
                  const uint8_t* buffer, uint32_t* exceptionCode) {
  return guarded(exceptionCode, [&] {
    if (length < 0 || (length > 0 && !buffer)) badStubData();
    std::vector<uint8_t> args = hwidArgument(hwid);
    putU16(args, uint16_t(length));
    putBytes(args, buffer, size_t(length));
    plat::RpcResult r = plat::rpcCall(binding, kConnectionServerRpc, kProcReservedProc2, args);
    expectNoOutputs(r);
    return int(r.result);
  });
}

int AskUserDeviceSelection(const plat::RpcBinding& binding, HwId* hwid, uint64_t parentWindow,
                           uint32_t* exceptionCode) {
  return guarded(exceptionCode, [&] {
    std::vector<uint8_t> args = hwidArgument(hwid);
    putU64(args, parentWindow);
    plat::RpcResult r =
        plat::rpcCall(binding, kConnectionServerRpc, kProcAskUserDeviceSelection, args);
    if (r.outputs.size() != sizeof(HwId)) badStubData();
    std::memcpy(hwid->id, r.outputs.data(), sizeof(HwId));
    return int(r.result);
  });
}

int OpenChannel(const plat::RpcBinding& binding, const HwId* hwid, uint8_t protocolId,
                int16_t size, char* pipe, uint32_t* exceptionCode) {
  return guarded(exceptionCode, [&] {
    if (size > 0 && !pipe) throw plat::RpcException(plat::kRpcInvalidArgument);
    std::vector<uint8_t> args = hwidArgument(hwid);
    args.push_back(protocolId);
    putU16(args, uint16_t(size));
    plat::RpcResult r = plat::rpcCall(binding, kConnectionServerRpc, kProcOpenChannel, args);
    Cursor out(r.outputs.data(), r.outputs.size());
    const uint16_t n = out.u16();
    if (!out.ok() || out.remaining() != n) badStubData();
    if (r.result != 0) {
      if (n != 0) badStubData();
      return int(r.result);
    }
    // The name must fit the buffer and end at its first zero byte.
    const uint8_t* name = out.take(n);
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
  std::vector<uint8_t> args;
  args.reserve(10 + count * sizeof(HwId));
  putU64(args, cookie);
  putU16(args, uint16_t(count));
  putBytes(args, ids, count * sizeof(HwId));
  return call_.callback(kOnlineDevicesCallback, args);
}

uint32_t dispatchConnectionServerRpc(ConnectionServerRpcHandler& handler, plat::RpcCall& call,
                                     uint16_t procedure, const uint8_t* arguments, size_t length,
                                     plat::RpcResult* reply) {
  ConnectionServerCall context(call);
  Cursor in(arguments, length);
  reply->outputs.clear();
  switch (procedure) {
    case kProcGetOnlineDevices: {
      const uint64_t cookie = in.u64();
      if (!in.complete()) return plat::kRpcBadStubData;
      reply->result = handler.GetOnlineDevices(context, cookie);
      return 0;
    }
    case kProcReservedProc1:
    case kProcReservedProc2: {
      const HwId hwid = in.hwid();
      const int16_t n = in.i16();
      if (!in.ok() || n < 0 || in.remaining() != size_t(n)) return plat::kRpcBadStubData;
      const uint8_t* bytes = in.take(size_t(n));
      std::vector<uint8_t> buffer(bytes, bytes + n);
      if (procedure == kProcReservedProc2) {
        reply->result = handler.ReservedProc2(context, hwid, buffer);
        return 0;
      }
      reply->result = handler.ReservedProc1(context, hwid, &buffer);
      if (buffer.size() > size_t(n)) buffer.resize(size_t(n));
      putU16(reply->outputs, uint16_t(buffer.size()));
      putBytes(reply->outputs, buffer.data(), buffer.size());
      return 0;
    }
    case kProcAskUserDeviceSelection: {
      const HwId sent = in.hwid();
      const uint64_t window = in.u64();
      if (!in.complete()) return plat::kRpcBadStubData;
      HwId hwid = sent;
      reply->result = handler.AskUserDeviceSelection(context, &hwid, window);
      const HwId& answer = reply->result == 0 ? hwid : sent;
      putBytes(reply->outputs, answer.id, sizeof answer.id);
      return 0;
    }
    case kProcOpenChannel: {
      const HwId hwid = in.hwid();
      const uint8_t protocolId = in.u8();
      const int16_t size = in.i16();
      if (!in.complete()) return plat::kRpcBadStubData;
      std::string name;
      uint16_t result = 1;
      if (size > 0) {
        result = handler.OpenChannel(context, hwid, protocolId, size, &name);
        if (result == 0 && (name.size() + 1 > size_t(size) || name.find('\0') != std::string::npos))
          result = 1;
      }
      reply->result = result;
      if (result != 0) {
        putU16(reply->outputs, 0);
        return 0;
      }
      putU16(reply->outputs, uint16_t(name.size() + 1));
      putBytes(reply->outputs, name.c_str(), name.size() + 1);
      return 0;
    }
    default: return plat::kRpcProcedureOutOfRange;
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
