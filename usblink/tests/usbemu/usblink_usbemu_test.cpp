// The libusb backend end to end: linkhub with usblink on libusb (no virtual
// bus) runs under the umockdev preload against emulated USB devices whose
// usbfs calls this process answers, with the device end of the link and its
// services behind them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "UsbEmu.h"
#include "devmgr/devmgr.h"
#include "e2e/BenchClient.h"
#include "e2e/Road.h"
#include "rpc_child.h"

using translayer::HwId;

namespace {

using e2e::BenchClient;
using e2e::BenchResult;
using e2e::Road;
using usbemu::DeviceSpec;
using usbemu::EmulatedDevice;
using usbemu::Fault;
using usbemu::Matching;
using Clock = std::chrono::steady_clock;

// Before main and before any thread: the test bed needs the preload here too.
__attribute__((constructor)) void preload(int, char** argv) { usbemu::runUnderPreload(argv); }

constexpr int kReceiveMs = 30000;  // generous: machines under load stall

bool eventually(const std::function<bool()>& done, int timeoutMs = Road::kWaitMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

DeviceSpec spec(int port, int devnum, uint8_t seed) {
  DeviceSpec s;
  s.port = port;
  s.devnum = devnum;
  s.hwid = Road::makeHwId(seed);
  s.friendlyName = "emu-" + std::to_string(port);
  return s;
}

class UsbEmuE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(road_.ok());
    ASSERT_TRUE(bed_.ok());
  }
  // The server goes before its devices, also when a test failed early.
  void TearDown() override {
    if (road_.hubRunning()) road_.stopHub();
  }

  // linkhub on the libusb backend under the test bed.
  bool startHub(bool polling = false, const std::vector<std::string>& more = {}) {
    std::vector<std::string> env = {"-u", "USBLINK_VBUS"};
    for (const std::string& e : bed_.childEnvironment()) env.push_back(e);
    if (polling) env.push_back("USBLINK_LIBUSB_POLL=1");
    env.insert(env.end(), more.begin(), more.end());
    return road_.startHub(env);
  }

  // Adds a VID:PID to usblink's list in the registry file.
  void allowId(const std::string& id) {
    std::ofstream reg(road_.registryFile(), std::ios::app);
    reg << "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltrano\\usblink\\Devices]\n\"emu\"=\"" << id
        << "\"\n";
  }

  bool listed(const HwId& id) {
    for (const HwId& h : road_.onlineDevices())
      if (h == id) return true;
    return false;
  }

  std::unique_ptr<BenchClient> openBench(const HwId& hwid) {
    auto c = std::make_unique<BenchClient>();
    const int rc = c->open(hwid);
    EXPECT_EQ(0, rc) << Road::hexOf(hwid);
    return rc == 0 ? std::move(c) : nullptr;
  }

  void echoes(const HwId& hwid, uint32_t bytes, uint16_t packet) {
    auto bench = openBench(hwid);
    ASSERT_TRUE(bench);
    const BenchResult r = bench->run(BenchClient::kEcho, bytes, packet, 7, kReceiveMs);
    EXPECT_EQ(0, r.result);
    EXPECT_EQ(bytes, r.received);
  }

  Road road_;  // first: it sets the environment the test bed's children see
  usbemu::Testbed bed_;
};

TEST_F(UsbEmuE2E, MatchedDevicesAreListedServedAndFollowedThroughUnplug) {
  DeviceSpec good = spec(1, 2, 0x10);
  good.transferSize = 512;  // full transfers are exactly one packet: each needs its ZLP
  good.identity.deviceName = "usbemu device";
  good.identity.fwVersion = {0x02, 0x05, 0x01, 0x00};
  good.identity.deviceSerial = {0x78, 0x56, 0x34, 0x12};
  DeviceSpec byId = spec(2, 3, 0x20);
  byId.matching = Matching::kIdOnly;
  byId.product = 0x7A52;
  DeviceSpec otherClass = spec(3, 4, 0x30);
  otherClass.matching = Matching::kOtherClass;
  DeviceSpec badMagic = spec(4, 5, 0x40);
  badMagic.linkMagic = 0xAC21;
  DeviceSpec noBulkIn = spec(5, 6, 0x50);
  noBulkIn.bulkIn = false;
  DeviceSpec unlistedId = spec(6, 7, 0x60);
  unlistedId.matching = Matching::kIdOnly;
  unlistedId.product = 0x7A53;

  allowId("1209:7A52");
  EmulatedDevice* g = bed_.plug(good);
  ASSERT_TRUE(g);
  ASSERT_TRUE(bed_.plug(byId));
  EmulatedDevice* wrong[] = {bed_.plug(otherClass), bed_.plug(badMagic), bed_.plug(noBulkIn),
                             bed_.plug(unlistedId)};
  for (EmulatedDevice* w : wrong) ASSERT_TRUE(w);
  ASSERT_TRUE(startHub());
  ASSERT_TRUE(road_.waitOnline({good.hwid, byId.hwid}));

  // Arrivals by uevent while the server runs: one of ours, one not.
  DeviceSpec late = spec(7, 8, 0x70);
  DeviceSpec lateBad = spec(8, 9, 0x80);
  lateBad.linkMagic = 0x1FAC;
  ASSERT_TRUE(bed_.plug(late));
  EmulatedDevice* lateWrong = bed_.plug(lateBad);
  ASSERT_TRUE(lateWrong);
  ASSERT_TRUE(road_.waitOnline({late.hwid}));

  // Whatever is not ours never moves a bulk byte, so it cannot be listed.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  for (EmulatedDevice* w : {wrong[0], wrong[1], wrong[2], wrong[3], lateWrong}) {
    EXPECT_TRUE(w->outUrbs().empty()) << w->spec().friendlyName;
    EXPECT_FALSE(listed(w->spec().hwid)) << w->spec().friendlyName;
  }
  // The other class and the unlisted id are never held open.
  EXPECT_EQ(0, wrong[0]->openClients());
  EXPECT_EQ(0, wrong[3]->openClients());
  bool ok = false;
  EXPECT_EQ(3u, road_.onlineDevices(&ok).size());
  EXPECT_TRUE(ok);

  // The console lists it under its name.
  plat::test::ChildProcess shell;
  ASSERT_TRUE(shell.start(USBEMU_DEVSHELL, {"-L", "-Q"}));
  std::vector<std::string> rows;
  for (std::string line; shell.readLine(&line, kReceiveMs);) rows.push_back(line);
  EXPECT_EQ(0, shell.wait(kReceiveMs));
  EXPECT_NE(std::find(rows.begin(), rows.end(), Road::hexOf(good.hwid) + " emu-1"), rows.end());

  // The core getters return the device's identity.
  DevmgrHandle h = DevmgrConnect(good.hwid.id, sizeof good.hwid.id);
  ASSERT_NE(nullptr, h);
  char text[257] = {};
  EXPECT_TRUE(DevmgrGetDeviceName(h, text));
  EXPECT_STREQ("usbemu device", text);
  uint8_t four[4] = {};
  EXPECT_TRUE(DevmgrGetFwVersion(h, four));
  EXPECT_EQ(good.identity.fwVersion, std::vector<uint8_t>(four, four + 4));
  EXPECT_TRUE(DevmgrGetDeviceSerial(h, four));
  EXPECT_EQ(good.identity.deviceSerial, std::vector<uint8_t>(four, four + 4));
  std::memset(text, 0, sizeof text);
  EXPECT_TRUE(DevmgrGetFriendlyName(h, text));
  EXPECT_STREQ("emu-1", text);
  DevmgrDisconnect(h);

  // 1 MiB byte-exact; every bulk OUT transfer of whole packets is followed by
  // a zero-length one.
  echoes(good.hwid, 1u << 20, 1024);
  const std::vector<usbemu::OutUrb> out = g->outUrbs();
  size_t whole = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i].length == 0 || out[i].length % 512 != 0) continue;
    ++whole;
    ASSERT_LT(i + 1, out.size());
    EXPECT_EQ(0, out[i + 1].length) << "transfer " << i << " of " << out[i].length << " bytes";
  }
  // How often a transfer comes out whole depends on how the frames queue up;
  // that some did is what the rule needs.
  EXPECT_GT(whole, 0u);
  echoes(byId.hwid, 256u << 10, 700);

  // Pulled with a channel open: the channel ends, the device leaves the list,
  // the others stay; plugged in again (a new address) it is back.
  auto open = openBench(good.hwid);
  ASSERT_TRUE(open);
  bed_.unplug(g);
  EXPECT_TRUE(open->waitClosed(Road::kWaitMs));
  EXPECT_TRUE(road_.waitOnline({good.hwid}, false));
  EXPECT_TRUE(road_.waitOnline({byId.hwid, late.hwid}));
  BenchClient refused;
  EXPECT_EQ(2, refused.open(good.hwid));
  open.reset();
  DeviceSpec again = good;
  again.devnum = 10;
  EmulatedDevice* back = bed_.plug(again);
  ASSERT_TRUE(back);
  ASSERT_TRUE(road_.waitOnline({good.hwid}));
  echoes(good.hwid, 128u << 10, 1000);

  // Stopped in the middle of an echo, with transfers out both ways.
  BenchResult stopped;
  auto runner = openBench(good.hwid);
  ASSERT_TRUE(runner);
  const size_t before = back->outUrbs().size();
  std::thread echo(
      [&] { stopped = runner->run(BenchClient::kEcho, 256u << 20, 1024, 9, kReceiveMs); });
  EXPECT_TRUE(eventually([&] { return back->outUrbs().size() > before + 50; }));
  EXPECT_TRUE(road_.stopHub());
  echo.join();
  EXPECT_NE(0, stopped.result);
  EXPECT_TRUE(eventually([&] { return back->openClients() == 0 && back->urbsOut() == 0; }));
}

struct FaultCase {
  const char* name;
  Fault fault;
};

// The usb trace says of every device why it was taken or not, and names the
// transfer error that ends a channel.
TEST_F(UsbEmuE2E, TheUsbTraceSaysWhyEachDeviceIsTakenOrRefused) {
  DeviceSpec good = spec(1, 2, 0x12);
  DeviceSpec byId = spec(2, 3, 0x22);
  byId.matching = Matching::kIdOnly;
  byId.product = 0x7A52;
  DeviceSpec otherClass = spec(3, 4, 0x32);
  otherClass.matching = Matching::kOtherClass;
  DeviceSpec badMagic = spec(4, 5, 0x42);
  badMagic.linkMagic = 0xAC21;
  DeviceSpec noBulkIn = spec(5, 6, 0x52);
  noBulkIn.bulkIn = false;
  DeviceSpec unlistedId = spec(6, 7, 0x62);
  unlistedId.matching = Matching::kIdOnly;
  unlistedId.product = 0x7A53;
  allowId("1209:7A52");
  EmulatedDevice* g = nullptr;
  for (const DeviceSpec* d : {&good, &byId, &otherClass, &badMagic, &noBulkIn, &unlistedId}) {
    EmulatedDevice* e = bed_.plug(*d);
    ASSERT_TRUE(e);
    if (d == &good) g = e;
  }
  ASSERT_TRUE(startHub(false, {"VLN_TRACE=usb"}));
  ASSERT_TRUE(road_.waitOnline({good.hwid, byId.hwid}));
  auto open = openBench(good.hwid);
  ASSERT_TRUE(open);
  g->setFault(Fault::kTransferError);
  EXPECT_TRUE(open->waitClosed(Road::kWaitMs));
  ASSERT_TRUE(road_.waitHubLine([](const std::string& l) {
    return l.find("USB\\VID_1209&PID_7A51\\1-1: channel") != std::string::npos &&
           l.find("ends on an I/O failure") != std::string::npos;
  }));
  const std::vector<std::string> lines = road_.hubLines();
  const struct {
    const char* path;
    const char* says;
  } expected[] = {
      {"PID_7A51\\1-1", "taken: its MS OS 2.0 descriptors name the link interface class"},
      {"PID_7A51\\1-1", "link descriptor accepted: transfer size 4096"},
      {"PID_7A52\\1-2", "taken: its VID:PID is in the Devices key"},
      {"PID_7A51\\1-3",
       "not ours: its MS OS 2.0 descriptor set does not name the link interface class"},
      {"PID_7A51\\1-4", "refused: link descriptor 06 80 21 ac"},
      {"PID_7A51\\1-5", "refused: no bulk IN and OUT pipe pair"},
      {"PID_7A53\\1-6", "not ours: USB below 2.01 (no BOS) and not in the Devices key"},
      {"PID_7A51\\1-1", "bulk read failed"},
  };
  for (const auto& e : expected) {
    const std::string wanted = std::string(e.path) + ": " + e.says;
    bool found = false;
    for (const std::string& line : lines) found = found || line.find(wanted) != std::string::npos;
    EXPECT_TRUE(found) << wanted;
  }
  bool transferNamed = false;
  for (const std::string& line : lines)
    transferNamed =
        transferNamed || line.find("transfer on endpoint 0x81 ended: error") != std::string::npos;
  EXPECT_TRUE(transferNamed);
  EXPECT_TRUE(road_.stopHub());
}

// An interface another process holds for a moment is claimed again and the
// device served; one that stays busy is refused, and the rest are served.
TEST_F(UsbEmuE2E, ABusyInterfaceIsClaimedAgainThenRefused) {
  DeviceSpec briefly = spec(1, 2, 0x14);
  briefly.busyClaims = 2;
  DeviceSpec always = spec(2, 3, 0x24);
  always.busyClaims = 1000;
  DeviceSpec healthy = spec(3, 4, 0x34);
  for (const DeviceSpec* d : {&briefly, &always, &healthy}) ASSERT_TRUE(bed_.plug(*d));
  ASSERT_TRUE(startHub(false, {"VLN_TRACE=usb"}));
  ASSERT_TRUE(road_.waitOnline({briefly.hwid, healthy.hwid}));
  echoes(briefly.hwid, 64u << 10, 1024);
  EXPECT_FALSE(listed(always.hwid));

  const std::vector<std::string> lines = road_.hubLines();
  const auto count = [&](const std::string& part) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.find(part) != std::string::npos; });
  };
  EXPECT_EQ(2, count("1-1: claiming interface 0 failed: LIBUSB_ERROR_BUSY"));
  EXPECT_EQ(5, count("1-2: claiming interface 0 failed: LIBUSB_ERROR_BUSY"));
  EXPECT_EQ(1, count("1-2: claiming interface 0 failed: LIBUSB_ERROR_BUSY (attempt 5 of 5)"));
  EXPECT_EQ(1, count("1-2: refused: the device cannot be opened"));
  EXPECT_EQ(0, count("1-1: refused"));
  EXPECT_TRUE(road_.stopHub());
}

TEST_F(UsbEmuE2E, StallErrorAndVanishedNodeEndInRemovalNeverAHang) {
  const FaultCase cases[] = {{"stall", Fault::kStall},
                             {"transfer error", Fault::kTransferError},
                             {"ENODEV on every call", Fault::kNoDevice}};
  DeviceSpec healthy = spec(1, 2, 0x11);
  ASSERT_TRUE(bed_.plug(healthy));
  std::vector<EmulatedDevice*> faulty;
  for (size_t i = 0; i < std::size(cases); ++i) {
    faulty.push_back(bed_.plug(spec(int(i) + 2, int(i) + 3, uint8_t(0x21 + 0x10 * i))));
    ASSERT_TRUE(faulty.back());
  }
  ASSERT_TRUE(startHub());
  std::vector<HwId> all = {healthy.hwid};
  for (EmulatedDevice* d : faulty) all.push_back(d->spec().hwid);
  ASSERT_TRUE(road_.waitOnline(all));

  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    EmulatedDevice* d = faulty[i];
    auto open = openBench(d->spec().hwid);
    ASSERT_TRUE(open);
    d->setFault(cases[i].fault);
    EXPECT_TRUE(open->waitClosed(Road::kWaitMs));
    EXPECT_TRUE(road_.waitOnline({d->spec().hwid}, false));
    // Removed by the media: its handle is closed, not merely its link reset.
    EXPECT_TRUE(eventually([&] { return d->openClients() == 0; }));
  }
  echoes(healthy.hwid, 256u << 10, 1024);
  EXPECT_TRUE(road_.stopHub());
}

TEST_F(UsbEmuE2E, PendingTransfersAreNotARemoval) {
  DeviceSpec s = spec(1, 2, 0x12);
  EmulatedDevice* d = bed_.plug(s);
  ASSERT_TRUE(d);
  ASSERT_TRUE(startHub());
  ASSERT_TRUE(road_.waitOnline({s.hwid}));
  const int opens = d->opens();
  EXPECT_EQ(1, d->openClients());

  d->setFault(Fault::kPending);
  // Several idle periods with nothing moving either way.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(1, d->openClients());
  d->setFault(Fault::kNone);
  ASSERT_TRUE(road_.waitOnline({s.hwid}));
  echoes(s.hwid, 256u << 10, 1024);
  // Never closed and opened again: the media kept the device throughout.
  EXPECT_EQ(opens, d->opens());
  EXPECT_EQ(1, d->openClients());
  EXPECT_TRUE(road_.stopHub());
}

// A cancel the host controller is slow to give back: the channel stops
// waiting for it and the device leaves the list, but the handle stays open
// with the transfer (and the memory it may still write) until libusb reports
// it; only then is the device closed. A server stopping with such a cancel
// out ends cleanly without freeing it. (One never given back at all is the
// ENODEV case above: its handle is closed after a while.)
TEST_F(UsbEmuE2E, ACancelHeldBackKeepsTheTransferUntilLibusbReportsIt) {
  DeviceSpec slow = spec(1, 2, 0x15);
  DeviceSpec healthy = spec(2, 3, 0x25);
  EmulatedDevice* d = bed_.plug(slow);
  ASSERT_TRUE(d);
  ASSERT_TRUE(bed_.plug(healthy));
  ASSERT_TRUE(startHub(false, {"VLN_TRACE=usb"}));
  ASSERT_TRUE(road_.waitOnline({slow.hwid, healthy.hwid}));
  const auto hubSaid = [&](const std::string& part) {
    for (const std::string& line : road_.hubLines())
      if (line.find(part) != std::string::npos) return true;
    return false;
  };

  // A write fails while the read is out, and the read's cancel is held back.
  auto open = openBench(slow.hwid);
  ASSERT_TRUE(open);
  d->holdCancels(true);
  d->setFault(Fault::kOutError);
  BenchResult failed;
  std::thread echo([&] { failed = open->run(BenchClient::kEcho, 64u << 10, 1024, 3, kReceiveMs); });
  EXPECT_TRUE(open->waitClosed(Road::kWaitMs));
  echo.join();
  EXPECT_NE(0, failed.result);
  // The channel gives up on the read after its 5 s wait, the read still
  // out on a handle still open. (The device may leave the online list
  // before that, as soon as its link ends: that is no sign of the close.)
  EXPECT_TRUE(road_.waitHubLine([](const std::string& l) {
    return l.find("1-1: closed with a read still out") != std::string::npos;
  }));
  EXPECT_TRUE(road_.waitOnline({slow.hwid}, false));
  EXPECT_EQ(1, d->openClients());
  EXPECT_EQ(1, d->urbsOut());

  // Given back: libusb reports it, and the device is closed.
  d->holdCancels(false);
  EXPECT_TRUE(eventually([&] { return d->openClients() == 0 && d->urbsOut() == 0; }));
  EXPECT_TRUE(road_.waitHubLine([](const std::string& l) {
    return l.find("1-1: libusb has reported the abandoned transfers: the device is closed") !=
           std::string::npos;
  }));
  echoes(healthy.hwid, 128u << 10, 1024);

  // Plugged in again it is served as before.
  bed_.unplug(d);
  DeviceSpec again = slow;
  again.devnum = 4;
  EmulatedDevice* back = bed_.plug(again);
  ASSERT_TRUE(back);
  ASSERT_TRUE(road_.waitOnline({slow.hwid}));
  echoes(slow.hwid, 128u << 10, 1024);

  // Stopped while the read's cancel is held back for good: the server ends
  // cleanly, closing the device but freeing nothing libusb still has.
  back->holdCancels(true);
  EXPECT_TRUE(road_.stopHub());
  EXPECT_TRUE(
      hubSaid("1-1: the abandoned transfers are still out as the bus stops: the device "
              "is closed, the transfers and their buffers are left unfreed"));
  EXPECT_TRUE(eventually([&] { return back->openClients() == 0; }));
}

TEST_F(UsbEmuE2E, PollingFollowsVanishingReplugAndSwap) {
  DeviceSpec first = spec(1, 2, 0x13);
  EmulatedDevice* d = bed_.plug(first);
  ASSERT_TRUE(d);
  ASSERT_TRUE(startHub(/*polling=*/true));
  ASSERT_TRUE(road_.waitOnline({first.hwid}));

  // Gone between two scans, with a channel open.
  auto open = openBench(first.hwid);
  ASSERT_TRUE(open);
  bed_.unplug(d);
  EXPECT_TRUE(open->waitClosed(Road::kWaitMs));
  EXPECT_TRUE(road_.waitOnline({first.hwid}, false));
  open.reset();

  // Back at a new address: found by the next scan.
  DeviceSpec again = first;
  again.devnum = 3;
  d = bed_.plug(again);
  ASSERT_TRUE(d);
  ASSERT_TRUE(road_.waitOnline({first.hwid}));
  echoes(first.hwid, 128u << 10, 1024);

  // Swapped for another device at the same bus address and port: a removal
  // and an arrival.
  DeviceSpec other = spec(1, 3, 0x63);
  EmulatedDevice* swapped = bed_.swap(d, other);
  ASSERT_TRUE(swapped);
  EXPECT_TRUE(road_.waitOnline({first.hwid}, false));
  ASSERT_TRUE(road_.waitOnline({other.hwid}));
  echoes(other.hwid, 128u << 10, 1024);
  EXPECT_TRUE(road_.stopHub());
}

}  // namespace
