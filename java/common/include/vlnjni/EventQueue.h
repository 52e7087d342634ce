// The queue between a wrapped library's callback threads and the dispatcher
// thread, with the map from library handle to remote id. No JNI here, so it
// is tested on its own (under ThreadSanitizer too).
//
// Which id an event is delivered with is fixed when it is queued, never by
// looking its handle up at dispatch: a handle the library freed and gave to
// another device would otherwise deliver the first device's queued events
// under the second one's id.
//   - handle registered when queued: that id;
//   - queued while a registration is running (the library may call back
//     before its register call has returned the handle): given the id when
//     the registration stores it, orphaned when it ends without; pop()
//     holds such an event (and those behind it) back until then;
//   - otherwise, and for every event still queued when its handle is
//     erased: orphaned, delivered with the empty id.
//
// Threads: any. One mutex guards queue and running flag (the dispatcher waits
// on it with a predicate, so no wake-up is lost); the map has its own.
// Lock order: map lock -> queue lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace vlnjni {

struct NativeEvent {
  enum class Origin { kRegistered, kDuringRegistration, kOrphaned };

  NativeEvent(void* h, std::int32_t t, std::vector<std::uint8_t> p, std::uint64_t s)
      : handle(h), type(t), payload(std::move(p)), size(s) {}
  virtual ~NativeEvent() = default;  // bindings derive to add fields

  void* handle;
  std::int32_t type;
  std::vector<std::uint8_t> payload;
  std::uint64_t size;
  Origin origin = Origin::kOrphaned;
  std::vector<std::uint8_t> id;  // set when queued for kRegistered
};

class EventQueue {
 public:
  using Bytes = std::vector<std::uint8_t>;

  void setRemoteId(void* handle, Bytes id);
  // Empty when the handle is not registered.
  Bytes findRemoteId(void* handle) const;
  // Erases the handle and orphans its queued events.
  void eraseRemoteId(void* handle);
  // Brackets a library register call.
  void beginRegistration();
  void endRegistration();

  // Fixes the event's origin and queues it; after stop() it is dropped.
  void push(std::unique_ptr<NativeEvent> event);
  // Waits for the next event; null once stopped (queued events are then
  // discarded undelivered).
  std::unique_ptr<NativeEvent> pop();
  // The id to deliver `event` with (see the top).
  Bytes deliveryId(const NativeEvent& event) const;
  void stop();
  std::size_t size() const;

 private:
  mutable std::mutex mapLock_;
  std::map<void*, Bytes> ids_;
  int registering_ = 0;

  mutable std::mutex queueLock_;
  std::condition_variable wake_;
  std::deque<std::unique_ptr<NativeEvent>> queue_;
  bool running_ = true;
};

}  // namespace vlnjni
