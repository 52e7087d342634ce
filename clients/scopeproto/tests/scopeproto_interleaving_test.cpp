// scopeproto on the whole road, with the library's threads held at its pause
// points (clientcommon/TestPause.h) so that interleavings which otherwise
// need luck happen every run: an unregistration that lands inside a
// request, and device messages that come while a channel is still opening.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "ScopeRecorder.h"
#include "clientcommon/TestPause.h"
#include "e2e/Road.h"
#include "scopeproto/scopeproto.h"
#include "svcwire/ScopeWire.h"
#include "vlntest/TimeSlack.h"

namespace {

using scopetest::Record;
using scopetest::Recorder;
namespace wire = svcwire::scope;
using std::chrono::milliseconds;
constexpr ScopeResult kBroken = PROT_DIGSCOPE_BROKEN_LINK;

// What the hook does: at the armed point of scopeproto, note the arrival and
// hold the thread for a fixed time, or for a random time below `randomMs`.
class Pauses {
 public:
  static Pauses& get() {
    static Pauses* instance = new Pauses;
    return *instance;
  }

  void arm(const std::string& point, int holdMs, int randomMs = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    point_ = point;
    holdMs_ = holdMs;
    randomMs_ = randomMs;
    reached_ = 0;
  }
  void disarm() { arm("", 0); }

  // Waits until the armed point has been reached `count` times in all.
  bool waitReached(int count = 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return reached_ >= count; });
  }

  void pause(const char* library, const char* point) {
    int ms = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (std::string(library) != "scopeproto" || point_ != point) return;
      ++reached_;
      ms = randomMs_ ? int(random_() % unsigned(randomMs_)) : holdMs_;
    }
    cv_.notify_all();
    std::this_thread::sleep_for(milliseconds(ms));
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::string point_;
  int holdMs_ = 0, randomMs_ = 0, reached_ = 0;
  std::minstd_rand random_{12345};
};

}  // namespace

extern "C" void vln_test_pause(const char* library, const char* point) {
  Pauses::get().pause(library, point);
}

namespace {

class ScopeprotoInterleaving : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(road_.ok());
    ASSERT_TRUE(road_.startHub());
    dev_ = road_.plugDevice(device_);
    ASSERT_NE(dev_, nullptr);
  }
  void TearDown() override { Pauses::get().disarm(); }

  ProtDigScopeHandle registerUp() {
    const size_t from = Recorder::get().size();
    ProtDigScopeHandle h =
        ProtDigScopeRegister(device_.hwid.id, sizeof device_.hwid.id, &Recorder::callback);
    EXPECT_GE(Recorder::get().waitFor(h, 1, from), 0) << "no event 1";
    // The device's end opens with the host's first message.
    uint8_t sig[16];
    EXPECT_TRUE(ProtDigScopeGetSignature(h, sig));
    return h;
  }

  e2e::Road road_;
  e2e::Road::Device device_{"scopeil", e2e::Road::makeHwId(0x23)};
  devsim::DeviceHost* dev_ = nullptr;
};

TEST_F(ScopeprotoInterleaving, UnregisteringARequestBetweenItsCheckAndItsWaitEndsBoth) {
  ProtDigScopeHandle h = registerUp();
  dev_->scope().setSilent(true);
  Pauses::get().arm("request", 500);
  auto request = std::async(std::launch::async, [h] { return ProtDigScopeArm(h); });
  ASSERT_TRUE(Pauses::get().waitReached());
  auto unregister = std::async(std::launch::async, [h] { ProtDigScopeUnRegister(h); });
  const auto limit =
      std::chrono::steady_clock::now() + vlntest::slackBound(std::chrono::seconds(2));
  const bool unregistered = unregister.wait_until(limit) == std::future_status::ready;
  const bool answered = request.wait_until(limit) == std::future_status::ready;
  EXPECT_TRUE(unregistered) << "UnRegister still waits";
  EXPECT_TRUE(answered) << "the request still waits";
  // A hung pair is set free by the reply it waits for, so the test can end.
  if (!unregistered || !answered) dev_->scope().inject({wire::kArm, wire::kNoError});
  const ScopeResult result = request.get();
  unregister.get();
  if (answered) {
    EXPECT_EQ(result, kBroken);
  }
}

TEST_F(ScopeprotoInterleaving, UnregisteringDuringRequestsAtAnyMomentNeverHangs) {
  // Keeps the handler alive, so that a request that starts after the
  // unregistration meets a dead handle, not a library without registrations.
  const translayer::HwId absent = e2e::Road::makeHwId(0x27);
  ProtDigScopeHandle keeper = ProtDigScopeRegister(absent.id, 16, nullptr);
  std::minstd_rand random(777);
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    dev_->scope().setSilent(false);
    ProtDigScopeHandle h = registerUp();
    dev_->scope().setSilent(true);
    Pauses::get().arm("request", 0, 4);
    auto request = std::async(std::launch::async, [h] { return ProtDigScopeCancel(h); });
    std::this_thread::sleep_for(milliseconds(random() % 5));
    auto unregister = std::async(std::launch::async, [h] { ProtDigScopeUnRegister(h); });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const bool unregistered = unregister.wait_until(limit) == std::future_status::ready;
    const bool answered = request.wait_until(limit) == std::future_status::ready;
    EXPECT_TRUE(unregistered && answered) << "a hang";
    if (!unregistered || !answered) dev_->scope().inject({wire::kCancel, wire::kNoError});
    // The device never answers: whenever the unregistration came, the link
    // is given up.
    EXPECT_EQ(request.get(), kBroken);
    unregister.get();
    Pauses::get().disarm();
    if (HasFailure()) break;
  }
  ProtDigScopeUnRegister(keeper);
  EXPECT_TRUE(testsupport::noLibraryThreadsLeft());
}

TEST_F(ScopeprotoInterleaving, MessagesOfAChannelStillOpeningComeAfterItsEventOne) {
  Recorder& rec = Recorder::get();
  // A capture's state updates on a channel the device still holds from
  // before, while the host gives the number (0: the first on a new link) to
  // this client, whose event 1 is held back long enough for them to arrive.
  const std::vector<std::vector<uint8_t>> early{
      devsim::ScopeState::statusMessage(wire::kRunning, 25.0f),
      devsim::ScopeState::statusMessage(wire::kValid, 100.0f)};
  Pauses::get().arm("connect", 500);
  const size_t from = rec.size();
  ProtDigScopeHandle h =
      ProtDigScopeRegister(device_.hwid.id, sizeof device_.hwid.id, &Recorder::callback);
  ASSERT_TRUE(Pauses::get().waitReached());
  for (const auto& message : early) dev_->device().sendOnChannel(0, message);
  ASSERT_TRUE(rec.waitCount(h, 2, from, early.size()));
  ASSERT_GE(rec.waitFor(h, 1, from), 0);
  const std::vector<Record> seen = rec.since(h, from);
  ASSERT_EQ(seen.size(), 1 + early.size());
  EXPECT_EQ(seen[0].event, 1u) << "a service event before event 1";
  for (size_t i = 0; i < early.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[1 + i].event, 2u);
    EXPECT_EQ(seen[1 + i].status.state, early[i][1]);
    EXPECT_NE(seen[1 + i].thread, std::this_thread::get_id());
  }
  EXPECT_EQ(seen[2].status.fill, 100.0f);
  // Nothing held stays behind: the channel carries requests as usual.
  Pauses::get().disarm();
  EXPECT_EQ(ProtDigScopeCancel(h), 0);
  for (const Record& r : rec.since(h, from)) EXPECT_NE(r.event, 0u);
  ProtDigScopeUnRegister(h);
}

}  // namespace
