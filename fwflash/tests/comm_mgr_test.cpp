#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "UpdaterFakes.h"
#include "fwflash/CommMgr.h"

using namespace fwflash;
using namespace fwflash::testing;

namespace {

const std::vector<uint8_t> kHwId{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const std::vector<uint8_t> kPackage{'p', 'k', 'g', 0, 1, 2, 3, 0xFF};

class CommMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fwflash-commmgr-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    dir = pattern;
  }
  void TearDown() override {
    worker.reset();
    std::filesystem::remove_all(dir);
  }
  void start(int watchMs = 5000) {
    CommMgrOptions options;
    options.tempDir = dir;
    options.pollMs = 100;
    options.upgradeWatchMs = watchMs;
    options.upgradeWatchStepMs = 20;
    worker = std::make_unique<CommMgr>(device, files, log, options);
    worker->setHwId(kHwId);
    worker->start();
  }
  // Waits for the connection and its five texts.
  size_t connected(size_t from = 0) {
    const int at = log.waitFor(kEventConnected, from);
    EXPECT_GE(at, 0);
    EXPECT_GE(log.waitFor(kEventName, size_t(at)), 0);
    return size_t(at);
  }
  void download() { worker->pushCommand({kCommandUpgrade, "root", "fw.xpk", kPackage}); }
  UpdaterEvent operationEnd(size_t from = 0) {
    const int at = log.waitFor(kEventOperationEnd, from);
    EXPECT_GE(at, 0);
    return at >= 0 ? log.events()[size_t(at)] : UpdaterEvent{};
  }
  std::string tempPath() const { return dir + "/00112233445566778899aabbccddeeff.xpk"; }

  std::string dir;
  FakeDevice device;
  FakeFileServer files;
  EventLog log;
  std::unique_ptr<CommMgr> worker;
};

}  // namespace

TEST_F(CommMgrTest, ConnectsAndReportsTheDeviceTextsInOrder) {
  std::string full(256, 'n');  // no terminator from the device
  device.set([&](FakeDevice& d) {
    d.texts[DeviceText::kVersionString] = "2.0 \xC3\xA9t\xC3\xA9";  // UTF-8
    d.texts[DeviceText::kFriendlyName] = full;
    d.texts[DeviceText::kTarget] = std::string("tg\0junk", 7);
    d.texts[DeviceText::kSubTarget] = "bad \xE2\x82 \xFF";
  });
  start();
  const size_t at = connected();
  std::vector<UpdaterEvent> e = log.events();
  ASSERT_GE(e.size(), at + 6);
  const int codes[] = {kEventConnected, kEventTarget,  kEventSubTarget,
                       kEventVersion,   kEventVerbose, kEventName};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(codes[i], e[at + i].code) << i;
  EXPECT_EQ(u"tg", e[at + 1].text);
  EXPECT_EQ(u"bad \uFFFD \uFFFD", e[at + 2].text);
  EXPECT_EQ(u"2.0 \u00E9t\u00E9", e[at + 3].text);
  EXPECT_EQ(u"emulated", e[at + 4].text);
  EXPECT_EQ(u16(full), e[at + 5].text);
  EXPECT_EQ(kHwId,
            device.get<std::vector<uint8_t>>([](const FakeDevice& d) { return d.lastHwid; }));
}

TEST_F(CommMgrTest, FailingQueriesDecideWhetherItConnects) {
  // Verbose alone may fail: connected, empty description.
  device.set([](FakeDevice& d) { d.failing = {DeviceText::kVerbose}; });
  start();
  const size_t at = connected();
  EXPECT_EQ(u"", log.events()[at + 4].text);
  worker.reset();

  // Any other failing query: no event, and the connection is tried again.
  EventLog quiet;
  FakeDevice other;
  other.set([](FakeDevice& d) { d.failing = {DeviceText::kSubTarget}; });
  CommMgrOptions options;
  options.tempDir = dir;
  options.pollMs = 50;
  CommMgr retrying(other, files, quiet, options);
  retrying.setHwId(kHwId);
  retrying.start();
  for (int i = 0; i < 500 && other.get<int>([](const FakeDevice& d) { return d.connects; }) < 3;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GE(other.get<int>([](const FakeDevice& d) { return d.connects; }), 3);
  EXPECT_EQ(0u, quiet.size());
  other.set([](FakeDevice& d) { d.failing.clear(); });
  EXPECT_GE(quiet.waitFor(kEventConnected), 0);
  retrying.pushCommand({kCommandQuit, {}, {}, {}});
  retrying.join();
  EXPECT_TRUE(other.get<bool>([](const FakeDevice& d) { return d.open.empty(); }));
}

TEST_F(CommMgrTest, PollsTheNameAndNoticesUnplugAndReplug) {
  start();
  size_t at = connected();
  device.set([](FakeDevice& d) { d.texts[DeviceText::kFriendlyName] = "renamed"; });
  bool renamed = false;
  for (int i = 0; i < 100 && !renamed; ++i) {
    const int n = log.waitFor(kEventName, at + 1);
    ASSERT_GE(n, 0);
    renamed = log.events()[size_t(n)].text == u"renamed";
    at = size_t(n);
  }
  EXPECT_TRUE(renamed);

  device.set([](FakeDevice& d) { d.online = false; });
  const int gone = log.waitFor(kEventDisconnected, at);
  ASSERT_GE(gone, 0);
  device.set([](FakeDevice& d) { d.online = true; });
  connected(size_t(gone));
}

TEST_F(CommMgrTest, DownloadUploadsThePackageAndRequestsTheUpgrade) {
  start();
  connected();
  download();
  const UpdaterEvent end = operationEnd();
  EXPECT_EQ(1, end.ok);
  EXPECT_EQ(u"", end.text);
  EXPECT_GE(log.waitFor(kEventDisconnected), 0);

  const auto calls = files.calls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ("unlink", calls[0].kind);
  EXPECT_EQ("root", calls[0].volume);
  EXPECT_EQ("fw.xpk", calls[0].remote);
  EXPECT_EQ("download", calls[1].kind);
  EXPECT_GT(calls[1].cleanupsBefore, calls[0].cleanupsBefore)
      << "the delete's transfer is freed first";
  EXPECT_EQ(tempPath(), calls[1].localPath);
  EXPECT_EQ(kPackage, calls[1].localBytes);
  EXPECT_EQ("fw.xpk", calls[1].remote);
  EXPECT_FALSE(std::filesystem::exists(tempPath()));
  const auto upgrades = device.get<std::vector<std::pair<std::string, std::string>>>(
      [](const FakeDevice& d) { return d.upgrades; });
  ASSERT_EQ(1u, upgrades.size());
  EXPECT_EQ(std::make_pair(std::string("root"), std::string("fw.xpk")), upgrades[0]);

  std::vector<float> progress;
  for (const auto& e : log.events())
    if (e.code == kEventProgress) progress.push_back(e.progress);
  EXPECT_EQ((std::vector<float>{0.0f, 0.5f, 1.0f}), progress);
  // The worker let go of the connection and comes back for the device.
  EXPECT_GE(log.waitFor(kEventConnected, size_t(log.waitFor(kEventDisconnected))), 0);
}

TEST_F(CommMgrTest, TransferFailuresEndWithTheirTextAndKeepTheConnection) {
  const struct {
    int32_t result;
    std::string text;
  } cases[] = {{-28, "No space left on device (ENOSPC)"},
               {-99, "Aborted file transfer with code -99"},
               {-138, "Aborted file transfer with code -138"},
               {-108, "connection reset by remote party (ECONNRESET)"}};
  start();
  size_t from = connected();
  for (const auto& c : cases) {
    files.downloadResult = c.result;
    download();
    const UpdaterEvent end = operationEnd(from);
    EXPECT_EQ(0, end.ok) << c.result;
    EXPECT_EQ(u16(c.text), end.text) << c.result;
    from = log.size();
    EXPECT_TRUE(std::filesystem::exists(tempPath())) << "kept after a failed transfer";
  }
  for (const auto& e : log.events()) EXPECT_NE(kEventDisconnected, e.code);
  EXPECT_TRUE(device.get<bool>([](const FakeDevice& d) { return d.upgrades.empty(); }));
}

TEST_F(CommMgrTest, TransferThatCannotStartEnds) {
  files.startFails = true;
  start();
  connected();
  download();
  EXPECT_EQ(u"connection refused (ECONNREFUSED)", operationEnd().text);
}

TEST_F(CommMgrTest, RefusedUpgradeIsAFailureUnlessTheDeviceLeaves) {
  device.set([](FakeDevice& d) { d.upgradeAnswer = false; });
  start(300);
  connected();
  download();
  UpdaterEvent end = operationEnd();
  EXPECT_EQ(0, end.ok);
  EXPECT_EQ(u"Firmware upgrade request failed", end.text);
  EXPECT_TRUE(std::filesystem::exists(tempPath()));
  for (const auto& e : log.events()) EXPECT_NE(kEventDisconnected, e.code);

  // A device that reboots into its upgrade without answering.
  device.set([](FakeDevice& d) { d.leaveOnUpgrade = true; });
  const size_t from = log.size();
  download();
  end = operationEnd(from);
  EXPECT_EQ(1, end.ok);
  EXPECT_EQ(u"", end.text);
  EXPECT_GE(log.waitFor(kEventDisconnected, from), 0);  // posted after the file is gone
  EXPECT_FALSE(std::filesystem::exists(tempPath()));
}

TEST_F(CommMgrTest, AnUnansweredUpgradeIsAFailureWhileTheDeviceStays) {
  device.set([](FakeDevice& d) {
    d.upgradeAnswer = false;
    d.silentOnUpgrade = true;
  });
  start(300);
  connected();
  download();
  const UpdaterEvent end = operationEnd();
  EXPECT_EQ(0, end.ok);
  EXPECT_EQ(u"Firmware upgrade request failed", end.text);
  EXPECT_TRUE(std::filesystem::exists(tempPath()));
}

TEST_F(CommMgrTest, UpgradeWithoutAConnectionEndsWithAFailure) {
  device.set([](FakeDevice& d) { d.online = false; });
  start();
  download();
  const UpdaterEvent end = operationEnd();
  EXPECT_EQ(0, end.ok);
  EXPECT_EQ(u"connection refused (ECONNREFUSED)", end.text);
  EXPECT_TRUE(files.calls().empty());
}

TEST_F(CommMgrTest, ResetDisconnectsOnePassLaterAndADownloadThenStillEnds) {
  start();
  connected();
  worker->pushCommand({kCommandReset, {}, {}, {}});
  download();  // taken in the pass after the reset, which drops it
  const int gone = log.waitFor(kEventDisconnected);
  ASSERT_GE(gone, 0);
  const UpdaterEvent end = operationEnd(size_t(gone));
  EXPECT_EQ(0, end.ok);
  EXPECT_EQ(u"connection refused (ECONNREFUSED)", end.text);
  EXPECT_EQ(1, device.get<int>([](const FakeDevice& d) { return d.resets; }));
  EXPECT_TRUE(files.calls().empty());

  device.set([](FakeDevice& d) { d.online = true; });
  connected(size_t(gone));
}

TEST_F(CommMgrTest, TemporaryFileIsPrivateAndNeverFollowsALink) {
  // An empty package cannot be written either.
  start();
  connected();
  worker->pushCommand({kCommandUpgrade, "root", "fw.xpk", {}});
  EXPECT_EQ(u"Error on writing to local filesystem", operationEnd().text);

  const std::string victim = dir + "/victim";
  { std::ofstream(victim) << "keep me"; }
  ASSERT_EQ(0, ::symlink(victim.c_str(), tempPath().c_str()));
  size_t from = log.size();
  download();
  EXPECT_EQ(u"Error on writing to local filesystem", operationEnd(from).text);
  std::ifstream in(victim);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ("keep me", content);

  // A stale regular file is replaced, owner-only.
  std::filesystem::remove(tempPath());
  { std::ofstream(tempPath()) << "an older, longer package file"; }
  ::chmod(tempPath().c_str(), 0644);
  files.downloadResult = -99;
  from = log.size();
  download();
  operationEnd(from);
  const auto calls = files.calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(kPackage, calls.back().localBytes);
  struct stat st {};
  ASSERT_EQ(0, ::stat(tempPath().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST(CommMgrEvents, ProgressRecordsAreCheckedAndClamped) {
  FakeDevice device;
  FakeFileServer files;
  EventLog log;
  CommMgr worker(device, files, log, {});
  auto feed = [&](std::vector<int32_t> record, size_t bytes) {
    CommMgr::onFileServerEvent(&worker, 3, record.data(), bytes);
  };
  feed({5, 0}, 8);    // no total: nothing
  feed({5, 10}, 4);   // too short: nothing
  feed({15, 10}, 8);  // over: 1
  feed({-3, 10}, 8);  // under: 0
  feed({3, 4}, 8);
  CommMgr::onFileServerEvent(&worker, 3, nullptr, 8);
  CommMgr::onFileServerEvent(&worker, 0, nullptr, 0);
  CommMgr::onFileServerEvent(&worker, 4, nullptr, 0);
  std::vector<float> seen;
  for (const auto& e : log.events()) {
    EXPECT_EQ(kEventProgress, e.code);
    EXPECT_EQ(1, e.ok);
    seen.push_back(e.progress);
  }
  EXPECT_EQ((std::vector<float>{1.0f, 0.0f, 0.75f}), seen);
}

TEST(CommMgrEvents, QueueIsFirstInFirstOut) {
  FakeDevice device;
  FakeFileServer files;
  EventLog log;
  CommMgr worker(device, files, log, {});
  UpdaterCommand c;
  EXPECT_FALSE(worker.waitCommand(&c, 10));
  worker.pushCommand({kCommandReset, "a", {}, {}});
  worker.pushCommand({kCommandUpgrade, "b", {}, {}});
  ASSERT_TRUE(worker.waitCommand(&c, 10));
  EXPECT_EQ("a", c.name1);
  ASSERT_TRUE(worker.waitCommand(&c, 10));
  EXPECT_EQ("b", c.name1);
}

TEST(Utf8, MaximalIllFormedSubsequencesBecomeOneReplacementEach) {
  const struct {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"plain", u"plain"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"a\xE2\x82", u"a\uFFFD"},  // cut three-byte form
      {"\xE2\x82z", u"\uFFFDz"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong lead
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\x80\xBF", u"\uFFFD\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, decodeUtf8(c.in)) << c.in;
}
