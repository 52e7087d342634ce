// devmgr on the whole road: the linkhub program with usblink over the
// virtual bus and the devsim program. What only the real road shows: the
// reset replugs the device on the bus, and the device list comes from the
// media's discovery.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "devmgr/devmgr.h"
#include "e2e/Road.h"

using translayer::HwId;

namespace {

using e2e::Road;

TEST(DevmgrRoad, ResetTakesTheDeviceOffTheBusUntilItComesBack) {
  Road road;
  ASSERT_TRUE(road.ok());
  ASSERT_TRUE(road.startHub());
  const HwId id = Road::makeHwId(0x30);
  ASSERT_GE(road.startDevsim({{"resetme", id}}), 0);
  ASSERT_TRUE(road.waitOnline({id}));

  DevmgrHandle handle = DevmgrConnect(id.id, 16);
  ASSERT_NE(nullptr, handle);
  char name[256] = {};
  ASSERT_TRUE(DevmgrGetFriendlyName(handle, name));
  EXPECT_STREQ("resetme", name);
  ASSERT_TRUE(DevmgrSetFriendlyName(handle, "kept"));
  EXPECT_TRUE(DevmgrImmediateReset(handle));
  EXPECT_FALSE(DevmgrGetFriendlyName(handle, name)) << "the channel went with the device";
  DevmgrDisconnect(handle);

  // Back under the same id, a new connection works.
  bool back = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!back && std::chrono::steady_clock::now() < deadline) {
    if ((handle = DevmgrConnect(id.id, 16))) {
      std::memset(name, 0, sizeof name);
      back = DevmgrGetFriendlyName(handle, name);
      DevmgrDisconnect(handle);
    }
    if (!back) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(back);
  EXPECT_STREQ("kept", name) << "the device keeps its state across a reset";
}

TEST(DevmgrRoad, OnlineDevicesFillTheRoomGiven) {
  Road road;
  ASSERT_TRUE(road.ok());
  ASSERT_TRUE(road.startHub());
  const std::vector<HwId> ids = {Road::makeHwId(0x10), Road::makeHwId(0x20), Road::makeHwId(0x40)};
  ASSERT_GE(road.startDevsim({{"a", ids[0]}, {"b", ids[1]}, {"c", ids[2]}}), 0);
  ASSERT_TRUE(road.waitOnline(ids));

  uint8_t out[3][16];
  std::memset(out, 0xEE, sizeof out);
  size_t count = 2;
  ASSERT_TRUE(DevmgrGetOnlineDevices(out, &count));
  EXPECT_EQ(2u, count);
  for (size_t i = 0; i < 2; ++i) {
    bool known = false;
    for (const HwId& id : ids) known |= std::memcmp(out[i], id.id, 16) == 0;
    EXPECT_TRUE(known) << "entry " << i;
  }
  EXPECT_NE(0, std::memcmp(out[0], out[1], 16));
  EXPECT_EQ(0xEE, out[2][0]) << "nothing past the room given";

  count = 3;
  ASSERT_TRUE(DevmgrGetOnlineDevices(out, &count));
  EXPECT_EQ(3u, count);
}

}  // namespace
