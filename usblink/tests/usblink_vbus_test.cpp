// The built plug-in, loaded with dlopen as the server loads it, driving small
// emulated devices on the virtual USB bus.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "FakeServer.h"
#include "FakeVbusDevice.h"
#include "PacingCheck.h"
#include "plat/dynlib.h"
#include "plat/runtime.h"
#include "plat/txevent.h"
#include "usblink/MediaInterface.h"
#include "vlntest/TimeSlack.h"

namespace usblink::test {
namespace {

using Bytes = std::vector<uint8_t>;
using MediaEvent = FakeServer::MediaEvent;

struct Plugin {
  plat::LibraryHandle module = nullptr;
  GetMediaInfoFn getMediaInfo = nullptr;
  GetChannelInfoFn getChannelInfo = nullptr;
  EnvCreateFn envCreate = nullptr;
  EnvDestroyFn envDestroy = nullptr;
  ChannelConnectFn channelConnect = nullptr;
  ChannelDisconnectFn channelDisconnect = nullptr;
  bool (*loadHook)() = nullptr;
  std::string runtimeDir;
};

Plugin& plugin() {
  static Plugin p;
  return p;
}

// Loads the module once for the whole program, with a runtime directory of
// its own (the instance lock is taken at load).
class PluginEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    Plugin& p = plugin();
    p.runtimeDir = plat::makeTempDir("usblink-rt-");
    ASSERT_FALSE(p.runtimeDir.empty());
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", p.runtimeDir);
    std::string error;
    p.module = plat::loadLibrary(USBLINK_MODULE, &error);
    ASSERT_NE(p.module, nullptr) << error;
    auto bind = [&](auto& fn, const char* name) {
      fn =
          reinterpret_cast<std::remove_reference_t<decltype(fn)>>(plat::findSymbol(p.module, name));
      ASSERT_NE(fn, nullptr) << name;
    };
    bind(p.getMediaInfo, "GetMediaInfo");
    bind(p.getChannelInfo, "GetChannelInfo");
    bind(p.envCreate, "EnvCreate");
    bind(p.envDestroy, "EnvDestroy");
    bind(p.channelConnect, "ChannelConnect");
    bind(p.channelDisconnect, "ChannelDisconnect");
    bind(p.loadHook, "MediaLoadHook");
  }
  void TearDown() override {
    plat::freeLibrary(plugin().module);
    std::error_code ec;
    std::filesystem::remove_all(plugin().runtimeDir, ec);
  }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new PluginEnvironment);

FakeVbusDevice::Options withSize(uint16_t transferSize) {
  FakeVbusDevice::Options o;
  o.transferSize = transferSize;
  return o;
}

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

class Vbus : public ::testing::Test {
 protected:
  Vbus() : p_(plugin()), dir_(plat::makeTempDir("usblink-vbus-")) {
    plat::setEnvironment("USBLINK_VBUS", dir_);
  }
  ~Vbus() override {
    p_.envDestroy();
    devices_.clear();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  FakeVbusDevice& device(const std::string& id, FakeVbusDevice::Options options = {}) {
    devices_.push_back(std::make_unique<FakeVbusDevice>(dir_, id, std::move(options)));
    EXPECT_TRUE(devices_.back()->plugIn());
    return *devices_.back();
  }
  void create() { p_.envCreate(&FakeServer::onEvent, &server_); }
  int connect(uint32_t index) {
    int txEvent = -1;
    EXPECT_TRUE(p_.channelConnect(index, &FakeServer::onRx, &FakeServer::onTx, &server_, &txEvent));
    return txEvent;
  }
  MediaChannelInfo info(uint32_t index) {
    MediaChannelInfo i{};
    EXPECT_TRUE(p_.getChannelInfo(index, &i, sizeof i));
    return i;
  }

  Plugin& p_;
  std::string dir_;
  FakeServer server_;
  std::vector<std::unique_ptr<FakeVbusDevice>> devices_;
};

TEST_F(Vbus, DescribesItselfFromItsVersionBlockAndAcceptsThisProcess) {
  EXPECT_TRUE(p_.loadHook());
  char16_t text[256];
  std::fill(std::begin(text), std::end(text), u'x');
  p_.getMediaInfo(text, 511);
  EXPECT_EQ(text[0], u'x');
  p_.getMediaInfo(text, 512);
  const std::string version = USBLINK_VERSION;
  EXPECT_EQ(std::u16string(text),
            u"USB Media (" + std::u16string(version.begin(), version.end()) + u")");
}

// Runs the probe with a runtime directory and returns what it printed.
std::string probe(const std::string& runtimeDir, const std::string& outputDir) {
  const std::string output = outputDir + "/probe.out";
  const std::string command = "LINKHUB_RUNTIME_DIR=" + runtimeDir + " " + USBLINK_PROBE + " " +
                              USBLINK_MODULE + " > " + output;
  if (std::system(command.c_str()) != 0) return "failed";
  std::ifstream in(output);
  std::string line;
  std::getline(in, line);
  return line;
}

TEST_F(Vbus, ASecondProcessIsRefusedWhileThisOneHoldsThePlugin) {
  // A device is there for the taking; the refused process must not take it.
  FakeVbusDevice& dev = device("unclaimed");
  const std::string scratch = plat::makeTempDir("usblink-probe-");
  EXPECT_EQ(probe(p_.runtimeDir, scratch), "refused events=0");
  EXPECT_FALSE(dev.waitConnected(200));
  const std::string elsewhere = plat::makeTempDir("usblink-rt2-");
  EXPECT_EQ(probe(elsewhere, scratch), "accepted");
  std::filesystem::remove_all(elsewhere);
  std::filesystem::remove_all(scratch);
}

TEST_F(Vbus, FramesTravelBothWaysInTransferRecords) {
  FakeVbusDevice& dev = device("dev-a", withSize(512));
  create();
  ASSERT_EQ(server_.events(), (std::vector<MediaEvent>{{kMediaEventArrived, {1}}}));
  const MediaChannelInfo i = info(1);
  EXPECT_EQ(std::u16string(i.devicePath), u"VBUS\\DEV-A");
  EXPECT_EQ(i.maxFrameLength, 255);
  EXPECT_EQ(dev.descriptorRequests(), 1);
  const int txEvent = connect(1);

  dev.sendIn(concat({record(5, 0x55), record(0, 0), record(3, 0x33)}));
  dev.sendIn({});  // an empty transfer carries nothing
  dev.sendIn(record(7, 0x77));
  ASSERT_TRUE(server_.waitFrames(3));
  EXPECT_EQ(server_.frames(), (std::vector<Bytes>{Bytes(5, 0x55), Bytes(3, 0x33), Bytes(7, 0x77)}));

  server_.queueFrame(Bytes(255, 1));
  server_.queueFrame(Bytes(255, 2));  // 512 bytes: a whole packet, then a zero-length one
  server_.queueFrame(Bytes(9, 3));
  ASSERT_TRUE(plat::setTransmitEvent(txEvent));
  ASSERT_TRUE(dev.waitOut(3));
  const auto out = dev.out();
  EXPECT_EQ(out[0], concat({record(255, 1), record(255, 2)}));
  EXPECT_TRUE(out[1].empty());
  EXPECT_EQ(out[2], record(9, 3));
}

TEST_F(Vbus, TransfersSentBeforeTheDescriptorAreKeptInStep) {
  // A frame cut between an early transfer and a later one arrives whole.
  const Bytes cut = record(20, 0x20);
  FakeVbusDevice::Options early;
  early.earlyIn = {concat({record(3, 0x03), Bytes(cut.begin(), cut.begin() + 5)})};
  FakeVbusDevice& dev = device("early", early);
  create();
  connect(1);
  dev.sendIn(Bytes(cut.begin() + 5, cut.end()));
  // The 3-byte frame reaches the server only when the early transfer was
  // read after the connect; before it, there was no one to give it to.
  ASSERT_TRUE(server_.waitFrames(1));
  size_t at = 0;
  if (server_.frames()[0] == Bytes(3, 0x03)) {
    ASSERT_TRUE(server_.waitFrames(2));
    at = 1;
  }
  EXPECT_EQ(server_.frames()[at], Bytes(20, 0x20));
  EXPECT_EQ(server_.frames().size(), at + 1);
}

TEST_F(Vbus, ArrivalRemovalAndReplugFollowTheSocketFiles) {
  create();
  EXPECT_TRUE(server_.events().empty());
  auto first = std::make_unique<FakeVbusDevice>(dir_, "Dev1", FakeVbusDevice::Options{});
  ASSERT_TRUE(first->plugIn());
  ASSERT_TRUE(server_.waitEvents(1));
  EXPECT_EQ(std::u16string(info(1).devicePath), u"VBUS\\DEV1");
  first->unlinkSocket();  // unplugged: the file goes
  ASSERT_TRUE(server_.waitEvents(2));
  EXPECT_TRUE(first->waitDisconnected());
  first.reset();
  FakeVbusDevice& again = device("Dev1");
  ASSERT_TRUE(server_.waitEvents(3));
  ASSERT_TRUE(again.waitConnected());
  // The connection ends while the file stays: also a removal.
  again.dropConnection();
  ASSERT_TRUE(server_.waitEvents(4));
  EXPECT_EQ(server_.events(), (std::vector<MediaEvent>{{kMediaEventArrived, {1}},
                                                       {kMediaEventRemoved, {1}},
                                                       {kMediaEventArrived, {2}},
                                                       {kMediaEventRemoved, {2}}}));
  MediaChannelInfo i{};
  EXPECT_FALSE(p_.getChannelInfo(2, &i, sizeof i));
}

TEST_F(Vbus, RefusedDescriptorsGiveSilentChannels) {
  FakeVbusDevice::Options magic, overlong;
  magic.magic = 0xAC21;
  overlong.answerExtra = 1;  // an answer longer than wLength
  device("magic", magic);
  device("overlong", overlong);
  create();
  ASSERT_EQ(server_.events(), (std::vector<MediaEvent>{{kMediaEventArrived, {1, 2}}}));
  for (uint32_t index : {1u, 2u}) {
    EXPECT_EQ(info(index).maxFrameLength, 65535);
    EXPECT_TRUE(plat::setTransmitEvent(connect(index)));
  }
  constexpr int kSilenceMs =
      800;  // past an idle period: a live channel would have called tx by now
  std::this_thread::sleep_for(std::chrono::milliseconds(kSilenceMs));
  EXPECT_TRUE(server_.txCalls().empty());
  // Positive control: a healthy device asked the same way is heard within
  // the same wait.
  device("good");
  ASSERT_TRUE(server_.waitEvents(2));
  EXPECT_EQ(server_.events()[1], (MediaEvent{kMediaEventArrived, {3}}));
  EXPECT_TRUE(plat::setTransmitEvent(connect(3)));
  EXPECT_TRUE(server_.waitTxCalls(
      1, int(vlntest::slackBound(std::chrono::milliseconds(kSilenceMs)).count())));
  devices_[0]->unlinkSocket();
  ASSERT_TRUE(server_.waitEvents(3));
  EXPECT_EQ(server_.events()[2], (MediaEvent{kMediaEventRemoved, {1}}));
}

TEST_F(Vbus, ATransferLongerThanTheTransferSizeEndsTheChannel) {
  FakeVbusDevice& dev = device("big", withSize(64));
  create();
  connect(1);
  dev.sendIn(Bytes(65, 0));
  ASSERT_TRUE(server_.waitEvents(2));
  EXPECT_EQ(server_.events()[1], (MediaEvent{kMediaEventRemoved, {1}}));
  EXPECT_TRUE(dev.waitDisconnected());
}

TEST_F(Vbus, ABurstOfTransfersArrivesWholeAndInOrderThroughBatchesAndTheQueueBound) {
  // Far more transfers than one receive batch or the queue of waiting
  // transfers holds, of many sizes up to the transfer size, each buffer used
  // again and again: every frame arrives once, in order, unchanged.
  constexpr int kTransfers = 600;
  FakeVbusDevice& dev = device("burst", withSize(512));
  create();
  connect(1);
  std::vector<Bytes> expected;
  for (int i = 0; i < kTransfers; ++i) {
    const size_t first = 1 + size_t(i * 37) % 255, second = 1 + size_t(i * 11) % 254;
    expected.push_back(Bytes(first, uint8_t(i)));
    expected.push_back(Bytes(second, uint8_t(i * 3 + 1)));
    dev.sendIn(concat({record(first, uint8_t(i)), record(second, uint8_t(i * 3 + 1))}));
  }
  ASSERT_TRUE(server_.waitFrames(expected.size()));
  EXPECT_EQ(server_.frames(), expected);
}

TEST_F(Vbus, InstantWriteCompletionsDoNotMakeItSpin) {
  FakeVbusDevice& dev = device("fast");
  create();
  const int txEvent = connect(1);
  server_.setPolicy([](uint8_t* dst, uint16_t, int mode) -> uint16_t {
    if (mode == kMediaTxFurther) return 0;
    dst[0] = 0x31;  // a poll, offered at every first-frame call
    return 1;
  });
  ASSERT_TRUE(plat::setTransmitEvent(txEvent));
  ASSERT_TRUE(dev.waitOut(1));
  expectOnlyTheRequestAndIdlePeriodsAsk(server_);
  EXPECT_LE(dev.out().size(), server_.txCalls().size());
}

}  // namespace
}  // namespace usblink::test
