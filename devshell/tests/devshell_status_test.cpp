// The console's status commands piped on the whole road: the linkhub
// program with usblink over the virtual bus, and a device of this process
// that the tests unplug and plug while a script runs.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "e2e/Road.h"
#include "plat/runtime.h"
#include "testsupport/ShellRunner.h"

namespace {

using shelltest::ShellResult;
using shelltest::ShellRunner;
using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class StatusScript : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(road_.ok());
    ASSERT_TRUE(road_.startHub());
    runner_ = std::make_unique<ShellRunner>(DEVSHELL_PROGRAM, road_.baseDir());
  }

  devsim::DeviceHost* plug(bool waitOnline = true) {
    devsim::HostOptions options;
    options.status.text = "Pump 2 running";
    return road_.plugDevice(device_, options, waitOnline);
  }

  ShellResult script(const std::string& input, bool quiet = false) {
    std::vector<std::string> args = {"-D", e2e::Road::hexOf(device_.hwid)};
    if (quiet) args.push_back("-Q");
    return runner_->run(args, input);
  }

  e2e::Road road_;
  e2e::Road::Device device_{"shellstat", e2e::Road::makeHwId(0x81)};
  std::unique_ptr<ShellRunner> runner_;
};

TEST_F(StatusScript, GetSystemStatusPrintsTheDeviceText) {
  devsim::DeviceHost* dev = plug();
  ASSERT_NE(dev, nullptr);
  const ShellResult quiet = script("getsystemstatus\n", true);
  EXPECT_EQ(0, quiet.status) << quiet.err;
  EXPECT_EQ("Pump 2 running\n", quiet.out);

  dev->status().setText("Pump 2 stopped");
  const ShellResult loud = script("getsystemstatus\nwait\n");
  EXPECT_EQ(0, loud.status) << loud.err;
  EXPECT_NE(loud.out.find("\nPump 2 stopped\nDevice reconnected\n"), std::string::npos) << loud.out;
  // Each command asked on a channel of its own.
  EXPECT_EQ(dev->status().notificationRequests().size(), 2u);
}

TEST_F(StatusScript, OnlyAStatusTextAnswers) {
  devsim::DeviceHost* dev = plug();
  ASSERT_NE(dev, nullptr);
  ASSERT_EQ(script("getsystemstatus\n", true).out, "Pump 2 running\n");
  // The channel comes up and power states and events arrive, but no text:
  // neither an empty text nor the earlier one is a success.
  dev->status().withhold(36, true);
  const ShellResult r = script("getsystemstatus\n", true);
  EXPECT_EQ(250, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("Device timed out\n", r.err);
}

TEST_F(StatusScript, AnAbsentDeviceTimesOut) {
  const auto start = Clock::now();
  const ShellResult r = script("getsystemstatus\ngetname\n");
  EXPECT_EQ(250, r.status);
  EXPECT_EQ("Device timed out\n", r.err);
  EXPECT_GE(msSince(start), 7000);

  const auto waitStart = Clock::now();
  const ShellResult w = script("wait 1500\n");
  EXPECT_EQ(250, w.status);
  EXPECT_EQ("Device reconnection timed out\n", w.err);
  EXPECT_GE(msSince(waitStart), 1500);
}

TEST_F(StatusScript, WaitEndsAsSoonAsTheDeviceIsBack) {
  devsim::DeviceHost* dev = plug();
  ASSERT_NE(dev, nullptr);
  dev->unplug();
  ASSERT_TRUE(road_.waitOnline({device_.hwid}, false));
  // The script waits up to 60 s; the device comes back after one.
  const auto start = Clock::now();
  auto run =
      std::async(std::launch::async, [&] { return script("wait 60000\ngetsystemstatus\n", true); });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ASSERT_EQ(dev->plugIn(), 0);
  const ShellResult r = run.get();
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("Pump 2 running\n", r.out) << "quiet: the text only";
  EXPECT_LT(msSince(start), 30000);
}

TEST_F(StatusScript, SleepPausesTheScript) {
  const auto start = Clock::now();
  const ShellResult r = script("sleep 800\nsleep\n", true);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  EXPECT_GE(msSince(start), 1800);
}

TEST_F(StatusScript, HelpShowsTheStatusCommands) {
  const ShellResult r = script("help getsystemstatus\nhelp sleep\nhelp wait\n", true);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "usage: getsystemstatus: request system status\n"
      "usage: sleep [period]: sleep for a while\n"
      "  period: duration [msec] (1000)\n"
      "usage: wait [timeout]: wait for device connection\n"
      "  timeout: maximum wait period [msec] (1000)\n",
      r.out);
}

}  // namespace
