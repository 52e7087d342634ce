// End to end: linkhub loading usblink over the virtual bus, devsim devices on
// it, clients reaching them through the control RPC and channel pipes.
#include <gtest/gtest.h>

#include <memory>

#include "e2e/BenchClient.h"
#include "e2e/Road.h"
#include "translayer/Payload.h"
#include "translayer/TrIfTranClient.h"

using translayer::Event;
using translayer::HwId;
using translayer::TrIfTranClient;
using translayer::TrIfTranPayload;
using translayer::TrIfTranRemote;

namespace e2e {
namespace {

constexpr int kReceiveMs = 30000;  // generous: machines under load stall

// Opens a benchmark channel on a listed device.
std::unique_ptr<BenchClient> openBench(const HwId& hwid) {
  auto c = std::make_unique<BenchClient>();
  const int rc = c->open(hwid);
  EXPECT_EQ(0, rc) << Road::hexOf(hwid);
  return rc == 0 ? std::move(c) : nullptr;
}

TEST(LinkEchoE2E, TwoDevicesEchoAndOneIsPulledAndComesBack) {
  Road road;
  ASSERT_TRUE(road.ok());
  ASSERT_TRUE(road.startHub());
  const HwId h1 = Road::makeHwId(0x10), h2 = Road::makeHwId(0x40);
  int sim1 = road.startDevsim({{"dev1", h1}});
  const int sim2 = road.startDevsim({{"dev2", h2}});
  ASSERT_GE(sim1, 0);
  ASSERT_GE(sim2, 0);
  ASSERT_TRUE(road.waitOnline({h1, h2}));
  bool ok = false;
  EXPECT_EQ(2u, road.onlineDevices(&ok).size());
  EXPECT_TRUE(ok);

  // 16 MiB through the whole road, every byte checked.
  {
    auto bench = openBench(h1);
    ASSERT_TRUE(bench);
    const BenchResult r = bench->run(BenchClient::kEcho, 16u << 20, 1024, 1, kReceiveMs);
    EXPECT_EQ(0, r.result);
    EXPECT_EQ(16u << 20, r.sent);
    EXPECT_EQ(16u << 20, r.received);
  }

  // Both devices have a channel open; then dev1 is pulled.
  auto onOne = openBench(h1);
  auto onTwo = openBench(h2);
  ASSERT_TRUE(onOne && onTwo);
  ASSERT_TRUE(road.killDevsim(sim1));
  EXPECT_TRUE(onOne->waitClosed(Road::kWaitMs));
  EXPECT_TRUE(road.waitOnline({h1}, false));
  EXPECT_TRUE(road.waitOnline({h2}));
  const BenchResult two = onTwo->run(BenchClient::kEcho, 1u << 20, 1000, 2, kReceiveMs);
  EXPECT_EQ(0, two.result);
  EXPECT_EQ(1u << 20, two.received);
  // A channel to the pulled device is refused: no connected device (2).
  BenchClient refused;
  EXPECT_EQ(2, refused.open(h1));

  // Plugged in again (its socket file was left behind by the kill).
  sim1 = road.startDevsim({{"dev1", h1}});
  ASSERT_GE(sim1, 0);
  ASSERT_TRUE(road.waitOnline({h1, h2}));
  auto again = openBench(h1);
  ASSERT_TRUE(again);
  const BenchResult back = again->run(BenchClient::kEcho, 256u << 10, 700, 3, kReceiveMs);
  EXPECT_EQ(0, back.result);
  EXPECT_EQ(256u << 10, back.received);

  // A clean stop unplugs: the file goes and the device leaves the list.
  again.reset();
  onTwo.reset();
  EXPECT_TRUE(road.stopDevsim(sim1));
  EXPECT_TRUE(road.waitOnline({h1}, false));
  EXPECT_TRUE(road.waitOnline({h2}));
  EXPECT_TRUE(road.stopHub());
}

TEST(LinkEchoE2E, DownloadAndUploadModesOverTheRoad) {
  Road road;
  ASSERT_TRUE(road.ok());
  ASSERT_TRUE(road.startHub());
  const HwId h = Road::makeHwId(0x70);
  ASSERT_GE(road.startDevsim({{"bench", h}}), 0);
  ASSERT_TRUE(road.waitOnline({h}));
  struct Case {
    BenchClient::Mode mode;
    uint32_t total;
    uint16_t packet;
  };
  const Case cases[] = {
      {BenchClient::kDownload, 1u << 20, 1024},
      {BenchClient::kDownload, 1000, 3},  // tiny packets: a report for each
      {BenchClient::kUpload, 300000, 253},
      {BenchClient::kUpload, 50000, 1024},  // clipped to one frame per packet
      {BenchClient::kUpload, 777, 10},
  };
  for (const Case& c : cases) {
    auto bench = openBench(h);
    ASSERT_TRUE(bench);
    const BenchResult r = bench->run(c.mode, c.total, c.packet, 5, kReceiveMs);
    EXPECT_EQ(0, r.result) << int(c.mode) << " " << c.total << "/" << c.packet;
    EXPECT_EQ(c.total, r.received) << int(c.mode) << " " << c.total << "/" << c.packet;
  }
}

TEST(LinkEchoE2E, SmallFramesAndTransfersStillCarryTheEcho) {
  Road road;
  ASSERT_TRUE(road.ok());
  ASSERT_TRUE(road.startHub());
  const HwId h = Road::makeHwId(0x90);
  // 64-byte transfers hold one frame each way; the device's frames are 40.
  ASSERT_GE(road.startDevsim({{"narrow", h}}, {"--max-frame", "40", "--transfer-size", "64"}), 0);
  ASSERT_TRUE(road.waitOnline({h}));
  auto bench = openBench(h);
  ASSERT_TRUE(bench);
  const BenchResult r = bench->run(BenchClient::kEcho, 300000, 1024, 9, kReceiveMs);
  EXPECT_EQ(0, r.result);
  EXPECT_EQ(300000u, r.received);
}

TEST(LinkEchoE2E, ResetRequestReplugsTheDevice) {
  Road road;
  ASSERT_TRUE(road.ok());
  ASSERT_TRUE(road.startHub());
  const HwId h = Road::makeHwId(0xA0);
  ASSERT_GE(road.startDevsim({{"resettable", h}}), 0);
  ASSERT_TRUE(road.waitOnline({h}));

  // The core service's reset (code 80) takes the device off the bus.
  struct Watch : TrIfTranRemote {
    bool deliver(std::shared_ptr<TrIfTranPayload>) override { return true; }
    void close(bool) override { closed.set(); }
    Event closed;
  } watch;
  {
    TrIfTranClient core(base::kProtocolCore);
    ASSERT_EQ(0, core.bind());
    ASSERT_EQ(0, core.openChannel(h, &watch));
    core.connectResult.wait();
    ASSERT_EQ(0, core.notConnected.load());
    auto reset = std::make_shared<TrIfTranPayload>();
    reset->length = 1;
    reset->last = 1;
    reset->data[0] = 80;
    core.TrIfTranCommon::deliver(reset);
    EXPECT_FALSE(watch.closed.timedWait(Road::kWaitMs));  // the device went
  }
  // It comes back under the same HWID and serves again.
  ASSERT_TRUE(road.waitOnline({h}));
  std::unique_ptr<BenchClient> bench;
  for (int attempt = 0; attempt < 100 && !bench; ++attempt) {
    auto c = std::make_unique<BenchClient>();
    if (c->open(h) == 0)
      bench = std::move(c);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(bench);
  const BenchResult r = bench->run(BenchClient::kEcho, 100000, 512, 4, kReceiveMs);
  EXPECT_EQ(0, r.result);
}

}  // namespace
}  // namespace e2e
