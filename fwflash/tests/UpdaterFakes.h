// Fakes of the updater worker's ports: a device, a file server client that
// transfers on threads of its own as the real one does, and an event sink
// that lets a test wait for what the worker posted.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fwflash/UpdaterPorts.h"
#include "plat/threadsafety.h"

namespace fwflash::testing {

class FakeDevice : public DeviceApi {
 public:
  FakeDevice() {
    texts[DeviceText::kVersionString] = "1.8.0";
    texts[DeviceText::kTarget] = "sim-target";
    texts[DeviceText::kSubTarget] = "sim-sub";
    texts[DeviceText::kVerbose] = "emulated";
    texts[DeviceText::kFriendlyName] = "bench unit";
  }

  Handle connect(const std::vector<uint8_t>& hwid) override {
    plat::LockGuard lock(mutex);
    ++connects;
    lastHwid = hwid;
    if (!online) return nullptr;
    open.insert(++nextHandle);
    return reinterpret_cast<Handle>(nextHandle);
  }
  void disconnect(Handle handle) override {
    plat::LockGuard lock(mutex);
    open.erase(reinterpret_cast<uintptr_t>(handle));
    ++disconnects;
  }
  bool queryText(Handle handle, DeviceText which, uint8_t* buffer) override {
    plat::LockGuard lock(mutex);
    if (!online || !open.count(reinterpret_cast<uintptr_t>(handle)) || failing.count(which))
      return false;
    const std::string& t = texts[which];
    std::memcpy(buffer, t.data(), std::min(t.size(), kDeviceTextSize));
    return true;
  }
  bool requestUpgrade(Handle handle, const char* volume, const char* file) override {
    plat::LockGuard lock(mutex);
    upgrades.emplace_back(std::string(volume), std::string(file));
    if (leaveOnUpgrade) online = false;
    // A reply that never comes breaks the handle for good, as in devmgr.
    if (silentOnUpgrade) open.erase(reinterpret_cast<uintptr_t>(handle));
    return upgradeAnswer;
  }
  bool reset(Handle) override {
    plat::LockGuard lock(mutex);
    ++resets;
    online = false;
    return true;
  }

  void set(std::function<void(FakeDevice&)> change) {
    plat::LockGuard lock(mutex);
    change(*this);
  }
  template <typename T>
  T get(std::function<T(const FakeDevice&)> read) {
    plat::LockGuard lock(mutex);
    return read(*this);
  }

  // Guarded by mutex (tests use set / get).
  plat::Mutex mutex;
  bool online = true;
  std::map<DeviceText, std::string> texts;
  std::set<DeviceText> failing;
  bool upgradeAnswer = true;
  bool leaveOnUpgrade = false;
  bool silentOnUpgrade = false;  // no answer to the request; the device stays
  std::vector<std::pair<std::string, std::string>> upgrades;
  std::set<uintptr_t> open;
  uintptr_t nextHandle = 0;
  int connects = 0, disconnects = 0, resets = 0;
  std::vector<uint8_t> lastHwid;
};

class FakeFileServer : public FileServerApi {
 public:
  struct Call {
    std::string kind, volume, remote, localPath;
    std::vector<uint8_t> localBytes;  // the local file as it was when the call came
    bool localExisted = false;
    int cleanupsBefore = 0;  // cleanup() calls made before this one
  };

  ~FakeFileServer() override { cleanup(); }

  bool unlink(const std::vector<uint8_t>&, FileServerCallback cb, void* user,
              const std::string& volume, const std::string& remote) override {
    record({"unlink", volume, remote, {}, {}, false});
    start(cb, user, {}, 1, unlinkResult);
    return true;
  }
  bool download(const std::vector<uint8_t>&, FileServerCallback cb, void* user,
                const std::string& volume, const std::string& localPath, const std::string& remote,
                int) override {
    Call call{"download", volume, remote, localPath, {}, false};
    std::ifstream in(localPath, std::ios::binary);
    call.localExisted = bool(in);
    call.localBytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    record(call);
    if (startFails) {
      const int32_t code = -107;
      cb(user, 2, &code, 4);
      return false;
    }
    const int32_t size = int32_t(call.localBytes.size());
    std::vector<std::vector<int32_t>> progress = progressRecords;
    if (progress.empty()) progress = {{0, size}, {size / 2, size}, {size, size}};
    start(cb, user, progress, downloadResult < 0 ? 2 : 1, downloadResult);
    return true;
  }
  void cleanup() override {
    std::vector<std::thread> threads;
    {
      plat::LockGuard lock(mutex);
      threads.swap(threads_);
      ++cleanups;
    }
    for (auto& t : threads) t.join();
  }
  const char* translateError(int code) override {
    switch (code) {
      case -28:
        return "No space left on device (ENOSPC)";
      case -107:
        return "connection refused (ECONNREFUSED)";
      case -108:
        return "connection reset by remote party (ECONNRESET)";
      default:
        return nullptr;
    }
  }

  std::vector<Call> calls() {
    plat::LockGuard lock(mutex);
    return calls_;
  }

  // Set before the transfer starts.
  int32_t unlinkResult = 0;
  int32_t downloadResult = 0;
  bool startFails = false;
  std::vector<std::vector<int32_t>> progressRecords;  // raw {done, total} records to send
  int cleanups = 0;

 private:
  void record(Call call) {
    plat::LockGuard lock(mutex);
    call.cleanupsBefore = cleanups;
    calls_.push_back(call);
  }
  void start(FileServerCallback cb, void* user, std::vector<std::vector<int32_t>> progress,
             int endEvent, int32_t result) {
    plat::LockGuard lock(mutex);
    threads_.emplace_back([=] {
      for (const auto& record : progress)
        cb(user, 3, record.data(), record.size() * sizeof(int32_t));
      cb(user, endEvent, &result, sizeof result);
    });
  }

  plat::Mutex mutex;
  std::vector<Call> calls_;
  std::vector<std::thread> threads_;
};

class EventLog : public UpdaterEventSink {
 public:
  void post(std::unique_ptr<UpdaterEvent> event) override {
    {
      plat::LockGuard lock(mutex_);
      events_.push_back(*event);
    }
    cv_.notify_all();
  }
  // Waits (10 s at most) until an event with `code` has arrived after the
  // first `from` events; its index, or -1.
  int waitFor(int code, size_t from = 0) {
    plat::UniqueLock lock(mutex_);
    int found = -1;
    cv_.wait_for(lock, std::chrono::seconds(10), [&] {
      for (size_t i = from; i < events_.size(); ++i)
        if (events_[i].code == code) return (found = int(i)) >= 0;
      return false;
    });
    return found;
  }
  std::vector<UpdaterEvent> events() {
    plat::LockGuard lock(mutex_);
    return events_;
  }
  size_t size() {
    plat::LockGuard lock(mutex_);
    return events_.size();
  }

 private:
  plat::Mutex mutex_;
  plat::CondVar cv_;
  std::vector<UpdaterEvent> events_;
};

inline std::u16string u16(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace fwflash::testing
