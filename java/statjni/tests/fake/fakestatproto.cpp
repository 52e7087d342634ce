// A status library with the real one's exports that delivers whatever the
// test asks for, including what the real library never produces (a
// signature of the wrong length, an unknown event, a list or text record of
// the wrong length), to reach the binding's error paths.
//
// FAKESTATPROTO_EVENTS: events that each ProtStatusReqSignature delivers, in
// order, on a thread of the library (joined before the call returns), as
// "type:length[:count]" separated by commas. Payloads:
//   2      `length` bytes 0, 1, 2, ...
//   3, 4   length 16: a list record of `count` entries (default 3) taken in
//          turn from 0, 1, 0xFFFF, 7, 8, ...; any other length: zero bytes
//   5      length 8: a text record pointing to "fake \xC3\xA9 \xFF end"
//          (an ill-formed byte in it); length 0 with data null; else zeros
//   other  `length` zero bytes (null when 0)
// Register delivers event 1 before it returns; the first unregistration of
// a handle delivers event 0 (reason 1) on the caller's thread, then pauses
// about 200 ms before it returns. An id whose
// first byte is 0xEE gets no handle; one whose second byte is 0xEE has its
// notification requests refused.
#include <cassert>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "statproto/statproto.h"

struct StatusCmdProc {
  std::vector<uint8_t> id;
  ProtStatusCallback callback = nullptr;
  int registrations = 0;
};

namespace {

struct State {
  std::mutex lock;
  std::map<std::vector<uint8_t>, StatusCmdProc*> handles;
};

State& state() {
  static State* s = new State;  // never destroyed: callbacks may come late
  return *s;
}

struct Step {
  uint64_t type = 0;
  uint64_t length = 0;
  unsigned count = 3;
};

std::vector<Step> script() {
  std::vector<Step> steps;
  const char* text = std::getenv("FAKESTATPROTO_EVENTS");
  if (!text) return steps;
  std::stringstream all(text);
  std::string item;
  while (std::getline(all, item, ',')) {
    Step s;
    std::stringstream fields(item);
    std::string field;
    if (std::getline(fields, field, ':')) s.type = std::strtoull(field.c_str(), nullptr, 10);
    if (std::getline(fields, field, ':')) s.length = std::strtoull(field.c_str(), nullptr, 10);
    if (std::getline(fields, field, ':'))
      s.count = unsigned(std::strtoul(field.c_str(), nullptr, 10));
    steps.push_back(s);
  }
  return steps;
}

void deliver(StatusCmdProc* handle, const Step& s) {
  static const uint16_t kEntries[] = {0, 1, 0xFFFF, 7, 8, 9, 10, 11};
  static const char kText[] = "fake \xC3\xA9 \xFF end";
  std::vector<uint8_t> raw(s.length, 0);
  const void* data = s.length ? raw.data() : nullptr;
  std::vector<uint16_t> values;
  ProtStatusList list{};
  ProtStatusText text{};
  if (s.type == PROT_STATUS_EVENT_SIGNATURE) {
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i);
  } else if ((s.type == PROT_STATUS_EVENT_EVENTS || s.type == PROT_STATUS_EVENT_POWER) &&
             s.length == sizeof list) {
    for (unsigned i = 0; i < s.count; ++i) values.push_back(kEntries[i % 8]);
    list.count = uint16_t(s.count);
    list.values = values.data();
    data = &list;
  } else if (s.type == PROT_STATUS_EVENT_TEXT && s.length == sizeof text) {
    text.text = kText;
    data = &text;
  }
  handle->callback(handle, s.type, data, s.length);
}

}  // namespace

extern "C" {

STATPROTO_API ProtStatusHandle ProtStatusRegister(const uint8_t* hwid, size_t hwidsz,
                                                  ProtStatusCallback callback) {
  assert(hwidsz == PROT_STATUS_HWID_SIZE);
  std::vector<uint8_t> id(hwid, hwid + hwidsz);
  if (id[0] == 0xEE) return nullptr;
  StatusCmdProc* handle;
  {
    std::lock_guard<std::mutex> lock(state().lock);
    StatusCmdProc*& slot = state().handles[id];
    if (!slot) {
      slot = new StatusCmdProc;
      slot->id = id;
      slot->callback = callback;
    }
    ++slot->registrations;
    handle = slot;
  }
  if (handle->callback) handle->callback(handle, PROT_STATUS_EVENT_UP, nullptr, 0);
  return handle;
}

STATPROTO_API void ProtStatusUnRegister(ProtStatusHandle handle) {
  assert(handle);
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(state().lock);
    last = --handle->registrations == 0;
    if (last) state().handles.erase(handle->id);
  }
  if (handle->callback) {
    handle->callback(handle, PROT_STATUS_EVENT_DOWN, nullptr, PROT_STATUS_DOWN_UNREGISTERED);
    // Long enough for the dispatcher to deliver the down before the call
    // returns, so a binding that still maps the handle shows the id.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  // Freed handles are kept: an address is never reused, so a test that sees
  // an id mixed up knows the binding did it.
}

STATPROTO_API bool ProtStatusReqSignature(ProtStatusHandle handle) {
  assert(handle);
  if (!handle->callback) return true;
  const std::vector<Step> steps = script();
  std::thread worker([&] {
    for (const Step& s : steps) deliver(handle, s);
  });
  worker.join();
  return true;
}

STATPROTO_API bool ProtStatusReqNotifications(ProtStatusHandle handle) {
  assert(handle);
  return handle->id[1] != 0xEE;
}

}  // extern "C"
