// The in-process media: its entry points, the calling convention it drives
// (transmit event, transfers of mode 0 then 1, idle calls in mode 2) and its
// faults, with a bare server end made of two callbacks.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
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
  EXPECT_EQ(Events::log()[2], (std::pair<int, std::vector<uint32_t>>{kMediaEventRemoved, {second}}));
  EXPECT_FALSE(InProcessMedia::getChannelInfo(second, &info, 520));

  int txEvent = -7;
  EXPECT_FALSE(InProcessMedia::channelConnect(9, &BareServer::rx, &BareServer::tx, nullptr, &txEvent));
  EXPECT_EQ(txEvent, -7);
  InProcessMedia::envDestroy();
}

TEST(InProcessMedia, TransmitEventStartsTransfersAndIdlePeriodsAskForOneFrame) {
  InProcessMedia media;
  MediaChannelOptions options;
  options.idleMs = 300;
  const uint32_t index = media.addDevice(deviceConfig(), options);
  BareServer server;
  server.queue({0x8F});
  server.queue({0xAF});
  server.queue({0xA7});
  int txEvent = -1;
  ASSERT_TRUE(InProcessMedia::channelConnect(index, &BareServer::rx, &BareServer::tx, &server, &txEvent));
  InProcessMedia::setTransmitEvent(txEvent);
  ASSERT_TRUE(server.waitReceived(3));
  auto received = server.received();
  EXPECT_EQ(received[0], Bytes{0x63});
  EXPECT_EQ(received[1], (Bytes{0xCF, 200, 0, 3, 0}));
  EXPECT_EQ(received[2].size(), 17u);
  // One transfer of three frames, then the call that follows its completion.
  std::vector<int> modes;
  for (int m : server.modes())
    if (m != kMediaTxIdle) modes.push_back(m);
  ASSERT_GE(modes.size(), 5u);
  EXPECT_EQ(std::vector<int>(modes.begin(), modes.begin() + 5), (std::vector<int>{0, 1, 1, 1, 0}));
  EXPECT_TRUE(server.waitIdleCall());
  EXPECT_TRUE(InProcessMedia::channelDisconnect(index));
  const MediaChannelStats stats = media.stats(index);
  EXPECT_EQ(stats.framesToDevice, 3u);
  EXPECT_EQ(stats.transfers, 1u);
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
    ASSERT_TRUE(InProcessMedia::channelConnect(index, &BareServer::rx, &BareServer::tx, &server, &txEvent));
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
  ASSERT_TRUE(InProcessMedia::channelConnect(index, &BareServer::rx, &BareServer::tx, &server, &txEvent));
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
