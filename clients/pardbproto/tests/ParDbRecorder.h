// Records every pardbproto callback of the test process, with the thread it
// came on and when, and lets a test wait for the events it expects.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pardbproto/pardbproto.h"
#include "plat/thread.h"

namespace pardbtest {

using Clock = std::chrono::steady_clock;
// Generous: nothing here depends on the machine's speed.
constexpr int kWaitMs = 20000;

struct Record {
  ProtParDBHandle handle = nullptr;
  uint64_t event = 0;
  uint64_t length = 0;
  uint16_t index = 0;          // events 4, 5
  uint32_t result = 0;         // events 3, 5
  std::vector<uint8_t> bytes;  // event 2: the signature; event 4: the value
  std::string threadName;
  std::thread::id thread;
  Clock::time_point at;
};

class Recorder {
 public:
  static Recorder& get() {
    static Recorder* instance = new Recorder;
    return *instance;
  }

  static void callback(ProtParDBHandle handle, uint64_t event, const void* data, uint64_t length) {
    Record r;
    r.handle = handle;
    r.event = event;
    r.length = length;
    r.thread = std::this_thread::get_id();
    r.threadName = plat::currentThreadName();
    r.at = Clock::now();
    if (event == PROT_PARDB_EVENT_SIGNATURE && data) {
      const auto* p = static_cast<const uint8_t*>(data);
      r.bytes.assign(p, p + length);
    } else if (event == PROT_PARDB_EVENT_STORE && length == 4) {
      std::memcpy(&r.result, data, 4);
    } else if (event == PROT_PARDB_EVENT_READ && length == sizeof(ProtParDBReadResult)) {
      const auto* read = static_cast<const ProtParDBReadResult*>(data);
      r.index = read->index;
      if (read->length) r.bytes.assign(read->data, read->data + read->length);
    } else if (event == PROT_PARDB_EVENT_WRITE && length == sizeof(ProtParDBWriteResult)) {
      const auto* write = static_cast<const ProtParDBWriteResult*>(data);
      r.index = write->index;
      r.result = write->result;
    }
    Recorder& self = get();
    std::lock_guard<std::mutex> lock(self.mutex_);
    self.records_.push_back(std::move(r));
    self.cv_.notify_all();
  }

  // Index of the first record at or after `from` for `handle` with `event`,
  // or -1 when none came within `ms`.
  int waitFor(ProtParDBHandle handle, uint64_t event, size_t from, int ms = kWaitMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    int found = -1;
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (size_t i = from; i < records_.size(); ++i) {
        if (records_[i].handle == handle && records_[i].event == event) {
          found = int(i);
          return true;
        }
      }
      return false;
    });
    return found;
  }
  // Waits until `count` records of `event` for `handle` came from `from` on.
  bool waitCount(ProtParDBHandle handle, uint64_t event, size_t from, size_t count,
                 int ms = kWaitMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      size_t n = 0;
      for (size_t i = from; i < records_.size(); ++i)
        if (records_[i].handle == handle && records_[i].event == event) ++n;
      return n >= count;
    });
  }
  Record at(int i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.at(size_t(i));
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
  }
  std::vector<Record> since(ProtParDBHandle handle, size_t from) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Record> out;
    for (size_t i = from; i < records_.size(); ++i)
      if (records_[i].handle == handle) out.push_back(records_[i]);
    return out;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Record> records_;
};

// Threads of the library (its handler and its channels' pipe threads).
inline size_t libraryThreads() {
  size_t n = 0;
  for (const std::string& name : plat::processThreadNames())
    if (name == "ChannelHandler" || name == "TrIfTranClient") ++n;
  return n;
}

template <typename Done>
bool eventually(Done done) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline long msBetween(Clock::time_point a, Clock::time_point b) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

}  // namespace pardbtest
