// A stand-in for the parameter database client library with its exports,
// for reaching the binding's paths the real library never takes. Every
// event is passed to the callback on the calling thread before the export
// returns:
//   register: event 1 (null, 0); unregister: event 0 (null, 1), then a pause
//   of about 200 ms;
//   signature: event 2 with bytes A0..AF; store: event 3 {1};
//   read N: event 4 {N, "value N", 7 + digits};
//   write N (N != 0xFFFF): event 5 {N, 1}; an empty write is refused (false).
// A write to index 0xFFFF is a command instead: data = [event, mode, rest...]
//   mode 0: the event with `rest` as its bytes;
//   mode 1: a read result (length 24) whose index is rest[0..1] and whose
//           value is rest[2..];
//   mode 2: the event with null data and length = size of rest.
// With FAKEPARDB_LOG naming a file, each export call is appended to it as one
// line ("register HEX", "unregister HEX", "signature", "store", "read N",
// "write N LENGTH"), so a test sees which calls reached the library.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pardbproto/pardbproto.h"
#include "testsupport/CallLog.h"
#include "testsupport/FakeHandles.h"
#include "testsupport/HexText.h"

struct ParamCmdProc {
  std::vector<std::uint8_t> id;
  ProtParDBCallback callback = nullptr;
  int count = 0;
};

namespace {

using testsupport::appendCallLine;
using testsupport::hexUpper;

testsupport::FakeHandles<ParamCmdProc> gHandles;

void emit(ParamCmdProc* h, std::uint64_t event, const void* data, std::uint64_t length) {
  if (h->callback) h->callback(h, event, data, length);
}

void command(ParamCmdProc* h, const std::uint8_t* data, std::size_t length) {
  if (length < 2) return;
  const std::uint8_t event = data[0];
  const std::uint8_t mode = data[1];
  const std::uint8_t* rest = data + 2;
  const std::size_t restSize = length - 2;
  if (mode == 1 && restSize >= 2) {
    ProtParDBReadResult result{};
    std::memcpy(&result.index, rest, 2);
    result.data = restSize > 2 ? rest + 2 : nullptr;
    result.length = restSize - 2;
    emit(h, event, &result, sizeof result);
  } else if (mode == 2) {
    emit(h, event, nullptr, restSize);
  } else {
    emit(h, event, restSize ? rest : nullptr, restSize);
  }
}

}  // namespace

extern "C" {

ProtParDBHandle ProtParDBRegister(const uint8_t* hwid, size_t hwidsz, ProtParDBCallback callback) {
  if (!hwid || hwidsz != PROT_PARDB_HWID_SIZE) return nullptr;
  std::vector<std::uint8_t> id(hwid, hwid + hwidsz);
  ParamCmdProc* h = gHandles.acquire(id, callback);
  appendCallLine("FAKEPARDB_LOG", "register " + hexUpper(id));
  emit(h, PROT_PARDB_EVENT_UP, nullptr, 0);
  return h;
}

void ProtParDBUnRegister(ProtParDBHandle handle) {
  appendCallLine("FAKEPARDB_LOG", "unregister " + hexUpper(handle->id));
  emit(handle, PROT_PARDB_EVENT_DOWN, nullptr, PROT_PARDB_DOWN_UNREGISTERED);
  // Long enough for the dispatcher to deliver the down before the call
  // returns, so a binding that still maps the handle shows the id.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  gHandles.release(handle);
}

bool ProtParDBReqSignature(ProtParDBHandle handle) {
  appendCallLine("FAKEPARDB_LOG", "signature");
  std::uint8_t signature[16];
  for (int i = 0; i < 16; ++i) signature[i] = std::uint8_t(0xA0 + i);
  emit(handle, PROT_PARDB_EVENT_SIGNATURE, signature, sizeof signature);
  return true;
}

bool ProtParDBReqStore(ProtParDBHandle handle) {
  appendCallLine("FAKEPARDB_LOG", "store");
  const std::uint32_t stored = PROT_PARDB_RESULT_OK;
  emit(handle, PROT_PARDB_EVENT_STORE, &stored, sizeof stored);
  return true;
}

bool ProtParDBReqRead(ProtParDBHandle handle, int index) {
  appendCallLine("FAKEPARDB_LOG", "read " + std::to_string(index));
  const std::string value = "value " + std::to_string(index);
  ProtParDBReadResult result{};
  result.index = std::uint16_t(index);
  result.data = reinterpret_cast<const std::uint8_t*>(value.data());
  result.length = value.size();
  emit(handle, PROT_PARDB_EVENT_READ, &result, sizeof result);
  return true;
}

bool ProtParDBReqWrite(ProtParDBHandle handle, int index, const void* data, size_t length) {
  appendCallLine("FAKEPARDB_LOG", "write " + std::to_string(index) + " " + std::to_string(length));
  if (!data || length == 0) return false;
  if (index == 0xFFFF) {
    command(handle, static_cast<const std::uint8_t*>(data), length);
    return true;
  }
  ProtParDBWriteResult result{};
  result.index = std::uint16_t(index);
  result.result = PROT_PARDB_RESULT_OK;
  emit(handle, PROT_PARDB_EVENT_WRITE, &result, sizeof result);
  return true;
}

}  // extern "C"
