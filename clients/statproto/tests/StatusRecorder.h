// Records every statproto callback of the test process, with the thread it
// came on and when, and lets a test wait for the events it expects.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "plat/thread.h"
#include "statproto/statproto.h"
#include "svcwire/StatusWire.h"

namespace stattest {

using Clock = std::chrono::steady_clock;
// Generous: nothing here depends on the machine's speed.
constexpr int kWaitMs = 20000;

struct Record {
  ProtStatusHandle handle = nullptr;
  uint64_t event = 0;
  uint64_t length = 0;
  std::vector<uint16_t> list;  // events 3, 4
  std::vector<uint8_t> bytes;  // event 2
  std::string text;            // event 5
  std::thread::id thread;
  std::string threadName;
  Clock::time_point at;
};

class Recorder {
 public:
  static Recorder& get() {
    static Recorder* instance = new Recorder;
    return *instance;
  }

  static void callback(ProtStatusHandle handle, uint64_t event, const void* data, uint64_t length) {
    Record r;
    r.handle = handle;
    r.event = event;
    r.length = length;
    r.thread = std::this_thread::get_id();
    r.threadName = plat::currentThreadName();
    r.at = Clock::now();
    if ((event == 3 || event == 4) && length == sizeof(ProtStatusList)) {
      const auto* list = static_cast<const ProtStatusList*>(data);
      r.list.assign(list->values, list->values + list->count);
    } else if (event == 2 && data) {
      const auto* p = static_cast<const uint8_t*>(data);
      r.bytes.assign(p, p + length);
    } else if (event == 5 && length == sizeof(ProtStatusText)) {
      r.text = static_cast<const ProtStatusText*>(data)->text;
    }
    Recorder& self = get();
    std::lock_guard<std::mutex> lock(self.mutex_);
    self.records_.push_back(std::move(r));
    self.cv_.notify_all();
  }

  // Index of the first record at or after `from` for `handle` with `event`
  // (and, for event 0, `length`), or -1 when none came within `ms`.
  int waitFor(ProtStatusHandle handle, uint64_t event, size_t from, int ms = kWaitMs,
              uint64_t length = UINT64_MAX) {
    std::unique_lock<std::mutex> lock(mutex_);
    int found = -1;
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (size_t i = from; i < records_.size(); ++i) {
        const Record& r = records_[i];
        if (r.handle == handle && r.event == event && (length == UINT64_MAX || r.length == length)) {
          found = int(i);
          return true;
        }
      }
      return false;
    });
    return found;
  }
  // Asks for notifications and waits for the status text: its index, or -1
  // (also when the request was refused).
  int notifiedText(ProtStatusHandle handle) {
    const size_t from = size();
    return ProtStatusReqNotifications(handle) ? waitFor(handle, 5, from) : -1;
  }
  Record at(int i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.at(size_t(i));
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
  }
  // The records of `handle` from `from` on.
  std::vector<Record> since(ProtStatusHandle handle, size_t from) {
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

// Device messages outside the rules of the service; each breaks the channel.
inline std::vector<std::pair<const char*, std::vector<uint8_t>>> badMessages() {
  namespace wire = svcwire::status;
  std::vector<uint8_t> shortSignature(16, 0xEE);  // code and 15 bytes
  shortSignature[0] = wire::kSignature;
  std::vector<uint8_t> bigMask(1 + wire::kMaxEventMaskBytes + 1, 0);
  bigMask[0] = wire::kEvents;
  std::vector<uint8_t> fullMask(1 + wire::kMaxEventMaskBytes, 0xFF);  // 65536 events
  fullMask[0] = wire::kEvents;
  std::vector<uint8_t> longPower(1 + wire::kMaxPowerStateBytes + 2, 0);
  longPower[0] = wire::kPowerStates;
  return {
      {"15-byte signature", shortSignature},
      {"odd power list", {wire::kPowerStates, 1, 2, 3}},
      {"code 99", {99}},
      {"empty message", {}},
      {"8193-byte mask", bigMask},
      {"65536 events", fullMask},
      {"65536 power states", longPower},
  };
}

// Threads of the library (its handler and its channels' pipe threads).
inline size_t libraryThreads() {
  size_t n = 0;
  for (const std::string& name : plat::processThreadNames())
    if (name == "ChannelHandler" || name == "TrIfTranClient") ++n;
  return n;
}

// Waits until `done` holds; false when it did not within kWaitMs.
template <typename Done>
bool eventually(Done done) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace stattest
