// The core management service on a recording channel: every query of the
// identity table, the name, identification, reset, the upgrade check against
// the storage directories, and the fault knobs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>

#include "devsim/CoreService.h"
#include "plat/runtime.h"

namespace devsim {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// Keeps every message the service sends; safe from the timer thread.
class RecordingChannel : public ServiceChannel {
 public:
  uint8_t channel() const override { return 1; }
  uint8_t protocolId() const override { return 1; }
  bool send(const uint8_t* data, size_t length, bool last) override {
    std::lock_guard<std::mutex> lock(mutex_);
    partial_.insert(partial_.end(), data, data + length);
    if (last) {
      sent_.push_back(partial_);
      partial_.clear();
      cv_.notify_all();
    }
    return true;
  }
  void close() override { closed_ = true; }
  bool isOpen() const override { return !closed_; }

  std::vector<std::vector<uint8_t>> sent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }
  // Waits (generously) until `count` messages were sent.
  bool waitFor(size_t count, int ms = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return sent_.size() >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<uint8_t> partial_;
  std::vector<std::vector<uint8_t>> sent_;
  bool closed_ = false;
};

std::vector<uint8_t> bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<uint8_t> withCode(uint8_t code, std::vector<uint8_t> data) {
  data.insert(data.begin(), code);
  return data;
}

class CoreServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_.identity.fwVersion = {0x00, 0x00, 0x01, 0x02};
    config_.identity.fwPlatform = "platform-x";
    config_.identity.fwSignature = std::vector<uint8_t>(16, 0xAB);
    config_.identity.fwTarget = "target-x";
    config_.identity.fwSubTarget = "sub-x";
    config_.identity.fwVersionString = "9.9.9";
    config_.identity.fwVerbose = "verbose-x";
    config_.identity.recVersion = {1, 2, 3, 4};
    config_.identity.appUuid = std::vector<uint8_t>(16, 0x5A);
    config_.identity.appName = "app-x";
    config_.identity.appVersion = "app-1";
    config_.identity.appParSignature = std::vector<uint8_t>(16, 0x01);
    config_.identity.appDefParSignature = std::vector<uint8_t>(16, 0x02);
    config_.identity.deviceName = "device-x";
    config_.identity.deviceSerial = {0x78, 0x56, 0x34, 0x12};
    config_.friendlyName = "bench unit";
    config_.protocols = {1, 3, 127};
    storage_ = plat::makeTempDir("coresvc-");
    ASSERT_FALSE(storage_.empty());
    std::filesystem::create_directory(storage_ / "root");
    std::ofstream(storage_ / "root" / "fw.xpk") << "package";
    std::filesystem::create_directory(storage_ / "root" / "dir.xpk");
    std::ofstream(storage_ / "outside.xpk") << "package";
    config_.storage["root"] = storage_ / "root";
    state_ = std::make_shared<CoreState>(config_);
    channel_ = std::make_shared<RecordingChannel>();
    service_ = std::make_unique<CoreService>(channel_, state_);
  }
  void TearDown() override {
    service_.reset();
    std::error_code ec;
    std::filesystem::remove_all(storage_, ec);
  }

  // Sends one request and returns what came back at once (nothing: empty).
  std::vector<uint8_t> ask(const std::vector<uint8_t>& request) {
    const size_t before = channel_->sent().size();
    service_->onData(request.data(), request.size(), true);
    auto sent = channel_->sent();
    if (sent.size() == before) return {};
    EXPECT_EQ(before + 1, sent.size());
    return sent.back();
  }

  CoreConfig config_;
  std::filesystem::path storage_;
  std::shared_ptr<CoreState> state_;
  std::shared_ptr<RecordingChannel> channel_;
  std::unique_ptr<CoreService> service_;
};

TEST_F(CoreServiceTest, EveryIdentityQueryAnswersWithItsValue) {
  const CoreIdentity& id = config_.identity;
  const struct {
    uint8_t code;
    std::vector<uint8_t> value;
  } cases[] = {
      {4, id.fwVersion},
      {6, bytes(id.fwPlatform)},
      {8, id.fwSignature},
      {16, bytes(id.fwTarget)},
      {18, bytes(id.fwSubTarget)},
      {20, bytes(id.fwVersionString)},
      {26, bytes("bench unit")},
      {30, bytes(id.fwVerbose)},
      {48, id.recVersion},
      {64, id.appUuid},
      {66, bytes(id.appName)},
      {68, bytes(id.appVersion)},
      {70, id.appParSignature},
      {72, id.appDefParSignature},
      {96, bytes(id.deviceName)},
      {98, id.deviceSerial},
      {2, {1, 3, 127}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(withCode(uint8_t(c.code + 1), c.value), ask({c.code})) << "request " << int(c.code);
}

TEST_F(CoreServiceTest, RequestsAreJoinedFromTheirFragments) {
  const uint8_t part1[] = {24, 'a', 'b'};
  const uint8_t part2[] = {'c'};
  service_->onData(part1, sizeof part1, false);
  EXPECT_TRUE(channel_->sent().empty());
  service_->onData(part2, sizeof part2, true);
  EXPECT_THAT(channel_->sent(), ElementsAre(ElementsAre(25, 1)));
  EXPECT_EQ("abc", state_->friendlyName());
}

TEST_F(CoreServiceTest, FriendlyNameIsTakenUpToTheDeviceLimit) {
  EXPECT_EQ(withCode(25, {1}), ask(withCode(24, bytes("a b"))));
  EXPECT_EQ(withCode(27, bytes("a b")), ask({26}));
  EXPECT_EQ(withCode(25, {1}), ask(withCode(24, bytes(std::string(32, 'n')))));
  EXPECT_EQ(std::string(32, 'n'), state_->friendlyName());
  EXPECT_EQ(withCode(25, {0}), ask(withCode(24, bytes(std::string(33, 'm')))));
  EXPECT_EQ(std::string(32, 'n'), state_->friendlyName()) << "a refused name changes nothing";
  EXPECT_EQ(withCode(25, {1}), ask({24}));
  EXPECT_EQ("", state_->friendlyName());
}

TEST_F(CoreServiceTest, TheNameIsSharedByEveryChannelOfTheDevice) {
  auto otherChannel = std::make_shared<RecordingChannel>();
  CoreService other(otherChannel, state_);
  ask(withCode(24, bytes("renamed")));
  const uint8_t query[] = {26};
  other.onData(query, 1, true);
  EXPECT_THAT(otherChannel->sent(), ElementsAre(withCode(27, bytes("renamed"))));
}

TEST_F(CoreServiceTest, UpgradeSucceedsOnlyForAFileInTheNamedVolume) {
  auto upgrade = [](const std::string& volume, const std::string& file) {
    std::vector<uint8_t> r{14};
    r.insert(r.end(), volume.begin(), volume.end());
    r.push_back(0);
    r.insert(r.end(), file.begin(), file.end());
    r.push_back(0);
    return r;
  };
  const struct {
    const char* what;
    std::vector<uint8_t> request;
    uint8_t result;
  } cases[] = {
      {"stored file", upgrade("root", "fw.xpk"), 1},
      {"missing file", upgrade("root", "none.xpk"), 0},
      {"unknown volume", upgrade("data", "fw.xpk"), 0},
      {"volume names are exact", upgrade("ROOT", "fw.xpk"), 0},
      {"a directory", upgrade("root", "dir.xpk"), 0},
      {"out of the volume", upgrade("root", "../outside.xpk"), 0},
      {"a path inside", upgrade("root", "dir.xpk/../fw.xpk"), 0},
      {"empty name", upgrade("root", ""), 0},
      {"second terminator missing", {14, 'r', 'o', 'o', 't', 0, 'f', 'w'}, 0},
      {"no terminator", {14, 'r', 'o', 'o', 't'}, 0},
      {"bytes after the second string", withCode(14, {'r', 'o', 'o', 't', 0, 'x', 0, 'y'}), 0},
      {"no strings", {14}, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(withCode(15, {c.result}), ask(c.request)) << c.what;
}

TEST_F(CoreServiceTest, IdentificationRecordsItsDuration) {
  EXPECT_EQ(std::vector<uint8_t>{33}, ask({32, 0xD0, 0x07}));
  EXPECT_EQ(std::vector<uint8_t>{33}, ask({32, 0xF4, 0x01}));
  EXPECT_EQ(std::vector<uint8_t>{33}, ask({32, 0x05}));
  EXPECT_THAT(state_->identifications(), ElementsAre(2000, 500, 5));
}

TEST_F(CoreServiceTest, ResetAnswersNothingAndCallsTheHost) {
  int hookCalls = 0;
  state_->setResetHook([&] { ++hookCalls; });
  EXPECT_TRUE(ask({80}).empty());
  EXPECT_EQ(1, hookCalls);
  EXPECT_EQ(1u, state_->resets());
}

TEST_F(CoreServiceTest, UnknownRequestsAreRecordedButNotAnswered) {
  EXPECT_TRUE(ask({200, 1, 2}).empty());
  EXPECT_TRUE(ask({5}).empty()) << "a reply code is no request";
  auto records = state_->requests();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ(200, records[0].code);
  EXPECT_THAT(records[0].body, ElementsAre(1, 2));
}

TEST_F(CoreServiceTest, FaultKnobsChangeTheReply) {
  CoreReplyFault wrongCode;
  wrongCode.code = 99;
  state_->setFault(4, wrongCode);
  EXPECT_EQ(withCode(99, config_.identity.fwVersion), ask({4}));

  CoreReplyFault longer;
  longer.data = std::vector<uint8_t>(5, 7);
  state_->setFault(8, longer);
  EXPECT_EQ(withCode(9, std::vector<uint8_t>(5, 7)), ask({8}));

  CoreReplyFault silent;
  silent.silent = true;
  state_->setFault(26, silent);
  EXPECT_TRUE(ask({26}).empty());

  CoreReplyFault twice;
  twice.extraReplies = 1;
  state_->setFault(20, twice);
  const size_t before = channel_->sent().size();
  const uint8_t versionString[] = {20};
  service_->onData(versionString, 1, true);
  auto sent = channel_->sent();
  ASSERT_EQ(before + 2, sent.size());
  EXPECT_EQ(sent[before], sent[before + 1]);

  state_->clearFaults();
  EXPECT_EQ(withCode(5, config_.identity.fwVersion), ask({4}));
  EXPECT_EQ(5u, state_->requests().size()) << "faulty answers are recorded too";
}

TEST_F(CoreServiceTest, ADelayedReplyComesLaterFromTheTimer) {
  // Held: nothing is sent on the device's thread, whatever the machine's speed.
  CoreReplyFault held;
  std::promise<void> release;
  held.heldUntil = release.get_future().share();
  state_->setFault(98, held);
  EXPECT_TRUE(ask({98}).empty());
  release.set_value();
  ASSERT_TRUE(channel_->waitFor(1));
  EXPECT_EQ(withCode(99, config_.identity.deviceSerial), channel_->sent()[0]);

  // Delayed: never sooner than asked.
  constexpr auto kDelay = std::chrono::milliseconds(300);
  CoreReplyFault late;
  late.delayMs = uint32_t(kDelay.count());
  state_->setFault(98, late);
  const auto asked = std::chrono::steady_clock::now();
  ask({98});
  ASSERT_TRUE(channel_->waitFor(2));
  EXPECT_GE(std::chrono::steady_clock::now() - asked, kDelay);
  EXPECT_EQ(channel_->sent()[0], channel_->sent()[1]);
}

TEST_F(CoreServiceTest, DestroyingTheServiceDropsItsPendingReplies) {
  CoreReplyFault late;
  late.delayMs = 60000;
  state_->setFault(4, late);
  ask({4});
  const auto start = std::chrono::steady_clock::now();
  service_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_TRUE(channel_->sent().empty());
}

}  // namespace
}  // namespace devsim
