// statproto against a stand-in server that runs the devsim status service
// right on each channel's pipe: the message rules, what is supervised, and
// the registration rules.
#include "statproto/statproto.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "StatusRecorder.h"
#include "devsim/StatusService.h"
#include "plat/runtime.h"
#include "svcwire/StatusWire.h"
#include "testsupport/FakeHub.h"

using translayer::HwId;

namespace {

using stattest::Clock;
using stattest::Recorder;

HwId idOf(uint8_t first) {
  HwId id;
  for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(first + i);
  return id;
}

long msBetween(Clock::time_point a, Clock::time_point b) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

class StatprotoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = plat::makeTempDir("statproto-");
    ASSERT_FALSE(runtime_.empty());
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", runtime_);
    hub_ = std::make_unique<devmgr_test::FakeHub>();
    ASSERT_TRUE(hub_->started());
    plug(idA_, stateA_);
    plug(idB_, stateB_);
  }
  void TearDown() override {
    hub_.reset();
    std::error_code ec;
    std::filesystem::remove_all(runtime_, ec);
  }

  void plug(const HwId& id, const std::shared_ptr<devsim::StatusState>& state) {
    hub_->addDevice(id, devsim::StatusService::factory(state));
  }

  // Registers and waits for the channel, at both ends.
  ProtStatusHandle up(const HwId& id) {
    const size_t from = Recorder::get().size();
    ProtStatusHandle h = ProtStatusRegister(id.id, sizeof id.id, &Recorder::callback);
    EXPECT_GE(Recorder::get().waitFor(h, 1, from), 0) << "no event 1";
    EXPECT_TRUE(waitChannel(id == idA_ ? *stateA_ : *stateB_));
    return h;
  }
  static bool waitChannel(const devsim::StatusState& state) {
    return stattest::eventually([&] { return state.openChannels() > 0; });
  }

  std::string runtime_;
  HwId idA_ = idOf(0x10), idB_ = idOf(0x20);
  std::shared_ptr<devsim::StatusState> stateA_ = std::make_shared<devsim::StatusState>();
  std::shared_ptr<devsim::StatusState> stateB_ = std::make_shared<devsim::StatusState>();
  std::unique_ptr<devmgr_test::FakeHub> hub_;
};

TEST_F(StatprotoTest, EveryMessageOfTheServiceBecomesItsEvent) {
  // Handles of earlier tests may have had the same address.
  const size_t testStart = Recorder::get().size();
  ProtStatusHandle h = up(idA_);
  Recorder& rec = Recorder::get();
  struct Case {
    std::vector<uint8_t> message;
    uint64_t event;
    std::vector<uint16_t> list;
    std::string text;
  };
  const std::string longText(5000, 'x');  // several chunks
  std::vector<uint8_t> longMessage{36};
  longMessage.insert(longMessage.end(), longText.begin(), longText.end());
  std::vector<uint8_t> signature{17};
  for (uint8_t i = 0; i < 16; ++i) signature.push_back(i);
  const std::vector<Case> cases = {
      {{34, 0x05, 0x80}, 3, {0, 2, 15}, ""},
      {{34}, 3, {}, ""},
      {{34, 0, 0}, 3, {}, ""},
      {{32, 0x01, 0x00, 0x02, 0x01}, 4, {1, 0x0102}, ""},
      {{32}, 4, {}, ""},
      {{36, 0x4F, 0x4B}, 5, {}, "OK"},
      {{36}, 5, {}, ""},
      {longMessage, 5, {}, longText},
  };
  for (const Case& c : cases) {
    const size_t from = rec.size();
    stateA_->inject(c.message);
    const int i = rec.waitFor(h, c.event, from);
    ASSERT_GE(i, 0) << "message of " << c.message.size() << " bytes, code " << int(c.message[0]);
    const stattest::Record r = rec.at(i);
    if (c.event == 5) {
      EXPECT_EQ(r.length, 8u);
      EXPECT_EQ(r.text, c.text);
    } else {
      EXPECT_EQ(r.length, 16u);
      EXPECT_EQ(r.list, c.list);
    }
  }
  const size_t from = rec.size();
  stateA_->inject(signature);
  const int s = rec.waitFor(h, 2, from);
  ASSERT_GE(s, 0);
  EXPECT_EQ(rec.at(s).bytes, std::vector<uint8_t>(signature.begin() + 1, signature.end()));
  // No message above broke the channel.
  for (const auto& r : rec.since(h, testStart)) EXPECT_NE(r.event, 0u);
  ProtStatusUnRegister(h);
}

TEST_F(StatprotoTest, AMessageOutsideTheRulesBreaksTheChannelAndTheNextOneWorks) {
  ProtStatusHandle h = up(idA_);
  Recorder& rec = Recorder::get();
  const auto cases = stattest::badMessages();
  for (const auto& [name, bad] : cases) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(waitChannel(*stateA_));
    const size_t from = rec.size();
    stateA_->inject(bad);
    const int down = rec.waitFor(h, 0, from);
    ASSERT_GE(down, 0);
    EXPECT_EQ(rec.at(down).length, 2u);
    ASSERT_GE(rec.waitFor(h, 1, size_t(down)), 0);
    const size_t asked = rec.size();
    ASSERT_TRUE(ProtStatusReqNotifications(h));
    const int text = rec.waitFor(h, 5, asked);
    ASSERT_GE(text, 0);
    EXPECT_EQ(rec.at(text).text, "System ready");
  }
  ProtStatusUnRegister(h);
}

TEST_F(StatprotoTest, OnlyWhatWasAskedForIsSupervised) {
  ProtStatusHandle h = up(idA_);
  Recorder& rec = Recorder::get();

  // Nothing asked: messages neither arm nor time out.
  size_t from = rec.size();
  stateA_->inject(devsim::StatusState::textMessage("unasked"));
  ASSERT_GE(rec.waitFor(h, 5, from), 0);
  EXPECT_LT(rec.waitFor(h, 0, from, 2500), 0) << "an unasked message armed the deadline";

  // A signature is asked for and never comes: an unasked text in between
  // does not end the wait.
  stateA_->setSilent(true);
  from = rec.size();
  const auto asked = Clock::now();
  ASSERT_TRUE(ProtStatusReqSignature(h));
  stateA_->inject(devsim::StatusState::textMessage("meanwhile"));
  const int down = rec.waitFor(h, 0, from);
  ASSERT_GE(down, 0);
  EXPECT_EQ(rec.at(down).length, 3u);
  EXPECT_GE(msBetween(asked, rec.at(down).at), 1000);

  // After the reconnection notifications are asked and answered: the first
  // one ends the supervision, later pushes come unasked.
  stateA_->setSilent(false);
  ASSERT_GE(rec.waitFor(h, 1, size_t(down)), 0);
  const int text = rec.notifiedText(h);
  ASSERT_GE(text, 0);
  EXPECT_LT(rec.waitFor(h, 0, size_t(text), 2500), 0);
  ProtStatusUnRegister(h);
}

TEST_F(StatprotoTest, RegistrationsOfOneIdShareTheHandleUntilTheLastIsUndone) {
  Recorder& rec = Recorder::get();
  // Handles of earlier tests may have had the same address.
  const size_t testStart = Recorder::get().size();
  ProtStatusHandle a = up(idA_);
  ProtStatusHandle again = ProtStatusRegister(idA_.id, sizeof idA_.id, nullptr);
  EXPECT_EQ(a, again);
  ProtStatusHandle b = up(idB_);
  ASSERT_NE(a, b);

  // The first unregistration disconnects on this thread and kills the handle.
  const size_t from = rec.size();
  ProtStatusUnRegister(a);
  const auto mine = rec.since(a, from);
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(mine[0].event, 0u);
  EXPECT_EQ(mine[0].length, 1u);
  EXPECT_EQ(mine[0].thread, std::this_thread::get_id());
  EXPECT_FALSE(ProtStatusReqNotifications(a));
  EXPECT_FALSE(ProtStatusReqSignature(a));

  // A pointer that is not registered undoes nothing: b stays up.
  int unknown = 0;
  ProtStatusUnRegister(reinterpret_cast<ProtStatusHandle>(&unknown));
  ASSERT_GE(rec.notifiedText(b), 0);

  // A new registration of the id gets a new handle and a channel.
  ProtStatusHandle fresh = up(idA_);
  EXPECT_NE(fresh, nullptr);
  ProtStatusUnRegister(fresh);

  ProtStatusUnRegister(again);  // frees the dead handle, b still registered
  ASSERT_GE(rec.notifiedText(b), 0);
  for (const auto& r : rec.since(b, testStart)) EXPECT_NE(r.event, 0u);
  ProtStatusUnRegister(b);
}

TEST_F(StatprotoTest, ALostChannelIsReportedAndReconnectedOnTheSameHandle) {
  Recorder& rec = Recorder::get();
  ProtStatusHandle h = up(idA_);
  size_t from = rec.size();
  hub_->removeDevice(idA_);
  const int down = rec.waitFor(h, 0, from);
  ASSERT_GE(down, 0);
  EXPECT_EQ(rec.at(down).length, 2u);
  EXPECT_NE(rec.at(down).thread, std::this_thread::get_id());
  EXPECT_FALSE(ProtStatusReqNotifications(h));
  // The same id comes back: event 1 on the same handle, nothing unasked.
  auto fresh = std::make_shared<devsim::StatusState>();
  plug(idA_, fresh);
  const int again = rec.waitFor(h, 1, size_t(down));
  ASSERT_GE(again, 0);
  EXPECT_EQ(rec.at(again).threadName, "ChannelHandler");
  EXPECT_EQ(fresh->notifiedChannels(), 0u);
  from = rec.size();
  ASSERT_TRUE(ProtStatusReqNotifications(h));
  const int power = rec.waitFor(h, 4, from);
  ASSERT_GE(power, 0);
  EXPECT_EQ(rec.at(power).list, (std::vector<uint16_t>{1, 0x0102}));
  ProtStatusUnRegister(h);
}

}  // namespace

namespace {

TEST(StatprotoMisuse, StopsOnTheAssertionsOfTheLibrary) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  uint8_t id[16] = {};
  int notAHandle = 0;
  auto* h = reinterpret_cast<ProtStatusHandle>(&notAHandle);
  EXPECT_DEATH(ProtStatusRegister(id, 15, nullptr),
               "Assertion failed: sizeof\\(inhwid.id\\) == _hwidsz, file ProtStatusChHandler");
  // Nothing is registered: there is no handler.
  EXPECT_DEATH(ProtStatusUnRegister(h), "Assertion failed: ch, file statproto");
  EXPECT_DEATH(ProtStatusReqNotifications(h), "Assertion failed: ch, file statproto");
  EXPECT_DEATH(ProtStatusReqSignature(h), "Assertion failed: ch, file statproto");
}

}  // namespace
