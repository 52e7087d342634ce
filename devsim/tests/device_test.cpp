// The device end of the link: host frames in, device frames expected out,
// each case on the device's own thread and driven by a bus thread.
#include "devsim/Device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devsim/EchoService.h"
#include "linkproto/LinkProtocol.h"

namespace devsim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes sFrame(uint8_t type, uint8_t nr, bool pf = false) {
  return {linkproto::sControl(type, nr, pf)};
}
Bytes iFrame(uint8_t ns, uint8_t nr, uint8_t channelByte, Bytes data = {}, bool pf = false) {
  data.insert(data.begin(), {linkproto::iControl(ns, nr, pf), channelByte});
  return data;
}
Bytes openFrame(uint8_t ns, uint8_t nr, uint8_t channel, uint8_t protocol, Bytes data, bool last) {
  data.insert(data.begin(), protocol);
  return iFrame(ns, nr, linkproto::channelByte(channel, true, last), data);
}

class Capture : public FrameTransport {
 public:
  void sendFrame(const uint8_t* frame, size_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.emplace_back(frame, frame + length);
    cv_.notify_all();
  }
  // The next frame the device sent; empty after 10 s without one.
  Bytes next() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::seconds(10), [this] { return read_ < frames_.size(); }))
      return {};
    return frames_[read_++];
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Bytes> frames_;
  size_t read_ = 0;
};

// Stands in for the vbus I/O thread of a driven device: drives it whenever
// woken and hands its frames on.
class TestBus {
 public:
  ~TestBus() { stop(); }
  void start(Device& device, FrameTransport& out) {
    thread_ = std::thread([this, &device, &out] {
      Bytes frame;
      std::unique_lock<std::mutex> lock(mutex_);
      for (;;) {
        cv_.wait(lock, [this] { return woken_ || stop_; });
        if (stop_) return;
        woken_ = false;
        lock.unlock();
        device.drive();
        while (device.takeFrame(&frame)) out.sendFrame(frame.data(), frame.size());
        lock.lock();
      }
    });
  }
  void wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
    cv_.notify_all();
  }
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool woken_ = false;
  bool stop_ = false;
  std::thread thread_;
};

// Writes what a service sees into a shared log.
struct Log {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> lines;
  void add(std::string line) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(std::move(line));
    cv.notify_all();
  }
  bool waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return lines.size() >= count; });
  }
  std::vector<std::string> get() {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }
};

class RecordingService : public Service {
 public:
  RecordingService(Log& log, std::shared_ptr<ServiceChannel> channel)
      : log_(log), channel_(std::move(channel)) {
    log_.add("open " + std::to_string(channel_->channel()));
  }
  void onData(const uint8_t* data, size_t length, bool last) override {
    log_.add("data " + std::string(data, data + length) + (last ? " last" : ""));
  }
  void onClosed() override { log_.add("closed " + std::to_string(channel_->channel())); }

 private:
  Log& log_;
  std::shared_ptr<ServiceChannel> channel_;
};

constexpr uint8_t kEcho = 127;
constexpr uint8_t kRecord = 9;

enum class Mode { kThreaded, kDriven };

class DeviceTest : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    for (int i = 0; i < 16; ++i) config_.hwid.id[i] = uint8_t(0x10 + i);
    config_.maxFrameLength = 300;
    config_.channelCount = 5;
  }
  void TearDown() override {
    bus_.stop();  // a driven device is stopped once nothing drives it
    device_.reset();
  }
  void start() {
    device_ = std::make_unique<Device>(config_, &out_);
    device_->registerService(kEcho, EchoService::factory());
    device_->registerService(kRecord, [this](std::shared_ptr<ServiceChannel> channel) {
      return std::make_unique<RecordingService>(log_, std::move(channel));
    });
    if (GetParam() == Mode::kDriven) {
      device_->startDriven([this] { bus_.wake(); });
      bus_.start(*device_, out_);
    } else {
      device_->start();
    }
  }
  void in(const Bytes& f) { device_->receiveFrame(f.data(), f.size()); }
  Bytes next() { return out_.next(); }

  DeviceConfig config_;
  Capture out_;
  Log log_;
  TestBus bus_;
  std::unique_ptr<Device> device_;
};

INSTANTIATE_TEST_SUITE_P(Modes, DeviceTest, ::testing::Values(Mode::kThreaded, Mode::kDriven),
                         [](const ::testing::TestParamInfo<Mode>& info) {
                           return info.param == Mode::kDriven ? "Driven" : "Threaded";
                         });

TEST_P(DeviceTest, AnswersTheHandshakeFromItsConfiguration) {
  start();
  in({0x9F});  // 0x8F with the P/F bit
  EXPECT_EQ(next(), Bytes{0x63});
  in({0xAF, 0x00});  // a payload where none belongs: ignored
  in({0xAF});
  EXPECT_EQ(next(), (Bytes{0xCF, 0x2C, 0x01, 0x05, 0x00}));
  in({0xA7});
  Bytes id{0xC7};
  id.insert(id.end(), config_.hwid.id, config_.hwid.id + 16);
  EXPECT_EQ(next(), id);
  EXPECT_EQ(device_->stats().linkResets, 1u);
}

TEST_P(DeviceTest, OpensByProtocolIdAndEchoesWithAcknowledgement) {
  start();
  in(openFrame(0, 0, 2, kEcho, {'h', 'i'}, true));
  EXPECT_EQ(next(), iFrame(0, 1, 0x12, {'h', 'i'})) << "N(R) 1 acknowledges the open";
  EXPECT_EQ(device_->channelProtocol(2), kEcho);
  in(iFrame(1, 1, 0x02, {'a'}));
  EXPECT_EQ(next(), iFrame(1, 2, 0x02, {'a'}));
  in(iFrame(2, 1, 0x12, {}));  // an empty last fragment
  EXPECT_EQ(next(), iFrame(2, 3, 0x12, {}));
}

TEST_P(DeviceTest, RefusesUnknownProtocolsAndChannelsBeyondItsCount) {
  start();
  in(openFrame(0, 0, 1, 77, {'x'}, true));
  EXPECT_EQ(next(), iFrame(0, 1, 0x01)) << "closed at once";
  EXPECT_EQ(device_->channelProtocol(1), -1);
  in(openFrame(1, 1, 7, kEcho, {'x'}, true));  // the device has five channels
  in(sFrame(0, 1, true));
  EXPECT_EQ(next(), sFrame(0, 2, true)) << "taken, but nothing opened";
  EXPECT_EQ(device_->stats().channelsRefused, 1u);
  EXPECT_EQ(device_->stats().channelsOpened, 0u);
}

TEST_P(DeviceTest, ClosesBothWays) {
  start();
  in(openFrame(0, 0, 1, kRecord, {'a'}, true));
  in(openFrame(1, 0, 3, kRecord, {'b'}, false));
  ASSERT_TRUE(log_.waitFor(4));
  // The host closes channel 1: the device answers with its own close.
  in(iFrame(2, 0, 0x01));
  EXPECT_EQ(next(), iFrame(0, 3, 0x01));
  // The device closes channel 3.
  device_->closeChannel(3);
  EXPECT_EQ(next(), iFrame(1, 3, 0x03));
  ASSERT_TRUE(log_.waitFor(6));
  EXPECT_EQ(log_.get(), (std::vector<std::string>{"open 1", "data a last", "open 3", "data b",
                                                  "closed 1", "closed 3"}));
  // A close crossing ours, and data for the closed channel, change nothing.
  in(iFrame(3, 2, 0x03));
  in(iFrame(4, 2, 0x13, {'z'}));
  in(sFrame(0, 2, true));
  EXPECT_EQ(next(), sFrame(0, 5, true));
  EXPECT_EQ(log_.get().size(), 6u);
}

// The knob that makes a host reset the link: data on a channel nobody opened,
// numbered like any I frame, and forgotten with the link on the host's 0x8F.
TEST_P(DeviceTest, StrayDataGoesOutOnAChannelThatIsNotOpen) {
  start();
  ASSERT_EQ(device_->channelProtocol(4), -1);
  device_->sendStrayData(4);
  EXPECT_EQ(next(), iFrame(0, 0, 0x14, {0x5A}));
  device_->sendStrayData(16);  // no such channel: nothing
  in({0x8F});
  EXPECT_EQ(next(), Bytes{0x63}) << "the stray frame is not sent again";
  in(sFrame(0, 0, true));
  EXPECT_EQ(next(), sFrame(0, 0, true)) << "numbering starts afresh";
}

TEST_P(DeviceTest, AMessageGoesOutWholeOnAChannelThatIsNotOpen) {
  start();
  Bytes message(400);
  for (size_t i = 0; i < message.size(); ++i) message[i] = uint8_t(i * 7);
  device_->sendOnChannel(3, message);
  // Cut to the 300-byte frame like a service's data, the last bit on the end.
  EXPECT_EQ(next(), iFrame(0, 0, 0x03, Bytes(message.begin(), message.begin() + 298)));
  EXPECT_EQ(next(), iFrame(1, 0, 0x13, Bytes(message.begin() + 298, message.end())));
  EXPECT_EQ(device_->channelProtocol(3), -1) << "the channel stays closed";
  device_->sendOnChannel(16, message);  // no such channel: nothing
  in(sFrame(0, 2, true));
  EXPECT_EQ(next(), sFrame(0, 0, true));
}

TEST_P(DeviceTest, RejectsAGapOnceAndTakesTheFrameAfterwards) {
  start();
  in(openFrame(0, 0, 0, kRecord, {'0'}, true));
  in(iFrame(2, 0, 0x10, {'2'}));
  EXPECT_EQ(next(), sFrame(1, 1));
  in(iFrame(3, 0, 0x10, {'3'}));
  in(sFrame(0, 0, true));
  EXPECT_EQ(next(), sFrame(1, 1, true)) << "still waiting for frame 1: no second reject";
  in(iFrame(0, 0, 0x10, {'0'}));  // a repeat: ignored without a reject
  in(iFrame(1, 0, 0x10, {'1'}));
  in(iFrame(2, 0, 0x10, {'2'}));
  in(sFrame(0, 0, true));
  EXPECT_EQ(next(), sFrame(0, 3, true));
  ASSERT_TRUE(log_.waitFor(4));
  EXPECT_EQ(log_.get(),
            (std::vector<std::string>{"open 0", "data 0 last", "data 1 last", "data 2 last"}));
  EXPECT_EQ(device_->stats().rejectsSent, 2u);
}

TEST_P(DeviceTest, GoesBackOnRejectButNotOnAPlainReady) {
  start();
  in(openFrame(0, 0, 0, kEcho, {'a'}, false));
  in(iFrame(1, 0, 0x00, {'b'}));
  in(iFrame(2, 0, 0x10, {'c'}));
  for (char c : {'a', 'b', 'c'}) ASSERT_EQ(next().back(), c);
  in(sFrame(0, 1));  // acknowledges 'a' only
  in(sFrame(1, 1));  // a reject: 'b' and 'c' again
  EXPECT_EQ(next(), iFrame(1, 3, 0x00, {'b'}));
  EXPECT_EQ(next(), iFrame(2, 3, 0x10, {'c'}));
  in(sFrame(0, 3, true));
  EXPECT_EQ(next(), sFrame(0, 3, true)) << "the plain ready sent nothing again";
  EXPECT_EQ(device_->stats().resent, 2u);
}

// A host whose window is full polls after every seven frames it sends, while
// the device's frames are still on their way to it: going back to each
// poll's N(R) sent the device's window twice. Only two polls in a row that
// acknowledge nothing, with frames sent before the first one's answer, show
// a loss.
TEST_P(DeviceTest, APollGoesBackOnlyWhenItShowsNoProgressSinceThePreviousOne) {
  start();
  in(openFrame(0, 0, 0, kEcho, {'a'}, false));
  in(iFrame(1, 0, 0x00, {'b'}));
  in(iFrame(2, 0, 0x10, {'c'}));
  for (char c : {'a', 'b', 'c'}) ASSERT_EQ(next().back(), c);
  in(sFrame(0, 1, true));  // 'b' and 'c' are on their way
  EXPECT_EQ(next(), sFrame(0, 3, true));
  in(sFrame(0, 2, true));  // 'b' arrived meanwhile: progress
  EXPECT_EQ(next(), sFrame(0, 3, true)) << "nothing sent again";
  in(sFrame(0, 2, true));  // 'c' went before the last answer and is still missing
  EXPECT_EQ(next(), sFrame(0, 3, true));
  EXPECT_EQ(next(), iFrame(2, 3, 0x10, {'c'}));
  in(sFrame(0, 2, true));  // crossed the frame just sent again
  EXPECT_EQ(next(), sFrame(0, 3, true)) << "what went after the last answer is in flight";
  in(sFrame(0, 2, true));  // ... and that one was lost too
  EXPECT_EQ(next(), sFrame(0, 3, true));
  EXPECT_EQ(next(), iFrame(2, 3, 0x10, {'c'}));
  // A poll on an I frame counts the same way.
  in(iFrame(3, 2, 0x00, {'d'}, true));
  EXPECT_EQ(next(), sFrame(0, 4, true));
  EXPECT_EQ(next(), iFrame(3, 4, 0x00, {'d'}));
  in(iFrame(4, 2, 0x00, {'e'}, true));
  EXPECT_EQ(next(), sFrame(0, 5, true));
  EXPECT_EQ(next(), iFrame(2, 5, 0x10, {'c'})) << "'c' still missing: back to it";
  EXPECT_EQ(next(), iFrame(3, 5, 0x00, {'d'}));
  EXPECT_EQ(next(), iFrame(4, 5, 0x00, {'e'}));
  in(sFrame(0, 5, true));
  EXPECT_EQ(next(), sFrame(0, 5, true));
  EXPECT_EQ(device_->stats().resent, 4u);
  EXPECT_EQ(device_->stats().rejectsSent, 0u);
}

// The host goes back to the N(R) of a ready it got (one of the device's own,
// sent while more of its frames were on their way): those frames come twice.
// They were taken since the last N(R) the device sent, so they are no gap.
TEST_P(DeviceTest, FramesTakenSinceTheLastNrSentAreDroppedWithoutAReject) {
  start();
  in(openFrame(0, 0, 0, kRecord, {'0'}, false));
  in(iFrame(1, 0, 0x00, {'1'}));
  ASSERT_TRUE(log_.waitFor(3));
  in(iFrame(0, 0, 0x00, {'0'}));  // two back: a gap to a device that counted only the last
  in(iFrame(1, 0, 0x00, {'1'}));
  in(iFrame(2, 0, 0x00, {'2'}));
  EXPECT_EQ(next(), sFrame(0, 3)) << "three taken since N(R) 0 went: acknowledged";
  in(iFrame(1, 0, 0x00, {'1'}));  // taken before N(R) 3 went, not since: a gap after all
  EXPECT_EQ(next(), sFrame(1, 3));
  in(iFrame(3, 0, 0x10, {'3'}));
  in(sFrame(0, 0, true));
  EXPECT_EQ(next(), sFrame(0, 4, true));
  ASSERT_TRUE(log_.waitFor(5));
  EXPECT_EQ(log_.get(),
            (std::vector<std::string>{"open 0", "data 0", "data 1", "data 2", "data 3 last"}));
  const DeviceStats s = device_->stats();
  EXPECT_EQ(s.duplicates, 2u);
  EXPECT_EQ(s.rejectsSent, 1u);
}

// A one-way stream from the host draws no I frames to carry the
// acknowledgement: without a ready of its own the host's window fills and
// waits for a poll every seven frames.
TEST_P(DeviceTest, ThreeHostFramesWithoutReplyDrawAReadyOfItsOwn) {
  start();
  in(openFrame(0, 0, 0, kRecord, {'0'}, false));
  in(iFrame(1, 0, 0x00, {'1'}));
  in(iFrame(2, 0, 0x00, {'2'}));
  EXPECT_EQ(next(), sFrame(0, 3));
  in(iFrame(3, 0, 0x00, {'3'}));
  in(iFrame(4, 0, 0x00, {'4'}));
  in(sFrame(0, 0, true));
  EXPECT_EQ(next(), sFrame(0, 5, true)) << "two are not enough";
  in(iFrame(5, 0, 0x00, {'5'}));
  in(iFrame(6, 0, 0x00, {'6'}));
  in(iFrame(7, 0, 0x00, {'7'}));
  EXPECT_EQ(next(), sFrame(0, 0)) << "counted from the answer's N(R)";
  // Replies carry the acknowledgement: no ready besides them.
  in(openFrame(0, 0, 1, kEcho, {'a'}, false));
  in(iFrame(1, 0, 0x01, {'b'}));
  in(iFrame(2, 0, 0x01, {'c'}));
  for (char c : {'a', 'b', 'c'}) ASSERT_EQ(next().back(), c);
  in(sFrame(0, 3, true));
  EXPECT_EQ(next(), sFrame(0, 3, true));
  EXPECT_EQ(device_->stats().readySent, 2u);
}

TEST_P(DeviceTest, WindowOfSevenReopensOnlyOnceNoLateAcknowledgementCanArrive) {
  start();
  in(openFrame(0, 0, 0, kEcho, {'0'}, false));
  for (uint8_t i = 1; i < 8; ++i) in(iFrame(i, 0, 0x00, {uint8_t('0' + i)}));
  for (uint8_t i = 0; i < 7; ++i) {
    Bytes f = next();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ((f[0] >> 1) & 7, i);
    EXPECT_EQ(f[2], '0' + i);
  }
  // The eighth waits for an acknowledgement, and for one more frame after it:
  // until then a ready that was overtaken on the way could still arrive. A
  // host with nothing to send is asked for that frame by a repeat of the last
  // acknowledged one, not left to its idle poll.
  in(sFrame(0, 7));
  EXPECT_EQ(next(), iFrame(6, 0, 0x00, {'6'}));
  in(sFrame(0, 7));
  EXPECT_EQ(next(), iFrame(7, 0, 0x00, {'7'}));
  EXPECT_EQ(device_->stats().solicitations, 1u);
}

TEST_P(DeviceTest, AcknowledgementsOfUnsentFramesAreCountedAndIgnored) {
  start();
  in(openFrame(0, 0, 0, kEcho, {'a'}, true));
  ASSERT_EQ(next(), iFrame(0, 1, 0x10, {'a'}));
  in(sFrame(1, 4));  // beyond V(S): no go-back to slot 4
  in(sFrame(0, 1, true));
  EXPECT_EQ(next(), sFrame(0, 1, true));
  const DeviceStats s = device_->stats();
  EXPECT_EQ(s.badAcks, 1u);
  EXPECT_EQ(s.resent, 0u);
}

TEST_P(DeviceTest, BusyRefusesFramesUntilItEnds) {
  start();
  device_->setBusy(true);
  in(openFrame(0, 0, 0, kEcho, {'a'}, true));
  EXPECT_EQ(next(), sFrame(2, 0));
  in(sFrame(0, 0, true));
  EXPECT_EQ(next(), sFrame(2, 0, true)) << "a poll while busy hears busy";
  device_->setBusy(false);
  EXPECT_EQ(next(), sFrame(0, 0)) << "ready again";
  in(openFrame(0, 0, 0, kEcho, {'a'}, true));
  EXPECT_EQ(next(), iFrame(0, 1, 0x10, {'a'}));
  EXPECT_EQ(device_->stats().busyRefused, 1u);
}

TEST_P(DeviceTest, StalledServiceHoldsDataAndTurnsTheDeviceBusy) {
  config_.stallBusyBytes = 10;
  start();
  device_->stallService(kRecord, true);
  in(openFrame(0, 0, 0, kRecord, {'1', '2', '3', '4', '5', '6'}, false));
  in(iFrame(1, 0, 0x00, {'7', '8', '9', 'a', 'b', 'c'}));
  in(iFrame(2, 0, 0x10, {'d'}));  // past the limit: refused
  EXPECT_EQ(next(), sFrame(2, 2));
  ASSERT_TRUE(log_.waitFor(1));
  device_->stallService(kRecord, false);
  EXPECT_EQ(next(), sFrame(0, 2));
  in(iFrame(2, 0, 0x10, {'d'}));
  ASSERT_TRUE(log_.waitFor(4));
  EXPECT_EQ(log_.get(),
            (std::vector<std::string>{"open 0", "data 123456", "data 789abc", "data d last"}));
}

TEST_P(DeviceTest, LinkResetClosesServicesAndRestartsNumbering) {
  start();
  in(openFrame(0, 0, 0, kRecord, {'a'}, true));
  in(openFrame(1, 0, 1, kEcho, {'b'}, true));
  ASSERT_EQ(next(), iFrame(0, 2, 0x11, {'b'}));
  in({0x8F});
  EXPECT_EQ(next(), Bytes{0x63});
  ASSERT_TRUE(log_.waitFor(3));
  EXPECT_EQ(log_.get().back(), "closed 0");
  EXPECT_EQ(device_->channelProtocol(1), -1);
  in(openFrame(0, 0, 1, kEcho, {'c'}, true));
  EXPECT_EQ(next(), iFrame(0, 1, 0x11, {'c'}));
}

TEST_P(DeviceTest, FramesTooShortOrMalformedAreIgnored) {
  start();
  const Bytes junk[] = {{}, {0x00}, {0x01, 0x00}, {0x00, 0x40, 1}, {0x00, 0x20}, {0xC3, 0x01}};
  for (const Bytes& f : junk) in(f);
  in(sFrame(0, 0, true));
  EXPECT_EQ(next(), sFrame(0, 1, true)) << "a bad channel byte still uses up its number";
}

// ---- message reassembly ------------------------------------------------------------

TEST(MessageAssembler, CutsTheStreamAtTheLastBit) {
  MessageAssembler a(8);
  const uint8_t d[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(a.add(d, 3, false), MessageAssembler::Result::kMore);
  EXPECT_EQ(a.add(d + 3, 2, true), MessageAssembler::Result::kComplete);
  EXPECT_EQ(a.message(), (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(a.add(nullptr, 0, true), MessageAssembler::Result::kComplete);
  EXPECT_TRUE(a.message().empty());
  EXPECT_EQ(a.add(d, 8, true), MessageAssembler::Result::kComplete) << "exactly the limit";
  // Over the limit: reported once, the rest of that message skipped.
  EXPECT_EQ(a.add(d, 5, false), MessageAssembler::Result::kMore);
  EXPECT_EQ(a.add(d, 4, false), MessageAssembler::Result::kTooLong);
  EXPECT_EQ(a.add(d, 9, true), MessageAssembler::Result::kMore);
  EXPECT_EQ(a.add(d, 2, true), MessageAssembler::Result::kComplete);
  EXPECT_EQ(a.message(), (Bytes{1, 2}));
}

class Reverser : public MessageService {
 public:
  using MessageService::MessageService;
  void onMessage(const std::vector<uint8_t>& m) override {
    channel().send(std::vector<uint8_t>(m.rbegin(), m.rend()));
  }
};

TEST_P(DeviceTest, MessageServiceRepliesToWholeMessagesAndClosesOnOversize) {
  start();
  device_->registerService(50, [](std::shared_ptr<ServiceChannel> c) {
    return std::make_unique<Reverser>(std::move(c), 4);
  });
  in(openFrame(0, 0, 0, 50, {'a', 'b'}, false));
  in(iFrame(1, 0, 0x10, {'c'}));
  EXPECT_EQ(next(), iFrame(0, 2, 0x10, {'c', 'b', 'a'}));
  in(iFrame(2, 1, 0x00, {'1', '2', '3'}));
  in(iFrame(3, 1, 0x00, {'4', '5'}));
  EXPECT_EQ(next(), iFrame(1, 4, 0x00)) << "too long: the channel is closed";
}

// ---- the driven mode's hand-offs ---------------------------------------------------

// A service that lets the test send on its channel from any thread.
struct ChannelGrab {
  std::mutex mutex;
  std::shared_ptr<ServiceChannel> channel;
};

class GrabService : public EchoService {
 public:
  GrabService(ChannelGrab& grab, std::shared_ptr<ServiceChannel> channel) : EchoService(channel) {
    std::lock_guard<std::mutex> lock(grab.mutex);
    grab.channel = std::move(channel);
  }
};

class DrivenDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_.maxFrameLength = 300;
    device_ = std::make_unique<Device>(config_, &unused_);
    device_->registerService(kEcho, [this](std::shared_ptr<ServiceChannel> channel) {
      return std::make_unique<GrabService>(grab_, std::move(channel));
    });
    device_->startDriven([this] { ++wakes_; });
  }
  void in(const Bytes& f) { device_->receiveFrame(f.data(), f.size()); }
  // Sends on the grabbed channel from a thread that is not the driver's.
  void sendFromElsewhere(Bytes data) {
    std::thread([&] {
      std::lock_guard<std::mutex> lock(grab_.mutex);
      ASSERT_TRUE(grab_.channel);
      grab_.channel->send(data);
    }).join();
  }
  Bytes take() {
    Bytes f;
    return device_->takeFrame(&f) ? f : Bytes{};
  }

  DeviceConfig config_;
  Capture unused_;  // a driven device never sends through it
  ChannelGrab grab_;
  std::atomic<int> wakes_{0};
  std::unique_ptr<Device> device_;
};

// Lost wake-ups stall a device whose host is quiet; a wake for every frame
// costs a system call each.
TEST_F(DrivenDeviceTest, WakesItsDriverOnceForWorkFromElsewhereAndNeverForItsOwn) {
  in(openFrame(0, 0, 1, kEcho, {'a'}, true));  // nothing has driven it yet
  EXPECT_EQ(wakes_, 1);
  device_->drive();  // this thread drives from now on
  EXPECT_EQ(take(), iFrame(0, 1, 0x11, {'a'})) << "the echo made in drive() is there at once";
  in(iFrame(1, 1, 0x11, {'b'}));
  device_->drive();
  EXPECT_EQ(take(), iFrame(1, 2, 0x11, {'b'}));
  EXPECT_EQ(wakes_, 1) << "the driver's own frames and replies need no wake";

  sendFromElsewhere({'x'});
  EXPECT_EQ(wakes_, 2);
  sendFromElsewhere({'y'});
  std::thread([&] { device_->setBusy(false); }).join();
  EXPECT_EQ(wakes_, 2) << "one wake is on its way until the next drive";
  device_->drive();
  EXPECT_EQ(take(), iFrame(2, 2, 0x11, {'x'}));
  EXPECT_EQ(take(), iFrame(3, 2, 0x11, {'y'}));
  EXPECT_EQ(take(), Bytes{});
  sendFromElsewhere({'z'});
  EXPECT_EQ(wakes_, 3);
  EXPECT_EQ(take(), iFrame(4, 2, 0x11, {'z'}));

  device_->stop();
  std::thread([&] { device_->setBusy(true); }).join();
  EXPECT_EQ(wakes_, 3) << "a stopped device wakes nobody";
  EXPECT_EQ(take(), Bytes{});
}

// The frames-sent count paces the uploads, and a host that lags must hold
// the device back: frames are made only when the last ones were taken.
TEST_F(DrivenDeviceTest, MakesFramesOnlyAsTheyAreTaken) {
  device_->drive();
  in(openFrame(0, 0, 1, kEcho, {'a'}, false));
  in(iFrame(1, 0, 0x01, {'b'}));
  device_->drive();
  EXPECT_EQ(device_->stats().dataFramesOut, 0u) << "queued, not yet made";
  EXPECT_EQ(take(), iFrame(0, 2, 0x01, {'a'}));
  EXPECT_EQ(device_->stats().dataFramesOut, 2u);
  // 'b' waits untaken: what comes meanwhile is made after it, with the
  // newer N(R).
  in(iFrame(2, 1, 0x11, {'c'}));
  device_->drive();
  EXPECT_EQ(device_->stats().dataFramesOut, 2u);
  EXPECT_EQ(take(), iFrame(1, 2, 0x01, {'b'}));
  EXPECT_EQ(take(), iFrame(2, 3, 0x11, {'c'}));
  EXPECT_EQ(device_->stats().dataFramesOut, 3u);
}

}  // namespace
}  // namespace devsim
