// Discovery and channel I/O on a scripted bus, through the exports' logic.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "FakeServer.h"
#include "MediaLibrary.h"
#include "PacingCheck.h"
#include "ScriptedBus.h"
#include "plat/poll.h"
#include "plat/txevent.h"
#include "vlntest/TimeSlack.h"

namespace usblink::test {
namespace {

using Clock = std::chrono::steady_clock;
using MediaEvent = FakeServer::MediaEvent;

Bytes record(size_t n, uint8_t fill) {
  Bytes r(1 + n, fill);
  r[0] = uint8_t(n);
  return r;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Splits a bulk OUT transfer back into its frames.
std::vector<Bytes> framesOf(const Bytes& transfer) {
  std::vector<Bytes> frames;
  for (size_t p = 0; p < transfer.size(); p += 1 + transfer[p]) {
    EXPECT_LE(p + 1 + transfer[p], transfer.size());
    frames.emplace_back(transfer.begin() + long(p) + 1,
                        transfer.begin() + long(p) + 1 + transfer[p]);
  }
  return frames;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class Media : public ::testing::Test {
 protected:
  Media() : owned_(std::make_unique<ScriptedBus>()), bus_(static_cast<ScriptedBus*>(owned_.get())) {
    library_ = std::make_unique<MediaLibrary>([this] { return std::move(owned_); });
  }
  ~Media() override { library_.reset(); }

  // A device that answers the descriptor with transfer size `size`.
  std::shared_ptr<DeviceScript> healthy(const std::string& path, uint16_t size = 1024,
                                        bool present = true) {
    auto script = bus_->addDevice(path, present);
    script->expectDescriptor(linkDescriptor(size));
    return script;
  }
  void create() { library_->envCreate(&FakeServer::onEvent, &server_); }
  int connect(uint32_t index) {
    int txEvent = -1;
    EXPECT_TRUE(
        library_->channelConnect(index, &FakeServer::onRx, &FakeServer::onTx, &server_, &txEvent));
    return txEvent;
  }
  MediaChannelInfo info(uint32_t index) {
    MediaChannelInfo i{};
    EXPECT_TRUE(library_->getChannelInfo(index, &i, sizeof i));
    return i;
  }

  FakeServer server_;
  std::unique_ptr<UsbBus> owned_;
  ScriptedBus* bus_;
  std::unique_ptr<MediaLibrary> library_;
};

// ---- discovery ----

TEST_F(Media, PresentDevicesAreReportedOnceBeforeEnvCreateReturns) {
  healthy("usb\\dev1");
  healthy("USB\\DEV2");
  bus_->setScanDelay(200);
  create();
  // No waiting: EnvCreate itself waited for the report.
  EXPECT_EQ(server_.events(), (std::vector<MediaEvent>{{kMediaEventArrived, {1, 2}}}));
  const MediaChannelInfo i = info(1);
  EXPECT_EQ(i.eventWaitMs, 500);
  EXPECT_EQ(i.closeTimeoutMs, 5000);
  EXPECT_EQ(i.maxFrameLength, 255);
  EXPECT_EQ(i.mediaFlag, 1);
  EXPECT_EQ(std::u16string(i.devicePath), u"USB\\DEV1");
}

TEST_F(Media, DestroyRightAfterCreateIsClean) {
  for (int round = 0; round < 20; ++round) {
    auto bus = std::make_unique<ScriptedBus>();
    bus->addDevice("USB\\A")->expectDescriptor(linkDescriptor(512));
    FakeServer server;
    MediaLibrary library([&] { return std::move(bus); });
    library.envCreate(&FakeServer::onEvent, &server);
    library.envDestroy();
    EXPECT_EQ(server.events().size(), 1u);
  }
}

TEST_F(Media, SecondEnvCreateIsIgnored) {
  create();
  FakeServer other;
  library_->envCreate(&FakeServer::onEvent, &other);
  healthy("USB\\LATE", 1024, false);
  bus_->plug("USB\\LATE");
  ASSERT_TRUE(server_.waitEvents(1));
  EXPECT_TRUE(other.events().empty());
}

TEST_F(Media, ArrivalRemovalAndReplugAreReportedInOrder) {
  healthy("USB\\A")->expectDescriptor(linkDescriptor(1024));  // for its second plug
  healthy("USB\\B", 1024, false);
  auto c = healthy("USB\\C", 1024, false);
  create();
  bus_->plug("USB\\B");
  bus_->plug("USB\\B");  // known: nothing
  bus_->unplug("USB\\A");
  bus_->unplug("USB\\NOBODY");  // unknown: nothing
  bus_->plug("USB\\A");         // back, with a new index
  bus_->plug("USB\\C");
  ASSERT_TRUE(server_.waitEvents(5));
  EXPECT_EQ(server_.events(), (std::vector<MediaEvent>{{kMediaEventArrived, {1}},
                                                       {kMediaEventArrived, {2}},
                                                       {kMediaEventRemoved, {1}},
                                                       {kMediaEventArrived, {3}},
                                                       {kMediaEventArrived, {4}}}));
  MediaChannelInfo i{};
  EXPECT_FALSE(library_->getChannelInfo(1, &i, sizeof i));
  EXPECT_EQ(std::u16string(info(3).devicePath), u"USB\\A");
  EXPECT_EQ(c->opens(), 1);
}

TEST_F(Media, ExportsRefuseWrongSizesAndUnknownIndices) {
  healthy("USB\\A");
  MediaChannelInfo i{};
  int txEvent = 1234;
  EXPECT_FALSE(library_->getChannelInfo(1, &i, sizeof i)) << "before EnvCreate";
  create();
  EXPECT_FALSE(library_->getChannelInfo(1, &i, sizeof i - 1));
  EXPECT_FALSE(library_->getChannelInfo(0, &i, sizeof i));
  EXPECT_FALSE(library_->getChannelInfo(2, &i, sizeof i));
  EXPECT_FALSE(
      library_->channelConnect(2, &FakeServer::onRx, &FakeServer::onTx, &server_, &txEvent));
  EXPECT_EQ(txEvent, 1234);
  EXPECT_FALSE(library_->channelDisconnect(2));
  EXPECT_TRUE(library_->channelDisconnect(1));  // never connected: still fine
}

// ---- set-up failures: reported, silent, removed when the device goes ----

TEST_F(Media, FailedSetUpGivesASilentChannelUntilTheDeviceGoes) {
  struct Case {
    const char* path;
    std::function<void(DeviceScript&)> script;
  };
  const std::vector<Case> cases = {
      {"USB\\OPENFAILS", [](DeviceScript& d) { d.failOpen(); }},
      {"USB\\NOBULKIN",
       [](DeviceScript& d) {
         d.setPipes(0, 512);
         d.expectDescriptor(linkDescriptor(1024));
       }},
      {"USB\\NOBULKOUT",
       [](DeviceScript& d) {
         d.setPipes(512, 0);
         d.expectDescriptor(linkDescriptor(1024));
       }},
      {"USB\\STALL",
       [](DeviceScript& d) {
         d.addControl({{0x80, 6, 0x8000, 0, 6}, {}, true});
       }},
      {"USB\\SHORT",
       [](DeviceScript& d) {
         d.expectDescriptor({6, 0x80, 0x1F, 0xAC, 0});
       }},
      {"USB\\MAGIC", [](DeviceScript& d) { d.expectDescriptor(linkDescriptor(1024, 0xAC21)); }},
      {"USB\\TINY", [](DeviceScript& d) { d.expectDescriptor(linkDescriptor(3)); }},
  };
  std::vector<std::shared_ptr<DeviceScript>> scripts;
  for (const Case& c : cases) {
    scripts.push_back(bus_->addDevice(c.path));
    c.script(*scripts.back());
  }
  healthy("USB\\CONTROL");  // the last index: shows the wait below is long enough
  create();
  ASSERT_EQ(server_.events().size(), 1u);
  ASSERT_EQ(server_.events()[0].indices.size(), cases.size() + 1);
  for (uint32_t index = 1; index <= cases.size(); ++index) {
    EXPECT_EQ(info(index).maxFrameLength, 65535) << cases[index - 1].path;
    EXPECT_TRUE(plat::setTransmitEvent(connect(index)));
  }
  constexpr int kSilenceMs =
      800;  // past an idle period: a live channel would have called tx by now
  sleepMs(kSilenceMs);
  EXPECT_TRUE(server_.txCalls().empty());
  // Positive control: a healthy channel asked the same way is heard within
  // the same wait.
  EXPECT_TRUE(plat::setTransmitEvent(connect(uint32_t(cases.size() + 1))));
  EXPECT_TRUE(server_.waitTxCalls(
      1, int(vlntest::slackBound(std::chrono::milliseconds(kSilenceMs)).count())));
  for (auto& s : scripts) {
    EXPECT_TRUE(s->readLengths().empty());
    EXPECT_TRUE(s->writes().empty());
    EXPECT_EQ(s->unexpected(), 0);
  }
  bus_->unplug("USB\\MAGIC");
  ASSERT_TRUE(server_.waitEvents(2));
  EXPECT_EQ(server_.events()[1], (MediaEvent{kMediaEventRemoved, {6}}));
}

// ---- receiving ----

TEST_F(Media, RecordsOfOneTransferBecomeFramesAndACutRecordWaitsForTheNextRead) {
  auto d = healthy("USB\\A");
  create();
  connect(1);
  ASSERT_TRUE(d->completeRead({concat({record(5, 0x55), record(0, 0), record(3, 0x33)})}));
  Bytes frame40(40, 0x40);
  Bytes rec40 = concat({Bytes{40}, frame40});
  ASSERT_TRUE(
      d->completeRead({concat({record(20, 0x20), Bytes(rec40.begin(), rec40.begin() + 10)})}));
  ASSERT_TRUE(d->completeRead({Bytes(rec40.begin() + 10, rec40.end())}));
  ASSERT_TRUE(server_.waitFrames(4));
  EXPECT_EQ(server_.frames(),
            (std::vector<Bytes>{Bytes(5, 0x55), Bytes(3, 0x33), Bytes(20, 0x20), frame40}));
}

TEST_F(Media, AnEmptyReadDoesNotLeaveTheChannelDeaf) {
  auto d = healthy("USB\\A");
  create();
  connect(1);
  ASSERT_TRUE(d->completeRead({{}}));
  ASSERT_TRUE(d->completeRead({record(2, 0x22)}));
  ASSERT_TRUE(server_.waitFrames(1));
  EXPECT_EQ(server_.frames()[0], Bytes(2, 0x22));
}

TEST_F(Media, ReadsAreWholePacketsAndACarryNeverFillsTheBuffer) {
  // Transfer size 100 in 64-byte packets, and a 200-byte frame: the carried
  // part outgrows a transfer, and the reads still have room.
  auto d = healthy("USB\\A", 100);
  d->setPipes(64, 64);
  create();
  connect(1);
  const Bytes rec = record(200, 0xC8);
  for (size_t at = 0; at < rec.size(); at += 100)
    ASSERT_TRUE(d->completeRead(
        {Bytes(rec.begin() + long(at), rec.begin() + long(std::min(at + 100, rec.size())))}));
  ASSERT_TRUE(server_.waitFrames(1));
  EXPECT_EQ(server_.frames()[0], Bytes(200, 0xC8));
  ASSERT_TRUE(d->waitReadPending());
  for (size_t length : d->readLengths()) EXPECT_EQ(length, 128u);  // 100 in whole 64-byte packets
  EXPECT_EQ(d->unexpected(), 0);
}

TEST_F(Media, DisconnectStopsCallbacksAndKeepsRecordsInStep) {
  auto d = healthy("USB\\A");
  create();
  int txEvent = connect(1);
  const Bytes b = record(30, 0xBB);
  ASSERT_TRUE(d->completeRead({concat({record(1, 0xAA), Bytes(b.begin(), b.begin() + 5)})}));
  ASSERT_TRUE(server_.waitFrames(1));
  EXPECT_TRUE(library_->channelDisconnect(1));
  ASSERT_TRUE(d->completeRead({concat({Bytes(b.begin() + 5, b.end()), record(2, 0xCC)})}));
  EXPECT_TRUE(plat::setTransmitEvent(txEvent));
  ASSERT_TRUE(d->waitReadPending());
  connect(1);
  ASSERT_TRUE(d->completeRead({record(3, 0xDD)}));
  ASSERT_TRUE(server_.waitFrames(2));
  EXPECT_EQ(server_.frames(), (std::vector<Bytes>{Bytes(1, 0xAA), Bytes(3, 0xDD)}));
}

// ---- sending ----

TEST_F(Media, FramesArePackedAndAFullTransferEndsWithAZeroLengthPacket) {
  auto d = healthy("USB\\A", 512);  // L = 256; packets of 512
  create();
  int txEvent = connect(1);
  server_.queueFrame(Bytes(255, 1));
  server_.queueFrame(Bytes(255, 2));  // 512 bytes of records: one whole packet
  server_.queueFrame(Bytes(100, 3));
  ASSERT_TRUE(plat::setTransmitEvent(txEvent));
  ASSERT_TRUE(d->waitWrites(3));
  const std::vector<Bytes> w = d->writes();
  ASSERT_EQ(w[0].size(), 512u);
  EXPECT_EQ(framesOf(w[0]), (std::vector<Bytes>{Bytes(255, 1), Bytes(255, 2)}));
  EXPECT_TRUE(w[1].empty()) << "zero-length packet after a whole packet";
  EXPECT_EQ(framesOf(w[2]), (std::vector<Bytes>{Bytes(100, 3)}));
  sleepMs(100);
  EXPECT_EQ(d->writes().size(), 3u) << "101 bytes are no whole packet";
}

TEST_F(Media, SmallTransfersCarryOneFrameEachWithoutFurtherRequests) {
  auto d = healthy("USB\\A", 64);
  create();
  int txEvent = connect(1);
  for (uint8_t i = 1; i <= 3; ++i) server_.queueFrame(Bytes(10, i));
  ASSERT_TRUE(plat::setTransmitEvent(txEvent));  // once, for all three
  ASSERT_TRUE(d->waitWrites(3));
  const std::vector<Bytes> w = d->writes();
  for (uint8_t i = 0; i < 3; ++i) EXPECT_EQ(framesOf(w[i]), (std::vector<Bytes>{Bytes(10, i + 1)}));
  for (const auto& call : server_.txCalls()) {
    EXPECT_EQ(call.room, 63);
    if (call.mode != kMediaTxIdle) {
      EXPECT_EQ(call.mode, kMediaTxFirst);
    }
  }
}

TEST_F(Media, ARequestDuringAPendingWriteIsServedWhenItCompletes) {
  auto d = healthy("USB\\A");
  d->addWrite({TransferStatus::kDone, WriteStep::kWhole, true});
  create();
  int txEvent = connect(1);
  server_.queueFrame(Bytes(6, 1));
  ASSERT_TRUE(plat::setTransmitEvent(txEvent));
  ASSERT_TRUE(d->waitWrites(1));
  server_.queueFrame(Bytes(6, 2));
  ASSERT_TRUE(plat::setTransmitEvent(txEvent));  // while the first write is out
  sleepMs(100);
  EXPECT_EQ(d->writes().size(), 1u) << "one write at a time";
  ASSERT_TRUE(d->completeHeldWrite(TransferStatus::kDone, 7));
  ASSERT_TRUE(d->waitWrites(2));
  EXPECT_EQ(framesOf(d->writes()[1]), (std::vector<Bytes>{Bytes(6, 2)}));
}

TEST_F(Media, AnIdlePeriodAsksForExactlyOneFrame) {
  auto d = healthy("USB\\A");
  create();
  connect(1);
  for (int i = 0; i < 3; ++i) server_.queueFrame(Bytes(4, uint8_t(i)));
  ASSERT_TRUE(server_.waitTxCalls(2));
  const auto calls = server_.txCalls();
  EXPECT_EQ(calls[0].mode, kMediaTxIdle);
  EXPECT_EQ(calls[1].mode, kMediaTxIdle);
  EXPECT_GE(calls[1].at - calls[0].at, std::chrono::milliseconds(450));
  ASSERT_TRUE(d->waitWrites(2));
  EXPECT_EQ(framesOf(d->writes()[0]), (std::vector<Bytes>{Bytes(4, 0)}));
  EXPECT_EQ(framesOf(d->writes()[1]), (std::vector<Bytes>{Bytes(4, 1)}));
}

TEST_F(Media, WritesThatCompleteAtOnceDoNotMakeTheChannelSpin) {
  // A server that answers every first-frame call with a poll frame, on a bus
  // where writes complete at once: only requests and idle periods ask it.
  auto d = healthy("USB\\A");
  create();
  int txEvent = connect(1);
  server_.setPolicy([](uint8_t* dst, uint16_t, int mode) -> uint16_t {
    if (mode == kMediaTxFurther) return 0;
    dst[0] = 0x31;
    return 1;
  });
  ASSERT_TRUE(plat::setTransmitEvent(txEvent));
  expectOnlyTheRequestAndIdlePeriodsAsk(server_);
  EXPECT_LE(d->writes().size(), server_.txCalls().size());
}

TEST_F(Media, CompletionsFromOtherThreadsWakeTheSleepingChannelEveryTime) {
  // While a write is out the channel waits with no time limit, so a wake-up
  // lost on its way to sleep shows as a completion never taken: first writes
  // completed here one by one, each after the next frame was asked for; then
  // reads completed by another thread, one by one, behind a write held out.
  constexpr int kRounds = 300;
  auto d = healthy("USB\\A");
  for (int i = 0; i <= kRounds; ++i) d->addWrite({TransferStatus::kDone, WriteStep::kWhole, true});
  create();
  int txEvent = connect(1);
  server_.queueFrame(Bytes(6, 0));
  ASSERT_TRUE(plat::setTransmitEvent(txEvent));
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_TRUE(d->waitWrites(size_t(i) + 1)) << "round " << i;
    server_.queueFrame(Bytes(6, uint8_t(i + 1)));
    ASSERT_TRUE(plat::setTransmitEvent(txEvent));
    ASSERT_TRUE(d->completeHeldWrite(TransferStatus::kDone, 7)) << "round " << i;
  }
  ASSERT_TRUE(d->waitWrites(size_t(kRounds) + 1));  // held out during the reads

  std::atomic<int> readsDone{0};
  std::thread reader([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (!d->completeRead({record(3, uint8_t(i))}) || !server_.waitFrames(size_t(i) + 1)) return;
      readsDone = i + 1;
    }
  });
  reader.join();
  EXPECT_EQ(readsDone.load(), kRounds);
  ASSERT_TRUE(d->completeHeldWrite(TransferStatus::kDone, 7));

  const std::vector<Bytes> w = d->writes();
  for (int i = 0; i <= kRounds; ++i)
    ASSERT_EQ(framesOf(w[size_t(i)]), (std::vector<Bytes>{Bytes(6, uint8_t(i))})) << i;
  const std::vector<Bytes> f = server_.frames();
  ASSERT_EQ(f.size(), size_t(kRounds));
  for (int i = 0; i < kRounds; ++i) ASSERT_EQ(f[size_t(i)], Bytes(3, uint8_t(i))) << i;
  EXPECT_EQ(d->unexpected(), 0);
}

// ---- the I/O thread ending on its own ----

TEST_F(Media, ChannelFailingAfterSetUpIsReportedRemoved) {
  struct Case {
    const char* path;
    bool failRead;  // else a short write
  };
  for (const Case c : {Case{"USB\\READFAIL", true}, Case{"USB\\SHORTWRITE", false}}) {
    SCOPED_TRACE(c.path);
    FakeServer server;
    auto bus = std::make_unique<ScriptedBus>();
    auto d = bus->addDevice(c.path);
    d->expectDescriptor(linkDescriptor(1024));
    if (!c.failRead) d->addWrite({TransferStatus::kDone, 3, false});
    MediaLibrary library([&] { return std::move(bus); });
    library.envCreate(&FakeServer::onEvent, &server);
    int txEvent = -1;
    ASSERT_TRUE(library.channelConnect(1, &FakeServer::onRx, &FakeServer::onTx, &server, &txEvent));
    if (c.failRead) {
      ASSERT_TRUE(d->completeRead({{}, TransferStatus::kFailed}));
    } else {
      server.queueFrame(Bytes(10, 1));
      ASSERT_TRUE(plat::setTransmitEvent(txEvent));
    }
    ASSERT_TRUE(server.waitEvents(2));
    EXPECT_EQ(server.events()[1], (MediaEvent{kMediaEventRemoved, {1}}));
    EXPECT_TRUE(d->waitClosed());
    EXPECT_FALSE(d->closedWithTransfersOut());
    MediaChannelInfo i{};
    EXPECT_FALSE(library.getChannelInfo(1, &i, sizeof i));
    EXPECT_TRUE(library.channelDisconnect(1));
  }
}

TEST_F(Media, StoppingWaitsForEveryTransferBeforeReleasingTheDevice) {
  auto d = healthy("USB\\A");
  d->addWrite({TransferStatus::kDone, WriteStep::kWhole, true});  // the device never takes it
  d->setLateCancel(200);
  create();
  int txEvent = connect(1);
  server_.queueFrame(Bytes(8, 8));
  ASSERT_TRUE(plat::setTransmitEvent(txEvent));
  ASSERT_TRUE(d->waitWrites(1));
  ASSERT_TRUE(d->waitReadPending());
  library_->envDestroy();
  EXPECT_TRUE(d->cancelled());
  EXPECT_FALSE(d->closedWithTransfersOut());
  EXPECT_EQ(d->opens(), 1);
}

// A cancel that comes back only after the channel stopped waiting for it
// (5 s) writes into buffers the channel left to the device, and reaches no
// channel: under the address sanitizer, a freed buffer would be caught here.
TEST_F(Media, ACancelBackAfterTheChannelGaveUpFindsItsBuffersKept) {
  auto d = healthy("USB\\A");
  d->holdCancel();
  create();
  connect(1);
  ASSERT_TRUE(d->waitReadPending());
  library_->envDestroy();  // the channel is deleted once it has given up
  EXPECT_TRUE(d->cancelled());
  EXPECT_TRUE(d->closedWithTransfersOut());
  bool afterClose = false, keptNothing = true;
  ASSERT_TRUE(d->releaseCancel(&afterClose, &keptNothing));
  EXPECT_TRUE(afterClose);
  EXPECT_FALSE(keptNothing);
}

TEST_F(Media, TransmitEventOutlivesTheRemovalReport) {
  healthy("USB\\A");
  healthy("USB\\B");
  create();
  const int txEvent = connect(1);
  bus_->unplug("USB\\A");
  bus_->unplug("USB\\B");  // never connected: deleted at once
  ASSERT_TRUE(server_.waitEvents(3));
  // The server's link thread may still set the event after the report.
  EXPECT_TRUE(plat::setTransmitEvent(txEvent));
  int again = -1;
  EXPECT_FALSE(library_->channelConnect(1, &FakeServer::onRx, &FakeServer::onTx, &server_, &again));
  MediaChannelInfo i{};
  EXPECT_FALSE(library_->getChannelInfo(1, &i, sizeof i));
  EXPECT_TRUE(library_->channelDisconnect(1));  // releases it
  // Closed once the channel has stopped and gone.
  bool closed = false;
  for (auto until = Clock::now() + std::chrono::milliseconds(kWaitMs);
       !closed && Clock::now() < until;) {
    plat::PollItem item{txEvent, plat::kPollRead, 0};
    closed = plat::pollHandles(&item, 1, 0) == 1 && (item.ready & plat::kPollError) != 0;
    if (!closed) sleepMs(10);
  }
  EXPECT_TRUE(closed);
  EXPECT_FALSE(library_->channelDisconnect(1));
}

}  // namespace
}  // namespace usblink::test
