// scopeproto on the whole road: the linkhub program with usblink over the
// virtual bus, and devices of this process (the in-process device host)
// whose scope state and knobs the tests turn while they run.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include "ScopeRecorder.h"
#include "e2e/Road.h"
#include "scopecodec/scopecodec.h"
#include "scopeproto/scopeproto.h"
#include "svcwire/ScopeWire.h"
#include "vlntest/TimeSlack.h"

using translayer::HwId;

namespace {

using scopetest::Clock;
using scopetest::msBetween;
using scopetest::Record;
using scopetest::Recorder;
namespace wire = svcwire::scope;
constexpr ScopeResult kBroken = PROT_DIGSCOPE_BROKEN_LINK;

std::vector<uint8_t> floatBytes(float f) {
  std::vector<uint8_t> b(4);
  std::memcpy(b.data(), &f, 4);
  return b;
}

int decode(const std::vector<uint8_t>& capture) {
  char* xml = nullptr;
  const int result = DigScopeDecode(capture.data(), unsigned(capture.size()), &xml);
  std::free(xml);
  return result;
}

class ScopeprotoRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(road_.ok());
    ASSERT_TRUE(road_.startHub());
  }

  devsim::DeviceHost* plug(const e2e::Road::Device& d, uint16_t maxFrame = 255) {
    devsim::HostOptions options;
    options.maxFrameLength = maxFrame;
    options.scope.maxChannels = 6;
    options.scope.maxTriggers = 5;
    options.scope.baseSampleSize = 2;
    options.scope.timeBaseBits = 0x3A83126F;  // 0.001
    options.scope.bufferSize = 123456;
    return road_.plugDevice(d, options);
  }

  ProtDigScopeHandle registerUp(const e2e::Road::Device& d) {
    const size_t from = Recorder::get().size();
    ProtDigScopeHandle h = ProtDigScopeRegister(d.hwid.id, sizeof d.hwid.id, &Recorder::callback);
    EXPECT_GE(Recorder::get().waitFor(h, 1, from), 0) << "no event 1";
    return h;
  }

  // Channels, arm, and the wait for the valid capture.
  void armToValid(ProtDigScopeHandle h) {
    Recorder& rec = Recorder::get();
    ASSERT_EQ(ProtDigScopeAddChannel(h, 3, 0.01f), 0);
    ASSERT_EQ(ProtDigScopeAddChannel(h, 1, 0.01f), 0);
    const size_t from = rec.size();
    ASSERT_EQ(ProtDigScopeArm(h), 0);
    ASSERT_GE(rec.waitFor(h, 2, from, scopetest::kWaitMs,
                          [](const Record& r) { return r.status.state == wire::kValid; }),
              0);
  }

  // A raw data request of `size` bytes: the progress reports and the result.
  void rawDataArrivesWhole(devsim::DeviceHost* dev, ProtDigScopeHandle h, uint32_t size) {
    Recorder& rec = Recorder::get();
    dev->scope().setCaptureSize(size);
    const size_t from = rec.size();
    ASSERT_EQ(ProtDigScopeReqRawData(h), 0);
    const int done = rec.waitFor(h, 5, from);
    ASSERT_GE(done, 0);
    const Record result = rec.at(done);
    const std::vector<uint8_t> capture = dev->scope().lastCapture();
    EXPECT_EQ(result.rawStatus, 0u);
    EXPECT_EQ(result.rawSize, size);  // one channel of 1 byte: every length fits
    EXPECT_EQ(result.data, capture);
    EXPECT_EQ(decode(result.data), 0);

    std::vector<Record> progress;
    for (const Record& r : rec.since(h, from))
      if (r.event == 4 && r.at <= result.at) progress.push_back(r);
    ASSERT_FALSE(progress.empty());
    // The first report once the 6 header bytes are in, before the message
    // has gone much further than one chunk.
    EXPECT_GE(progress[0].progress.received, wire::kRawHeader);
    EXPECT_LE(progress[0].progress.received, kChunkData + wire::kRawHeader);
    for (size_t i = 0; i < progress.size(); ++i) {
      EXPECT_EQ(progress[i].progress.total, size);
      EXPECT_LE(progress[i].progress.received, size + wire::kRawHeader);
      if (i == 0) continue;
      EXPECT_GT(progress[i].progress.received, progress[i - 1].progress.received);
      // 250 ms apart on the library's clock; our stamps are taken inside the
      // callbacks, a little after, so a preempted callback may shorten one
      // gap by a few ms. A burst shows as gaps near 0.
      EXPECT_GE(msBetween(progress[i - 1].at, progress[i].at), 240) << "report " << i;
    }
  }

  static constexpr uint32_t kChunkData = 1024;
  e2e::Road road_;
  e2e::Road::Device dev1_{"scope1", e2e::Road::makeHwId(0x21)};
  e2e::Road::Device dev2_{"scope2", e2e::Road::makeHwId(0x41)};
};

TEST_F(ScopeprotoRoad, ConfigurationRequestsReachTheDeviceAndAnswer) {
  Recorder& rec = Recorder::get();
  devsim::DeviceHost* dev = plug(dev1_);
  ASSERT_NE(dev, nullptr);
  const size_t testStart = rec.size();
  ProtDigScopeHandle h = registerUp(dev1_);

  uint8_t signature[16] = {};
  ASSERT_TRUE(ProtDigScopeGetSignature(h, signature));
  EXPECT_EQ(std::vector<uint8_t>(signature, signature + 16), dev->scope().config().signature);

  ProtDigScopeCapabilities caps;
  std::memset(&caps, 0xEE, sizeof caps);
  ASSERT_EQ(ProtDigScopeGetCapabilities(h, &caps), 0);
  EXPECT_EQ(caps.maxChannels, 6);
  EXPECT_EQ(caps.maxTriggers, 5);
  EXPECT_EQ(caps.baseSampleSize, 2);
  uint32_t bits;
  std::memcpy(&bits, &caps.timeBase, 4);
  EXPECT_EQ(bits, 0x3A83126Fu);
  EXPECT_EQ(caps.bufferSize, 123456u);

  // Channels: each list reply is also event 3, after the status came back.
  struct ChannelStep {
    const char* what;
    ScopeResult (*call)(ProtDigScopeHandle);
    ScopeResult result;
    std::vector<std::pair<uint16_t, float>> list;
  };
  const ChannelStep steps[] = {
      {"add 3",
       [](ProtDigScopeHandle x) { return ProtDigScopeAddChannel(x, 3, 0.01f); },
       0,
       {{3, 0.01f}}},
      {"add 0x1234",
       [](ProtDigScopeHandle x) { return ProtDigScopeAddChannel(x, 0x1234, 0.5f); },
       0,
       {{3, 0.01f}, {0x1234, 0.5f}}},
      {"duplicate",
       [](ProtDigScopeHandle x) { return ProtDigScopeAddChannel(x, 3, 0.02f); },
       wire::kDuplicatedChannel,
       {{3, 0.01f}, {0x1234, 0.5f}}},
      {"unknown parameter",
       [](ProtDigScopeHandle x) { return ProtDigScopeAddChannel(x, 99, 1.0f); },
       wire::kParameterNotFound,
       {{3, 0.01f}, {0x1234, 0.5f}}},
      {"index cut to 16 bits",
       [](ProtDigScopeHandle x) { return ProtDigScopeModifyChannel(x, 0x10000 + 3, 0.25f); },
       0,
       {{3, 0.25f}, {0x1234, 0.5f}}},
      {"remove 3",
       [](ProtDigScopeHandle x) { return ProtDigScopeRemoveChannel(x, 3); },
       0,
       {{0x1234, 0.5f}}},
      {"remove again",
       [](ProtDigScopeHandle x) { return ProtDigScopeRemoveChannel(x, 3); },
       wire::kChannelNotFound,
       {{0x1234, 0.5f}}},
      {"remove the last",
       [](ProtDigScopeHandle x) { return ProtDigScopeRemoveChannel(x, 0x1234); },
       0,
       {}},
  };
  for (const ChannelStep& step : steps) {
    SCOPED_TRACE(step.what);
    const size_t from = rec.size();
    EXPECT_EQ(step.call(h), step.result);
    const int list = rec.waitFor(h, 3, from);
    ASSERT_GE(list, 0);
    const Record r = rec.at(list);
    EXPECT_EQ(r.length, sizeof(ProtDigScopeChannelList));
    ASSERT_EQ(r.list.count, step.list.size());
    // A status-only reply (no channels left) has no capture time.
    EXPECT_EQ(r.list.maxCaptureTime, step.list.empty() ? 0.0f : 10.0f);
    for (size_t i = 0; i < step.list.size(); ++i) {
      EXPECT_EQ(r.list.entries[i].parameterIndex, step.list[i].first);
      EXPECT_EQ(r.list.entries[i].time, step.list[i].second);
    }
  }

  // Triggers of every threshold width reach the device byte for byte.
  struct TriggerCase {
    uint16_t parameter;
    uint8_t kind;
    std::vector<uint8_t> threshold;
  };
  const TriggerCase triggers[] = {
      {1, 1, {0x80}},
      {2, 2, {0x34, 0x12}},
      {3, 3, {0x9c, 0xff, 0xff, 0xff}},
      {4, 4, {1, 2, 3, 4, 5, 6, 7, 0xf8}},
      {5, 1, floatBytes(1.5f)},
  };
  for (const TriggerCase& t : triggers) {
    const size_t seen = dev->scope().requests().size();
    EXPECT_EQ(ProtDigScopeAddTrigger(h, t.parameter, t.kind,
                                     reinterpret_cast<const char*>(t.threshold.data()),
                                     t.threshold.size()),
              0);
    const auto requests = dev->scope().requests();
    ASSERT_EQ(requests.size(), seen + 1);
    std::vector<uint8_t> expected{wire::kReqAddTrigger, uint8_t(t.parameter),
                                  uint8_t(t.parameter >> 8), t.kind};
    expected.insert(expected.end(), t.threshold.begin(), t.threshold.end());
    EXPECT_EQ(requests.back(), expected);
  }
  // The device's own answers come back as they are.
  const char two[2] = {1, 2};
  EXPECT_EQ(ProtDigScopeAddTrigger(h, 3, 1, two, 2), wire::kParameterSizeMismatch);
  EXPECT_EQ(ProtDigScopeModifyTrigger(h, 2, 9, two, 2), wire::kUnsupportedTriggerType);
  EXPECT_EQ(ProtDigScopeRemoveTrigger(h, 7), wire::kInvalidChannelIndex);
  EXPECT_EQ(ProtDigScopeRemoveTrigger(h, 4), 0);
  EXPECT_EQ(dev->scope().triggers().size(), 4u);
  EXPECT_EQ(ProtDigScopeSetParameters(h, 4, 0.5f, 0.1f), 0);
  EXPECT_EQ(dev->scope().mode(), 4);
  EXPECT_EQ(ProtDigScopeSetParameters(h, 1, 0.5f, 0.9f), wire::kPreTriggerOverflow);
  EXPECT_EQ(ProtDigScopeArm(h), wire::kNoChannelsDefined);
  EXPECT_EQ(ProtDigScopeCancel(h), 0);

  // The raw configuration: a capture file of the configuration alone.
  const size_t from = rec.size();
  EXPECT_EQ(ProtDigScopeReqRawConfiguration(h), 0);
  const int raw = rec.waitFor(h, 5, from);
  ASSERT_GE(raw, 0);
  EXPECT_EQ(rec.at(raw).data, dev->scope().lastCapture());
  EXPECT_EQ(decode(rec.at(raw).data), 0);

  for (const Record& r : rec.since(h, testStart)) EXPECT_NE(r.event, 0u) << "the channel went down";
  ProtDigScopeUnRegister(h);
}

TEST_F(ScopeprotoRoad, ACaptureRunsThroughItsStatesAndItsDataArrivesWhole) {
  Recorder& rec = Recorder::get();
  devsim::DeviceHost* dev = plug(dev1_);
  ASSERT_NE(dev, nullptr);
  ProtDigScopeHandle h = registerUp(dev1_);

  // Raw data before a capture: the device's status, no data.
  size_t from = rec.size();
  EXPECT_EQ(ProtDigScopeReqRawData(h), wire::kInvalidState);
  int raw = rec.waitFor(h, 5, from);
  ASSERT_GE(raw, 0);
  EXPECT_EQ(rec.at(raw).rawStatus, wire::kInvalidState);
  EXPECT_EQ(rec.at(raw).rawSize, 0u);
  EXPECT_FALSE(rec.at(raw).rawData);

  from = rec.size();
  ASSERT_NO_FATAL_FAILURE(armToValid(h));
  std::vector<Record> states;
  for (const Record& r : rec.since(h, from))
    if (r.event == 2) states.push_back(r);
  ASSERT_GE(states.size(), 3u);
  EXPECT_EQ(states.front().status.state, wire::kArmed);
  EXPECT_EQ(states.back().status.state, wire::kValid);
  float fill = -1;
  for (size_t i = 1; i + 1 < states.size(); ++i) {
    EXPECT_EQ(states[i].status.state, wire::kRunning);
    EXPECT_GT(states[i].status.fill, fill);
    fill = states[i].status.fill;
  }
  EXPECT_NE(states[0].thread, std::this_thread::get_id());

  ASSERT_NO_FATAL_FAILURE(rawDataArrivesWhole(dev, h, 100000));
  // A second capture of another size on the same channel.
  ASSERT_NO_FATAL_FAILURE(rawDataArrivesWhole(dev, h, 4099));
  // A reply that pauses for more than a second after its first kilobyte:
  // the reports that follow keep their distance (no burst to catch up).
  dev->scope().setRawPause(1300);
  ASSERT_NO_FATAL_FAILURE(rawDataArrivesWhole(dev, h, 60001));
  dev->scope().setRawPause(0);
  ProtDigScopeUnRegister(h);
}

TEST_F(ScopeprotoRoad, RawDataThroughEightByteFrames) {
  devsim::DeviceHost* dev = plug(dev1_, 8);
  ASSERT_NE(dev, nullptr);
  ProtDigScopeHandle h = registerUp(dev1_);
  ASSERT_NO_FATAL_FAILURE(armToValid(h));
  ASSERT_NO_FATAL_FAILURE(rawDataArrivesWhole(dev, h, 100000));
  ProtDigScopeUnRegister(h);
}

TEST_F(ScopeprotoRoad, RepliesOutsideTheRulesBreakTheChannelAndTheNextRequestWorks) {
  Recorder& rec = Recorder::get();
  devsim::DeviceHost* dev = plug(dev1_);
  ASSERT_NE(dev, nullptr);
  ProtDigScopeHandle h = registerUp(dev1_);
  std::vector<devsim::ScopeChannelDef> entries255(255, {7, 0.5f}), entries256(256, {7, 0.5f});

  struct Case {
    const char* what;
    std::vector<uint8_t> reply;    // in place of the device's next reply; empty: none
    std::vector<uint8_t> unasked;  // sent unasked before the request; empty: none
    bool duplicate;
    ScopeResult (*call)(ProtDigScopeHandle);
    ScopeResult result;
    bool breaks;
    bool stallRaw = false;  // a raw reply's first kilobyte (or less) is not its last
  };
  auto arm = [](ProtDigScopeHandle x) { return ProtDigScopeArm(x); };
  auto add = [](ProtDigScopeHandle x) { return ProtDigScopeAddChannel(x, 7, 0.5f); };
  auto rawData = [](ProtDigScopeHandle x) { return ProtDigScopeReqRawData(x); };
  const Case cases[] = {
      {"arm answered with a byte too many", {wire::kArm, 0, 0}, {}, false, arm, kBroken, false},
      {"arm answered with cancel's code", {wire::kCancel, 0}, {}, false, arm, kBroken, false},
      {"raw data answered with the configuration's code",
       {wire::kRawConfiguration, 5},
       {},
       false,
       rawData,
       kBroken,
       false},
      {"a list of 255 entries",
       devsim::ScopeState::listMessage(wire::kAddChannel, 0, 1, entries255),
       {},
       false,
       add,
       0,
       false},
      {"a list of 256 entries",
       devsim::ScopeState::listMessage(wire::kAddChannel, 0, 1, entries256),
       {},
       false,
       add,
       kBroken,
       true},
      {"a list entry cut short",
       {wire::kAddChannel, 0, 0, 0, 0x80, 0x3f, 7, 0},
       {},
       false,
       add,
       kBroken,
       true},
      {"a raw size one byte too long",
       {wire::kRawData, 0, 3, 0, 0, 0, 1, 2},
       {},
       false,
       rawData,
       kBroken,
       true},
      {"a raw size of 4 GiB",
       {wire::kRawData, 0, 0xff, 0xff, 0xff, 0xff, 1},
       {},
       false,
       rawData,
       kBroken,
       true},
      {"a raw size of zero", {wire::kRawData, 0, 0, 0, 0, 0}, {}, false, rawData, 0, false},
      // Refused at once, not left waiting for the time-out.
      {"a raw chunk before the last shorter than the raw header",
       {wire::kRawData, 0, 1, 0, 0},
       {},
       false,
       rawData,
       kBroken,
       true,
       true},
      {"an unknown code", {99}, {}, false, arm, kBroken, true},
      {"an unasked direct reply", {}, {wire::kArm, 0}, false, nullptr, 0, true},
      {"a status update one byte long",
       {},
       {wire::kStatusUpdate, 1, 0, 0, 0, 0, 0},
       false,
       nullptr,
       0,
       true},
      {"every reply twice", {}, {}, true, arm, wire::kNoChannelsDefined, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The device's end opens with the host's first message.
    uint8_t sig[16];
    ASSERT_TRUE(ProtDigScopeGetSignature(h, sig));
    const size_t from = rec.size();
    if (!c.reply.empty()) dev->scope().replaceNextReply(c.reply);
    dev->scope().setDuplicateReplies(c.duplicate);
    dev->scope().setStallRaw(c.stallRaw);
    if (!c.unasked.empty()) dev->scope().inject(c.unasked);
    if (c.call) {
      EXPECT_EQ(c.call(h), c.result);
    }
    dev->scope().setDuplicateReplies(false);
    dev->scope().setStallRaw(false);
    if (c.breaks) {
      const int down = rec.waitFor(h, 0, from);
      ASSERT_GE(down, 0);
      EXPECT_EQ(rec.at(down).length, 2u);
      ASSERT_GE(rec.waitFor(h, 1, size_t(down)), 0);
      // No result event for the refused reply.
      for (const Record& r : rec.since(h, from)) EXPECT_TRUE(r.event != 3 && r.event != 5);
    } else {
      // The channel stays: a request right after works.
      EXPECT_EQ(ProtDigScopeCancel(h), 0);
      for (const Record& r : rec.since(h, from)) EXPECT_NE(r.event, 0u);
    }
    // Whatever came before, the next request works.
    EXPECT_EQ(ProtDigScopeArm(h), wire::kNoChannelsDefined);
  }
  // An empty message from the device.
  const size_t from = rec.size();
  uint8_t sig[16];
  ASSERT_TRUE(ProtDigScopeGetSignature(h, sig));
  dev->scope().inject({});
  const int down = rec.waitFor(h, 0, from);
  ASSERT_GE(down, 0);
  EXPECT_EQ(rec.at(down).length, 2u);
  ASSERT_GE(rec.waitFor(h, 1, size_t(down)), 0);
  EXPECT_EQ(ProtDigScopeArm(h), wire::kNoChannelsDefined);

  // A status-only raw reply: its status and event 5 without data.
  dev->scope().replaceNextReply({wire::kRawData, 5});
  const size_t before = rec.size();
  EXPECT_EQ(ProtDigScopeReqRawData(h), 5);
  const int raw = rec.waitFor(h, 5, before);
  ASSERT_GE(raw, 0);
  EXPECT_EQ(rec.at(raw).rawStatus, 5u);
  EXPECT_EQ(rec.at(raw).rawSize, 0u);
  EXPECT_FALSE(rec.at(raw).rawData);

  // Capabilities of the wrong length: what came is written, the result is 1024.
  dev->scope().replaceNextReply({wire::kCapabilities, 0, 9, 8, 7});
  ProtDigScopeCapabilities caps{};
  EXPECT_EQ(ProtDigScopeGetCapabilities(h, &caps), kBroken);
  EXPECT_EQ(caps.maxChannels, 9);
  EXPECT_EQ(caps.maxTriggers, 8);
  EXPECT_EQ(caps.baseSampleSize, 7);
  ProtDigScopeUnRegister(h);
}

TEST_F(ScopeprotoRoad, ASilentRequestIsGivenUpAfterASecondWhateverStatusUpdatesCome) {
  Recorder& rec = Recorder::get();
  devsim::DeviceHost* dev = plug(dev1_);
  ASSERT_NE(dev, nullptr);
  ProtDigScopeHandle h = registerUp(dev1_);
  struct Case {
    const char* what;
    int firstUpdateMs;  // -1: none
    int everyMs;        // 0: only the first
  };
  const Case cases[] = {{"no update", -1, 0},
                        {"one update 200 ms after", 200, 0},
                        {"updates every 150 ms", 150, 150}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint8_t sig[16];
    ASSERT_TRUE(ProtDigScopeGetSignature(h, sig));
    dev->scope().setSilent(true);
    std::atomic<bool> stop{false};
    std::thread updates([&] {
      if (c.firstUpdateMs < 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(c.firstUpdateMs));
      // For 6 s at most, so a library that lets updates hold the deadline
      // off fails the bounds below instead of waiting for ever.
      const auto end = Clock::now() + std::chrono::seconds(6);
      do {
        dev->scope().inject(devsim::ScopeState::statusMessage(wire::kRunning, 12.5f));
        if (!c.everyMs) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(c.everyMs));
      } while (!stop.load() && Clock::now() < end);
    });
    const size_t from = rec.size();
    const auto asked = Clock::now();
    EXPECT_EQ(ProtDigScopeArm(h), kBroken);
    const auto returned = Clock::now();
    stop = true;
    updates.join();
    const int down = rec.waitFor(h, 0, from);
    ASSERT_GE(down, 0);
    EXPECT_EQ(rec.at(down).length, 3u);
    const long ms = msBetween(asked, rec.at(down).at);
    EXPECT_GE(ms, 1000);
    EXPECT_GE(msBetween(asked, returned), 1000);
    EXPECT_LE(ms, vlntest::slackBound(std::chrono::milliseconds(2000)).count() + 200);
    if (c.firstUpdateMs >= 0) {
      EXPECT_GE(rec.waitFor(h, 2, from, 0), 0) << "the update reached the application";
    }
    dev->scope().setSilent(false);
    ASSERT_GE(rec.waitFor(h, 1, size_t(down)), 0);
    EXPECT_EQ(ProtDigScopeCancel(h), 0);
  }
  ProtDigScopeUnRegister(h);
}

TEST_F(ScopeprotoRoad, ABrokenChannelLeavesTheOtherDeviceAndRegistrationsAlone) {
  Recorder& rec = Recorder::get();
  devsim::DeviceHost* a = plug(dev1_);
  devsim::DeviceHost* b = plug(dev2_);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ProtDigScopeHandle ha = registerUp(dev1_);
  ProtDigScopeHandle hb = registerUp(dev2_);
  uint8_t sig[16];
  ASSERT_TRUE(ProtDigScopeGetSignature(ha, sig));
  ASSERT_TRUE(ProtDigScopeGetSignature(hb, sig));

  const size_t from = rec.size();
  a->scope().inject({wire::kArm, 0});
  // Another thread registers a third device meanwhile; it must not wait on
  // the broken one.
  const HwId third = e2e::Road::makeHwId(0x61);
  auto registering = std::async(std::launch::async, [&] {
    const auto t0 = Clock::now();
    ProtDigScopeHandle other = ProtDigScopeRegister(third.id, 16, &Recorder::callback);
    const long ms = msBetween(t0, Clock::now());
    ProtDigScopeUnRegister(other);
    return std::make_pair(other, ms);
  });
  b->scope().inject(devsim::ScopeState::statusMessage(wire::kRunning, 42.0f));
  const int down = rec.waitFor(ha, 0, from);
  ASSERT_GE(down, 0);
  EXPECT_EQ(rec.at(down).length, 2u);
  const int update = rec.waitFor(hb, 2, from, scopetest::kWaitMs,
                                 [](const Record& r) { return r.status.fill == 42.0f; });
  ASSERT_GE(update, 0);
  EXPECT_EQ(rec.at(update).status.state, wire::kRunning);
  const auto [other, ms] = registering.get();
  EXPECT_NE(other, nullptr);
  EXPECT_NE(other, hb);
  EXPECT_LE(ms, 10000);
  ASSERT_GE(rec.waitFor(ha, 1, size_t(down)), 0);
  EXPECT_EQ(ProtDigScopeCancel(ha), 0);
  EXPECT_EQ(ProtDigScopeCancel(hb), 0);
  for (const Record& r : rec.since(hb, from)) EXPECT_NE(r.event, 0u);
  ProtDigScopeUnRegister(ha);
  ProtDigScopeUnRegister(hb);
}

TEST_F(ScopeprotoRoad, UnregisteringWhileARawRequestWaitsOnAStalledDevice) {
  Recorder& rec = Recorder::get();
  devsim::DeviceHost* dev = plug(dev1_);
  ASSERT_NE(dev, nullptr);
  ProtDigScopeHandle h = registerUp(dev1_);
  ASSERT_NO_FATAL_FAILURE(armToValid(h));
  dev->scope().setCaptureSize(50000);
  dev->scope().setStallRaw(true);
  const size_t from = rec.size();
  auto waiting = std::async(std::launch::async, [h] { return ProtDigScopeReqRawData(h); });
  // The reply has begun (its first report) and then stalls.
  ASSERT_GE(rec.waitFor(h, 4, from), 0);
  const size_t before = rec.size();
  ProtDigScopeUnRegister(h);
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), kBroken);
  const auto after = rec.since(h, before);
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.front().event, 0u);
  for (const Record& r : rec.since(h, from)) EXPECT_NE(r.event, 5u);
}

TEST_F(ScopeprotoRoad, RequestsOfSeveralThreadsOnOneHandleEachGetTheirOwnReply) {
  devsim::DeviceHost* dev = plug(dev1_);
  ASSERT_NE(dev, nullptr);
  // Handles of earlier tests may have had the same address.
  const size_t testStart = Recorder::get().size();
  ProtDigScopeHandle h = registerUp(dev1_);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        if (t % 2) {
          uint8_t sig[16];
          if (!ProtDigScopeGetSignature(h, sig) || sig[0] != 0x5C) ++wrong;
        } else {
          ProtDigScopeCapabilities caps{};
          if (ProtDigScopeGetCapabilities(h, &caps) != 0 || caps.bufferSize != 123456) ++wrong;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  for (const Record& r : Recorder::get().since(h, testStart)) EXPECT_NE(r.event, 0u);
  ProtDigScopeUnRegister(h);
}

}  // namespace
