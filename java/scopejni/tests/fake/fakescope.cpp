// A stand-in for the digital scope client library with its exports, for
// reaching the binding's paths the real library never takes. Register gives
// event 1 and unregister event 0, on the calling thread; every request
// returns 0 and is logged. A trigger of kind 0x7FFF5C is a command instead:
// threshold = [event, mode, rest...]
//   mode 0: the event with `rest` as its bytes (no bytes: null data);
//   mode 1: a raw result (length 16): status = rest[0..3], size =
//           rest[4..7], data = rest[8..] (null when nothing follows);
//   mode 2: the event with null data and length = size of rest.
// With FAKESCOPE_LOG naming a file, each export call is appended to it as
// one line ("register HEX", "unregister HEX", "addChannel N", ...).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "scopeproto/scopeproto.h"
#include "testsupport/CallLog.h"
#include "testsupport/FakeHandles.h"
#include "testsupport/HexText.h"

struct DigScopeCmdProc {
  std::vector<std::uint8_t> id;
  ProtDigScopeCallback callback = nullptr;
  int count = 0;
};

namespace {

using testsupport::appendCallLine;
using testsupport::hexUpper;

constexpr int kCommandKind = 0x7FFF5C;

testsupport::FakeHandles<DigScopeCmdProc> gHandles;

void emit(DigScopeCmdProc* h, std::uint64_t event, const void* data, std::uint64_t length) {
  if (h->callback) h->callback(h, event, data, length);
}

void command(DigScopeCmdProc* h, const std::uint8_t* data, std::size_t length) {
  if (length < 2) return;
  const std::uint8_t event = data[0], mode = data[1];
  const std::uint8_t* rest = data + 2;
  const std::size_t n = length - 2;
  if (mode == 1 && n >= 8) {
    ProtDigScopeRawResult raw{};
    std::memcpy(&raw.status, rest, 4);
    std::memcpy(&raw.size, rest + 4, 4);
    raw.data = n > 8 ? rest + 8 : nullptr;
    emit(h, event, &raw, sizeof raw);
  } else if (mode == 2) {
    emit(h, event, nullptr, n);
  } else {
    emit(h, event, n ? rest : nullptr, n);
  }
}

ScopeResult logged(const std::string& line) {
  appendCallLine("FAKESCOPE_LOG", line);
  return 0;
}

}  // namespace

extern "C" {

ProtDigScopeHandle ProtDigScopeRegister(const uint8_t* hwid, size_t hwidsz,
                                        ProtDigScopeCallback callback) {
  if (!hwid || hwidsz != 16) return nullptr;
  std::vector<std::uint8_t> id(hwid, hwid + hwidsz);
  DigScopeCmdProc* h = gHandles.acquire(id, callback);
  appendCallLine("FAKESCOPE_LOG", "register " + hexUpper(id));
  emit(h, PROT_DIGSCOPE_EVENT_UP, nullptr, 0);
  return h;
}

void ProtDigScopeUnRegister(ProtDigScopeHandle handle) {
  appendCallLine("FAKESCOPE_LOG", "unregister " + hexUpper(handle->id));
  emit(handle, PROT_DIGSCOPE_EVENT_DOWN, nullptr, 1);
  gHandles.release(handle);
}

bool ProtDigScopeGetSignature(ProtDigScopeHandle, uint8_t out[16]) {
  appendCallLine("FAKESCOPE_LOG", "signature");
  for (int i = 0; i < 16; ++i) out[i] = std::uint8_t(0xC0 + i);
  return true;
}

ScopeResult ProtDigScopeGetCapabilities(ProtDigScopeHandle, ProtDigScopeCapabilities* caps) {
  caps->maxChannels = 200;  // above 127: zero-extended, never negative
  caps->maxTriggers = 255;
  caps->baseSampleSize = 129;
  caps->timeBase = -2.5f;
  caps->bufferSize = 0x80000001u;
  return logged("capabilities");
}

ScopeResult ProtDigScopeAddChannel(ProtDigScopeHandle, int index, float) {
  return logged("addChannel " + std::to_string(index));
}
ScopeResult ProtDigScopeModifyChannel(ProtDigScopeHandle, int index, float) {
  return logged("modifyChannel " + std::to_string(index));
}
ScopeResult ProtDigScopeRemoveChannel(ProtDigScopeHandle, int index) {
  return logged("removeChannel " + std::to_string(index));
}

ScopeResult ProtDigScopeAddTrigger(ProtDigScopeHandle handle, int index, int kind,
                                   const char* threshold, size_t length) {
  if (kind == kCommandKind) {
    command(handle, reinterpret_cast<const std::uint8_t*>(threshold), length);
    return 0;
  }
  return logged("addTrigger " + std::to_string(index) + " " + std::to_string(kind) + " " +
                std::to_string(length));
}
ScopeResult ProtDigScopeModifyTrigger(ProtDigScopeHandle, int index, int kind, const char*,
                                      size_t length) {
  return logged("modifyTrigger " + std::to_string(index) + " " + std::to_string(kind) + " " +
                std::to_string(length));
}
ScopeResult ProtDigScopeRemoveTrigger(ProtDigScopeHandle, int index) {
  return logged("removeTrigger " + std::to_string(index));
}
ScopeResult ProtDigScopeSetParameters(ProtDigScopeHandle, int mode, float, float) {
  return logged("setParameters " + std::to_string(mode));
}
ScopeResult ProtDigScopeArm(ProtDigScopeHandle) { return logged("arm"); }
ScopeResult ProtDigScopeCancel(ProtDigScopeHandle) { return logged("cancel"); }
ScopeResult ProtDigScopeReqRawConfiguration(ProtDigScopeHandle) { return logged("rawConfig"); }
ScopeResult ProtDigScopeReqRawData(ProtDigScopeHandle) { return logged("rawData"); }

}  // extern "C"
