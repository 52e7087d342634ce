#include "vlnjni/EventQueue.h"

namespace vlnjni {

void EventQueue::setRemoteId(void* handle, Bytes id) {
  std::lock_guard<std::mutex> lock(mapLock_);
  // Events the library sent before its register call returned get the id
  // now, so the dispatcher (held back until then) never sees them without.
  std::lock_guard<std::mutex> queue(queueLock_);
  for (auto& event : queue_) {
    if (event->handle != handle || event->origin != NativeEvent::Origin::kDuringRegistration)
      continue;
    event->origin = NativeEvent::Origin::kRegistered;
    event->id = id;
  }
  ids_[handle] = std::move(id);
  wake_.notify_all();
}

EventQueue::Bytes EventQueue::findRemoteId(void* handle) const {
  std::lock_guard<std::mutex> lock(mapLock_);
  const auto it = ids_.find(handle);
  return it == ids_.end() ? Bytes{} : it->second;
}

void EventQueue::eraseRemoteId(void* handle) {
  std::lock_guard<std::mutex> map(mapLock_);
  ids_.erase(handle);
  std::lock_guard<std::mutex> queue(queueLock_);
  for (auto& event : queue_) {
    if (event->handle != handle) continue;
    event->origin = NativeEvent::Origin::kOrphaned;
    event->id.clear();
  }
}

void EventQueue::beginRegistration() {
  std::lock_guard<std::mutex> lock(mapLock_);
  ++registering_;
}

void EventQueue::endRegistration() {
  std::lock_guard<std::mutex> lock(mapLock_);
  if (--registering_ > 0) return;
  // No registration stored their handle: nobody's events.
  std::lock_guard<std::mutex> queue(queueLock_);
  for (auto& event : queue_) {
    if (event->origin == NativeEvent::Origin::kDuringRegistration)
      event->origin = NativeEvent::Origin::kOrphaned;
  }
  wake_.notify_all();
}

void EventQueue::push(std::unique_ptr<NativeEvent> event) {
  if (!event) return;
  // The map lock is held until the event is in the queue, so an erase
  // either sees it there or happened before its origin was fixed.
  std::lock_guard<std::mutex> map(mapLock_);
  const auto it = ids_.find(event->handle);
  if (it != ids_.end()) {
    event->origin = NativeEvent::Origin::kRegistered;
    event->id = it->second;
  } else {
    event->origin = registering_ > 0 ? NativeEvent::Origin::kDuringRegistration
                                     : NativeEvent::Origin::kOrphaned;
    event->id.clear();
  }
  std::lock_guard<std::mutex> queue(queueLock_);
  if (!running_) return;
  queue_.push_back(std::move(event));
  wake_.notify_one();
}

std::unique_ptr<NativeEvent> EventQueue::pop() {
  std::unique_lock<std::mutex> lock(queueLock_);
  // An event sent during a registration waits until the registration has
  // stored its id (or ended without one); the events behind it wait too, to
  // keep the order.
  wake_.wait(lock, [&] {
    return !running_ ||
           (!queue_.empty() && queue_.front()->origin != NativeEvent::Origin::kDuringRegistration);
  });
  if (!running_) return nullptr;
  auto event = std::move(queue_.front());
  queue_.pop_front();
  return event;
}

EventQueue::Bytes EventQueue::deliveryId(const NativeEvent& event) const {
  switch (event.origin) {
    case NativeEvent::Origin::kRegistered:
      return event.id;
    case NativeEvent::Origin::kDuringRegistration:
      return findRemoteId(event.handle);
    case NativeEvent::Origin::kOrphaned:
      break;
  }
  return {};
}

void EventQueue::stop() {
  std::deque<std::unique_ptr<NativeEvent>> dropped;
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    running_ = false;
    dropped.swap(queue_);
    wake_.notify_all();
  }
}

std::size_t EventQueue::size() const {
  std::lock_guard<std::mutex> lock(queueLock_);
  return queue_.size();
}

}  // namespace vlnjni
