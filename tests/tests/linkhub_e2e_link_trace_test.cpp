// End to end: the diagnostic trace of the real server over the virtual bus.
// Switched on for usb and link it shows the device's link descriptor check,
// the handshake, and a link reset that a device fault knob causes; without
// VLN_TRACE the same run prints nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/BenchClient.h"
#include "e2e/Road.h"

using translayer::HwId;

namespace e2e {
namespace {

bool contains(const std::string& line, const std::string& part) {
  return line.find(part) != std::string::npos;
}

// The index of the first line at or after `from` holding `part`, or -1.
int findFrom(const std::vector<std::string>& lines, int from, const std::string& part) {
  for (size_t i = size_t(std::max(from, 0)); i < lines.size(); ++i)
    if (contains(lines[i], part)) return int(i);
  return -1;
}

// Every part in `parts` on its own line, in this order, from `from` on; the
// index of the last, or -1 (with a failure naming the missing part).
int expectInOrder(const std::vector<std::string>& lines, int from,
                  const std::vector<std::string>& parts) {
  int at = from;
  for (const std::string& part : parts) {
    const int found = findFrom(lines, at, part);
    if (found < 0) {
      ADD_FAILURE() << "no line with \"" << part << "\" after line " << at;
      return -1;
    }
    at = found + 1;
  }
  return at - 1;
}

bool eventually(const std::function<bool()>& done, int timeoutMs = Road::kWaitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

int countLines(const std::vector<std::string>& lines, const std::string& part) {
  int n = 0;
  for (const std::string& line : lines) n += contains(line, part) ? 1 : 0;
  return n;
}

TEST(LinkTraceE2E, UsbAndLinkShowTheDescriptorCheckTheHandshakeAndAResetCausedByTheDevice) {
  Road road;
  ASSERT_TRUE(road.ok());
  ASSERT_TRUE(road.startHub({"VLN_TRACE=usb,link"}));
  // Plugged before the media's first scan, the device would be "present at
  // start" instead of arriving.
  ASSERT_TRUE(road.waitHubLine([](const std::string& l) { return contains(l, "media started"); }));
  const HwId h = Road::makeHwId(0x30);
  devsim::DeviceHost* dev = road.plugDevice({"traced", h});
  ASSERT_TRUE(dev);
  const std::string linkUp = "got 0xC7 identity " + Road::hexOf(h) + ": link up";
  ASSERT_TRUE(road.waitHubLine([&](const std::string& l) { return contains(l, linkUp); }));

  std::vector<std::string> lines = road.hubLines();
  const int up =
      expectInOrder(lines, 0,
                    {"usb: VBUS\\TRACED: arrived",
                     "usb: VBUS\\TRACED: link descriptor accepted: transfer size 4096",
                     "link: [1] media channel arrived", "link: [1] connected",
                     "link: [1] sent 0x8F link reset request", "got 0x63 reset answer",
                     "sent 0xAF parameter request",
                     "got 0xCF parameters: device max frame 255 (using 255), 15 channels",
                     "sent 0xA7 identity request", linkUp});
  ASSERT_GE(up, 0);

  // A client's channel, then data from the device on a channel the server
  // never opened: a protocol error, the client's channel closed, the link
  // reset and set up again.
  auto bench = std::make_unique<BenchClient>();
  ASSERT_EQ(0, bench->open(h));
  EXPECT_EQ(0, bench->run(BenchClient::kEcho, 4000, 100, 1, Road::kWaitMs).result);
  dev->device().sendStrayData(5);
  EXPECT_TRUE(bench->waitClosed(Road::kWaitMs));
  ASSERT_TRUE(eventually([&] { return countLines(road.hubLines(), linkUp) >= 2; }));
  lines = road.hubLines();
  expectInOrder(lines, up + 1,
                {"link: [1] channel 0 opened for protocol 127",
                 "link: [1] protocol error: data for channel 5, which is not open: link reset",
                 "link: [1] channel 0 closed by the link reset",
                 "link: [1] sent 0x8F link reset request", "got 0x63 reset answer", linkUp});
  EXPECT_GE(dev->device().stats().linkResets, 2u);

  // Only the areas asked for, and nothing but trace lines.
  for (const std::string& line : lines) {
    EXPECT_EQ(0u, line.rfind("trace ", 0)) << line;
    EXPECT_TRUE(contains(line, " usb: ") || contains(line, " link: ")) << line;
  }
  EXPECT_TRUE(road.stopHub());
}

TEST(LinkTraceE2E, WithoutTheVariableTheSameRunPrintsNothing) {
  Road road;
  ASSERT_TRUE(road.ok());
  ASSERT_TRUE(road.startHub({"-u", "VLN_TRACE"}));
  const HwId h = Road::makeHwId(0x50);
  devsim::DeviceHost* dev = road.plugDevice({"quiet", h});
  ASSERT_TRUE(dev);
  auto bench = std::make_unique<BenchClient>();
  ASSERT_EQ(0, bench->open(h));
  EXPECT_EQ(0, bench->run(BenchClient::kEcho, 4000, 100, 1, Road::kWaitMs).result);
  dev->device().sendStrayData(5);
  EXPECT_TRUE(bench->waitClosed(Road::kWaitMs));
  // The reset happened: the device heard a second 0x8F and is listed again.
  EXPECT_TRUE(eventually([&] { return dev->device().stats().linkResets >= 2; }));
  // Channels again once the handshake is through (3 until then).
  ASSERT_TRUE(eventually([&] {
    bench = std::make_unique<BenchClient>();
    return bench->open(h) == 0;
  }));
  EXPECT_EQ(0, bench->run(BenchClient::kEcho, 4000, 100, 2, Road::kWaitMs).result);
  bench.reset();
  EXPECT_TRUE(road.stopHub());
  EXPECT_EQ(std::vector<std::string>{}, road.hubLines());
}

}  // namespace
}  // namespace e2e
