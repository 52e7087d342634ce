// The handles a fake registration library hands out: one per device id,
// counted, since the real libraries give every registration of an id the
// same handle and free it with the last unregistration. `Handle` has the
// fields id, callback and count.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace testsupport {

template <class Handle>
class FakeHandles {
 public:
  template <class Callback>
  Handle* acquire(const std::vector<std::uint8_t>& id, Callback callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    Handle*& slot = handles_[id];
    if (!slot) {
      slot = new Handle;
      slot->id = id;
      slot->callback = callback;
    }
    ++slot->count;
    return slot;
  }
  void release(Handle* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--handle->count == 0) {
      handles_.erase(handle->id);
      delete handle;
    }
  }

 private:
  std::mutex mutex_;
  std::map<std::vector<std::uint8_t>, Handle*> handles_;
};

}  // namespace testsupport
