// The application's start-up and shutdown in-process, with recording UI
// parts in place of the tray and the message box.
#include <gtest/gtest.h>

#include <sstream>

#include "hub_support.h"
#include "linkhub/CConnServerApp.h"
#include "plat/rpc.h"
#include "translayer/ConnectionServerRpc.h"

using linkhub::CConnServerApp;
using linkhub::formatFatalError;
using linkhub::kServerCaption;
using linkhub::ServerUi;
using linkhub::StderrFatalMessageBox;
using linkhub::TransportManager;
using linkhub::TrayOwner;

using translayer::AskUserDeviceSelection;
using translayer::GetOnlineDevices;
using translayer::HwId;
using translayer::kConnectionServerRpc;

using namespace hubtest;

namespace {

// Notes whether the transport manager was already gone when the tray went.
struct FakeTray : TrayOwner {
  explicit FakeTray(std::atomic<int>* destroyedWithManager, std::atomic<int>* destroyed)
      : destroyedWithManager_(destroyedWithManager), destroyed_(destroyed) {}
  ~FakeTray() override {
    if (TransportManager::instance()) ++*destroyedWithManager_;
    ++*destroyed_;
  }
  std::atomic<int>* destroyedWithManager_;
  std::atomic<int>* destroyed_;
};

class AppTest : public RuntimeDirTest {
 protected:
  void SetUp() override {
    RuntimeDirTest::SetUp();
    plat::setEnvironment("SIMMEDIA_DEVICES", hexOf(device_));
    plat::setEnvironment("SIMMEDIA_CHANNELS", "2");
  }
  ServerUi ui() {
    ServerUi ui;
    ui.fatalBox = &box_;
    ui.createTray = [this] {
      ++trays_;
      return std::make_unique<FakeTray>(&trayDestroyedWithManager_, &traysDestroyed_);
    };
    return ui;
  }
  bool deviceListed() {
    std::vector<HwId> seen;
    uint32_t exception = 0;
    const int rc = GetOnlineDevices(
        binding_, 1, [&](uint64_t, const HwId* ids, size_t n) { seen.assign(ids, ids + n); },
        &exception);
    return rc == 0 && seen == std::vector<HwId>{device_};
  }

  const HwId device_ = makeId(0x42);
  RecordingBox box_;
  std::atomic<int> trays_{0}, traysDestroyed_{0}, trayDestroyedWithManager_{0};
  plat::RpcBinding binding_;
};

TEST_F(AppTest, StartsServesAndShutsDownInReverseOrder) {
  writeRegistry({{"sim", SIMMEDIA_MODULE}});
  {
    CConnServerApp app(ui());
    ASSERT_EQ(CConnServerApp::Start::kRunning, app.initInstance("/opt/veltrano/bin/linkhub.exe"));
    EXPECT_EQ("linkhub", app.applicationName());
    EXPECT_EQ(1, trays_.load());
    ASSERT_TRUE(eventually([&] { return deviceListed(); }));
    ClientChannel channel;
    ASSERT_EQ(0, channel.open(device_));
    EXPECT_TRUE(channel.echo(pattern(2000, 1)));

    EXPECT_EQ(0, app.exitInstance());
    EXPECT_EQ(nullptr, app.server());
    EXPECT_EQ(nullptr, app.transportManager());
    EXPECT_TRUE(channel.sink.waitClosed());
    uint32_t exception = 0;
    EXPECT_EQ(4, GetOnlineDevices(binding_, 1, {}, &exception));
    EXPECT_EQ(plat::kRpcServerUnavailable, exception);
  }
  EXPECT_EQ(1, traysDestroyed_.load());
  EXPECT_EQ(0, trayDestroyedWithManager_.load());
  EXPECT_TRUE(box_.shown.empty());
}

TEST_F(AppTest, ASecondInstanceEndsWithoutAMessage) {
  writeRegistry({{"sim", SIMMEDIA_MODULE}});
  CConnServerApp first(ui());
  ASSERT_EQ(CConnServerApp::Start::kRunning, first.initInstance("linkhub"));
  {
    CConnServerApp second(ui());
    EXPECT_EQ(CConnServerApp::Start::kAlreadyRunning, second.initInstance("linkhub"));
    EXPECT_EQ(nullptr, second.transportManager());
  }
  EXPECT_EQ(1, trays_.load());
  EXPECT_TRUE(box_.shown.empty());
  EXPECT_TRUE(eventually([&] { return deviceListed(); }));
}

TEST_F(AppTest, AMediaFailureShowsOneBoxAndExitReleasesWhatWasMade) {
  writeRegistry({}, "linkhub", false);
  CConnServerApp app(ui());
  EXPECT_EQ(CConnServerApp::Start::kFailed, app.initInstance("linkhub"));
  ASSERT_EQ(1u, box_.shown.size());
  EXPECT_EQ("Connection Server", box_.shown[0].first);
  EXPECT_EQ(formatFatalError(2, "Failed on opening configuration registry"), box_.shown[0].second);
  EXPECT_EQ(nullptr, app.server());
  EXPECT_NE(nullptr, app.transportManager());
  app.exitInstance();
  EXPECT_EQ(1, traysDestroyed_.load());
}

TEST_F(AppTest, AnRpcStartFailureShowsOneBox) {
  writeRegistry({{"sim", SIMMEDIA_MODULE}});
  // Someone else serves the endpoint.
  plat::RpcServer squatter;
  ASSERT_EQ(0u, squatter.start(kConnectionServerRpc, [](plat::RpcCall&, uint16_t, const uint8_t*,
                                                        size_t, plat::RpcResult*) { return 0u; }));
  CConnServerApp app(ui());
  EXPECT_EQ(CConnServerApp::Start::kFailed, app.initInstance("linkhub"));
  ASSERT_EQ(1u, box_.shown.size());
  EXPECT_EQ(formatFatalError(plat::kRpcDuplicateEndpoint, "RpcServerUseAllProtseqsIf failed"),
            box_.shown[0].second);
  app.exitInstance();
}

TEST_F(AppTest, WithoutAChooserTheSelectionAnswers5) {
  writeRegistry({});
  CConnServerApp app(ui());
  ASSERT_EQ(CConnServerApp::Start::kRunning, app.initInstance("linkhub"));
  HwId id = makeId(9);
  EXPECT_EQ(5, AskUserDeviceSelection(binding_, &id, 0, nullptr));
  EXPECT_EQ(makeId(9), id);
}

TEST(HeadlessBox, OneLineOnTheStream) {
  std::ostringstream out;
  StderrFatalMessageBox box(out);
  box.show(kServerCaption, "RpcServerListen failed\n\rAccess is denied.");
  box.show(kServerCaption, "Failed opening /x.so\n\r");
  EXPECT_EQ("RpcServerListen failed: Access is denied.\nFailed opening /x.so\n", out.str());
}

}  // namespace
