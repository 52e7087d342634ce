// The device end of the virtual USB bus, driven by a raw host on the socket:
// publishing, the link descriptor, transfer records both ways, hosts coming
// and going, replug and unplug; and a device that the transport's I/O
// thread runs, woken by the device's service threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devsim/Device.h"
#include "devsim/VbusTransport.h"
#include "linkproto/LinkProtocol.h"
#include "plat/runtime.h"
#include "plat/vbus.h"
#include "usblink/VbusRecords.h"

namespace devsim {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;
using Event = VbusTransport::Event;

constexpr int kWaitMs = 20000;

// What the transport hands out: frames from the host and its events.
class Recorder {
 public:
  VbusTransport::FrameSink sink() {
    return [this](const uint8_t* f, size_t n) {
      std::lock_guard<std::mutex> lock(mutex_);
      frames_.emplace_back(f, f + n);
      cv_.notify_all();
    };
  }
  VbusTransport::Listener listener() {
    return [this](Event e) {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(e);
      cv_.notify_all();
    };
  }
  bool waitFrames(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                        [&] { return frames_.size() >= n; });
  }
  bool waitEvent(Event e, size_t times = 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
      return size_t(std::count(events_.begin(), events_.end(), e)) >= times;
    });
  }
  std::vector<Bytes> frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  std::vector<Event> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Bytes> frames_;
  std::vector<Event> events_;
};

class Host {
 public:
  ~Host() { plat::closeHandle(fd_); }
  bool connect(const std::string& path) { return plat::vbusConnect(path, 2000, &fd_) == 0; }
  void close() {
    plat::closeHandle(fd_);
    fd_ = plat::kInvalidHandle;
  }
  bool send(const Bytes& record) {
    return plat::vbusSend(fd_, record.data(), record.size(), kWaitMs) == plat::VbusIo::kDone;
  }
  // The next record; empty when none came or the device closed.
  Bytes receive(int ms = kWaitMs) {
    Bytes buffer(vbus::kMaxRecord);
    size_t n = 0;
    if (plat::vbusReceive(fd_, buffer.data(), buffer.size(), &n, ms) != plat::VbusIo::kDone)
      return {};
    buffer.resize(n);
    return buffer;
  }
  // True when the device ended the connection.
  bool waitClosed() {
    Bytes buffer(vbus::kMaxRecord);
    size_t n = 0;
    for (;;) {
      const plat::VbusIo io = plat::vbusReceive(fd_, buffer.data(), buffer.size(), &n, kWaitMs);
      if (io == plat::VbusIo::kClosed) return true;
      if (io != plat::VbusIo::kDone) return false;
    }
  }
  Bytes control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
    if (!send({vbus::kControl, type, request, uint8_t(value), uint8_t(value >> 8), uint8_t(index),
               uint8_t(index >> 8), uint8_t(length), uint8_t(length >> 8)}))
      return {};
    return receive();
  }

 private:
  plat::Handle fd_ = plat::kInvalidHandle;
};

Bytes records(const std::vector<Bytes>& frames) {
  Bytes out;
  for (const Bytes& f : frames) {
    out.push_back(uint8_t(f.size()));
    out.insert(out.end(), f.begin(), f.end());
  }
  return out;
}

Bytes frameOf(size_t n, uint8_t seed) {
  Bytes f(n);
  for (size_t i = 0; i < n; ++i) f[i] = uint8_t(seed + i);
  return f;
}

class VbusTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = plat::makeTempDir("devsim-vbus-");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    transport_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  void plugIn(uint16_t transferSize = 512, size_t backlog = 64 * 1024,
              VbusTransport::FrameSink sink = {}, DrivenLink* driver = nullptr) {
    VbusOptions o;
    o.dir = dir_;
    o.id = "dev1";
    o.transferSize = transferSize;
    o.backlogLimit = backlog;
    transport_ = std::make_unique<VbusTransport>(o, sink ? std::move(sink) : recorder_.sink(),
                                                 recorder_.listener());
    transport_->setDriver(driver);
    ASSERT_EQ(0, transport_->plugIn());
  }
  // Connects a host and waits until the transport has taken it.
  void connectHost(Host& host) {
    ASSERT_TRUE(host.connect(socketPath()));
    ASSERT_TRUE(recorder_.waitEvent(Event::kHostConnected, ++hosts_));
  }
  std::string socketPath() const { return dir_ + "/dev1.sock"; }
  bool socketExists() const { return std::filesystem::exists(socketPath()); }

  std::string dir_;
  Recorder recorder_;
  std::unique_ptr<VbusTransport> transport_;
  size_t hosts_ = 0;
};

TEST_F(VbusTransportTest, AnswersTheLinkDescriptorAndStallsEverythingElse) {
  plugIn(4096);
  EXPECT_TRUE(socketExists());
  Host host;
  connectHost(host);
  struct Case {
    uint8_t type, request;
    uint16_t value, index, length;
    Bytes answer;
  };
  const std::vector<Case> cases = {
      {0x80, 6, 0x8000, 0, 6, {0x81, 0, 0x06, 0x80, 0x1F, 0xAC, 0x00, 0x10}},
      {0x80, 6, 0x8000, 0, 64, {0x81, 0, 0x06, 0x80, 0x1F, 0xAC, 0x00, 0x10}},
      {0x80, 6, 0x8000, 0, 2, {0x81, 0, 0x06, 0x80}},  // never more than wLength
      {0x80, 6, 0x8000, 0, 0, {0x81, 0}},
      {0x80, 6, 0x0100, 0, 18, {0x81, 1}},  // the standard device descriptor
      {0x80, 6, 0x8000, 1, 6, {0x81, 1}},
      {0x00, 9, 0x0001, 0, 0, {0x81, 1}},
      {0xC0, 6, 0x8000, 0, 6, {0x81, 1}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.answer, host.control(c.type, c.request, c.value, c.index, c.length))
        << int(c.type) << "/" << int(c.request) << "/" << c.value;
  }
  // A control record too short to parse still gets its one answer.
  ASSERT_TRUE(host.send({vbus::kControl, 0x80, 6}));
  EXPECT_EQ(Bytes({0x81, 1}), host.receive());
}

TEST_F(VbusTransportTest, SplitsBulkOutRecordsIntoFrames) {
  plugIn();
  Host host;
  connectHost(host);
  const Bytes a = frameOf(5, 1), b = frameOf(3, 50), c = frameOf(255, 100), d = frameOf(40, 7);
  Bytes first = {vbus::kBulkOut};
  Bytes run = records({a});
  run.push_back(0);  // a record of no frame bytes
  Bytes rest = records({b, c});
  run.insert(run.end(), rest.begin(), rest.end());
  first.insert(first.end(), run.begin(), run.end());
  ASSERT_TRUE(host.send(first));
  // A zero-length packet, then a frame cut across two transfers.
  ASSERT_TRUE(host.send({vbus::kBulkOut}));
  const Bytes cut = records({d});
  ASSERT_TRUE(host.send(Bytes{vbus::kBulkOut, cut[0], cut[1], cut[2]}));
  Bytes tail = {vbus::kBulkOut};
  tail.insert(tail.end(), cut.begin() + 3, cut.end());
  ASSERT_TRUE(host.send(tail));
  ASSERT_TRUE(recorder_.waitFrames(4));
  EXPECT_EQ((std::vector<Bytes>{a, b, c, d}), recorder_.frames());
}

TEST_F(VbusTransportTest, PacksFramesIntoBulkInTransfersOfTheTransferSize) {
  plugIn(64);
  Host host;
  connectHost(host);
  std::vector<Bytes> frames;
  for (int i = 0; i < 30; ++i) frames.push_back(frameOf(size_t(1 + i * 8), uint8_t(i)));
  frames.push_back(frameOf(255, 9));  // longer than a whole transfer
  for (const Bytes& f : frames) transport_->sendFrame(f.data(), f.size());
  const Bytes want = records(frames);
  Bytes got;
  while (got.size() < want.size()) {
    const Bytes r = host.receive();
    ASSERT_FALSE(r.empty());
    ASSERT_EQ(vbus::kBulkIn, r[0]);
    ASSERT_GE(r.size(), 2u);
    ASSERT_LE(r.size() - 1, 64u);
    got.insert(got.end(), r.begin() + 1, r.end());
  }
  EXPECT_EQ(want, got);
}

TEST_F(VbusTransportTest, ReportsTheLinkUpWhenTheIdentityAnswerGoesOut) {
  plugIn();
  Host host;
  connectHost(host);
  Bytes identity = {0xC7};
  identity.resize(17, 0x42);
  const Bytes notIdentity = {0xC7, 1, 2};
  transport_->sendFrame(notIdentity.data(), notIdentity.size());
  transport_->sendFrame(identity.data(), identity.size());
  ASSERT_TRUE(recorder_.waitEvent(Event::kLinkUp));
  Bytes got;
  while (got.size() < 4 + 18) {
    const Bytes r = host.receive();
    ASSERT_FALSE(r.empty());
    got.insert(got.end(), r.begin() + 1, r.end());
  }
  EXPECT_EQ(records({notIdentity, identity}), got);
  const std::vector<Event> events = recorder_.events();
  EXPECT_EQ(1, std::count(events.begin(), events.end(), Event::kLinkUp));
}

TEST_F(VbusTransportTest, ServesTheNextHostAfterOneGoes) {
  plugIn();
  {
    Host first;
    connectHost(first);
  }
  ASSERT_TRUE(recorder_.waitEvent(Event::kHostGone));
  EXPECT_FALSE(transport_->hostConnected());
  const Bytes lost = frameOf(9, 1);
  transport_->sendFrame(lost.data(), lost.size());  // no host: dropped
  Host second;
  connectHost(second);
  EXPECT_TRUE(transport_->hostConnected());
  const Bytes f = frameOf(9, 2);
  transport_->sendFrame(f.data(), f.size());
  const Bytes r = second.receive();
  Bytes want = {vbus::kBulkIn};
  const Bytes rec = records({f});
  want.insert(want.end(), rec.begin(), rec.end());
  EXPECT_EQ(want, r);
  EXPECT_TRUE(socketExists());
}

TEST_F(VbusTransportTest, ReplugDropsTheHostAndPublishesAgain) {
  plugIn();
  Host host;
  connectHost(host);
  transport_->replug(200);
  EXPECT_TRUE(host.waitClosed());
  ASSERT_TRUE(recorder_.waitEvent(Event::kUnplugged));
  ASSERT_TRUE(recorder_.waitEvent(Event::kPluggedIn, 2));
  EXPECT_TRUE(socketExists());
  Host again;
  connectHost(again);
  EXPECT_EQ(Bytes({0x81, 0, 0x06, 0x80, 0x1F, 0xAC, 0x00, 0x02}),
            again.control(0x80, 6, 0x8000, 0, 6));
}

TEST_F(VbusTransportTest, UnplugRemovesTheFileAndReleasesABlockedSender) {
  plugIn(512, 1024);
  Host host;
  connectHost(host);
  // The host reads nothing: the socket fills, then the backlog, then the
  // sender waits.
  std::atomic<bool> done{false};
  std::thread device([&] {
    const Bytes f = frameOf(200, 3);
    for (int i = 0; i < 100000 && !done; ++i) transport_->sendFrame(f.data(), f.size());
  });
  std::this_thread::sleep_for(300ms);
  transport_->unplug();
  done = true;
  device.join();
  EXPECT_FALSE(socketExists());
  EXPECT_TRUE(host.waitClosed());
  const std::vector<Event> events = recorder_.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(Event::kUnplugged, events.back());
}

TEST_F(VbusTransportTest, ReplacesTheFileOfADeadDeviceButNotOfALiveOne) {
  plugIn();
  Recorder other;
  {
    VbusOptions same;
    same.dir = dir_;
    same.id = "dev1";
    VbusTransport second(same, other.sink(), other.listener());
    EXPECT_EQ(183, second.plugIn());  // dev1 lives
  }
  EXPECT_TRUE(socketExists());
  transport_.reset();
  EXPECT_FALSE(socketExists());
  // A socket file that nobody listens on any more, as a killed device
  // leaves it: bind one and close it without removing the file.
  plat::Handle dead = plat::kInvalidHandle;
  ASSERT_EQ(0, plat::vbusPublish(dir_, "dev1", &dead));
  plat::closeHandle(dead);
  ASSERT_TRUE(socketExists());
  plugIn();
  Host host;
  connectHost(host);
  EXPECT_EQ(Bytes({0x81, 0, 0x06, 0x80, 0x1F, 0xAC, 0x00, 0x02}),
            host.control(0x80, 6, 0x8000, 0, 6));
}

TEST_F(VbusTransportTest, RefusesBadIdsAndTransferSizes) {
  struct Case {
    std::string id;
    uint16_t transferSize;
    int rc;
  };
  const std::vector<Case> cases = {{"bad id", 512, 123}, {"", 512, 123}, {"ok", 3, 87}};
  for (const Case& c : cases) {
    VbusOptions o;
    o.dir = dir_;
    o.id = c.id;
    o.transferSize = c.transferSize;
    Recorder r;
    VbusTransport t(o, r.sink(), r.listener());
    EXPECT_EQ(c.rc, t.plugIn()) << c.id;
  }
}

// ---- a driven device ---------------------------------------------------------------

// The frames of the host's side of the link, cut from its bulk IN records.
class HostLink {
 public:
  explicit HostLink(Host& host) : host_(host) {}
  bool sendFrames(const std::vector<Bytes>& frames) {
    Bytes record = {vbus::kBulkOut};
    const Bytes r = records(frames);
    record.insert(record.end(), r.begin(), r.end());
    return host_.send(record);
  }
  // The next frame from the device; empty when none came in time.
  Bytes next(int ms = kWaitMs) {
    for (;;) {
      if (!stream_.empty() && stream_.size() >= size_t(1) + stream_[0]) {
        Bytes f(stream_.begin() + 1, stream_.begin() + 1 + stream_[0]);
        stream_.erase(stream_.begin(), stream_.begin() + 1 + stream_[0]);
        return f;
      }
      const Bytes r = host_.receive(ms);
      if (r.empty() || r[0] != vbus::kBulkIn) return {};
      stream_.insert(stream_.end(), r.begin() + 1, r.end());
    }
  }

 private:
  Host& host_;
  Bytes stream_;
};

// Sends numbered messages from a thread of its own, a few milliseconds
// apart: each leaves while the link is quiet, so only a wake-up of the I/O
// thread gets it out.
class Talker : public Service {
 public:
  static constexpr int kMessages = 60;
  explicit Talker(std::shared_ptr<ServiceChannel> channel) : channel_(std::move(channel)) {
    thread_ = std::thread([this] {
      for (int i = 0; i < kMessages && !stop_; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 3));
        channel_->send(message(channel_->channel(), i));
      }
    });
  }
  ~Talker() override {
    stop_ = true;
    thread_.join();
  }
  void onData(const uint8_t*, size_t, bool) override {}
  // Two to three frames long, so that messages of channels interleave.
  static Bytes message(uint8_t channel, int i) {
    Bytes m = frameOf(size_t(300 + (i * 37) % 400), uint8_t(channel * 40 + i));
    m[0] = channel;
    m[1] = uint8_t(i);
    return m;
  }

 private:
  std::shared_ptr<ServiceChannel> channel_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(VbusTransportTest, ServiceThreadsWakeTheIoThreadThatRunsTheDevice) {
  using namespace linkproto;
  constexpr uint8_t kTalker = 60;
  DeviceConfig config;
  config.maxFrameLength = 255;
  Device device(config, transport_.get());
  device.registerService(kTalker, [](std::shared_ptr<ServiceChannel> channel) {
    return std::make_unique<Talker>(std::move(channel));
  });
  plugIn(
      512, 64 * 1024, [&](const uint8_t* f, size_t n) { device.receiveFrame(f, n); }, &device);
  VbusTransport* transport = transport_.get();
  device.startDriven([transport] { transport->wake(); });
  Host host;
  connectHost(host);
  HostLink link(host);

  // The host opens three channels and then only acknowledges: it never
  // polls, so nothing else makes the device send.
  const std::vector<uint8_t> channels = {1, 4, 9};
  std::vector<Bytes> opens;
  for (size_t i = 0; i < channels.size(); ++i)
    opens.push_back(
        {iControl(uint8_t(i), 0, false), channelByte(channels[i], true, true), kTalker});
  ASSERT_TRUE(link.sendFrames(opens));
  uint8_t vr = 0;
  std::map<uint8_t, Bytes> partial;
  std::map<uint8_t, std::vector<Bytes>> got;
  size_t complete = 0;
  while (complete < channels.size() * Talker::kMessages) {
    const Bytes f = link.next();
    ASSERT_FALSE(f.empty()) << "stalled after " << complete << " messages";
    if (!isIFrame(f[0]) || f.size() < kIHeaderLength) continue;
    if (frameNs(f[0]) == vr) {
      vr = seqAdd(vr, 1);
      const uint8_t ch = channelOf(f[1]);
      partial[ch].insert(partial[ch].end(), f.begin() + 2, f.end());
      if (isLastFragment(f[1])) {
        got[ch].push_back(std::move(partial[ch]));
        partial[ch].clear();
        ++complete;
      }
    }
    // Every I frame, repeats too, gets its acknowledgement.
    ASSERT_TRUE(link.sendFrames({{sControl(kSReady, vr, false)}}));
  }
  for (uint8_t ch : channels) {
    ASSERT_EQ(got[ch].size(), size_t(Talker::kMessages)) << int(ch);
    for (int i = 0; i < Talker::kMessages; ++i)
      EXPECT_EQ(got[ch][size_t(i)], Talker::message(ch, i)) << int(ch) << "/" << i;
  }
  EXPECT_EQ(device.stats().resent, 0u);
  transport_->unplug();
  device.stop();  // the talkers stop with their channels
}

// The backlog drains on the I/O thread: a send there that waited for room
// would wait for itself.
TEST_F(VbusTransportTest, AFrameSentFromTheIoThreadIsQueuedWithoutWaiting) {
  constexpr int kFrames = 100;
  plugIn(512, 1024, [this](const uint8_t* f, size_t n) { transport_->sendFrame(f, n); });
  Host host;
  connectHost(host);
  HostLink link(host);
  // The host sends far more than the backlog holds before it reads.
  for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(link.sendFrames({frameOf(200, uint8_t(i))}));
  for (int i = 0; i < kFrames; ++i) ASSERT_EQ(link.next(), frameOf(200, uint8_t(i))) << i;
}

// Makes numbered frames for as long as they are taken, while on (with no
// host they would be dropped as fast as it makes them).
class EndlessDevice : public DrivenLink {
 public:
  void drive() override { ++drives; }
  bool takeFrame(std::vector<uint8_t>* frame) override {
    if (!on) return false;
    const uint32_t n = taken++;
    frame->assign(200, uint8_t(n));
    for (int i = 0; i < 4; ++i) (*frame)[size_t(i)] = uint8_t(n >> (8 * i));
    return true;
  }
  std::atomic<bool> on{false};
  std::atomic<uint64_t> drives{0};
  std::atomic<uint32_t> taken{0};
};

TEST_F(VbusTransportTest, AHostThatLagsHoldsADrivenDeviceBack) {
  EndlessDevice device;
  plugIn(512, 4096, {}, &device);
  Host host;
  connectHost(host);
  device.on = true;
  transport_->wake();
  // The host reads nothing: the socket fills, then the backlog, and then
  // the transport stops taking frames.
  uint32_t before = 0;
  bool held = false;
  for (int i = 0; i < kWaitMs / 200 && !held; ++i) {
    std::this_thread::sleep_for(200ms);
    const uint32_t now = device.taken;
    held = now != 0 && now == before;
    before = now;
  }
  ASSERT_TRUE(held) << "still taking after " << before << " frames";
  // What the socket holds, plus the backlog: far below this.
  EXPECT_LT(uint64_t(before) * 201, uint64_t(16) << 20);
  EXPECT_GT(device.drives, 0u);
  // Once the host reads, every frame arrives, in order, and the taking goes on.
  HostLink link(host);
  for (uint32_t n = 0; n < before + 500; ++n) {
    const Bytes f = link.next();
    ASSERT_EQ(f.size(), 200u) << n;
    ASSERT_EQ(uint32_t(f[0] | f[1] << 8 | f[2] << 16 | uint32_t(f[3]) << 24), n);
  }
  device.on = false;
  transport_->unplug();
}

}  // namespace
}  // namespace devsim
