// The control RPC's server side as a client process meets it: a server of the
// connection server interface in this process, and each input played on a
// fresh connection to it.
//
// Byte 0 bit 0 set: the rest goes out as it is (framing included) and the
// sending side is closed; one frame comes back unless the frame was cut. Clear: bytes 1-2
// are a u16 little-endian body length, that many bytes are the call's body
// (sent as one frame), and the rest answers the server's callbacks in turn,
// each a u8 length and that many bytes (sent as one frame). With no answer
// left the sending side is closed.
//
// Checked: the server answers every call it read (a connection may end
// without an answer only once a callback went out), within the wait; every
// frame it sends is well formed; a reply comes only for arguments the
// interface allows, and its outputs meet the interface's rules.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "plat/rpc.h"
#include "plat/runtime.h"
#include "rpc_fixture.h"
#include "translayer/ConnectionServerRpc.h"

namespace {

using translayer::ConnectionServerCall;
using translayer::HwId;

constexpr int kWaitMs = 5000;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

uint16_t u16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t u32(const uint8_t* p) { return uint32_t(u16(p)) | uint32_t(u16(p + 2)) << 16; }
uint64_t u64(const uint8_t* p) { return uint64_t(u32(p)) | uint64_t(u32(p + 4)) << 32; }

// How many ids the handler sends for a cookie (more than a callback carries
// for the last case: refused without a word to the client).
size_t idsFor(uint64_t cookie) {
  const size_t n = size_t(cookie % 5);
  return n == 4 ? translayer::kMaxOnlineDevices + 1 : n;
}

// Everything it answers follows from the arguments, so the client can check.
class Handler : public translayer::ConnectionServerRpcHandler {
 public:
  uint16_t GetOnlineDevices(ConnectionServerCall& call, uint64_t cookie) override {
    std::vector<HwId> ids(idsFor(cookie));
    for (size_t i = 0; i < ids.size(); ++i) std::memset(ids[i].id, int(i & 0xFF), 16);
    const int rounds = (cookie >> 8 & 1) ? 2 : 1;
    for (int i = 0; i < rounds; ++i)
      if (call.onlineDevicesCallback(cookie, ids.data(), ids.size()) != 0) return 4;
    return 0;
  }
  uint16_t ReservedProc1(ConnectionServerCall&, const HwId& hwid,
                         std::vector<uint8_t>* buffer) override {
    switch (hwid.id[0] % 3) {
      case 1:
        if (!buffer->empty()) buffer->pop_back();
        break;
      case 2:
        buffer->insert(buffer->end(), 3, 0xAB);  // longer than came in: cut
        break;
    }
    return 0;
  }
  uint16_t ReservedProc2(ConnectionServerCall&, const HwId& hwid,
                         const std::vector<uint8_t>&) override {
    return hwid.id[0];
  }
  uint16_t AskUserDeviceSelection(ConnectionServerCall&, HwId* hwid, uint64_t window) override {
    if (window % 2 == 0) {
      std::reverse(hwid->id, hwid->id + 16);
      return 0;
    }
    std::memset(hwid->id, 0, 16);  // cancelled: what came goes back, not this
    return 5;
  }
  uint16_t OpenChannel(ConnectionServerCall&, const HwId& hwid, uint8_t protocolId, int16_t,
                       std::string* pipeName) override {
    pipeName->assign(protocolId % 80, 'p');
    if (hwid.id[1] == 0xFF && !pipeName->empty()) (*pipeName)[pipeName->size() / 2] = '\0';
    return uint16_t(hwid.id[0] % 4);
  }
};

struct Server {
  Server() {
    dir = plat::makeTempDir("rpc-fuzz-");
    check(!dir.empty());
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", dir);
    plat::RpcServerOptions options;
    options.minThreads = 2;
    options.maxCalls = 8;
    options.callFrameTimeoutMs = kWaitMs;
    options.sendTimeoutMs = kWaitMs;
    check(server.start(options) == 0);
  }
  ~Server() {
    server.stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string dir;
  Handler handler;
  translayer::ConnectionServerRpcServer server{&handler};
};

void ensureServer() { static Server server; }

// A frame the server may send at all.
void checkFrame(const std::vector<uint8_t>& body) {
  check(!body.empty());
  switch (body[0]) {
    case plat::kRpcFrameReply:
      check(body.size() >= 3);
      return;
    case plat::kRpcFrameFault:
      check(body.size() == 5 && u32(&body[1]) != 0);
      return;
    case plat::kRpcFrameCallback:
      check(body.size() >= 3);
      return;
    default:
      check(false);
  }
}

// The call as the interface reads it.
struct Call {
  bool header = false;  // a call of this interface and version, procedure in range
  bool wellFormed = false;
  uint16_t procedure = 0;
  const uint8_t* args = nullptr;
  size_t length = 0;
  HwId hwid{};
};

Call readCall(const std::vector<uint8_t>& body) {
  const plat::RpcInterface& iface = translayer::kConnectionServerRpc;
  Call c;
  if (body.size() < 23 || body[0] != plat::kRpcFrameCall) return c;
  if (std::memcmp(&body[1], iface.id, 16) != 0 || u16(&body[17]) != iface.major ||
      u16(&body[19]) != iface.minor || u16(&body[21]) >= iface.procedureCount)
    return c;
  c.header = true;
  c.procedure = u16(&body[21]);
  c.args = body.data() + 23;
  c.length = body.size() - 23;
  if (c.procedure != 0 && c.length >= 16) std::memcpy(c.hwid.id, c.args, 16);
  switch (c.procedure) {
    case 0:
      c.wellFormed = c.length == 8;
      break;
    case 1:
    case 2:
      c.wellFormed = c.length >= 18 && int16_t(u16(c.args + 16)) >= 0 &&
                     c.length - 18 == size_t(u16(c.args + 16));
      break;
    case 3:
      c.wellFormed = c.length == 24;
      break;
    case 4:
      c.wellFormed = c.length == 19;
      break;
  }
  return c;
}

void checkCallback(const Call& call, const std::vector<uint8_t>& body) {
  check(call.wellFormed && call.procedure == 0);
  const uint64_t cookie = u64(call.args);
  const size_t ids = idsFor(cookie);
  check(ids <= translayer::kMaxOnlineDevices);  // a longer list is never sent
  check(body.size() == 3 + 10 + ids * 16 && u16(&body[1]) == translayer::kOnlineDevicesCallback);
  check(u64(&body[3]) == cookie && u16(&body[11]) == ids);
  for (size_t i = 0; i < ids; ++i)
    for (size_t j = 0; j < 16; ++j) check(body[13 + 16 * i + j] == uint8_t(i & 0xFF));
}

// What the client did with the server's callbacks.
struct Callbacks {
  int received = 0;
  bool allDone = true;  // each answered with "callback done"
};

void checkReply(const Call& call, const Callbacks& callbacks, const std::vector<uint8_t>& body) {
  check(call.wellFormed);
  const uint16_t result = u16(&body[1]);
  const uint8_t* out = body.data() + 3;
  const size_t n = body.size() - 3;
  switch (call.procedure) {
    case 0: {
      // Success only when every callback went out and was run; a list too
      // long for one is never sent.
      const uint64_t cookie = u64(call.args);
      const int rounds = (cookie >> 8 & 1) ? 2 : 1;
      const bool tooMany = idsFor(cookie) > translayer::kMaxOnlineDevices;
      const bool ok = !tooMany && callbacks.allDone && callbacks.received == rounds;
      check(n == 0 && result == (ok ? 0 : 4));
      if (tooMany) check(callbacks.received == 0);
      return;
    }
    case 1: {
      const size_t in = u16(call.args + 16);
      check(n >= 2 && n - 2 == u16(out) && u16(out) <= in && result == 0);
      check(std::memcmp(out + 2, call.args + 18, u16(out)) == 0);
      return;
    }
    case 2:
      check(n == 0 && result == call.hwid.id[0]);
      return;
    case 3: {
      HwId expected = call.hwid;
      const bool chosen = u64(call.args + 16) % 2 == 0;
      if (chosen) std::reverse(expected.id, expected.id + 16);
      check(result == (chosen ? 0 : 5));
      check(n == 16 && std::memcmp(out, expected.id, 16) == 0);
      return;
    }
    case 4: {
      const int16_t size = int16_t(u16(call.args + 17));
      check(n >= 2 && n - 2 == u16(out));
      const size_t nameLength = n - 2;
      if (result != 0) {
        check(nameLength == 0 && result <= 3);
        return;
      }
      // A name the client can take: within the size, ending at its first zero.
      check(size > 0 && nameLength >= 1 && nameLength <= size_t(size));
      check(std::memchr(out + 2, 0, nameLength) == out + 2 + nameLength - 1);
      check(call.hwid.id[0] % 4 == 0 && nameLength - 1 == size_t(call.args[16] % 80));
      return;
    }
  }
  check(false);
}

void playRaw(const uint8_t* data, size_t size) {
  plat::test::RawConnection c(kWaitMs);
  check(c.connected());
  c.send(std::vector<uint8_t>(data, data + size));
  c.endSending();
  std::vector<uint8_t> body;
  const auto r = c.readFrame(&body);
  check(r != plat::test::RawConnection::Read::kTimedOut);
  // A frame over the limit is refused with 1783; a whole frame of any other
  // length is answered; only a cut one may go without a word.
  const uint32_t length = size >= 4 ? u32(data) : 0;
  if (size >= 4 && length > plat::kRpcFrameLimit) {
    check(r == plat::test::RawConnection::Read::kFrame);
    check(body.size() == 5 && body[0] == plat::kRpcFrameFault &&
          u32(&body[1]) == plat::kRpcBadStubData);
    return;
  }
  if (size >= 4 && size - 4 >= length) check(r == plat::test::RawConnection::Read::kFrame);
  if (r == plat::test::RawConnection::Read::kFrame) checkFrame(body);
}

void playCall(const uint8_t* data, size_t size) {
  if (size < 2) return;
  const size_t length = std::min<size_t>(u16(data), size - 2);
  const std::vector<uint8_t> body(data + 2, data + 2 + length);
  const uint8_t* answers = data + 2 + length;
  size_t left = size - 2 - length;
  const Call call = readCall(body);

  plat::test::RawConnection c(kWaitMs);
  check(c.connected());
  check(c.send(plat::test::frame(body)));
  Callbacks callbacks;
  for (;;) {
    std::vector<uint8_t> frame;
    const auto r = c.readFrame(&frame);
    check(r != plat::test::RawConnection::Read::kTimedOut);
    if (r == plat::test::RawConnection::Read::kLost) {
      check(callbacks.received > 0);  // else the call went unanswered
      return;
    }
    checkFrame(frame);
    if (frame[0] == plat::kRpcFrameFault) {
      check(!call.wellFormed);  // only a call the interface cannot read is refused
      return;
    }
    if (frame[0] == plat::kRpcFrameReply) {
      checkReply(call, callbacks, frame);
      return;
    }
    checkCallback(call, frame);
    ++callbacks.received;
    if (left == 0) {
      c.endSending();
      continue;
    }
    const size_t n = std::min<size_t>(answers[0], left - 1);
    const std::vector<uint8_t> answer(answers + 1, answers + 1 + n);
    answers += 1 + n;
    left -= 1 + n;
    if (answer != std::vector<uint8_t>{plat::kRpcFrameCallbackDone}) callbacks.allDone = false;
    c.send(plat::test::frame(answer));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size == 0) return 0;
  ensureServer();
  if (input[0] & 1u)
    playRaw(input + 1, size - 1);
  else
    playCall(input + 1, size - 1);
  return 0;
}
