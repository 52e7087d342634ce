// The benchmark echo service against a recording channel: set-up parsing
// across fragment borders, the three modes, run ends and refusals.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "devsim/BenchEchoService.h"

namespace devsim {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

struct Sent {
  Bytes data;
  bool last;
};

class RecordingChannel : public ServiceChannel {
 public:
  uint8_t channel() const override { return 3; }
  uint8_t protocolId() const override { return 127; }
  bool send(const uint8_t* data, size_t length, bool last) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    sent_.push_back({Bytes(data, data + length), last});
    cv_.notify_all();
    return true;
  }
  void close() override {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    ++closes_;
    cv_.notify_all();
  }
  bool waitClosed(std::chrono::milliseconds limit = 20s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return closes_ > 0; });
  }
  bool isOpen() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return !closed_;
  }
  std::vector<Sent> sent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }
  bool waitSent(size_t count, std::chrono::milliseconds limit = 20s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return sent_.size() >= count; });
  }
  int closes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closes_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Sent> sent_;
  bool closed_ = false;
  int closes_ = 0;
};

Bytes setup(uint32_t total, uint16_t packet, uint8_t mode) {
  return {uint8_t(total),
          uint8_t(total >> 8),
          uint8_t(total >> 16),
          uint8_t(total >> 24),
          uint8_t(packet),
          uint8_t(packet >> 8),
          mode,
          0xEE};
}

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 31 + (i >> 3));
  return b;
}

// What the host expects back, computed independently of the service.
Bytes expectedEcho(const Bytes& sent) {
  Bytes out;
  unsigned state = 0x46;
  for (uint8_t s : sent) {
    unsigned x = (state ^ s) & 0xFF;
    state = ((x << 1) | (x >> 7)) & 0xFF;
    out.push_back(uint8_t(state));
  }
  return out;
}

Bytes concat(const std::vector<Sent>& sent) {
  Bytes all;
  for (const Sent& s : sent) all.insert(all.end(), s.data.begin(), s.data.end());
  return all;
}

struct Fixture {
  explicit Fixture(BenchEchoOptions options = {})
      : channel(std::make_shared<RecordingChannel>()),
        service(std::make_unique<BenchEchoService>(channel, std::move(options))) {}
  // Feeds `stream` cut at the given fragment lengths; the rest goes as one
  // last fragment when `lastAtEnd`.
  void feed(const Bytes& stream, const std::vector<size_t>& cuts, bool lastAtEnd) {
    size_t offset = 0;
    for (size_t n : cuts) {
      service->onData(stream.data() + offset, n, false);
      offset += n;
    }
    service->onData(stream.data() + offset, stream.size() - offset, lastAtEnd);
  }
  std::shared_ptr<RecordingChannel> channel;
  std::unique_ptr<BenchEchoService> service;
};

TEST(BenchEchoTest, EchoTransformsEveryByteWhateverTheFragments) {
  const Bytes data = pattern(1000, 9);
  Bytes stream = setup(1000, 250, BenchEchoService::kModeEcho);
  stream.insert(stream.end(), data.begin(), data.end());
  // The set-up alone, cut inside itself, and sharing a fragment with data.
  const std::vector<std::vector<size_t>> cutsTable = {
      {8, 250, 250, 250}, {3, 4, 1, 500}, {12, 1, 1, 253}, {}, {8}};
  for (const auto& cuts : cutsTable) {
    Fixture f;
    f.feed(stream, cuts, true);
    const std::vector<Sent> sent = f.channel->sent();
    EXPECT_EQ(expectedEcho(data), concat(sent));
    ASSERT_FALSE(sent.empty());
    EXPECT_TRUE(sent.back().last);
    for (size_t i = 0; i + 1 < sent.size(); ++i) EXPECT_FALSE(sent[i].last);
  }
}

TEST(BenchEchoTest, EchoKeepsTheHostsFragmentBoundaries) {
  Fixture f;
  f.service->onData(setup(30, 10, BenchEchoService::kModeEcho).data(), 8, false);
  const Bytes data = pattern(30, 1);
  f.service->onData(data.data(), 7, false);
  f.service->onData(data.data() + 7, 20, false);
  f.service->onData(data.data() + 27, 3, true);
  const std::vector<Sent> sent = f.channel->sent();
  ASSERT_EQ(3u, sent.size());
  EXPECT_EQ(7u, sent[0].data.size());
  EXPECT_EQ(20u, sent[1].data.size());
  EXPECT_EQ(3u, sent[2].data.size());
}

TEST(BenchEchoTest, RunEndsAtItsTotalAndTheNextSetupStartsAfresh) {
  Fixture f;
  const Bytes first = pattern(5, 40), second = pattern(6, 80);
  Bytes stream = setup(5, 5, BenchEchoService::kModeEcho);
  stream.insert(stream.end(), first.begin(), first.end());
  Bytes next = setup(6, 6, BenchEchoService::kModeEcho);
  stream.insert(stream.end(), next.begin(), next.end());
  stream.insert(stream.end(), second.begin(), second.end());
  // One fragment holding both runs: the second echo starts from the seed.
  f.service->onData(stream.data(), stream.size(), true);
  Bytes want = expectedEcho(first);
  const Bytes want2 = expectedEcho(second);
  want.insert(want.end(), want2.begin(), want2.end());
  EXPECT_EQ(want, concat(f.channel->sent()));
}

TEST(BenchEchoTest, MessageEndCutsARunShortAndVoidsAHalfSetup) {
  Fixture f;
  const Bytes data = pattern(4, 3);
  f.service->onData(setup(100, 10, BenchEchoService::kModeEcho).data(), 8, false);
  f.service->onData(data.data(), data.size(), true);  // ends after 4 of 100
  const Bytes half = setup(7, 7, BenchEchoService::kModeEcho);
  f.service->onData(half.data(), 5, true);  // a set-up that never completed
  const Bytes again = pattern(3, 50);
  Bytes stream = setup(3, 3, BenchEchoService::kModeEcho);
  stream.insert(stream.end(), again.begin(), again.end());
  f.service->onData(stream.data(), stream.size(), true);
  Bytes want = expectedEcho(data);
  const Bytes want2 = expectedEcho(again);
  want.insert(want.end(), want2.begin(), want2.end());
  EXPECT_EQ(want, concat(f.channel->sent()));
}

TEST(BenchEchoTest, DownloadReportsCountAndRunningSumPerFragment) {
  Fixture f;
  f.service->onData(setup(700, 350, BenchEchoService::kModeDownload).data(), 8, false);
  const Bytes data(700, 0xFF);  // the sum wraps: 700 x 255
  f.service->onData(data.data(), 253, false);
  f.service->onData(data.data(), 0, false);  // an empty fragment: no report
  f.service->onData(data.data(), 447, true);
  const std::vector<Sent> sent = f.channel->sent();
  ASSERT_EQ(2u, sent.size());
  for (const Sent& s : sent) {
    ASSERT_EQ(4u, s.data.size());
    EXPECT_TRUE(s.last);
  }
  auto u16 = [](const Bytes& b, size_t at) { return unsigned(b[at] | b[at + 1] << 8); };
  EXPECT_EQ(253u, u16(sent[0].data, 0));
  EXPECT_EQ((253u * 255u) & 0xFFFF, u16(sent[0].data, 2));
  EXPECT_EQ(447u, u16(sent[1].data, 0));
  EXPECT_EQ((700u * 255u) & 0xFFFF, u16(sent[1].data, 2));
}

TEST(BenchEchoTest, UploadSendsNumberedPacketsOfOneFrameEach) {
  struct Case {
    uint32_t total;
    uint16_t packet;
    size_t frameData;
    std::vector<size_t> sizes;
  };
  const std::vector<Case> cases = {
      {1000, 250, 253, {250, 250, 250, 250}},
      {1000, 1024, 253, {253, 253, 253, 241}},  // clipped to one frame
      {10, 0, 253, {2, 2, 2, 2, 2}},            // never shorter than its number
      {7, 3, 253, {3, 2, 2}},                   // no 1-byte tail
      {1, 100, 253, {1}},
      {600, 300, 61, {61, 61, 61, 61, 61, 61, 61, 61, 61, 51}},
  };
  for (const Case& c : cases) {
    BenchEchoOptions options;
    options.frameData = c.frameData;
    Fixture f(options);
    f.service->onData(setup(c.total, c.packet, BenchEchoService::kModeUpload).data(), 8, false);
    ASSERT_TRUE(f.channel->waitSent(c.sizes.size())) << c.total;
    f.service.reset();  // joins the upload
    const std::vector<Sent> sent = f.channel->sent();
    ASSERT_EQ(c.sizes.size(), sent.size()) << c.total << "/" << c.packet;
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(c.sizes[i], sent[i].data.size()) << i;
      EXPECT_EQ(i + 1 == sent.size(), sent[i].last) << i;
      EXPECT_EQ(uint8_t(i), sent[i].data[0]) << i;
      if (sent[i].data.size() > 1) {
        EXPECT_EQ(uint8_t(i >> 8), sent[i].data[1]) << i;
      }
    }
  }
}

TEST(BenchEchoTest, UploadWaitsForTheLinkAndStopsWhenTheChannelCloses) {
  std::atomic<uint64_t> framesSent{1000};  // the device's count before the run
  BenchEchoOptions options;
  options.framesSent = [&] { return framesSent.load(); };
  options.uploadBacklog = 4;
  Fixture f(options);
  f.service->onData(setup(253 * 100, 253, BenchEchoService::kModeUpload).data(), 8, false);
  ASSERT_TRUE(f.channel->waitSent(4));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(4u, f.channel->sent().size());  // nothing moved on the link
  framesSent += 3;
  ASSERT_TRUE(f.channel->waitSent(7));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(7u, f.channel->sent().size());
  // The link never moves again: closing must not wait for it.
  f.service->onClosed();
  f.service.reset();
  EXPECT_EQ(7u, f.channel->sent().size());
}

TEST(BenchEchoTest, UnknownModeClosesTheChannelAndIgnoresTheRest) {
  Fixture f;
  f.service->onData(setup(10, 10, 4).data(), 8, false);
  EXPECT_EQ(1, f.channel->closes());
  const Bytes more = setup(3, 3, BenchEchoService::kModeEcho);
  f.service->onData(more.data(), more.size(), false);
  f.service->onData(more.data(), 3, true);
  EXPECT_TRUE(f.channel->sent().empty());
  EXPECT_EQ(1, f.channel->closes());
}

TEST(BenchEchoTest, EmptyRunsSendNothing) {
  for (uint8_t mode : {BenchEchoService::kModeEcho, BenchEchoService::kModeDownload,
                       BenchEchoService::kModeUpload}) {
    Fixture f;
    f.service->onData(setup(0, 10, mode).data(), 8, false);
    // The next set-up is taken as one: a 2-byte echo run.
    Bytes stream = setup(2, 2, BenchEchoService::kModeEcho);
    stream.push_back(1);
    stream.push_back(2);
    f.service->onData(stream.data(), stream.size(), true);
    f.service.reset();
    EXPECT_EQ(expectedEcho({1, 2}), concat(f.channel->sent())) << int(mode);
  }
}

// Each knob strikes at the run's middle byte and leaves the rest of the run
// as the knob says; a new run starts clean.
TEST(BenchEchoTest, FaultKnobsStrikeHalfwayThroughARun) {
  const Bytes data = pattern(100, 7);
  auto run = [&](BenchFault fault, uint8_t mode) {
    BenchEchoOptions options;
    options.fault = fault;
    auto f = std::make_unique<Fixture>(options);
    f->service->onData(setup(100, 10, mode).data(), 8, false);
    for (size_t at = 0; at < 100; at += 10) f->service->onData(data.data() + at, 10, at == 90);
    return f;
  };
  {
    auto f = run(BenchFault::kWrongEcho, BenchEchoService::kModeEcho);
    Bytes want = expectedEcho(data);
    want[50] ^= 0xFF;
    EXPECT_EQ(want, concat(f->channel->sent()));
  }
  {
    auto f = run(BenchFault::kBadSum, BenchEchoService::kModeDownload);
    const std::vector<Sent> sent = f->channel->sent();
    ASSERT_EQ(10u, sent.size());
    unsigned sum = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
      for (size_t k = 0; k < 10; ++k) sum += data[i * 10 + k];
      const unsigned reported = sent[i].data[2] | sent[i].data[3] << 8;
      // The report of bytes 50-59 is the first with the wrong sum.
      EXPECT_EQ((sum + (i >= 5 ? 1 : 0)) & 0xFFFF, reported) << i;
    }
  }
  for (uint8_t mode : {BenchEchoService::kModeEcho, BenchEchoService::kModeDownload}) {
    auto silent = run(BenchFault::kSilence, mode);
    EXPECT_EQ(5u, silent->channel->sent().size()) << int(mode);
    EXPECT_EQ(0, silent->channel->closes());
    auto closing = run(BenchFault::kClose, mode);
    EXPECT_EQ(5u, closing->channel->sent().size()) << int(mode);
    EXPECT_EQ(1, closing->channel->closes());
  }
  // The next run after a silent one is answered again up to its middle.
  BenchEchoOptions options;
  options.fault = BenchFault::kSilence;
  Fixture f(options);
  for (int runs = 0; runs < 2; ++runs) {
    f.service->onData(setup(4, 2, BenchEchoService::kModeEcho).data(), 8, false);
    f.service->onData(data.data(), 2, false);
    f.service->onData(data.data() + 2, 2, true);
  }
  const Bytes once = expectedEcho({data[0], data[1]});
  Bytes want = once;
  want.insert(want.end(), once.begin(), once.end());
  EXPECT_EQ(want, concat(f.channel->sent()));
}

TEST(BenchEchoTest, UploadFaultsStrikeAtThePacketHoldingTheMiddleByte) {
  struct Case {
    BenchFault fault;
    size_t packets;  // sent before the channel is looked at
    int closes;
  };
  // 10 packets of 10 bytes: packet 5 holds byte 50.
  const std::vector<Case> cases = {{BenchFault::kWrongSequence, 10, 0},
                                   {BenchFault::kSilence, 5, 0},
                                   {BenchFault::kClose, 5, 1}};
  for (const Case& c : cases) {
    BenchEchoOptions options;
    options.fault = c.fault;
    Fixture f(options);
    f.service->onData(setup(100, 10, BenchEchoService::kModeUpload).data(), 8, false);
    ASSERT_TRUE(f.channel->waitSent(c.packets));
    // The close comes from the upload thread after its last packet.
    if (c.closes) {
      ASSERT_TRUE(f.channel->waitClosed());
    }
    f.service.reset();
    const std::vector<Sent> sent = f.channel->sent();
    ASSERT_EQ(c.packets, sent.size()) << int(c.fault);
    EXPECT_EQ(c.closes, f.channel->closes());
    for (size_t i = 0; i < sent.size(); ++i) {
      const unsigned want = unsigned(i) + (c.fault == BenchFault::kWrongSequence && i == 5 ? 1 : 0);
      EXPECT_EQ(want, unsigned(sent[i].data[0] | sent[i].data[1] << 8)) << i;
    }
  }
}

TEST(BenchEchoTest, FaultNamesParse) {
  BenchFault fault = BenchFault::kNone;
  EXPECT_TRUE(parseBenchFault("bad-sum", &fault));
  EXPECT_EQ(BenchFault::kBadSum, fault);
  EXPECT_FALSE(parseBenchFault("Bad-Sum", &fault));
  EXPECT_FALSE(parseBenchFault("", &fault));
}

}  // namespace
}  // namespace devsim
