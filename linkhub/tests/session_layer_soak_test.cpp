// SessionLayer against the emulated device through the fault-injecting
// in-process media: random messages on every channel in both directions,
// with drops, immediate duplicates and adjacent swaps each way. Every message
// must arrive byte-exact, in order, once, and the link must never reset.
//
// SESSION_SOAK_SECONDS sets how long new messages are started (default 20).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devsim/InProcessMedia.h"
#include "devsim/InProcessMediaRecord.h"
#include "linkhub/MediaLibrary.h"
#include "linkhub/SessionLayer.h"

using linkhub::MediaRecord;
using linkhub::SessionLayer;
using linkhub::SessionLayerEvents;

using translayer::HwId;

namespace {

constexpr uint8_t kSoakProtocol = 0x42;
constexpr size_t kMaxMessage = 100000;
constexpr uint64_t kInFlight = 2;  // messages a sender may be ahead of its receiver

uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Message i of a stream: its length and its bytes, both from the seed.
class MessageSource {
 public:
  MessageSource(uint64_t streamSeed, uint64_t index) : state_(mix(streamSeed * 1000003 + index)) {
    const uint64_t r = mix(state_);
    // Mostly short, some long, now and then empty or the largest.
    switch (r % 8) {
      case 0:
        length_ = 0;
        break;
      case 1:
        length_ = kMaxMessage;
        break;
      case 2:
      case 3:
        length_ = (r >> 8) % kMaxMessage + 1;
        break;
      default:
        length_ = (r >> 8) % 3000 + 1;
        break;
    }
  }
  size_t length() const { return length_; }
  uint8_t next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return uint8_t(state_ >> 56);
  }

 private:
  uint64_t state_;
  size_t length_ = 0;
};

// Checks one direction of one channel fragment by fragment.
class StreamCheck {
 public:
  explicit StreamCheck(uint64_t seed = 0) : seed_(seed) {}
  void setSeed(uint64_t seed) { seed_ = seed; }

  void feed(const uint8_t* data, size_t n, bool last) {
    if (!error_.empty()) return;
    if (!source_) {
      source_ = std::make_unique<MessageSource>(seed_, completed_.load());
      offset_ = 0;
    }
    if (offset_ + n > source_->length()) {
      fail("message " + std::to_string(completed_.load()) + " longer than " +
           std::to_string(source_->length()));
      return;
    }
    for (size_t i = 0; i < n; ++i) {
      if (data[i] != source_->next()) {
        fail("message " + std::to_string(completed_.load()) + " differs at byte " +
             std::to_string(offset_ + i));
        return;
      }
    }
    offset_ += n;
    if (last) {
      if (offset_ != source_->length()) {
        fail("message " + std::to_string(completed_.load()) + " ended at " +
             std::to_string(offset_) + " of " + std::to_string(source_->length()));
        return;
      }
      source_.reset();
      ++completed_;
    }
  }
  uint64_t completed() const { return completed_; }
  std::string error() const {
    std::lock_guard<std::mutex> lock(errorMutex_);
    return error_;
  }

 private:
  void fail(std::string text) {
    std::lock_guard<std::mutex> lock(errorMutex_);
    error_ = std::move(text);
  }
  uint64_t seed_;
  std::unique_ptr<MessageSource> source_;  // the receiving thread's only
  size_t offset_ = 0;
  std::atomic<uint64_t> completed_{0};
  mutable std::mutex errorMutex_;
  std::string error_;
};

struct Soak {
  int channels = 0;
  StreamCheck hostReceives[16];    // device -> host, checked on the media thread
  StreamCheck deviceReceives[16];  // host -> device, checked on the device thread
  std::atomic<uint64_t> hostSent[16] = {};
  std::atomic<uint64_t> deviceSent[16] = {};
  std::mutex portsMutex;
  std::shared_ptr<devsim::ServiceChannel> ports[16];

  static uint64_t seedOf(int channel, bool toHost) { return uint64_t(channel) * 2 + toHost + 11; }
};

class SoakService : public devsim::Service {
 public:
  SoakService(Soak& soak, std::shared_ptr<devsim::ServiceChannel> port)
      : soak_(soak), channel_(port->channel()) {
    std::lock_guard<std::mutex> lock(soak_.portsMutex);
    soak_.ports[channel_] = std::move(port);
  }
  void onData(const uint8_t* data, size_t length, bool last) override {
    soak_.deviceReceives[channel_].feed(data, length, last);
  }

 private:
  Soak& soak_;
  uint8_t channel_;
};

class HostSide : public SessionLayerEvents {
 public:
  explicit HostSide(Soak& soak) : soak_(soak) {}
  void onDeviceIdentified(const HwId*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++identified_;
    cv_.notify_all();
  }
  void onData(uint8_t channel, const uint8_t* data, uint16_t length, bool last) override {
    soak_.hostReceives[channel].feed(data, length, last);
  }
  void onChannelClosed(uint8_t channel) override { ++closed_; }

  bool waitIdentified() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [this] { return identified_ > 0; });
  }
  int identified() {
    std::lock_guard<std::mutex> lock(mutex_);
    return identified_;
  }
  int closed() const { return closed_; }

 private:
  Soak& soak_;
  std::mutex mutex_;
  std::condition_variable cv_;
  int identified_ = 0;
  std::atomic<int> closed_{0};
};

int soakSeconds() {
  const char* s = std::getenv("SESSION_SOAK_SECONDS");
  const int v = s ? std::atoi(s) : 0;
  return v > 0 ? v : 20;
}

TEST(SessionSoak, EveryMessageArrivesOnceInOrderThroughAFaultyLink) {
  const devsim::LinkFaults faults{0.05, 0.05, 0.05, 0, 5};
  devsim::MediaChannelOptions options;
  options.eventWaitMs = 200;
  options.idleMs = 20;
  options.maxFrameLength = 255;
  options.toDevice = faults;
  options.toHost = faults;
  options.seed = 20261210;
  devsim::DeviceConfig config;
  for (int i = 0; i < 16; ++i) config.hwid.id[i] = uint8_t(i * 17);
  config.maxFrameLength = 255;
  config.channelCount = 15;

  Soak soak;
  for (int c = 0; c < 16; ++c) {
    soak.hostReceives[c].setSeed(Soak::seedOf(c, true));
    soak.deviceReceives[c].setSeed(Soak::seedOf(c, false));
  }
  HostSide host(soak);

  devsim::InProcessMedia media;
  const uint32_t index = media.addDevice(config, options);
  media.device(index).registerService(kSoakProtocol,
                                      [&soak](std::shared_ptr<devsim::ServiceChannel> port) {
                                        return std::make_unique<SoakService>(soak, std::move(port));
                                      });

  const MediaRecord record = devsim::inProcessMediaRecord();

  SessionLayer layer;
  layer.bind(&record, index, &host);
  layer.start();
  layer.waitStarted();
  ASSERT_TRUE(layer.isConnected());
  ASSERT_TRUE(host.waitIdentified());
  soak.channels = layer.channelCount();
  ASSERT_EQ(soak.channels, 15);
  for (int c = 0; c < soak.channels; ++c) {
    uint8_t ch = 0xFF;
    ASSERT_TRUE(layer.openChannel(kSoakProtocol, &ch));
    ASSERT_EQ(ch, c);
  }

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(soakSeconds());
  std::atomic<bool> quit{false};
  std::atomic<bool> sendFailed{false};

  // The host sends as the pipe front end does: chunks of at most 1024 bytes.
  std::thread hostSender([&] {
    std::vector<uint8_t> chunk(1024);
    while (!quit && std::chrono::steady_clock::now() < end) {
      bool idle = true;
      for (int c = 0; c < soak.channels; ++c) {
        if (soak.hostSent[c] - soak.deviceReceives[c].completed() >= kInFlight) continue;
        idle = false;
        MessageSource m(Soak::seedOf(c, false), soak.hostSent[c]);
        size_t left = m.length();
        do {
          const size_t n = std::min(left, chunk.size());
          for (size_t i = 0; i < n; ++i) chunk[i] = m.next();
          left -= n;
          if (!layer.send(uint8_t(c), chunk.data(), uint16_t(n), left == 0)) sendFailed = true;
        } while (left > 0);
        ++soak.hostSent[c];
      }
      if (idle) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  // The device sends whole messages once the host has opened the channel.
  std::thread deviceSender([&] {
    std::vector<uint8_t> message;
    while (!quit && std::chrono::steady_clock::now() < end) {
      bool idle = true;
      for (int c = 0; c < soak.channels; ++c) {
        std::shared_ptr<devsim::ServiceChannel> port;
        {
          std::lock_guard<std::mutex> lock(soak.portsMutex);
          port = soak.ports[c];
        }
        if (!port || soak.deviceSent[c] - soak.hostReceives[c].completed() >= kInFlight) continue;
        idle = false;
        MessageSource m(Soak::seedOf(c, true), soak.deviceSent[c]);
        message.resize(m.length());
        for (auto& b : message) b = m.next();
        if (!port->send(message.data(), message.size(), true)) sendFailed = true;
        ++soak.deviceSent[c];
      }
      if (idle) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  hostSender.join();
  deviceSender.join();

  // Everything started must arrive.
  auto allArrived = [&] {
    for (int c = 0; c < soak.channels; ++c)
      if (!soak.hostReceives[c].error().empty() || !soak.deviceReceives[c].error().empty())
        return true;  // no use waiting
    for (int c = 0; c < soak.channels; ++c)
      if (soak.deviceReceives[c].completed() != soak.hostSent[c] ||
          soak.hostReceives[c].completed() != soak.deviceSent[c])
        return false;
    return true;
  };
  const auto drainDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!allArrived() && std::chrono::steady_clock::now() < drainDeadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));

  EXPECT_FALSE(sendFailed);
  uint64_t toDevice = 0, toHost = 0;
  for (int c = 0; c < soak.channels; ++c) {
    SCOPED_TRACE("channel " + std::to_string(c));
    EXPECT_EQ(soak.deviceReceives[c].error(), "");
    EXPECT_EQ(soak.hostReceives[c].error(), "");
    EXPECT_EQ(soak.deviceReceives[c].completed(), soak.hostSent[c]);
    EXPECT_EQ(soak.hostReceives[c].completed(), soak.deviceSent[c]);
    EXPECT_GT(soak.hostSent[c], 0u);
    EXPECT_GT(soak.deviceSent[c], 0u);
    toDevice += soak.hostSent[c];
    toHost += soak.deviceSent[c];
  }
  // A duplicated handshake answer may repeat the identification, but the link
  // must never have been reset once channels were open.
  EXPECT_TRUE(layer.isLinkUp());
  EXPECT_EQ(host.closed(), 0);

  const devsim::MediaChannelStats ms = media.stats(index);
  const devsim::DeviceStats ds = media.device(index).stats();
  std::printf("messages: %llu to the device, %llu to the host\n", (unsigned long long)toDevice,
              (unsigned long long)toHost);
  std::printf(
      "frames: %llu to the device, %llu to the host; dropped %llu, duplicated %llu, "
      "swapped %llu; device resent %llu, rejects %llu, stale acks %llu\n",
      (unsigned long long)ms.framesToDevice, (unsigned long long)ms.framesToHost,
      (unsigned long long)ms.dropped, (unsigned long long)ms.duplicated,
      (unsigned long long)ms.swapped, (unsigned long long)ds.resent,
      (unsigned long long)ds.rejectsSent, (unsigned long long)ds.staleAcks);
  EXPECT_GT(ms.dropped, 0u);
  EXPECT_GT(ms.duplicated, 0u);
  EXPECT_GT(ms.swapped, 0u);
  EXPECT_EQ(ms.oversizeFrames, 0u);
  EXPECT_EQ(ds.badAcks, 0u);
  EXPECT_EQ(ds.channelsOpened, 15u);

  quit = true;
  layer.requestStop();
  layer.stop();
}

}  // namespace
