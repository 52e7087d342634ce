// Statjni on the whole road: a JVM (with -Xcheck:jni) on a terminal running
// the binding over statproto, the linkhub program with usblink on the
// virtual bus, and devices of this process whose status values and knobs the
// test turns while the JVM listens.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e/Road.h"
#include "testsupport/HexText.h"
#include "testsupport/ShellRunner.h"
#include "vlntest/TimeSlack.h"

namespace {

using testsupport::hexUpper;

using Clock = std::chrono::steady_clock;
using e2e::Road;

int slackMs(int ms) { return int(vlntest::slackBound(std::chrono::milliseconds(ms)).count()); }

long msSince(Clock::time_point t) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

template <class Done>
bool eventually(Done done, int ms = 30000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(slackMs(ms));
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class StatjniRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(road_.ok());
    ASSERT_TRUE(road_.startHub());
    work_ = road_.baseDir() + "/jvm";
    std::filesystem::create_directories(work_);
  }

  void TearDown() override {
    const std::string all = jvm_.transcript() + jvm_.standardError();
    for (const char* bad : {"@violation", "@generic", "WARNING in native method", "WARNING: JNI",
                            "Warning: Calling other JNI", "FATAL ERROR"})
      EXPECT_EQ(std::string::npos, all.find(bad)) << bad << "\n" << all;
  }

  devsim::DeviceHost* plug(const Road::Device& d, bool waitOnline = true) {
    devsim::HostOptions options;
    options.status.text = text300_;
    options.status.powerStates = {3, 0xFFFF, 7};
    options.status.events = {9, 1, 4};
    return road_.plugDevice(d, options, waitOnline);
  }

  void startJvm(const std::vector<std::string>& extra = {}) {
    shelltest::ShellRunner java(VLN_JAVA, work_);
    std::vector<std::string> args = {"-Xcheck:jni",
                                     std::string("-Djava.library.path=") + VLN_JAVA_LIB_DIR, "-cp",
                                     VLN_JAVA_CLASSPATH, "StatjniProbe"};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(jvm_.start(java, args));
    ASSERT_TRUE(jvm_.waitFor("@ready", slackMs(30000)))
        << jvm_.transcript() << jvm_.standardError();
  }

  // Waits for the next line that starts with `what`, after what earlier
  // waits consumed.
  ::testing::AssertionResult next(const std::string& what, int ms = 10000) {
    if (jvm_.waitFor(what, slackMs(ms))) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << what << "\" in:\n" << jvm_.unread();
  }

  void command(const std::string& line) { jvm_.type(line + "\n"); }

  // Reads whatever the JVM prints for `ms` and returns what no wait has
  // consumed yet.
  std::string quietFor(int ms) {
    EXPECT_FALSE(jvm_.waitFor("@no-such-line", ms));
    return jvm_.unread();
  }

  // main returns with registrations open: the JVM ends by itself.
  void quitWithin5s() {
    command("quit");
    ASSERT_TRUE(next("@bye"));
    const auto asked = Clock::now();
    EXPECT_EQ(0, jvm_.wait(slackMs(30000)));
    EXPECT_LE(msSince(asked), slackMs(5000));
  }

  Road road_;
  std::string work_;
  shelltest::TerminalSession jvm_;
  // 300 characters: two outside ASCII, one of them outside the BMP.
  const std::string text300_ = "\xC3\xA9\xF0\x9F\x98\x80" + std::string(298, 'x');
  const Road::Device a_{"statA", Road::makeHwId(0x31)};
  const Road::Device b_{"statB", Road::makeHwId(0x51)};
  const std::string A = Road::hexOf(a_.hwid);
  const std::string B = Road::hexOf(b_.hwid);
};

TEST_F(StatjniRoad, StatusFollowsTheDeviceAcrossReplugAndSilence) {
  startJvm();
  // Not online yet: registered, and nothing comes.
  command("reg " + A);
  ASSERT_TRUE(next("@ok reg true"));
  const std::string offline = quietFor(1500);
  EXPECT_EQ(std::string::npos, offline.find("@up")) << offline;

  devsim::DeviceHost* dev = plug(a_, false);
  ASSERT_NE(nullptr, dev);
  const auto plugged = Clock::now();
  ASSERT_TRUE(next("@up " + A, 30000));
  EXPECT_LE(msSince(plugged), slackMs(3000));

  // The signature, then power states, events and text, in that order.
  command("sig " + A);
  command("notif " + A);
  ASSERT_TRUE(next("@sig " + A + " " + hexUpper(std::string(16, '\x5A'))));
  ASSERT_TRUE(next("@power " + A + " [3,65535,7]"));
  ASSERT_TRUE(next("@events " + A + " [1,4,9]"));
  ASSERT_TRUE(next("@text " + A + " 300 " + hexUpper(text300_)));

  // A change pushes a new list.
  dev->status().setEvents({300});
  ASSERT_TRUE(next("@events " + A + " [300]"));

  // Unplugged and back: down, up, and no notification until asked again.
  dev->replug(500);
  ASSERT_TRUE(next("@down " + A));
  ASSERT_TRUE(next("@up " + A, 30000));
  dev->status().setText("unasked");
  const std::string unasked = quietFor(1500);
  EXPECT_EQ(std::string::npos, unasked.find("@text")) << unasked;
  command("notif " + A);
  ASSERT_TRUE(next("@text " + A + " 7 " + hexUpper("unasked")));

  // A silent device: down when the answer is overdue, up again after.
  dev->status().setSilent(true);
  command("sig " + A);
  ASSERT_TRUE(next("@down " + A));
  dev->status().setSilent(false);
  ASSERT_TRUE(next("@up " + A, 30000));

  // A 17-byte id is refused with the bytes received.
  command("reg " + A + "00");
  ASSERT_TRUE(next("@exc reg WrapperException Statjni " + A + "00 Invalid remote id size"));
  command("sig " + B);
  ASSERT_TRUE(next("@ok sig false"));
  quitWithin5s();
}

// Handles are freed and taken again: no event of A may ever reach Java
// under B's id (B is offline, so any up for it is A's).
TEST_F(StatjniRoad, RegisteringAnotherIdAtOnceNeverMixesTheIds) {
  ASSERT_NE(nullptr, plug(a_));
  startJvm();
  command("flip " + A + " " + B + " 200");
  ASSERT_TRUE(next("@flip calls=true upsOfB=0", 300000));
  quitWithin5s();
}

// The provider classes in a class loader of their own with two
// registrations: once it is collected both channels close and the
// dispatcher ends.
TEST_F(StatjniRoad, ADroppedClassLoaderClosesBothChannels) {
  devsim::DeviceHost* da = plug(a_);
  devsim::DeviceHost* db = plug(b_);
  ASSERT_NE(nullptr, da);
  ASSERT_NE(nullptr, db);
  startJvm({"apart"});
  command("loader " + A + " " + B);
  ASSERT_TRUE(next("@loaded true", 30000));
  ASSERT_TRUE(eventually([&] {
    return da->status().openChannels() == 1 && db->status().openChannels() == 1;
  })) << "both registrations hold a channel: "
      << da->status().openChannels() << " " << db->status().openChannels() << "\n"
      << jvm_.transcript() << jvm_.standardError();
  command("drop");
  ASSERT_TRUE(next("@dropped dispatcher=ended", 60000));
  EXPECT_TRUE(eventually([&] {
    return da->status().openChannels() == 0 && db->status().openChannels() == 0;
  })) << "channels open: "
      << da->status().openChannels() << " " << db->status().openChannels();
  quitWithin5s();
}

}  // namespace
