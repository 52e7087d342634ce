// Records every scopeproto callback of the test process, with the thread it
// came on and when, and lets a test wait for the events it expects.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "scopeproto/scopeproto.h"

namespace scopetest {

using Clock = std::chrono::steady_clock;
// Generous: nothing here depends on the machine's speed.
constexpr int kWaitMs = 20000;

struct Record {
  ProtDigScopeHandle handle = nullptr;
  uint64_t event = 0;
  uint64_t length = 0;
  ProtDigScopeStatus status{};          // event 2
  ProtDigScopeChannelList list{};       // event 3
  ProtDigScopeProgress progress{};      // event 4
  uint32_t rawStatus = 0, rawSize = 0;  // event 5
  bool rawData = false;                 // event 5: a data pointer came
  std::vector<uint8_t> data;            // event 5
  std::thread::id thread;
  Clock::time_point at;
};

class Recorder {
 public:
  static Recorder& get() {
    static Recorder* instance = new Recorder;
    return *instance;
  }

  static void callback(ProtDigScopeHandle handle, uint64_t event, const void* data, uint64_t length) {
    Record r;
    r.handle = handle;
    r.event = event;
    r.length = length;
    r.thread = std::this_thread::get_id();
    r.at = Clock::now();
    if (event == 2 && length == sizeof r.status) std::memcpy(&r.status, data, sizeof r.status);
    if (event == 3 && length == sizeof r.list) std::memcpy(&r.list, data, sizeof r.list);
    if (event == 4 && length == sizeof r.progress) std::memcpy(&r.progress, data, sizeof r.progress);
    if (event == 5 && length == sizeof(ProtDigScopeRawResult)) {
      const auto* raw = static_cast<const ProtDigScopeRawResult*>(data);
      r.rawStatus = raw->status;
      r.rawSize = raw->size;
      r.rawData = raw->data != nullptr;
      if (raw->data) r.data.assign(raw->data, raw->data + raw->size);
    }
    Recorder& self = get();
    std::lock_guard<std::mutex> lock(self.mutex_);
    self.records_.push_back(std::move(r));
    self.cv_.notify_all();
  }

  size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
  }

  // Index of the first record at or after `from` for `handle` with `event`
  // that `also` accepts, or -1 when none came within `ms`.
  int waitFor(ProtDigScopeHandle handle, uint64_t event, size_t from, int ms = kWaitMs,
              const std::function<bool(const Record&)>& also = {}) {
    std::unique_lock<std::mutex> lock(mutex_);
    int found = -1;
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (size_t i = from; i < records_.size(); ++i) {
        const Record& r = records_[i];
        if (r.handle == handle && r.event == event && (!also || also(r))) {
          found = int(i);
          return true;
        }
      }
      return false;
    });
    return found;
  }

  Record at(int i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_[size_t(i)];
  }

  std::vector<Record> since(ProtDigScopeHandle handle, size_t from) {
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

inline long msBetween(Clock::time_point a, Clock::time_point b) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

}  // namespace scopetest
