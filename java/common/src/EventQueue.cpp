#include "vlnjni/EventQueue.h"

namespace vlnjni {

void EventQueue::setRemoteId(void* handle, Bytes id) {
  std::lock_guard<std::mutex> lock(mapLock_);
  ids_[handle] = std::move(id);
  registered_.notify_all();
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
  --registering_;
  registered_.notify_all();
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
  std::unique_ptr<NativeEvent> event;
  {
    std::unique_lock<std::mutex> lock(queueLock_);
    wake_.wait(lock, [&] { return !running_ || !queue_.empty(); });
    if (!running_) return nullptr;
    event = std::move(queue_.front());
    queue_.pop_front();
  }
  // The library called back before its register call returned the handle:
  // the id is known only once that registration has stored it, so wait for
  // it rather than deliver the event with no id.
  if (event->origin == NativeEvent::Origin::kDuringRegistration) {
    std::unique_lock<std::mutex> map(mapLock_);
    registered_.wait(map, [&] {
      return stopped_ || registering_ == 0 || ids_.count(event->handle) != 0;
    });
    if (stopped_) return nullptr;
  }
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
    std::lock_guard<std::mutex> map(mapLock_);
    stopped_ = true;
    registered_.notify_all();
  }
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
