// A scripted media for SessionLayer tests: the test plays the media's I/O
// thread, feeding frames to the rx callback and calling the frame builder
// itself, while the layer's own thread runs as in production.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "linkhub/MediaLibrary.h"
#include "linkhub/SessionLayer.h"
#include "linkproto/LinkProtocol.h"
#include "translayer/Event.h"

namespace linktest {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kIndex = 7;
constexpr int kTxEvent = 42;

inline Bytes uFrame(uint8_t code, Bytes payload = {}) {
  Bytes f{code};
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}
inline Bytes sFrame(uint8_t type, uint8_t nr, bool pf = false) {
  return {linkproto::sControl(type, nr, pf)};
}
inline Bytes iFrame(uint8_t ns, uint8_t nr, uint8_t channelByte, Bytes data = {}, bool pf = false) {
  Bytes f{linkproto::iControl(ns, nr, pf), channelByte};
  f.insert(f.end(), data.begin(), data.end());
  return f;
}
inline Bytes paramReply(uint16_t maxFrame, uint16_t channels) {
  return linkproto::paramAnswer({maxFrame, channels});
}
inline translayer::HwId testId() {
  translayer::HwId id;
  for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(0xA0 + i);
  return id;
}
inline Bytes identityReply(const translayer::HwId& id = testId()) {
  return uFrame(0xC7, Bytes(id.id, id.id + 16));
}

// The media side: one instance at a time, reached by the plain entry points.
class ScriptedMedia {
 public:
  ScriptedMedia() { current() = this; }
  ~ScriptedMedia() { current() = nullptr; }

  linkhub::MediaRecord record() {
    linkhub::MediaRecord r;
    r.getChannelInfo = &ScriptedMedia::getChannelInfo;
    r.channelConnect = &ScriptedMedia::channelConnect;
    r.channelDisconnect = &ScriptedMedia::channelDisconnect;
    r.setTransmitEvent = &ScriptedMedia::setTransmitEvent;
    return r;
  }

  MediaChannelInfo info{};
  std::atomic<bool> failInfo{false};
  std::atomic<bool> failConnect{false};
  std::atomic<int> connects{0};
  std::atomic<int> disconnects{0};
  std::atomic<int> signals{0};
  translayer::Event txSignal;
  std::mutex mutex;  // the media's callback lock
  ChannelRxCallback rx = nullptr;
  ChannelTxCallback tx = nullptr;
  void* context = nullptr;

 private:
  static ScriptedMedia*& current() {
    static ScriptedMedia* media = nullptr;
    return media;
  }
  static bool getChannelInfo(uint32_t index, MediaChannelInfo* info, int size) {
    ScriptedMedia* m = current();
    if (!m || m->failInfo || index != kIndex || size != int(sizeof(MediaChannelInfo))) return false;
    *info = m->info;
    return true;
  }
  static bool channelConnect(uint32_t index, ChannelRxCallback rx, ChannelTxCallback tx,
                             void* context, int* txEvent) {
    ScriptedMedia* m = current();
    if (!m || m->failConnect || index != kIndex) return false;
    std::lock_guard<std::mutex> lock(m->mutex);
    m->rx = rx;
    m->tx = tx;
    m->context = context;
    *txEvent = kTxEvent;
    ++m->connects;
    return true;
  }
  static bool channelDisconnect(uint32_t index) {
    ScriptedMedia* m = current();
    if (!m || index != kIndex) return false;
    std::lock_guard<std::mutex> lock(m->mutex);
    m->rx = nullptr;
    m->tx = nullptr;
    ++m->disconnects;
    return true;
  }
  static void setTransmitEvent(int txEvent) {
    ScriptedMedia* m = current();
    if (!m || txEvent != kTxEvent) return;
    ++m->signals;
    m->txSignal.set();
  }
};

// What the layer reports.
class Recorder : public linkhub::SessionLayerEvents {
 public:
  struct Data {
    uint8_t channel;
    Bytes bytes;
    bool last;
  };
  void onDeviceIdentified(const translayer::HwId* id) override {
    std::lock_guard<std::mutex> lock(mutex_);
    identified_.push_back(*id);
    cv_.notify_all();
  }
  void onData(uint8_t channel, const uint8_t* data, uint16_t length, bool last) override {
    std::lock_guard<std::mutex> lock(mutex_);
    data_.push_back(Data{channel, Bytes(data, data + length), last});
  }
  void onChannelClosed(uint8_t channel) override {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_.push_back(channel);
  }
  bool canTakeData(uint8_t) override { return room; }
  std::atomic<bool> room{true};
  bool waitIdentified(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10),
                        [&] { return identified_.size() >= count; });
  }
  std::vector<translayer::HwId> identified() {
    std::lock_guard<std::mutex> lock(mutex_);
    return identified_;
  }
  std::vector<Data> data() {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
  }
  std::vector<uint8_t> closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<translayer::HwId> identified_;
  std::vector<Data> data_;
  std::vector<uint8_t> closed_;
};

class LinkTest : public ::testing::Test {
 public:
  void TearDown() override { stopLayer(); }

  // A second stop event ends the thread at once, without the wait period
  // that a stop while identified otherwise leaves for the device's 0x8F.
  void stopLayer() {
    if (!layer_) return;
    layer_->requestStop();
    layer_->stop();
  }

  // Starts the layer on the scripted media. A long wait period keeps the
  // handshake retry out of the way unless a test wants it.
  void startLayer(uint16_t waitMs = 60000, uint16_t mediaMaxFrame = 1023,
                  uint16_t closeTimeoutMs = 5000) {
    media_.info.eventWaitMs = waitMs;
    media_.info.closeTimeoutMs = closeTimeoutMs;
    media_.info.maxFrameLength = mediaMaxFrame;
    record_ = media_.record();
    layer_ = std::make_unique<linkhub::SessionLayer>();
    layer_->bind(&record_, kIndex, eventsFor(layer_.get()));
    layer_->start();
    layer_->waitStarted();
  }

  // One builder call.
  Bytes build(int mode = kMediaTxFirst) {
    std::lock_guard<std::mutex> lock(media_.mutex);
    if (!media_.tx) return {};
    uint8_t buffer[1024];
    uint16_t length = 1023;
    media_.tx(media_.context, buffer, &length, mode);
    return Bytes(buffer, buffer + length);
  }

  // Builder calls until a frame comes (the layer's thread may still be busy
  // with a link event); fails after 10 s.
  Bytes next(int mode = kMediaTxFirst) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      Bytes f = build(mode);
      if (!f.empty() || std::chrono::steady_clock::now() > deadline) return f;
      media_.txSignal.timedWait(20);
    }
  }

  void receive(Bytes frame) {
    std::lock_guard<std::mutex> lock(media_.mutex);
    ASSERT_NE(media_.rx, nullptr);
    uint16_t length = uint16_t(frame.size());
    media_.rx(media_.context, frame.data(), &length);
  }

  // The whole handshake as the device would answer it.
  void handshake(uint16_t maxFrame = 128, uint16_t channels = 4, size_t identification = 1) {
    ASSERT_EQ(next(), Bytes{0x8F});
    receive(uFrame(0x63));
    ASSERT_EQ(next(), Bytes{0xAF});
    receive(paramReply(maxFrame, channels));
    ASSERT_EQ(next(), Bytes{0xA7});
    receive(identityReply());
    if (eventsFor(layer_.get()) == &recorder_) {
      ASSERT_TRUE(recorder_.waitIdentified(identification));
    }
    ASSERT_TRUE(layer_->isLinkUp());
  }

  // Up with channel 0 open for protocol 5 and its first frame sent, so that
  // later fragments carry no protocol id.
  void upWithChannel0() {
    startLayer();
    handshake();
    uint8_t ch = 99;
    ASSERT_TRUE(layer_->openChannel(5, &ch));
    ASSERT_EQ(ch, 0);
  }

  static uint8_t ns(const Bytes& f) { return linkproto::frameNs(f[0]); }
  static uint8_t nr(const Bytes& f) { return linkproto::frameNr(f[0]); }
  static bool pf(const Bytes& f) { return linkproto::hasPf(f[0]); }
  static bool isI(const Bytes& f) { return !f.empty() && linkproto::isIFrame(f[0]); }
  static bool isS(const Bytes& f, uint8_t type) {
    return f.size() == 1 && linkproto::isSFrame(f[0]) && linkproto::sFrameType(f[0]) == type;
  }

  // Who hears the layer's reports; a fixture may put the real receiver there.
  virtual linkhub::SessionLayerEvents* eventsFor(linkhub::SessionLayer*) { return &recorder_; }

  ScriptedMedia media_;
  linkhub::MediaRecord record_;
  Recorder recorder_;
  std::unique_ptr<linkhub::SessionLayer> layer_;
};

}  // namespace linktest
