// The in-process media: its entry points, the calling convention it drives
// (transmit event, transfers of mode 0 then 1, idle calls in mode 2) and its
// faults, with a bare server end made of two callbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devsim/InProcessMedia.h"

namespace devsim {
namespace {

using Bytes = std::vector<uint8_t>;

struct Events {
  static std::vector<std::pair<int, std::vector<uint32_t>>>& log() {
    static std::vector<std::pair<int, std::vector<uint32_t>>> events;
    return events;
  }
  static void callback(void*, int kind, const uint32_t* indices, size_t count) {
    log().emplace_back(kind, std::vector<uint32_t>(indices, indices + count));
  }
};

// The server end: hands out queued frames and records what arrives.
class BareServer {
 public:
  static void rx(void* context, uint8_t* frame, uint16_t* length) {
    auto* self = static_cast<BareServer*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->received_.emplace_back(frame, frame + *length);
    self->cv_.notify_all();
  }
  static void tx(void* context, uint8_t* destination, uint16_t* length, int mode) {
    auto* self = static_cast<BareServer*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->modes_.push_back(mode);
    self->cv_.notify_all();
    const uint16_t room = *length;
    *length = 0;
    if (self->toSend_.empty()) return;
    const Bytes& f = self->toSend_.front();
    if (f.size() > room) return;
    std::copy(f.begin(), f.end(), destination);
    *length = uint16_t(f.size());
    self->toSend_.pop_front();
  }
  void queue(Bytes f) {
    std::lock_guard<std::mutex> lock(mutex_);
    toSend_.push_back(std::move(f));
  }
  bool waitReceived(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return received_.size() >= n; });
  }
  bool waitIdleCall() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::count(modes_.begin(), modes_.end(), int(kMediaTxIdle)) > 0;
    });
  }
  std::vector<Bytes> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  std::vector<int> modes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return modes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Bytes> toSend_;
  std::vector<Bytes> received_;
  std::vector<int> modes_;
};

DeviceConfig deviceConfig() {
  DeviceConfig c;
  for (int i = 0; i < 16; ++i) c.hwid.id[i] = uint8_t(i);
  c.maxFrameLength = 200;
  c.channelCount = 3;
  return c;
}

TEST(InProcessMedia, EntryPointsFollowTheMediaContract) {
  Events::log().clear();
  InProcessMedia media;
  MediaChannelOptions options;
  options.eventWaitMs = 123;
  options.closeTimeoutMs = 456;
  options.maxFrameLength = 250;
  const uint32_t first = media.addDevice(deviceConfig(), options);
  EXPECT_EQ(first, 1u);
  InProcessMedia::envCreate(&Events::callback, nullptr);
  InProcessMedia::envCreate(&Events::callback, nullptr);  // ignored
  ASSERT_EQ(Events::log().size(), 1u);
  EXPECT_EQ(Events::log()[0], (std::pair<int, std::vector<uint32_t>>{kMediaEventArrived, {1}}));

  MediaChannelInfo info{};
  EXPECT_FALSE(InProcessMedia::getChannelInfo(1, &info, 519));
  EXPECT_FALSE(InProcessMedia::getChannelInfo(9, &info, 520));
  ASSERT_TRUE(InProcessMedia::getChannelInfo(1, &info, 520));
  EXPECT_EQ(info.eventWaitMs, 123);
  EXPECT_EQ(info.closeTimeoutMs, 456);
  EXPECT_EQ(info.maxFrameLength, 250);
  EXPECT_EQ(info.mediaFlag, 1);
  EXPECT_EQ(std::u16string(info.devicePath), u"INPROC\\1");

  char16_t text[256];
  text[0] = u'x';
  InProcessMedia::getMediaInfo(text, 511);
  EXPECT_EQ(text[0], u'x');
  InProcessMedia::getMediaInfo(text, 512);
  EXPECT_EQ(std::u16string(text), u"In-process Media (1.0)");

  const uint32_t second = media.addDevice(deviceConfig());
  ASSERT_EQ(Events::log().size(), 2u);
  EXPECT_EQ(Events::log()[1].second, std::vector<uint32_t>{second});
  media.removeDevice(second);
  ASSERT_EQ(Events::log().size(), 3u);
  EXPECT_EQ(Events::log()[2],
            (std::pair<int, std::vector<uint32_t>>{kMediaEventRemoved, {second}}));
  EXPECT_FALSE(InProcessMedia::getChannelInfo(second, &info, 520));

  int txEvent = -7;
  EXPECT_FALSE(
      InProcessMedia::channelConnect(9, &BareServer::rx, &BareServer::tx, nullptr, &txEvent));
  EXPECT_EQ(txEvent, -7);
  InProcessMedia::envDestroy();
}

TEST(InProcessMedia, TransmitEventStartsOneTransferOfFramesUntilNoneIsLeft) {
  InProcessMedia media;
  MediaChannelOptions options;
  options.idleMs = 600000;  // no idle call can take a frame out of turn
  const uint32_t index = media.addDevice(deviceConfig(), options);
  BareServer server;
  server.queue({0x8F});
  server.queue({0xAF});
  server.queue({0xA7});
  int txEvent = -1;
  ASSERT_TRUE(
      InProcessMedia::channelConnect(index, &BareServer::rx, &BareServer::tx, &server, &txEvent));
  InProcessMedia::setTransmitEvent(txEvent);
  ASSERT_TRUE(server.waitReceived(3));
  auto received = server.received();
  EXPECT_EQ(received[0], Bytes{0x63});
  EXPECT_EQ(received[1], (Bytes{0xCF, 200, 0, 3, 0}));
  EXPECT_EQ(received[2].size(), 17u);
  // One transfer of three frames (mode 0, then 1 while frames come), then
  // the call that follows its completion. The device's answers set nothing,
  // so nothing else is asked.
  const std::vector<int> modes = server.modes();
  ASSERT_GE(modes.size(), 5u);
  EXPECT_EQ(std::vector<int>(modes.begin(), modes.begin() + 5), (std::vector<int>{0, 1, 1, 1, 0}));
  EXPECT_EQ(std::count(modes.begin(), modes.end(), int(kMediaTxIdle)), 0);
  EXPECT_TRUE(InProcessMedia::channelDisconnect(index));
  const MediaChannelStats stats = media.stats(index);
  EXPECT_EQ(stats.framesToDevice, 3u);
  EXPECT_EQ(stats.transfers, 1u);
}

TEST(InProcessMedia, IdlePeriodsAskForOneFrameWithoutATransmitEvent) {
  InProcessMedia media;
  MediaChannelOptions options;
  options.idleMs = 200;
  const uint32_t index = media.addDevice(deviceConfig(), options);
  BareServer server;
  server.queue({0x8F});
  server.queue({0xAF});
  int txEvent = -1;
  const auto connected = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      InProcessMedia::channelConnect(index, &BareServer::rx, &BareServer::tx, &server, &txEvent));
  ASSERT_TRUE(server.waitReceived(1));
  EXPECT_EQ(server.received()[0], Bytes{0x63});
  ASSERT_TRUE(server.waitReceived(2)) << "the next idle call takes the next frame";
  EXPECT_GE(std::chrono::steady_clock::now() - connected, std::chrono::milliseconds(200));
  for (int m : server.modes()) EXPECT_EQ(m, int(kMediaTxIdle));
  EXPECT_TRUE(InProcessMedia::channelDisconnect(index));
  EXPECT_EQ(media.stats(index).transfers, 0u);
}

TEST(InProcessMedia, ADeviceWithNoHostSleepsBetweenIdlePeriods) {
  InProcessMedia media;
  MediaChannelOptions options;
  options.idleMs = 100;
  const uint32_t index = media.addDevice(deviceConfig(), options);
  const auto start = std::chrono::steady_clock::now();
  const uint64_t before = media.stats(index).wakeups;
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const uint64_t passes = media.stats(index).wakeups - before;
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // One pass per idle period, and a few for the start: a loop that spins
  // makes hundreds of thousands.
  const uint64_t periods = uint64_t(elapsed / std::chrono::milliseconds(100));
  EXPECT_LE(passes, periods + 5) << "the media's thread spins with no host";
  EXPECT_GE(passes, 1u) << "the idle periods still come round";
  // A host that connects later still gets its idle calls.
  BareServer server;
  int txEvent = -1;
  ASSERT_TRUE(
      InProcessMedia::channelConnect(index, &BareServer::rx, &BareServer::tx, &server, &txEvent));
  EXPECT_TRUE(server.waitIdleCall());
  EXPECT_TRUE(InProcessMedia::channelDisconnect(index));
}

TEST(InProcessMedia, FaultsFollowTheirKnobs) {
  struct Case {
    const char* name;
    LinkFaults toHost;
    std::vector<uint8_t> wantFirstBytes;  // byte 0 of each frame that arrives
  };
  const Case cases[] = {
      {"none", {}, {0x63, 0xCF, 0xC7}},
      {"every frame duplicated", {0, 1, 0, 0, 5}, {0x63, 0x63, 0xCF, 0xCF, 0xC7, 0xC7}},
      // Held, overtaken by exactly one frame; the last goes alone after holdMs.
      {"every frame swapped", {0, 0, 1, 0, 5}, {0xCF, 0x63, 0xC7}},
      {"delayed", {0, 0, 0, 30, 5}, {0x63, 0xCF, 0xC7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InProcessMedia media;
    MediaChannelOptions options;
    options.idleMs = 60000;
    options.toHost = c.toHost;
    const uint32_t index = media.addDevice(deviceConfig(), options);
    BareServer server;
    server.queue({0x8F});
    server.queue({0xAF});
    server.queue({0xA7});
    int txEvent = -1;
    ASSERT_TRUE(
        InProcessMedia::channelConnect(index, &BareServer::rx, &BareServer::tx, &server, &txEvent));
    InProcessMedia::setTransmitEvent(txEvent);
    ASSERT_TRUE(server.waitReceived(c.wantFirstBytes.size()));
    std::vector<uint8_t> got;
    for (const Bytes& f : server.received()) got.push_back(f[0]);
    EXPECT_EQ(got, c.wantFirstBytes);
  }
  // Everything dropped: counted, nothing arrives, the device still got its frames.
  InProcessMedia media;
  MediaChannelOptions options;
  options.toHost.drop = 1;
  const uint32_t index = media.addDevice(deviceConfig(), options);
  BareServer server;
  server.queue({0x8F});
  int txEvent = -1;
  ASSERT_TRUE(
      InProcessMedia::channelConnect(index, &BareServer::rx, &BareServer::tx, &server, &txEvent));
  InProcessMedia::setTransmitEvent(txEvent);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (media.stats(index).dropped == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(media.stats(index).dropped, 1u);
  EXPECT_EQ(media.device(index).stats().linkResets, 1u);
  EXPECT_TRUE(server.received().empty());
}

}  // namespace
}  // namespace devsim
