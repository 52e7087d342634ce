// The RPC server and its pipe front ends, in-process over the transport
// manager and emulated devices, called through the client stubs.
#include <gtest/gtest.h>

#include <cstring>
#include <future>

#include "hub_support.h"
#include "linkhub/TrIfServer.h"
#include "linkhub/TrIfTranFrontEnd.h"
#include "linkhub/TransportManager.h"
#include "plat/msgpipe.h"
#include "plat/sysmsg.h"
#include "translayer/ConnectionServerRpc.h"

using linkhub::DeviceChooser;
using linkhub::formatFatalError;
using linkhub::TransportManager;
using linkhub::TransportSessionHandler;
using linkhub::TrIfServer;
using linkhub::TrIfTranFrontEnd;

using translayer::AskUserDeviceSelection;
using translayer::Event;
using translayer::GetOnlineDevices;
using translayer::HwId;
using translayer::OpenChannel;

using namespace hubtest;

namespace {

class ServerTest : public RuntimeDirTest {
 protected:
  void SetUp() override {
    RuntimeDirTest::SetUp();
    manager_ = std::make_unique<TransportManager>();
    manager_->addMedia(devsim::inProcessMediaRecord());
    manager_->start();
  }
  void TearDown() override {
    server_.reset();
    manager_.reset();
    RuntimeDirTest::TearDown();
  }
  void startServer(DeviceChooser* chooser = nullptr, TrIfServer::Options options = {}) {
    server_ = std::make_unique<TrIfServer>(manager_.get(), chooser, options);
    ASSERT_TRUE(server_->start());
  }
  void addOnline(const HwId& id, uint8_t channels = 15) {
    addEchoDevice(media_, id, channels);
    ASSERT_TRUE(eventually([&] {
      auto ids = manager_->onlineDevices();
      return std::find(ids.begin(), ids.end(), id) != ids.end();
    }));
  }
  // OpenChannel through the client stub; the name when the result is 0.
  int open(const HwId& id, int16_t size, std::string* name = nullptr) {
    char buffer[128];
    std::memset(buffer, 'x', sizeof buffer);
    uint32_t exception = 0;
    const int rc = OpenChannel(binding_, &id, base::kProtocolBenchmark, size, buffer, &exception);
    EXPECT_EQ(0u, exception);
    if (rc == 0 && name) *name = buffer;
    if (rc != 0) {
      EXPECT_EQ('x', buffer[0]) << "buffer written on failure";
    }
    return rc;
  }
  bool allFree(const HwId& id) {
    TransportSessionHandler* h = manager_->findHandler(id);
    return server_->frontEndCount() == 0 && h && h->attachedCount() == 0;
  }

  devsim::InProcessMedia media_;
  std::unique_ptr<TransportManager> manager_;
  std::unique_ptr<TrIfServer> server_;
  plat::RpcBinding binding_;
};

TEST_F(ServerTest, OpenChannelResults) {
  const HwId one = makeId(0x10), many = makeId(0x20);
  addOnline(one, 1);
  addOnline(many);
  startServer();
  std::string name;

  EXPECT_EQ(2, open(makeId(0x99), 64));
  // The name needs room for its terminator too; a refused size still uses up
  // a pipe number.
  const int16_t length = int16_t(TrIfServer::pipeNameFor(0).size());
  EXPECT_EQ(1, open(many, length));
  ASSERT_EQ(0, open(many, int16_t(length + 1), &name));
  EXPECT_EQ("\\\\.\\\\pipe\\zamoconnectionserver_\\00000001", name);
  EXPECT_EQ(1, open(many, 0));
  EXPECT_EQ(1, open(many, -5));
  ASSERT_EQ(0, open(one, 64, &name));
  EXPECT_EQ("\\\\.\\\\pipe\\zamoconnectionserver_\\00000002", name);
  EXPECT_EQ(3, open(one, 64));
  EXPECT_EQ(TrIfServer::pipeNameFor(0xABCDEF12), "\\\\.\\\\pipe\\zamoconnectionserver_\\ABCDEF12");
  EXPECT_EQ(TrIfServer::pipeNameFor(0).size(), 40u);
}

// A call that fails after its channel was allocated gives the channel back:
// on a device with a single channel the next call gets it.
TEST_F(ServerTest, FailedOpenChannelGivesItsChannelBack) {
  const HwId id = makeId(0x30);
  addOnline(id, 1);
  startServer();
  EXPECT_EQ(1, open(id, 20));  // the name does not fit
  // The next pipe's name is taken by a directory: its pipe cannot be made.
  std::filesystem::create_directories(pipeFile(TrIfServer::pipeNameFor(1)));
  EXPECT_EQ(1, open(id, 64));
  std::string name;
  ASSERT_EQ(0, open(id, 64, &name));
  EXPECT_EQ(TrIfServer::pipeNameFor(2), name);
}

TEST_F(ServerTest, MessagesEchoThroughAChannelAndTheFrontEndIsReapedAfterTheClientLeaves) {
  const HwId id = makeId(0x40);
  addOnline(id);
  startServer();
  {
    ClientChannel channel;
    ASSERT_EQ(0, channel.open(id));
    for (size_t n : {size_t(1), size_t(1024), size_t(1025), size_t(5000)})
      EXPECT_TRUE(channel.echo(pattern(n, uint8_t(n)))) << n << " bytes";
    EXPECT_EQ(1u, server_->frontEndCount());
    channel.client.close(true);
  }
  EXPECT_TRUE(eventually([&] { return allFree(id); }));
}

TEST_F(ServerTest, AFrontEndWhoseClientNeverComesIsEndedAndItsChannelFreed) {
  const HwId id = makeId(0x50);
  addOnline(id, 1);
  TrIfServer::Options options;
  options.connectTimeoutMs = 300;
  startServer(nullptr, options);
  std::string name;
  ASSERT_EQ(0, open(id, 64, &name));
  EXPECT_TRUE(std::filesystem::exists(pipeFile(name)));
  ASSERT_TRUE(eventually([&] { return allFree(id); }));
  EXPECT_FALSE(std::filesystem::exists(pipeFile(name)));
  plat::Handle late = plat::kInvalidHandle;
  EXPECT_EQ(2, plat::pipeConnect(name, &late));
  // The single channel is free again.
  ClientChannel channel;
  ASSERT_EQ(0, channel.open(id));
  EXPECT_TRUE(channel.echo({1, 2, 3}));
}

// A front end whose client connects at the last moment: the connect has gone
// through (the peer waits in the listen backlog) when the time-out passes.
class LastMomentFrontEnd final : public TrIfTranFrontEnd {
 public:
  explicit LastMomentFrontEnd(Event* reaper) : TrIfTranFrontEnd(reaper, 200) {}
  ~LastMomentFrontEnd() override {
    close(false);
    join();  // before this class is gone: the thread calls into it
    if (client != plat::kInvalidHandle) plat::closeHandle(client);
  }
  std::atomic<int> clientRc{-1};               // set once the client has tried
  plat::Handle client = plat::kInvalidHandle;  // read once clientRc is set

 protected:
  void connectDeadlinePassed() override { clientRc = plat::pipeConnect(pipeName(), &client); }
};

TEST_F(ServerTest, AClientQueuedAtTheConnectDeadlineIsAcceptedNotDropped) {
  Event reaper;
  FakeFrontEnd slot;
  LastMomentFrontEnd frontEnd(&reaper);
  frontEnd.setChannel(TrIfServer::pipeNameFor(0x77), &slot);
  frontEnd.start();
  frontEnd.connectResult.wait();
  ASSERT_EQ(0, frontEnd.notConnected);
  ASSERT_TRUE(eventually([&] { return frontEnd.clientRc != -1; }));
  ASSERT_EQ(0, frontEnd.clientRc);
  plat::setBlocking(frontEnd.client, true);
  const uint8_t record[] = {1, 0x42, 0x43};
  size_t n = 0;
  ASSERT_EQ(plat::PipeIo::kDone, plat::pipeWrite(frontEnd.client, record, sizeof record, &n));
  ASSERT_TRUE(eventually([&] { return slot.messages() == 1; }))
      << "the client's message never reached the channel";
  EXPECT_EQ(slot.received(), (Bytes{0x42, 0x43}));
  EXPECT_FALSE(frontEnd.finished());
}

TEST_F(ServerTest, ADeviceThatGoesAwayEndsItsClientsPipes) {
  const HwId id = makeId(0x58);
  addEchoDevice(media_, id);
  ASSERT_TRUE(eventually([&] { return !manager_->onlineDevices().empty(); }));
  startServer();
  ClientChannel a, b;
  ASSERT_EQ(0, a.open(id));
  ASSERT_EQ(0, b.open(id));
  ASSERT_TRUE(a.echo({5}));
  media_.removeDevice(1);
  EXPECT_TRUE(a.sink.waitClosed());
  EXPECT_TRUE(b.sink.waitClosed());
  EXPECT_TRUE(eventually([&] { return server_->frontEndCount() == 0; }));
  EXPECT_EQ(2, open(id, 64));
}

TEST_F(ServerTest, GetOnlineDevicesCallsBackWithTheSortedList) {
  startServer();
  std::vector<HwId> seen{makeId(0xFF)};
  auto sink = [&](uint64_t, const HwId* ids, size_t count) { seen.assign(ids, ids + count); };
  uint32_t exception = 1;
  EXPECT_EQ(0, GetOnlineDevices(binding_, 42, sink, &exception));
  EXPECT_EQ(0u, exception);
  EXPECT_TRUE(seen.empty());

  const HwId b = makeId(0xB0), a = makeId(0x0A);
  addOnline(b);
  addOnline(a);
  EXPECT_EQ(0, GetOnlineDevices(binding_, 42, sink, &exception));
  EXPECT_EQ((std::vector<HwId>{a, b}), seen);

  // A client that cannot take the callback: 4, and the heap gets its memory back.
  EXPECT_EQ(4, server_->getOnlineDevices([](const HwId*, size_t) { return 1726u; }));
  EXPECT_EQ(0u, server_->heap().bytesInUse());
}

struct FakeChooser : DeviceChooser {
  bool chooseDevice(HwId* hwid, uint64_t parentWindow, std::stop_token stop) override {
    seenWindow = parentWindow;
    seenInitial = *hwid;
    if (!blockUntilStop) {
      *hwid = answer;
      return ok;
    }
    std::mutex m;
    std::condition_variable cv;
    bool cancelled = false;
    std::stop_callback onStop(stop, [&] {
      std::lock_guard<std::mutex> lock(m);
      cancelled = true;
      cv.notify_all();
    });
    entered = true;
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return cancelled; });
    return false;
  }
  HwId answer = makeId(0xC0);
  bool ok = true;
  bool blockUntilStop = false;
  std::atomic<bool> entered{false};
  uint64_t seenWindow = 0;
  HwId seenInitial{};
};

TEST_F(ServerTest, AskUserDeviceSelectionAnswersWithTheChoiceOr5) {
  FakeChooser chooser;
  startServer(&chooser);
  HwId id = makeId(0x01);
  EXPECT_EQ(0, AskUserDeviceSelection(binding_, &id, 0x1234, nullptr));
  EXPECT_EQ(makeId(0xC0), id);
  EXPECT_EQ(makeId(0x01), chooser.seenInitial);
  EXPECT_EQ(0x1234u, chooser.seenWindow);
  chooser.ok = false;
  id = makeId(0x02);
  EXPECT_EQ(5, AskUserDeviceSelection(binding_, &id, 0, nullptr));
  EXPECT_EQ(makeId(0x02), id);
}

TEST_F(ServerTest, WithoutAChooserAskUserDeviceSelectionAnswers5) {
  startServer();
  HwId id = makeId(0x03);
  EXPECT_EQ(5, AskUserDeviceSelection(binding_, &id, 0, nullptr));
  EXPECT_EQ(makeId(0x03), id);
}

// Shutdown must not pull the server and the manager out from under calls
// that still run: open choosers are cancelled and the calls drained first.
TEST_F(ServerTest, StopCancelsChoosersAndDrainsCallsInFlight) {
  const HwId id = makeId(0x60);
  addOnline(id);
  FakeChooser chooser;
  chooser.blockUntilStop = true;
  startServer(&chooser);

  auto asking = std::async(std::launch::async, [&] {
    HwId h = id;
    uint32_t exception = 0;
    return AskUserDeviceSelection(binding_, &h, 0, &exception);
  });
  std::promise<void> inCallback;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto listing = std::async(std::launch::async, [&] {
    bool first = true;
    uint32_t exception = 0;
    const int rc = GetOnlineDevices(
        binding_, 7,
        [&](uint64_t, const HwId*, size_t) {
          if (first) inCallback.set_value();
          first = false;
          released.wait();
        },
        &exception);
    return std::make_pair(rc, exception);
  });
  ASSERT_TRUE(eventually([&] { return chooser.entered.load(); }));
  ASSERT_EQ(std::future_status::ready, inCallback.get_future().wait_for(kLong));
  EXPECT_EQ(2u, server_->callsInFlight());

  auto stopping = std::async(std::launch::async, [&] { server_->stop(); });
  ASSERT_EQ(std::future_status::ready, stopping.wait_for(kLong));
  EXPECT_EQ(0u, server_->callsInFlight());
  release.set_value();
  // Cancelled (5), or cut off before the answer went out (4).
  const int asked = asking.get();
  EXPECT_TRUE(asked == 5 || asked == 4) << asked;
  const auto [rc, exception] = listing.get();
  EXPECT_EQ(4, rc);
  EXPECT_EQ(plat::kRpcCallFailed, exception);
  server_.reset();
  manager_.reset();
}

TEST_F(ServerTest, AFailingHeapCreationFailsTheStart) {
  ScopedBox box;
  TrIfServer::Options options;
  options.heapInitialBytes = 2 << 20;
  options.heapMaximumBytes = 1 << 20;
  TrIfServer server(manager_.get(), nullptr, options);
  EXPECT_FALSE(server.start());
  ASSERT_EQ(1u, box.box.shown.size());
  EXPECT_EQ(formatFatalError(87, "HeapCreate failed"), box.box.shown[0].second);
  EXPECT_FALSE(std::filesystem::exists(pipeFile(plat::kControlPipeName)));
}

TEST_F(ServerTest, AnEndpointHeldByALiveServerFailsTheStart) {
  startServer();
  ScopedBox box;
  TrIfServer second(manager_.get(), nullptr);
  EXPECT_FALSE(second.start());
  ASSERT_EQ(1u, box.box.shown.size());
  EXPECT_EQ("Connection Server", box.box.shown[0].first);
  EXPECT_EQ(formatFatalError(plat::kRpcDuplicateEndpoint, "RpcServerUseAllProtseqsIf failed"),
            box.box.shown[0].second);
}

TEST_F(ServerTest, StopEndsOpenChannelsAndLeavesNoPipeBehind) {
  const HwId id = makeId(0x70);
  addOnline(id);
  startServer();
  ClientChannel a;
  ASSERT_EQ(0, a.open(id));
  std::string idle;
  ASSERT_EQ(0, open(id, 64, &idle));  // never connected
  server_->stop();
  EXPECT_TRUE(a.sink.waitClosed());
  EXPECT_EQ(0u, server_->frontEndCount());
  EXPECT_FALSE(std::filesystem::exists(pipeFile(idle)));
  EXPECT_FALSE(std::filesystem::exists(pipeFile(plat::kControlPipeName)));
  EXPECT_EQ(0, manager_->findHandler(id)->attachedCount());
}

}  // namespace
