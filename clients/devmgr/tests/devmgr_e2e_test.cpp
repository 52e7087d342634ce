// devmgr through the connection server's core and the link protocol to
// emulated devices running the devsim core service: the query table with its
// size rules, wrong and missing replies, reset and reconnection, and the
// device list.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "QueryTable.h"
#include "devmgr/devmgr.h"
#include "plat/runtime.h"
#include "testsupport/LinkhubHost.h"
#include "vlntest/TimeSlack.h"

using translayer::HwId;

namespace {

using devmgr_test::kQueries;
using devmgr_test::LinkhubHost;
using devmgr_test::QueryCase;
using devsim::CoreReplyFault;
using devsim::CoreState;
using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;

HwId idOf(uint8_t first) {
  HwId id;
  for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(first ^ (i * 13));
  return id;
}

long msSince(Clock::time_point start) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class DevmgrE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = plat::makeTempDir("devmgr-e2e-");
    ASSERT_FALSE(dir_.empty());
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", dir_);
    host_ = std::make_unique<LinkhubHost>();
    ASSERT_TRUE(host_->start());
    core_ = std::make_shared<CoreState>();
    ASSERT_TRUE(host_->addDevice(id_, core_));
  }
  void TearDown() override {
    host_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  DevmgrHandle connect() { return DevmgrConnect(id_.id, sizeof id_.id); }

  std::string dir_;
  HwId id_ = idOf(0x21);
  std::shared_ptr<CoreState> core_;
  std::unique_ptr<LinkhubHost> host_;
};

TEST_F(DevmgrE2e, EveryQueryWithItsExactAndAtMostSizes) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  for (const QueryCase& q : kQueries) {
    for (size_t length : {size_t(0), q.size - 1, q.size, q.size + 1}) {
      std::vector<uint8_t> value(length);
      for (size_t i = 0; i < length; ++i) value[i] = uint8_t(q.request * 3 + i);
      CoreReplyFault fault;
      fault.data = value;
      core_->setFault(q.request, fault);
      std::vector<uint8_t> buffer(q.size + 4, 0xEE);
      const bool expected = q.exact ? length == q.size : length <= q.size;
      ASSERT_EQ(expected, q.query(handle, buffer.data())) << q.name << " with " << length;
      if (expected) {
        EXPECT_TRUE(std::equal(value.begin(), value.end(), buffer.begin())) << q.name;
        EXPECT_EQ(0xEE, buffer[length]) << q.name;
      } else {
        EXPECT_EQ(std::vector<uint8_t>(q.size + 4, 0xEE), buffer) << q.name;
      }
    }
  }
  core_->clearFaults();

  // The device's own values, through the same handle.
  uint8_t version[4];
  ASSERT_TRUE(DevmgrGetFwVersion(handle, version));
  EXPECT_THAT(version, ElementsAre(0x01, 0x08, 0x00, 0x00));
  char name[256] = {};
  ASSERT_TRUE(DevmgrGetFriendlyName(handle, name));
  EXPECT_STREQ("devsim", name);
  ASSERT_TRUE(DevmgrSetFriendlyName(handle, "renamed"));
  std::memset(name, 0, sizeof name);
  ASSERT_TRUE(DevmgrGetFriendlyName(handle, name));
  EXPECT_STREQ("renamed", name);
  ProtocolList list{};
  ASSERT_TRUE(DevmgrGetProtocolList(handle, &list));
  EXPECT_EQ(5u, list.count);
  EXPECT_TRUE(DevmgrVisualIdentification(handle, 100000));
  EXPECT_THAT(core_->identifications(), ElementsAre(65535));
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrE2e, WrongRepliesFailAndLeaveTheHandleUsable) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  CoreReplyFault code;
  code.code = 0x65;  // the reply to another request
  core_->setFault(98, code);
  // Longer than one pipe chunk, refused by its size rule.
  CoreReplyFault multiChunk;
  multiChunk.data = std::vector<uint8_t>(1100, 'v');
  core_->setFault(30, multiChunk);
  CoreReplyFault refused;
  refused.data = std::vector<uint8_t>{0};
  core_->setFault(24, refused);

  uint8_t serial[4];
  EXPECT_FALSE(DevmgrGetDeviceSerial(handle, serial));
  char text[256];
  EXPECT_FALSE(DevmgrGetFwVerbose(handle, text));
  EXPECT_FALSE(DevmgrSetFriendlyName(handle, "x"));
  core_->clearFaults();
  EXPECT_TRUE(DevmgrGetDeviceSerial(handle, serial));
  EXPECT_THAT(serial, ElementsAre(0x39, 0x30, 0, 0));
  EXPECT_TRUE(DevmgrGetFwVerbose(handle, text));
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrE2e, ASilentDeviceFailsAfterASecondAndThenAtOnce) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  CoreReplyFault silent;
  silent.silent = true;
  core_->setFault(20, silent);
  char text[256];
  auto start = Clock::now();
  EXPECT_FALSE(DevmgrGetFwVersionString(handle, text));
  EXPECT_GE(msSince(start), 900);
  core_->clearFaults();
  const size_t seen = core_->requests().size();
  start = Clock::now();
  EXPECT_FALSE(DevmgrGetFwVersionString(handle, text));
  EXPECT_FALSE(DevmgrGetFriendlyName(handle, text));
  EXPECT_LT(msSince(start), vlntest::slackBound(std::chrono::milliseconds(1500)).count())
      << "a broken handle waits for nothing (two waits would be 2 s)";
  EXPECT_EQ(seen, core_->requests().size());
  DevmgrDisconnect(handle);

  handle = connect();
  ASSERT_NE(nullptr, handle);
  EXPECT_TRUE(DevmgrGetFwVersionString(handle, text));
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrE2e, ResetDropsTheDeviceUntilItComesBack) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  EXPECT_TRUE(DevmgrImmediateReset(handle));
  char name[256];
  EXPECT_FALSE(DevmgrGetFriendlyName(handle, name)) << "the old channel went with the device";
  DevmgrDisconnect(handle);
  EXPECT_EQ(1u, core_->resets());

  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (host_->replugs() < 1 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(1u, host_->replugs());
  ASSERT_TRUE(host_->waitOnline(id_, true));
  handle = connect();
  ASSERT_NE(nullptr, handle) << "the same HwId connects again";
  std::memset(name, 0, sizeof name);
  EXPECT_TRUE(DevmgrGetFriendlyName(handle, name));
  EXPECT_STREQ("devsim", name);
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrE2e, OnlineDevicesFillTheRoomGiven) {
  ASSERT_TRUE(host_->addDevice(idOf(0x42), std::make_shared<CoreState>()));
  ASSERT_TRUE(host_->addDevice(idOf(0x63), std::make_shared<CoreState>()));
  const std::vector<HwId> online = host_->onlineDevices();
  ASSERT_EQ(3u, online.size());

  uint8_t ids[3][16];
  std::memset(ids, 0xEE, sizeof ids);
  size_t count = 2;
  ASSERT_TRUE(DevmgrGetOnlineDevices(ids, &count));
  EXPECT_EQ(2u, count);
  EXPECT_EQ(0, std::memcmp(ids[0], online[0].id, 16));
  EXPECT_EQ(0, std::memcmp(ids[1], online[1].id, 16));
  EXPECT_EQ(std::vector<uint8_t>(16, 0xEE), std::vector<uint8_t>(ids[2], ids[2] + 16));

  host_->removeDevice(idOf(0x42));
  ASSERT_TRUE(host_->waitOnline(idOf(0x42), false));
  count = 3;
  ASSERT_TRUE(DevmgrGetOnlineDevices(ids, &count));
  EXPECT_EQ(2u, count);

  // A device that has gone is not connected.
  const HwId gone = idOf(0x42);
  EXPECT_EQ(nullptr, DevmgrConnect(gone.id, 16));
}

}  // namespace
