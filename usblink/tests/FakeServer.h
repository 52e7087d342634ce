// The server's side of the media callbacks, recording what usblink hands it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "usblink/MediaInterface.h"

namespace usblink::test {

class FakeServer {
 public:
  using Bytes = std::vector<uint8_t>;
  using Clock = std::chrono::steady_clock;
  static constexpr int kWaitMs = 10000;

  struct MediaEvent {
    int kind;
    std::vector<uint32_t> indices;
    bool operator==(const MediaEvent&) const = default;
  };
  struct TxCall {
    int mode;
    uint16_t room;
    Clock::time_point at;
  };
  // Answers one tx call: writes a frame and returns its length (0: none).
  using TxPolicy = std::function<uint16_t(uint8_t* destination, uint16_t room, int mode)>;

  static void onEvent(void* self, int kind, const uint32_t* indices, size_t count) {
    auto* s = static_cast<FakeServer*>(self);
    std::lock_guard<std::mutex> lock(s->mutex_);
    s->events_.push_back({kind, std::vector<uint32_t>(indices, indices + count)});
    s->changed_.notify_all();
  }
  static void onRx(void* self, uint8_t* frame, uint16_t* length) {
    auto* s = static_cast<FakeServer*>(self);
    std::lock_guard<std::mutex> lock(s->mutex_);
    s->frames_.emplace_back(frame, frame + *length);
    s->changed_.notify_all();
  }
  static void onTx(void* self, uint8_t* destination, uint16_t* length, int mode) {
    auto* s = static_cast<FakeServer*>(self);
    std::lock_guard<std::mutex> lock(s->mutex_);
    const uint16_t room = *length;
    s->txCalls_.push_back({mode, room, Clock::now()});
    *length = 0;
    if (s->policy_) {
      *length = s->policy_(destination, room, mode);
    } else if (!s->outgoing_.empty()) {
      const Bytes frame = std::move(s->outgoing_.front());
      s->outgoing_.pop_front();
      std::memcpy(destination, frame.data(), frame.size());
      *length = uint16_t(frame.size());
    }
    s->changed_.notify_all();
  }

  // Frames the tx callback hands out, one per call, in any mode.
  void queueFrame(Bytes frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    outgoing_.push_back(std::move(frame));
  }
  void setPolicy(TxPolicy policy) {
    std::lock_guard<std::mutex> lock(mutex_);
    policy_ = std::move(policy);
  }

  std::vector<MediaEvent> events() const { return copy(events_); }
  std::vector<Bytes> frames() const { return copy(frames_); }
  std::vector<TxCall> txCalls() const { return copy(txCalls_); }

  bool waitEvents(size_t n, int ms = kWaitMs) const { return waitSize(events_, n, ms); }
  bool waitFrames(size_t n, int ms = kWaitMs) const { return waitSize(frames_, n, ms); }
  bool waitTxCalls(size_t n, int ms = kWaitMs) const { return waitSize(txCalls_, n, ms); }

 private:
  template <typename T>
  std::vector<T> copy(const std::vector<T>& v) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return v;
  }
  template <typename T>
  bool waitSize(const std::vector<T>& v, size_t n, int ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return v.size() >= n; });
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<MediaEvent> events_;
  std::vector<Bytes> frames_;
  std::vector<TxCall> txCalls_;
  std::deque<Bytes> outgoing_;
  TxPolicy policy_;
};

}  // namespace usblink::test
