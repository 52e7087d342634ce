#include "devsim/InProcessMedia.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>

#include "plat/thread.h"

namespace devsim {
namespace {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

plat::Mutex gInstanceMutex;
InProcessMedia* gInstance GUARDED_BY(gInstanceMutex) = nullptr;

constexpr size_t kBuilderBuffer = 1024;  // the server never builds more

using TimedFrame = FaultInjector::TimedFrame;

InProcessMedia* instance() {
  plat::LockGuard lock(gInstanceMutex);
  return gInstance;
}

}  // namespace

class InProcessMedia::Channel final : public FrameTransport {
 public:
  Channel(uint32_t index, const DeviceConfig& config, const MediaChannelOptions& options)
      : index_(index),
        options_(options),
        toDeviceFaults_(options.seed * 2 + 1),
        toHostFaults_(options.seed * 2 + 2) {
    toDeviceFaults_.setFaults(options.toDevice);
    toHostFaults_.setFaults(options.toHost);
    device_ = std::make_unique<Device>(config, this);
  }
  ~Channel() { stop(); }

  uint32_t index() const { return index_; }
  Device& device() { return *device_; }
  const MediaChannelOptions& options() const { return options_; }

  void start() {
    device_->start();
    thread_ = std::thread([this] { run(); });
  }

  void stop() {
    {
      plat::LockGuard lock(queueMutex_);
      stopping_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
    device_->stop();
  }

  bool removed() const {
    plat::LockGuard lock(queueMutex_);
    return stopping_;
  }

  void connect(ChannelRxCallback rx, ChannelTxCallback tx, void* context) {
    plat::LockGuard lock(callbackMutex_);
    rx_ = rx;
    tx_ = tx;
    context_ = context;
  }

  void disconnect() { connect(nullptr, nullptr, nullptr); }

  void signal() {
    {
      plat::LockGuard lock(queueMutex_);
      txSet_ = true;
    }
    cv_.notify_one();
  }

  void setFaults(const LinkFaults& toDevice, const LinkFaults& toHost) {
    plat::LockGuard lock(queueMutex_);
    toDeviceFaults_.setFaults(toDevice);
    toHostFaults_.setFaults(toHost);
  }

  MediaChannelStats stats() const {
    plat::LockGuard lock(queueMutex_);
    MediaChannelStats s = stats_;
    for (const FaultInjector* f : {&toDeviceFaults_, &toHostFaults_}) {
      s.dropped += f->counts().dropped;
      s.duplicated += f->counts().duplicated;
      s.swapped += f->counts().swapped;
    }
    return s;
  }

  // The device's frames, on the device's thread.
  void sendFrame(const uint8_t* frame, size_t length) override {
    {
      plat::LockGuard lock(queueMutex_);
      ++stats_.framesToHost;
      toHostFaults_.pass(std::vector<uint8_t>(frame, frame + length), Clock::now(), toHost_);
    }
    cv_.notify_one();
  }

 private:
  void run() {
    plat::setCurrentThreadName("inproc-media");
    const auto idle = std::chrono::milliseconds(options_.idleMs);
    TimePoint lastTransfer = Clock::now();
    bool more = false;  // a transfer completed: the media asks again at once
    plat::UniqueLock lock(queueMutex_);
    for (;;) {
      if (!more && !txSet_ && !stopping_) {
        TimePoint deadline = lastTransfer + idle;
        if (!toHost_.empty()) deadline = std::min(deadline, toHost_.front().due);
        if (!toDevice_.empty()) deadline = std::min(deadline, toDevice_.front().due);
        if (auto d = toHostFaults_.holdDeadline()) deadline = std::min(deadline, *d);
        if (auto d = toDeviceFaults_.holdDeadline()) deadline = std::min(deadline, *d);
        // One wait: whatever woke it, the deadlines are worked out afresh.
        cv_.wait_until(lock, deadline);
      }
      if (stopping_) break;
      ++stats_.wakeups;
      TimePoint now = Clock::now();
      toHostFaults_.tick(now, toHost_);
      toDeviceFaults_.tick(now, toDevice_);
      std::vector<std::vector<uint8_t>> forHost, forDevice;
      while (!toHost_.empty() && toHost_.front().due <= now) {
        forHost.push_back(std::move(toHost_.front().bytes));
        toHost_.pop_front();
      }
      while (!toDevice_.empty() && toDevice_.front().due <= now) {
        forDevice.push_back(std::move(toDevice_.front().bytes));
        toDevice_.pop_front();
      }
      const bool transmit = txSet_ || more;
      txSet_ = false;
      lock.unlock();

      for (const auto& f : forDevice) device_->receiveFrame(f.data(), f.size());
      std::vector<std::vector<uint8_t>> built;
      int calls[3] = {};
      bool transferred = false;
      {
        plat::LockGuard cb(callbackMutex_);
        if (rx_) {
          for (auto& f : forHost) {
            uint16_t length = uint16_t(f.size());
            rx_(context_, f.data(), &length);
          }
        }
        if (tx_ && transmit) {
          // One transfer: a first frame, then further frames while room is left.
          size_t bytes = 0;
          int mode = kMediaTxFirst;
          for (;;) {
            uint8_t buffer[kBuilderBuffer];
            uint16_t length = options_.maxFrameLength;
            ++calls[mode];
            tx_(context_, buffer, &length, mode);
            if (length == 0) break;
            built.emplace_back(buffer, buffer + length);
            bytes += length;
            if (bytes + options_.maxFrameLength > options_.transferBytes) break;
            mode = kMediaTxFurther;
          }
          transferred = !built.empty();
        }
        now = Clock::now();
        if (!transferred && now - lastTransfer >= idle) {
          if (tx_) {
            uint8_t buffer[kBuilderBuffer];
            uint16_t length = options_.maxFrameLength;
            ++calls[kMediaTxIdle];
            tx_(context_, buffer, &length, kMediaTxIdle);
            if (length) built.emplace_back(buffer, buffer + length);
          }
          // With no host the idle period starts again too, or the wait
          // above would end at once, over and over.
          lastTransfer = now;
        }
      }
      if (transferred) lastTransfer = now;
      more = transferred;

      lock.lock();
      for (int m = 0; m < 3; ++m) stats_.builderCalls[m] += calls[m];
      if (transferred) ++stats_.transfers;
      for (auto& f : built) {
        ++stats_.framesToDevice;
        if (f.size() > options_.maxFrameLength) ++stats_.oversizeFrames;
        toDeviceFaults_.pass(std::move(f), now, toDevice_);
      }
    }
  }

  const uint32_t index_;
  const MediaChannelOptions options_;

  plat::Mutex callbackMutex_;  // held around every callback
  ChannelRxCallback rx_ = nullptr;
  ChannelTxCallback tx_ = nullptr;
  void* context_ = nullptr;

  mutable plat::Mutex queueMutex_;  // guards what follows
  plat::CondVar cv_;
  bool txSet_ GUARDED_BY(queueMutex_) = false;
  bool stopping_ GUARDED_BY(queueMutex_) = false;
  std::deque<TimedFrame> toHost_ GUARDED_BY(queueMutex_), toDevice_ GUARDED_BY(queueMutex_);
  FaultInjector toDeviceFaults_ GUARDED_BY(queueMutex_), toHostFaults_ GUARDED_BY(queueMutex_);
  MediaChannelStats stats_ GUARDED_BY(queueMutex_);

  std::thread thread_;
  std::unique_ptr<Device> device_;
};

InProcessMedia::InProcessMedia() {
  plat::LockGuard lock(gInstanceMutex);
  gInstance = this;
}

InProcessMedia::~InProcessMedia() {
  {
    plat::LockGuard lock(gInstanceMutex);
    if (gInstance == this) gInstance = nullptr;
  }
  std::vector<std::unique_ptr<Channel>> channels;
  {
    plat::LockGuard lock(mutex_);
    channels.swap(channels_);
  }
  for (auto& c : channels) c->stop();
}

InProcessMedia::Channel* InProcessMedia::find(uint32_t index) const {
  for (const auto& c : channels_)
    if (c->index() == index) return c.get();
  return nullptr;
}

uint32_t InProcessMedia::addDevice(const DeviceConfig& config, const MediaChannelOptions& options) {
  MediaEventCallback callback = nullptr;
  void* context = nullptr;
  uint32_t index;
  {
    plat::LockGuard lock(mutex_);
    index = uint32_t(channels_.size() + 1);
    channels_.push_back(std::make_unique<Channel>(index, config, options));
    channels_.back()->start();
    if (created_) {
      callback = callback_;
      context = callbackContext_;
    }
  }
  if (callback) callback(context, kMediaEventArrived, &index, 1);
  return index;
}

Device& InProcessMedia::device(uint32_t index) {
  plat::LockGuard lock(mutex_);
  return find(index)->device();
}

void InProcessMedia::removeDevice(uint32_t index) {
  Channel* channel;
  MediaEventCallback callback = nullptr;
  void* context = nullptr;
  {
    plat::LockGuard lock(mutex_);
    channel = find(index);
    if (!channel) return;
    if (created_) {
      callback = callback_;
      context = callbackContext_;
    }
  }
  channel->stop();
  if (callback) callback(context, kMediaEventRemoved, &index, 1);
}

void InProcessMedia::setFaults(uint32_t index, const LinkFaults& toDevice,
                               const LinkFaults& toHost) {
  plat::LockGuard lock(mutex_);
  if (Channel* c = find(index)) c->setFaults(toDevice, toHost);
}

MediaChannelStats InProcessMedia::stats(uint32_t index) const {
  plat::LockGuard lock(mutex_);
  Channel* c = find(index);
  return c ? c->stats() : MediaChannelStats{};
}

// ---- entry points ----------------------------------------------------------
// Channels live until the media is destroyed, so a pointer found under the
// lock stays valid after it; callbacks are never made with mutex_ held.

void InProcessMedia::getMediaInfo(char16_t* text, int size) {
  if (size != 512) return;
  const std::u16string info = u"In-process Media (1.0)";
  std::memcpy(text, info.c_str(), (info.size() + 1) * sizeof(char16_t));
}

bool InProcessMedia::getChannelInfo(uint32_t index, MediaChannelInfo* info, int size) {
  if (size != int(sizeof(MediaChannelInfo))) return false;
  InProcessMedia* media = instance();
  if (!media) return false;
  plat::LockGuard lock(media->mutex_);
  Channel* c = media->find(index);
  if (!c || c->removed()) return false;
  const MediaChannelOptions& o = c->options();
  info->eventWaitMs = o.eventWaitMs;
  info->closeTimeoutMs = o.closeTimeoutMs;
  info->maxFrameLength = o.maxFrameLength;
  info->mediaFlag = 1;
  std::u16string path = u"INPROC\\";
  for (char ch : std::to_string(index)) path += char16_t(ch);
  std::memset(info->devicePath, 0, sizeof info->devicePath);
  std::memcpy(info->devicePath, path.c_str(), path.size() * sizeof(char16_t));
  return true;
}

void InProcessMedia::envCreate(MediaEventCallback callback, void* context) {
  InProcessMedia* media = instance();
  if (!media) return;
  std::vector<uint32_t> present;
  {
    plat::LockGuard lock(media->mutex_);
    if (media->created_) return;
    media->created_ = true;
    media->callback_ = callback;
    media->callbackContext_ = context;
    for (const auto& c : media->channels_)
      if (!c->removed()) present.push_back(c->index());
  }
  if (!present.empty() && callback)
    callback(context, kMediaEventArrived, present.data(), present.size());
}

void InProcessMedia::envDestroy() {
  InProcessMedia* media = instance();
  if (!media) return;
  std::vector<Channel*> channels;
  {
    plat::LockGuard lock(media->mutex_);
    media->created_ = false;
    media->callback_ = nullptr;
    media->callbackContext_ = nullptr;
    for (const auto& c : media->channels_) channels.push_back(c.get());
  }
  for (Channel* c : channels) c->disconnect();
}

bool InProcessMedia::channelConnect(uint32_t index, ChannelRxCallback rx, ChannelTxCallback tx,
                                    void* context, int* txEvent) {
  Channel* c = findInInstance(index);
  if (!c) return false;
  c->connect(rx, tx, context);
  *txEvent = int(index);
  return true;
}

bool InProcessMedia::channelDisconnect(uint32_t index) {
  Channel* c = findInInstance(index);
  if (!c) return false;
  c->disconnect();
  return true;
}

void InProcessMedia::setTransmitEvent(int txEvent) {
  if (txEvent <= 0) return;
  if (Channel* c = findInInstance(uint32_t(txEvent))) c->signal();
}

InProcessMedia::Channel* InProcessMedia::findInInstance(uint32_t index) {
  InProcessMedia* media = instance();
  if (!media) return nullptr;
  plat::LockGuard lock(media->mutex_);
  return media->find(index);
}

}  // namespace devsim
