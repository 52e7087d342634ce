#include "fakecb.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/CallLog.h"
#include "testsupport/HexText.h"

namespace {

struct Slot {
  bool used = false;
  std::vector<uint8_t> id;
  int count = 0;
  FakeCallback callback = nullptr;
};

// Plain heap state, never destroyed: the library may be asked to call back
// while the process ends.
struct State {
  std::mutex lock;
  Slot slots[4];
  std::map<std::vector<uint8_t>, int> registrations;
  // The worker: runs while anything is registered.
  std::thread worker;
  std::mutex jobLock;
  std::condition_variable jobWake;
  std::deque<std::function<void()>> jobs;
  bool stopping = false;
};

State& state() {
  static State* s = new State;
  return *s;
}

void logLine(const char* what, const std::vector<uint8_t>& id) {
  testsupport::appendCallLine("FAKECB_LOG", std::string(what) + " " + testsupport::hexUpper(id));
}

void workerBody() {
  State& s = state();
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(s.jobLock);
      s.jobWake.wait(lock, [&] { return s.stopping || !s.jobs.empty(); });
      if (s.jobs.empty()) return;
      job = std::move(s.jobs.front());
      s.jobs.pop_front();
    }
    job();
  }
}

void startWorker() {
  State& s = state();
  if (s.worker.joinable()) return;
  s.stopping = false;
  s.worker = std::thread(workerBody);
}

void stopWorker() {
  State& s = state();
  if (!s.worker.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(s.jobLock);
    s.stopping = true;
    s.jobWake.notify_all();
  }
  s.worker.join();
}

bool anyUsed(State& s) {
  for (const Slot& slot : s.slots)
    if (slot.used) return true;
  return false;
}

// At unload (dlclose) nothing is registered any more; at process exit the
// handles still open are torn down as a library does at its unload, calling
// back as they go.
__attribute__((destructor)) void tearDown() {
  State& s = state();
  std::vector<std::pair<Slot*, FakeCallback>> open;
  {
    std::lock_guard<std::mutex> lock(s.lock);
    for (Slot& slot : s.slots)
      if (slot.used) open.emplace_back(&slot, slot.callback);
  }
  for (auto& [slot, callback] : open)
    if (callback) callback(slot, 0, nullptr, 1);
  stopWorker();
}

}  // namespace

extern "C" {

void* FakeRegister(const uint8_t* id, size_t size, FakeCallback callback) {
  if (!id || size != 16 || !callback) return nullptr;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  std::vector<uint8_t> key(id, id + size);
  Slot* free = nullptr;
  for (Slot& slot : s.slots) {
    if (slot.used && slot.id == key) {
      ++slot.count;
      ++s.registrations[key];
      logLine("register", key);
      return &slot;
    }
    if (!slot.used && !free) free = &slot;
  }
  if (!free) return nullptr;
  startWorker();
  free->used = true;
  free->id = key;
  free->count = 1;
  free->callback = callback;
  ++s.registrations[key];
  logLine("register", key);
  return free;
}

void FakeUnRegister(void* handle) {
  State& s = state();
  FakeCallback callback = nullptr;
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(s.lock);
    Slot* slot = static_cast<Slot*>(handle);
    if (slot < s.slots || slot >= s.slots + 4 || !slot->used) return;
    logLine("unregister", slot->id);
    callback = slot->callback;
    last = --slot->count == 0;
  }
  if (!last) return;
  callback(handle, 0, nullptr, 1);
  std::lock_guard<std::mutex> lock(s.lock);
  Slot* slot = static_cast<Slot*>(handle);
  slot->used = false;
  slot->callback = nullptr;
  if (!anyUsed(s)) stopWorker();
}

int FakeEmit(const uint8_t* id, size_t size, uint64_t event, const void* data, uint64_t length) {
  if (!id || size != 16) return 0;
  State& s = state();
  Slot* target = nullptr;
  FakeCallback callback = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.lock);
    const std::vector<uint8_t> key(id, id + size);
    for (Slot& slot : s.slots)
      if (slot.used && slot.id == key) target = &slot;
    if (!target) return 0;
    callback = target->callback;
  }
  std::vector<uint8_t> copy(static_cast<const uint8_t*>(data),
                            static_cast<const uint8_t*>(data) + length);
  std::mutex doneLock;
  std::condition_variable doneWake;
  bool done = false;
  {
    std::lock_guard<std::mutex> lock(s.jobLock);
    s.jobs.push_back([&] {
      callback(target, event, copy.empty() ? nullptr : copy.data(), copy.size());
      std::lock_guard<std::mutex> l(doneLock);
      done = true;
      doneWake.notify_all();
    });
    s.jobWake.notify_all();
  }
  std::unique_lock<std::mutex> lock(doneLock);
  doneWake.wait(lock, [&] { return done; });
  return 1;
}

int FakeRegisterCount(const uint8_t* id, size_t size) {
  if (!id || size != 16) return 0;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  const auto it = s.registrations.find(std::vector<uint8_t>(id, id + size));
  return it == s.registrations.end() ? 0 : it->second;
}

int FakeQuery(void* handle) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.lock);
  Slot* slot = static_cast<Slot*>(handle);
  if (slot < s.slots || slot >= s.slots + 4 || !slot->used) return 0;
  return int(slot - s.slots) + 1;
}

}  // extern "C"
