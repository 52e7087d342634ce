// The transport manager and the channel slots over an in-process media with
// emulated devices; fake front ends stand in for the pipes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "hub_support.h"
#include "linkhub/SessionLayer.h"
#include "linkhub/TransportManager.h"
#include "plat/sysmsg.h"

using linkhub::formatFatalError;
using linkhub::MediaRecord;
using linkhub::StderrFatalMessageBox;
using linkhub::TransportEv;
using linkhub::TransportManager;
using linkhub::TransportSessionHandler;

using translayer::HwId;
using translayer::TrIfTranRemote;

using namespace hubtest;

namespace {

using Slot = TransportSessionHandler::TransportTrIfToSession;

uint8_t channelOf(TrIfTranRemote* slot) { return static_cast<Slot*>(slot)->channel(); }

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_ = std::make_unique<TransportManager>();
    manager_->addMedia(devsim::inProcessMediaRecord());
    manager_->start();
  }
  void TearDown() override { manager_.reset(); }

  bool online(const HwId& id) {
    auto ids = manager_->onlineDevices();
    return std::find(ids.begin(), ids.end(), id) != ids.end();
  }
  uint32_t addOnline(const HwId& id, uint8_t channels = 15,
                     const devsim::MediaChannelOptions& options = {}) {
    const uint32_t index = addEchoDevice(media_, id, channels, options);
    EXPECT_TRUE(eventually([&] { return online(id); }));
    return index;
  }
  uint8_t alloc(FakeFrontEnd& fe, const HwId& id) {
    TrIfTranRemote* slot = nullptr;
    const uint8_t rc = manager_->allocChannel(&fe, id, base::kProtocolBenchmark, &slot);
    fe.slot = slot;
    EXPECT_EQ(rc == 0, slot != nullptr);
    return rc;
  }

  devsim::InProcessMedia media_;  // outlives the manager
  std::unique_ptr<TransportManager> manager_;
};

TEST_F(ManagerTest, HandsOutEachFreeChannelOnceAndAgainAfterItsClose) {
  const HwId id = makeId(0x10);
  addOnline(id, 3);
  FakeFrontEnd fe[5];
  std::vector<uint8_t> channels;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(0, alloc(fe[i], id));
    channels.push_back(channelOf(fe[i].slot));
  }
  std::sort(channels.begin(), channels.end());
  EXPECT_EQ((std::vector<uint8_t>{0, 1, 2}), channels);
  EXPECT_EQ(3, alloc(fe[3], id));
  EXPECT_EQ(2, alloc(fe[3], makeId(0x77)));

  // The channel was never used, so the link frees it at once.
  const uint8_t freed = channelOf(fe[1].slot);
  fe[1].release();
  EXPECT_FALSE(manager_->findHandler(id)->slotAttached(freed));
  ASSERT_EQ(0, alloc(fe[4], id));
  EXPECT_EQ(freed, channelOf(fe[4].slot));
  for (auto& f : fe) f.release();
  EXPECT_EQ(0, manager_->findHandler(id)->attachedCount());
}

TEST_F(ManagerTest, DataFlowsBothWaysThroughASlot) {
  const HwId id = makeId(0x20);
  addOnline(id);
  FakeFrontEnd fe;
  ASSERT_EQ(0, alloc(fe, id));
  const Bytes message = pattern(3000, 3);  // several link frames each way
  ASSERT_TRUE(fe.send(message));
  ASSERT_TRUE(eventually([&] { return fe.messages() == 1; }));
  EXPECT_EQ(message, fe.received());
  fe.release();
}

// A front end whose channel the device closed lets go of its slot only when
// its own loop has ended. Until then its link channel must not be given to
// anyone else, or its late close would close the newcomer's channel.
TEST_F(ManagerTest, LateCloseOfAnOldFrontEndLeavesAReusedChannelAlone) {
  const HwId id = makeId(0x30);
  const uint32_t index = addOnline(id);
  FakeFrontEnd old, newcomer, third;
  ASSERT_EQ(0, alloc(old, id));
  const uint8_t oldChannel = channelOf(old.slot);
  ASSERT_TRUE(old.send({1, 2, 3}));
  ASSERT_TRUE(eventually([&] { return old.messages() == 1; }));

  media_.device(index).closeChannel(oldChannel);
  ASSERT_TRUE(eventually([&] { return old.closeCalls_ > 0; }));
  EXPECT_TRUE(manager_->findHandler(id)->slotAttached(oldChannel));

  ASSERT_EQ(0, alloc(newcomer, id));
  const uint8_t newChannel = channelOf(newcomer.slot);
  EXPECT_NE(oldChannel, newChannel);

  old.release();  // the late close
  const Bytes message = pattern(500, 9);
  ASSERT_TRUE(newcomer.send(message));
  ASSERT_TRUE(eventually([&] { return newcomer.messages() == 1; }));
  EXPECT_EQ(message, newcomer.received());
  EXPECT_EQ(base::kProtocolBenchmark, media_.device(index).channelProtocol(newChannel));

  // Now both the slot and the link channel are free again.
  ASSERT_EQ(0, alloc(third, id));
  EXPECT_EQ(oldChannel, channelOf(third.slot));
  newcomer.release();
  third.release();
}

TEST_F(ManagerTest, RemovalTellsFrontEndsAndWaitsUntilTheyLetGo) {
  const HwId id = makeId(0x40);
  const uint32_t index = addOnline(id);
  FakeFrontEnd a, b;
  ASSERT_EQ(0, alloc(a, id));
  ASSERT_EQ(0, alloc(b, id));
  b.autoRelease = true;
  ASSERT_TRUE(a.send({7}));
  ASSERT_TRUE(eventually([&] { return a.messages() == 1; }));

  media_.removeDevice(index);
  ASSERT_TRUE(eventually([&] { return a.closeCalls_ > 0 && b.closeCalls_ > 0; }));
  EXPECT_EQ(0, a.waitedCloses_.load());
  EXPECT_FALSE(online(id));
  // The session (and the slot `a` holds) must still be there: `a` has not let
  // go. Releasing it now must reach a live handler.
  std::this_thread::sleep_for(100ms);
  ASSERT_NE(nullptr, a.slot.load());
  a.release();
  ASSERT_TRUE(eventually([&] { return manager_->sessionCount() == 0; }));
  FakeFrontEnd c;
  EXPECT_EQ(2, alloc(c, id));
}

// A media whose device end the test plays itself, frame by frame, so that an
// identity report and a removal can be made to meet.
namespace scripted {

constexpr uint32_t kChannels = 256;
std::mutex callbackMutex;  // the media's callback lock
ChannelRxCallback rx[kChannels];
void* rxContext[kChannels];
std::atomic<int> transmitSets[kChannels];
MediaEventCallback events = nullptr;
void* eventsContext = nullptr;

void getMediaInfo(char16_t*, int) {}
bool getChannelInfo(uint32_t index, MediaChannelInfo* info, int size) {
  if (size != int(sizeof *info) || index >= kChannels) return false;
  *info = MediaChannelInfo{};
  info->eventWaitMs = 100;  // a stopped link lingers this long at most
  info->closeTimeoutMs = 5000;
  info->maxFrameLength = 255;
  return true;
}
void envCreate(MediaEventCallback cb, void* context) {
  std::lock_guard<std::mutex> lock(callbackMutex);
  events = cb;
  eventsContext = context;
}
void envDestroy() {}
bool channelConnect(uint32_t index, ChannelRxCallback r, ChannelTxCallback, void* context,
                    int* tx) {
  std::lock_guard<std::mutex> lock(callbackMutex);
  rx[index] = r;
  rxContext[index] = context;
  *tx = int(index);
  return true;
}
bool channelDisconnect(uint32_t index) {
  std::lock_guard<std::mutex> lock(callbackMutex);
  rx[index] = nullptr;
  return true;
}
void setTransmitEvent(int tx) { ++transmitSets[tx]; }

MediaRecord record() {
  MediaRecord r;
  r.getMediaInfo = &getMediaInfo;
  r.getChannelInfo = &getChannelInfo;
  r.envCreate = &envCreate;
  r.envDestroy = &envDestroy;
  r.channelConnect = &channelConnect;
  r.channelDisconnect = &channelDisconnect;
  r.setTransmitEvent = &setTransmitEvent;
  return r;
}
void report(int kind, uint32_t index) {
  MediaEventCallback cb;
  void* context;
  {
    std::lock_guard<std::mutex> lock(callbackMutex);
    cb = events;
    context = eventsContext;
  }
  cb(context, kind, &index, 1);
}
void feed(uint32_t index, Bytes frame) {
  std::lock_guard<std::mutex> lock(callbackMutex);
  uint16_t length = uint16_t(frame.size());
  if (rx[index]) rx[index](rxContext[index], frame.data(), &length);
}
// Brings a fresh link up to its identity reply, which goes out last.
bool handshake(uint32_t index, const HwId& id) {
  // The link has reset itself and asks for a 0x8F to go out.
  if (!eventually([&] { return transmitSets[index] > 0; })) return false;
  feed(index, {0x63});
  feed(index, {0xCF, 0xFF, 0x00, 0x0F, 0x00});
  Bytes identity{0xC7};
  identity.insert(identity.end(), id.id, id.id + 16);
  feed(index, identity);
  return true;
}

}  // namespace scripted

// The layer's thread reports an identity by taking the sessions lock; a
// removal that stopped and joined the layer while holding that lock would
// wait for it forever. Each round sends the identity reply and the removal
// together, so that they meet in either order.
TEST(ManagerRemovalTest, RemovalMeetingAnIdentityReportNeverDeadlocks) {
  TransportManager manager;
  manager.addMedia(scripted::record());
  manager.start();
  ASSERT_TRUE(eventually([] {
    std::lock_guard<std::mutex> lock(scripted::callbackMutex);
    return scripted::events != nullptr;
  }));
  for (uint32_t index = 1; index <= 40; ++index) {
    scripted::report(1, index);
    ASSERT_TRUE(scripted::handshake(index, makeId(uint8_t(index))));
    scripted::report(2, index);
  }
  ASSERT_TRUE(eventually([&] { return manager.sessionCount() == 0; }));
  // The manager still serves arrivals. One reported twice keeps its first
  // session (a second one would be left running outside the map).
  const uint32_t last = 200;
  scripted::report(1, last);
  scripted::report(1, last);
  ASSERT_TRUE(scripted::handshake(last, makeId(0xEE)));
  EXPECT_TRUE(
      eventually([&] { return manager.onlineDevices() == std::vector<HwId>{makeId(0xEE)}; }));
  EXPECT_EQ(1u, manager.sessionCount());
  scripted::report(2, last);
  EXPECT_TRUE(eventually([&] { return manager.sessionCount() == 0; }));
}

TEST_F(ManagerTest, ListsConnectedDevicesSortedAndOpensOnTheRightOne) {
  const HwId high = makeId(0x90), low = makeId(0x05);
  addOnline(high);
  addOnline(low);
  // A device that never answers the handshake is neither listed nor opened.
  devsim::MediaChannelOptions mute;
  mute.toHost.drop = 1.0;
  const HwId silent = makeId(0x01);
  addEchoDevice(media_, silent, 15, mute);
  ASSERT_TRUE(eventually([&] { return manager_->sessionCount() == 3; }));

  EXPECT_EQ((std::vector<HwId>{low, high}), manager_->onlineDevices());
  FakeFrontEnd fe, none;
  EXPECT_EQ(2, alloc(none, silent));
  ASSERT_EQ(0, alloc(fe, high));
  EXPECT_TRUE(manager_->findHandler(high)->slotAttached(channelOf(fe.slot)));
  EXPECT_EQ(0, manager_->findHandler(low)->attachedCount());
  fe.release();
}

struct CountingListener : TransportEv {
  void onDeviceListed(const HwId* id) override { listed.push_back(*id); }
  void onListChanged() override { ++changes; }
  std::vector<HwId> listed;
  std::atomic<int> changes{0};
};

TEST_F(ManagerTest, ListenersHearOfArrivalsAndRemovals) {
  CountingListener listener;
  manager_->addListener(&listener);
  const HwId a = makeId(0xA0), b = makeId(0x0B);
  addOnline(a);
  const uint32_t indexB = addOnline(b);
  ASSERT_TRUE(eventually([&] { return listener.changes > 0; }));
  manager_->enumerateDevices(&listener);
  EXPECT_EQ((std::vector<HwId>{b, a}), listener.listed);

  const int before = listener.changes;
  media_.removeDevice(indexB);
  EXPECT_TRUE(eventually([&] { return listener.changes > before; }));
  manager_->removeListener(&listener);
}

// An event whose context is no media of a running manager names no library
// the manager could drive: it is dropped rather than turned into a session.
TEST_F(ManagerTest, EventsForAnUnknownMediaContextAreDropped) {
  const HwId id = makeId(0x60);
  const uint32_t index = addOnline(id);
  MediaRecord stranger = devsim::inProcessMediaRecord();
  const uint32_t indices[] = {index, index + 50};
  TransportManager::mediaEventCallback(&stranger, 1, indices, 2);
  TransportManager::mediaEventCallback(&stranger, 2, indices, 1);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(1u, manager_->sessionCount());
  EXPECT_TRUE(online(id));
  // The control: the same removal from the media itself takes effect.
  media_.removeDevice(index);
  EXPECT_TRUE(eventually([&] { return !online(id); }));
}

TEST_F(ManagerTest, StopEndsEveryLinkAndLetsFrontEndsGo) {
  const HwId id = makeId(0x70);
  const uint32_t index = addOnline(id);
  FakeFrontEnd fe;
  ASSERT_EQ(0, alloc(fe, id));
  fe.autoRelease = true;
  manager_->stop();
  EXPECT_GT(fe.closeCalls_.load(), 0);
  EXPECT_EQ(nullptr, fe.slot.load());
  EXPECT_EQ(0u, manager_->sessionCount());
  EXPECT_TRUE(manager_->onlineDevices().empty());
  // The device was told with a link reset that the host went away.
  EXPECT_TRUE(eventually([&] { return media_.device(index).stats().linkResets >= 2; }));
  FakeFrontEnd late;
  EXPECT_EQ(2, alloc(late, id));
}

// ---- the media scan ------------------------------------------------------------

class MediaScanTest : public RuntimeDirTest {
 protected:
  // Loads with the registry as written; returns the result and the shown text.
  bool load(std::string* shown) {
    ScopedBox box;
    TransportManager manager;
    const bool ok = manager.loadMedia("Veltrano", "linkhub");
    EXPECT_LE(box.box.shown.size(), 1u);
    shown->clear();
    if (!box.box.shown.empty()) {
      EXPECT_EQ("Connection Server", box.box.shown[0].first);
      *shown = box.box.shown[0].second;
    }
    if (ok) {
      FakeFrontEnd fe;
      TrIfTranRemote* slot = nullptr;
      EXPECT_EQ(2, manager.allocChannel(&fe, makeId(1), 1, &slot));
    }
    return ok;
  }
};

TEST_F(MediaScanTest, FailuresAreFatalWithTheirMessage) {
  const std::string longPath = "/" + std::string(600, 'p') + ".so";
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> values;
    bool withKey;
    std::string expected;  // empty: loads
  } cases[] = {
      {"no Media key", {}, false, formatFatalError(2, "Failed on opening configuration registry")},
      {"a path longer than the data buffer",
       {{"usb", longPath}},
       true,
       formatFatalError(234, "Failed on opening configuration registry")},
      {"a missing library",
       {{"usb", "/nonexistent/libnothing.so"}},
       true,
       formatFatalError(2, "Failed opening /nonexistent/libnothing.so")},
      {"a library without EnvDestroy",
       {{"sim", SIMMEDIA_MODULE}, {"bad", HUB_MEDIA_NOENVDESTROY}},
       true,
       formatFatalError(2, std::string("Failed opening ") + HUB_MEDIA_NOENVDESTROY)},
      {"a library whose load hook refuses",
       {{"busy", HUB_MEDIA_REFUSING}},
       true,
       formatFatalError(2, std::string("Failed opening ") + HUB_MEDIA_REFUSING)},
      {"an empty Media key", {}, true, ""},
      {"a working library", {{"sim", SIMMEDIA_MODULE}}, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeRegistry(c.values, "linkhub", c.withKey);
    std::string shown;
    EXPECT_EQ(c.expected.empty(), load(&shown));
    EXPECT_EQ(c.expected, shown);
  }
}

TEST(FatalErrorText, ContextBreakAndSystemText) {
  std::string text;
  ASSERT_TRUE(plat::lookupSystemMessage(2, &text));
  EXPECT_EQ("Failed opening /x.so\n\r" + text, formatFatalError(2, "Failed opening /x.so"));
  EXPECT_EQ("Step\n\r", formatFatalError(0xDEADu, "Step"));
  EXPECT_EQ("Failed opening /x.so: " + text,
            StderrFatalMessageBox::oneLine(formatFatalError(2, "Failed opening /x.so")));
  EXPECT_EQ("Step", StderrFatalMessageBox::oneLine("Step\n\r"));
}

}  // namespace
