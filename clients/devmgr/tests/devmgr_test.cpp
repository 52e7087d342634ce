// devmgr against a stand-in server that runs the devsim core service right on
// each channel's pipe: the request table, the size rules, the broken-handle
// rules and the lifetime of a handle under concurrent use.
#include "devmgr/devmgr.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "QueryTable.h"
#include "devsim/CoreService.h"
#include "plat/runtime.h"
#include "testsupport/FakeHub.h"

using translayer::HwId;

namespace {

using devmgr_test::FakeHub;
using devmgr_test::kQueries;
using devmgr_test::QueryCase;
using devsim::CoreReplyFault;
using devsim::CoreState;
using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;

HwId idOf(uint8_t first) {
  HwId id;
  for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(first + i);
  return id;
}

std::vector<uint8_t> bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

long msSince(Clock::time_point start) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class DevmgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = plat::makeTempDir("devmgr-");
    ASSERT_FALSE(runtime_.empty());
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", runtime_);
    storage_ = runtime_ + "/storage";
    std::filesystem::create_directories(storage_);
    std::ofstream(storage_ + "/fw.xpk") << "package";
    devsim::CoreConfig config;
    config.storage["root"] = storage_;
    core_ = std::make_shared<CoreState>(config);
    hub_ = std::make_unique<FakeHub>();
    ASSERT_TRUE(hub_->started());
    hub_->addDevice(id_, devsim::CoreService::factory(core_));
  }
  void TearDown() override {
    hub_.reset();
    std::error_code ec;
    std::filesystem::remove_all(runtime_, ec);
  }

  DevmgrHandle connect() { return DevmgrConnect(id_.id, sizeof id_.id); }

  // Waits until the device has received `count` requests.
  bool waitRequests(size_t count) {
    for (int i = 0; i < 2000; ++i) {
      if (core_->requests().size() >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string runtime_;
  std::string storage_;
  HwId id_ = idOf(0x40);
  std::shared_ptr<CoreState> core_;
  std::unique_ptr<FakeHub> hub_;
};

// ------------------------------------------------------------------ connect

TEST_F(DevmgrTest, ConnectNeedsSixteenBytesAndAnOpenPipe) {
  EXPECT_EQ(nullptr, DevmgrConnect(id_.id, 15));
  EXPECT_EQ(nullptr, DevmgrConnect(id_.id, 17));
  EXPECT_EQ(0u, hub_->channelsOpened()) << "a bad size makes no call";

  const HwId unknown = idOf(0x90);
  EXPECT_EQ(nullptr, DevmgrConnect(unknown.id, 16));

  hub_->setOpenResult(3);
  EXPECT_EQ(nullptr, connect());
  hub_->setOpenResult(0);

  // The server names a pipe, but nobody listens on it: no handle.
  hub_->setNameWithoutPipe(true);
  EXPECT_EQ(nullptr, connect());
  EXPECT_EQ(1u, hub_->channelsOpened());
  hub_->setNameWithoutPipe(false);

  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  uint8_t version[4];
  EXPECT_TRUE(DevmgrGetFwVersion(handle, version));
  DevmgrDisconnect(handle);
  EXPECT_TRUE(hub_->waitChannelsEnded(1));
}

TEST_F(DevmgrTest, WithoutAServerNothingConnects) {
  hub_.reset();
  EXPECT_EQ(nullptr, connect());
  uint8_t ids[4][16];
  size_t count = 4;
  EXPECT_FALSE(DevmgrGetOnlineDevices(ids, &count));
  uint8_t hwid[16] = {};
  EXPECT_FALSE(DevmgrAskUserDeviceSelection(hwid, 16));
}

// ------------------------------------------------------------------ queries

// Every query with values of its size, one shorter and one longer: only the
// sizes its rule allows are copied, and a refused size leaves the handle
// usable.
TEST_F(DevmgrTest, EveryQueryCopiesOnlyTheSizesItsRuleAllows) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  for (const QueryCase& q : kQueries) {
    for (size_t length : {q.size - 1, q.size, q.size + 1}) {
      std::vector<uint8_t> value(length);
      for (size_t i = 0; i < length; ++i) value[i] = uint8_t(q.request + i * 7 + 1);
      CoreReplyFault fault;
      fault.data = value;
      core_->setFault(q.request, fault);

      std::vector<uint8_t> buffer(q.size + 8, 0xEE);
      const bool expected = q.exact ? length == q.size : length <= q.size;
      EXPECT_EQ(expected, q.query(handle, buffer.data())) << q.name << " with " << length;
      if (expected) {
        EXPECT_TRUE(std::equal(value.begin(), value.end(), buffer.begin())) << q.name;
        EXPECT_EQ(0xEE, buffer[length]) << q.name << ": nothing past the value is written";
      } else {
        EXPECT_EQ(std::vector<uint8_t>(q.size + 8, 0xEE), buffer) << q.name << ": nothing copied";
      }
    }
    core_->clearFaults();
  }
  // Still usable after all the refusals.
  uint8_t serial[4];
  EXPECT_TRUE(DevmgrGetDeviceSerial(handle, serial));
  EXPECT_EQ(3 * std::size(kQueries) + 1, core_->requests().size());
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrTest, AWrongReplyCodeFailsButKeepsTheHandle) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  CoreReplyFault fault;
  fault.code = 7;  // the reply to another request
  core_->setFault(4, fault);
  uint8_t version[4];
  EXPECT_FALSE(DevmgrGetFwVersion(handle, version));
  core_->clearFaults();
  EXPECT_TRUE(DevmgrGetFwVersion(handle, version));
  EXPECT_THAT(version, ElementsAre(0x01, 0x08, 0x00, 0x00));
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrTest, ASilentDeviceBreaksTheHandleForGood) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  CoreReplyFault silent;
  silent.silent = true;
  core_->setFault(4, silent);
  uint8_t version[4];
  const auto start = Clock::now();
  EXPECT_FALSE(DevmgrGetFwVersion(handle, version));
  EXPECT_GE(msSince(start), 900) << "the reply is awaited for its full second";
  core_->clearFaults();

  const size_t seen = core_->requests().size();
  uint8_t name[256];
  EXPECT_FALSE(DevmgrGetFriendlyName(handle, name));
  EXPECT_FALSE(DevmgrSetFriendlyName(handle, "x"));
  EXPECT_FALSE(DevmgrImmediateReset(handle));
  EXPECT_EQ(seen, core_->requests().size()) << "a broken handle sends nothing";
  DevmgrDisconnect(handle);

  handle = connect();
  ASSERT_NE(nullptr, handle) << "a new connection works";
  EXPECT_TRUE(DevmgrGetFriendlyName(handle, name));
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrTest, AReplyAfterTheTimeOutIsRefusedAndEndsThePipe) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  CoreReplyFault late;
  std::promise<void> release;
  late.heldUntil = release.get_future().share();  // sent once the client has given up
  core_->setFault(98, late);
  uint8_t serial[4] = {};
  EXPECT_FALSE(DevmgrGetDeviceSerial(handle, serial));
  release.set_value();
  // The late reply reaches a handle that asked for nothing: the client ends
  // the channel, and the reply is never taken.
  EXPECT_TRUE(hub_->waitChannelsEnded(1));
  EXPECT_THAT(serial, ElementsAre(0, 0, 0, 0));
  EXPECT_FALSE(DevmgrGetDeviceSerial(handle, serial));
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrTest, AnUnaskedSecondReplyBreaksTheHandle) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  CoreReplyFault twice;
  twice.extraReplies = 1;
  core_->setFault(26, twice);
  uint8_t name[256] = {};
  EXPECT_TRUE(DevmgrGetFriendlyName(handle, name));
  EXPECT_STREQ("devsim", reinterpret_cast<char*>(name));
  EXPECT_TRUE(hub_->waitChannelsEnded(1));
  EXPECT_FALSE(DevmgrGetFriendlyName(handle, name));
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrTest, AReplyPastTheBufferBreaksTheHandle) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  CoreReplyFault huge;
  huge.data = std::vector<uint8_t>(16384, 'x');  // with its code, one byte too many
  core_->setFault(30, huge);
  uint8_t text[256];
  EXPECT_FALSE(DevmgrGetFwVerbose(handle, text));
  EXPECT_TRUE(hub_->waitChannelsEnded(1));
  core_->clearFaults();
  EXPECT_FALSE(DevmgrGetFwVerbose(handle, text));
  DevmgrDisconnect(handle);

  // The longest reply that fits is taken (and refused only by its size rule).
  handle = connect();
  ASSERT_NE(nullptr, handle);
  huge.data = std::vector<uint8_t>(16383, 'x');
  core_->setFault(30, huge);
  EXPECT_FALSE(DevmgrGetFwVerbose(handle, text));
  core_->clearFaults();
  EXPECT_TRUE(DevmgrGetFwVerbose(handle, text));
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrTest, ALostChannelWakesAWaitingRequestAtOnce) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  CoreReplyFault silent;
  silent.silent = true;
  core_->setFault(24, silent);
  std::atomic<long> removedAt{-1};
  const auto start = Clock::now();
  std::thread remover([&] {
    if (waitRequests(1)) {
      removedAt = msSince(start);
      hub_->removeDevice(id_);
    }
  });
  EXPECT_FALSE(DevmgrSetFriendlyName(handle, "never"));  // waits up to 2000 ms
  const long returnedAt = msSince(start);
  remover.join();
  ASSERT_GE(removedAt.load(), 0);
  ASSERT_LE(removedAt.load(), returnedAt) << "the request ended before the device went";
  // The time-out never ends a request before its 2 s: one that returns
  // sooner was woken by the close.
  EXPECT_LT(returnedAt, 2000) << "woken by the 2 s time-out, not by the close";
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrTest, DisconnectWhileARequestRunsWaitsForIt) {
  for (int round = 0; round < 3; ++round) {
    DevmgrHandle handle = connect();
    ASSERT_NE(nullptr, handle);
    CoreReplyFault silent;
    silent.silent = true;
    core_->setFault(20, silent);
    core_->clearRecords();
    std::atomic<bool> result{true};
    std::thread requester([&] {
      uint8_t text[256];
      result = DevmgrGetFwVersionString(handle, text);
    });
    ASSERT_TRUE(waitRequests(1));
    DevmgrDisconnect(handle);
    requester.join();
    EXPECT_FALSE(result.load());
  }
  EXPECT_TRUE(hub_->waitChannelsEnded(3));
}

TEST_F(DevmgrTest, ConcurrentRequestsOnOneHandleAreSerialised) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        uint8_t buffer[256] = {};
        const bool ok =
            (t % 2) ? DevmgrGetFwTarget(handle, buffer) : DevmgrGetFwVersion(handle, buffer);
        if (!ok) ++failures;
        if ((t % 2) && std::string(reinterpret_cast<char*>(buffer)) != "sim-target") ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  DevmgrDisconnect(handle);
}

// ------------------------------------------------------------------ commands

TEST_F(DevmgrTest, FriendlyNameGoesOutWithoutTerminatorAndAtMost256Bytes) {
  auto config = core_->config();
  config.maxFriendlyName = 256;
  core_->configure(config);
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);

  EXPECT_TRUE(DevmgrSetFriendlyName(handle, "a b"));
  EXPECT_EQ("a b", core_->friendlyName());
  EXPECT_TRUE(DevmgrSetFriendlyName(handle, std::string(256, 'n').c_str()));
  EXPECT_EQ(std::string(256, 'n'), core_->friendlyName());
  EXPECT_TRUE(DevmgrSetFriendlyName(handle, std::string(300, 'm').c_str()));
  EXPECT_EQ(std::string(256, 'm'), core_->friendlyName());
  EXPECT_TRUE(DevmgrSetFriendlyName(handle, nullptr));
  EXPECT_EQ("", core_->friendlyName());

  auto records = core_->requests();
  ASSERT_EQ(4u, records.size());
  EXPECT_EQ(bytes("a b"), records[0].body);
  EXPECT_EQ(256u, records[2].body.size());
  EXPECT_TRUE(records[3].body.empty());

  config.maxFriendlyName = 4;
  core_->configure(config);
  EXPECT_FALSE(DevmgrSetFriendlyName(handle, "too long")) << "the device refuses";
  EXPECT_TRUE(DevmgrSetFriendlyName(handle, "ok")) << "and the handle stays usable";
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrTest, UpgradeRequestNamesVolumeAndFile) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  EXPECT_TRUE(DevmgrRequestCoreFirmwareUpgrade(handle, "root", "fw.xpk"));
  EXPECT_FALSE(DevmgrRequestCoreFirmwareUpgrade(handle, "root", "missing.xpk"));
  EXPECT_FALSE(DevmgrRequestCoreFirmwareUpgrade(handle, "root", std::string(300, 'f').c_str()));
  auto records = core_->requests();
  ASSERT_EQ(3u, records.size());
  std::vector<uint8_t> first = bytes("root");
  first.push_back(0);
  for (char c : std::string("fw.xpk")) first.push_back(uint8_t(c));
  first.push_back(0);
  EXPECT_EQ(first, records[0].body);
  EXPECT_EQ(4u + 1 + 256 + 1, records[2].body.size()) << "each text is cut at 256";

  CoreReplyFault two;
  two.data = std::vector<uint8_t>{1, 1};
  core_->setFault(14, two);
  EXPECT_FALSE(DevmgrRequestCoreFirmwareUpgrade(handle, "root", "fw.xpk")) << "exactly one byte";
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrTest, IdentificationDurationIsClampedToSixteenBits) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  EXPECT_TRUE(DevmgrVisualIdentification(handle, 2000));
  EXPECT_TRUE(DevmgrVisualIdentification(handle, 65535));
  EXPECT_TRUE(DevmgrVisualIdentification(handle, 70000));
  EXPECT_TRUE(DevmgrVisualIdentification(handle, -1));
  EXPECT_THAT(core_->identifications(), ElementsAre(2000, 65535, 65535, 0));
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrTest, ProtocolListIsStoredWithItsCount) {
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  ProtocolList list;
  std::memset(&list, 0xEE, sizeof list);
  EXPECT_TRUE(DevmgrGetProtocolList(handle, &list));
  EXPECT_EQ(5u, list.count);
  EXPECT_THAT(std::vector<uint8_t>(list.protocols, list.protocols + 5), ElementsAre(1, 2, 3, 4, 5));

  CoreReplyFault many;
  many.data = std::vector<uint8_t>(256, 9);
  core_->setFault(2, many);
  EXPECT_TRUE(DevmgrGetProtocolList(handle, &list));
  EXPECT_EQ(256u, list.count);
  many.data = std::vector<uint8_t>(257, 9);
  core_->setFault(2, many);
  list.count = 77;
  EXPECT_FALSE(DevmgrGetProtocolList(handle, &list));
  EXPECT_EQ(77u, list.count);
  DevmgrDisconnect(handle);
}

TEST_F(DevmgrTest, ResetSendsItsRequestAndExpectsNoReply) {
  int hookCalls = 0;
  core_->setResetHook([&] { ++hookCalls; });
  DevmgrHandle handle = connect();
  ASSERT_NE(nullptr, handle);
  EXPECT_TRUE(DevmgrImmediateReset(handle));
  DevmgrDisconnect(handle);
  EXPECT_TRUE(hub_->waitChannelsEnded(1));
  EXPECT_EQ(1u, core_->resets());
  EXPECT_EQ(1, hookCalls);
}

// ------------------------------------------------------------------ lists

TEST_F(DevmgrTest, OnlineDevicesFillAtMostTheGivenRoom) {
  hub_->addDevice(idOf(0x50), devsim::CoreService::factory(core_));
  hub_->addDevice(idOf(0x60), devsim::CoreService::factory(core_));
  uint8_t ids[3][16];
  std::memset(ids, 0xEE, sizeof ids);
  size_t count = 2;
  ASSERT_TRUE(DevmgrGetOnlineDevices(ids, &count));
  EXPECT_EQ(2u, count);
  EXPECT_EQ(0, std::memcmp(ids[0], id_.id, 16));
  EXPECT_EQ(0, std::memcmp(ids[1], idOf(0x50).id, 16));
  EXPECT_EQ(0xEE, ids[2][0]);

  count = 3;
  ASSERT_TRUE(DevmgrGetOnlineDevices(ids, &count));
  EXPECT_EQ(3u, count);
  EXPECT_EQ(0, std::memcmp(ids[2], idOf(0x60).id, 16));

  count = 0;
  ASSERT_TRUE(DevmgrGetOnlineDevices(nullptr, &count));
  EXPECT_EQ(0u, count);
}

TEST_F(DevmgrTest, UserSelectionReturnsTheChosenDevice) {
  uint8_t hwid[16] = {};
  EXPECT_FALSE(DevmgrAskUserDeviceSelection(hwid, 16)) << "cancelled";
  EXPECT_EQ(std::vector<uint8_t>(16, 0), std::vector<uint8_t>(hwid, hwid + 16));
  hub_->setChooser(0, idOf(0x70));
  EXPECT_TRUE(DevmgrAskUserDeviceSelection(hwid, 16));
  EXPECT_EQ(0, std::memcmp(hwid, idOf(0x70).id, 16));
}

// No fixture: the re-run child dies inside the test, so nothing it made in
// SetUp would ever be removed.
TEST(DevmgrDeathTest, MisuseStopsOnItsAssertion) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  uint8_t buffer[16];
  EXPECT_DEATH(DevmgrGetFwVersion(nullptr, buffer), "Assertion failed: handle, file devmgr");
  EXPECT_DEATH(DevmgrAskUserDeviceSelection(buffer, 15),
               "Assertion failed: sizeof\\(inhwid.id\\) == _hwidsz");
}

}  // namespace
