// statproto on the whole road: the linkhub program with usblink over the
// virtual bus, and a device of this process (the in-process device host)
// whose status values and knobs the tests turn while it runs.
#include <gtest/gtest.h>

#include <thread>

#include "StatusRecorder.h"
#include "e2e/Road.h"
#include "statproto/statproto.h"
#include "svcwire/StatusWire.h"
#include "vlntest/TimeSlack.h"

namespace {

using stattest::Clock;
using stattest::Recorder;

long msBetween(Clock::time_point a, Clock::time_point b) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

class StatprotoRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(road_.ok());
    ASSERT_TRUE(road_.startHub());
  }

  devsim::DeviceHost* plug(const e2e::Road::Device& d, bool waitOnline = true) {
    devsim::HostOptions options;
    options.status.text = "Device " + d.id + " ready";
    options.status.powerStates = {3, 0x0201, 7};
    options.status.events = {9, 1, 4};
    return road_.plugDevice(d, options, waitOnline);
  }

  ProtStatusHandle registerUp(const e2e::Road::Device& d) {
    const size_t from = Recorder::get().size();
    ProtStatusHandle h = ProtStatusRegister(d.hwid.id, sizeof d.hwid.id, &Recorder::callback);
    EXPECT_GE(Recorder::get().waitFor(h, 1, from), 0) << "no event 1";
    return h;
  }

  // The device's end of the channel exists (it opens a little after the
  // client's pipe).
  static bool waitChannel(devsim::DeviceHost* dev) {
    return stattest::eventually([&] { return dev->status().openChannels() > 0; });
  }

  e2e::Road road_;
  e2e::Road::Device dev1_{"stat1", e2e::Road::makeHwId(0x31)};
  e2e::Road::Device dev2_{"stat2", e2e::Road::makeHwId(0x51)};
};

TEST_F(StatprotoRoad, NotificationsFollowTheDeviceAcrossUnplugAndReplug) {
  Recorder& rec = Recorder::get();
  // Not online yet: a handle at once, and no callback.
  const size_t start = rec.size();
  ProtStatusHandle h = ProtStatusRegister(dev1_.hwid.id, sizeof dev1_.hwid.id, &Recorder::callback);
  ASSERT_NE(h, nullptr);
  EXPECT_LT(rec.waitFor(h, 1, start, 3000), 0);
  EXPECT_TRUE(rec.since(h, start).empty());
  EXPECT_FALSE(ProtStatusReqNotifications(h));

  devsim::DeviceHost* dev = plug(dev1_, false);
  ASSERT_NE(dev, nullptr);
  const int up = rec.waitFor(h, 1, start);
  ASSERT_GE(up, 0);
  EXPECT_EQ(rec.at(up).threadName, "ChannelHandler");

  size_t from = rec.size();
  ASSERT_TRUE(ProtStatusReqNotifications(h));
  const int power = rec.waitFor(h, 4, from), events = rec.waitFor(h, 3, from),
            text = rec.waitFor(h, 5, from);
  ASSERT_GE(power, 0);
  ASSERT_GE(events, 0);
  ASSERT_GE(text, 0);
  EXPECT_EQ(rec.at(power).list, (std::vector<uint16_t>{3, 0x0201, 7}));
  EXPECT_EQ(rec.at(events).list, (std::vector<uint16_t>{1, 4, 9}));
  EXPECT_EQ(rec.at(text).text, "Device stat1 ready");
  EXPECT_EQ(dev->status().notificationRequests(),
            std::vector<uint8_t>{svcwire::status::kNotifyAll});

  // A change on the device arrives again.
  from = rec.size();
  dev->status().setText("Battery low");
  dev->status().setEvents({300});
  const int changed = rec.waitFor(h, 5, from), moved = rec.waitFor(h, 3, from);
  ASSERT_GE(changed, 0);
  ASSERT_GE(moved, 0);
  EXPECT_EQ(rec.at(changed).text, "Battery low");
  EXPECT_EQ(rec.at(moved).list, std::vector<uint16_t>{300});

  // Unplugged: reason 2; back: event 1 on the same handle, and nothing
  // until asked again.
  from = rec.size();
  dev->replug(500);
  const int down = rec.waitFor(h, 0, from);
  ASSERT_GE(down, 0);
  EXPECT_EQ(rec.at(down).length, 2u);
  const int back = rec.waitFor(h, 1, size_t(down));
  ASSERT_GE(back, 0);
  dev->status().setText("unasked");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  for (const auto& r : rec.since(h, size_t(back))) EXPECT_LE(r.event, 1u) << "event " << r.event;
  from = rec.size();
  ASSERT_TRUE(ProtStatusReqNotifications(h));
  const int again = rec.waitFor(h, 5, from);
  ASSERT_GE(again, 0);
  EXPECT_EQ(rec.at(again).text, "unasked");

  ProtStatusUnRegister(h);
}

TEST_F(StatprotoRoad, ASilentDeviceIsOverdueAfterASecond) {
  Recorder& rec = Recorder::get();
  devsim::DeviceHost* dev = plug(dev1_);
  ASSERT_NE(dev, nullptr);
  ProtStatusHandle h = registerUp(dev1_);
  dev->status().setSilent(true);
  const size_t from = rec.size();
  const auto asked = Clock::now();
  ASSERT_TRUE(ProtStatusReqNotifications(h));
  const int down = rec.waitFor(h, 0, from);
  ASSERT_GE(down, 0);
  EXPECT_EQ(rec.at(down).length, 3u);
  const long ms = msBetween(asked, rec.at(down).at);
  EXPECT_GE(ms, 1000);
  // Caught at the first handler cycle past the 1 s deadline: within 2 s,
  // with a little room for the wake-up itself.
  EXPECT_LE(ms, vlntest::slackBound(std::chrono::milliseconds(2000)).count() + 200);
  // Reconnected, and answered once the device speaks again.
  dev->status().setSilent(false);
  ASSERT_GE(rec.waitFor(h, 1, size_t(down)), 0);
  ASSERT_GE(rec.notifiedText(h), 0);
  ProtStatusUnRegister(h);
}

TEST_F(StatprotoRoad, EachBadMessageBreaksAndTheNextRequestWorks) {
  Recorder& rec = Recorder::get();
  devsim::DeviceHost* dev = plug(dev1_);
  ASSERT_NE(dev, nullptr);
  ProtStatusHandle h = registerUp(dev1_);
  const auto cases = stattest::badMessages();
  // The device's end of a channel opens with the host's first message, so
  // each round asks first; the signature also shows the channel works.
  auto signatureWorks = [&] {
    const size_t asked = rec.size();
    if (!ProtStatusReqSignature(h)) return false;
    const int signature = rec.waitFor(h, 2, asked);
    return signature >= 0 && rec.at(signature).bytes == std::vector<uint8_t>(16, 0x5A);
  };
  for (const auto& [name, bad] : cases) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(signatureWorks());
    ASSERT_TRUE(waitChannel(dev));
    const size_t from = rec.size();
    dev->status().inject(bad);
    const int down = rec.waitFor(h, 0, from);
    ASSERT_GE(down, 0);
    EXPECT_EQ(rec.at(down).length, 2u);
    ASSERT_GE(rec.waitFor(h, 1, size_t(down)), 0);
  }
  EXPECT_TRUE(signatureWorks());
  ProtStatusUnRegister(h);
}

TEST_F(StatprotoRoad, AServerRestartIsADisconnectAndAReconnect) {
  Recorder& rec = Recorder::get();
  ASSERT_NE(plug(dev1_), nullptr);
  ProtStatusHandle h = registerUp(dev1_);
  const size_t from = rec.size();
  ASSERT_TRUE(road_.stopHub());
  const int down = rec.waitFor(h, 0, from);
  ASSERT_GE(down, 0);
  EXPECT_EQ(rec.at(down).length, 2u);
  ASSERT_TRUE(road_.startHub());
  ASSERT_GE(rec.waitFor(h, 1, size_t(down)), 0);
  ASSERT_GE(rec.notifiedText(h), 0);
  ProtStatusUnRegister(h);
}

TEST_F(StatprotoRoad, UnregistrationRules) {
  Recorder& rec = Recorder::get();
  // Handles of earlier tests may have had the same address.
  const size_t testStart = Recorder::get().size();
  ASSERT_NE(plug(dev1_), nullptr);
  ASSERT_NE(plug(dev2_), nullptr);
  ProtStatusHandle a = registerUp(dev1_);
  ProtStatusHandle twice =
      ProtStatusRegister(dev1_.hwid.id, sizeof dev1_.hwid.id, &Recorder::callback);
  EXPECT_EQ(a, twice);
  ProtStatusHandle b = registerUp(dev2_);

  size_t from = rec.size();
  ProtStatusUnRegister(a);
  const auto events = rec.since(a, from);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event, 0u);
  EXPECT_EQ(events[0].length, 1u);
  EXPECT_EQ(events[0].thread, std::this_thread::get_id());
  EXPECT_FALSE(ProtStatusReqNotifications(a));

  int notAHandle = 0;
  ProtStatusUnRegister(reinterpret_cast<ProtStatusHandle>(&notAHandle));
  ASSERT_GE(rec.notifiedText(b), 0);

  ProtStatusUnRegister(twice);
  EXPECT_FALSE(ProtStatusReqSignature(a));
  from = rec.size();
  ASSERT_TRUE(ProtStatusReqSignature(b));
  ASSERT_GE(rec.waitFor(b, 2, from), 0);
  for (const auto& r : rec.since(b, testStart)) EXPECT_NE(r.event, 0u);
  ProtStatusUnRegister(b);
}

}  // namespace
