// The linkhub program choosing between its windows and headless operation:
// with a display (the offscreen platform and a dummy DISPLAY) and without.
#include <gtest/gtest.h>

#include "hub_program.h"

using translayer::AskUserDeviceSelection;
using translayer::HwId;

using namespace hubtest;

namespace {

constexpr const char* kMissingKey = "Failed on opening configuration registry";
constexpr const char* kNoTray =
    "linkhub: no system tray is available; showing the device list instead";

class UiProcessTest : public HubProgramTest {
 protected:
  void SetUp() override {
    HubProgramTest::SetUp();
    plat::setEnvironment("SIMMEDIA_DEVICES", hexOf(device_));
    plat::setEnvironment("SIMMEDIA_CHANNELS", "2");
  }
  void TearDown() override {
    headless();
    plat::unsetEnvironment("LINKHUB_FATAL_NOWAIT");
    HubProgramTest::TearDown();
  }
  void gui() {
    plat::setEnvironment("DISPLAY", ":97");
    plat::setEnvironment("QT_QPA_PLATFORM", "offscreen");
  }
  void headless() {
    plat::unsetEnvironment("DISPLAY");
    plat::unsetEnvironment("WAYLAND_DISPLAY");
    plat::unsetEnvironment("QT_QPA_PLATFORM");
  }
  bool serving() { return onlineCount() == 1; }
  uint16_t askChooser() {
    HwId id = device_;
    uint32_t exception = 0;
    return AskUserDeviceSelection(binding_, &id, 0, &exception);
  }

  const HwId device_ = makeId(0x21);
};

TEST_F(UiProcessTest, AStartFailureIsTheFatalLineInBothModes) {
  writeRegistry({}, "linkhub", false);
  for (bool withDisplay : {false, true}) {
    SCOPED_TRACE(withDisplay ? "display" : "headless");
    if (withDisplay) {
      gui();
      plat::setEnvironment("LINKHUB_FATAL_NOWAIT", "1");
    } else {
      headless();
    }
    plat::test::ChildProcess hub;
    ASSERT_TRUE(startHub(hub));
    EXPECT_EQ(255, hub.wait());
    std::string line;
    ASSERT_TRUE(hub.readLine(&line, 1000));
    EXPECT_EQ(0u, line.rfind(kMissingKey, 0)) << line;
    EXPECT_FALSE(hub.readLine(&line, 500)) << "more than one line: " << line;
  }
}

TEST_F(UiProcessTest, WithoutATrayTheListOpensAndSignalsQuit) {
  writeRegistry({{"sim", SIMMEDIA_MODULE}});
  gui();
  for (const char* which : {"-TERM", "-INT"}) {
    SCOPED_TRACE(which);
    plat::test::ChildProcess hub;
    ASSERT_TRUE(startHub(hub));
    std::string line;
    ASSERT_TRUE(hub.readLine(&line, 20000));
    EXPECT_EQ(kNoTray, line);
    ASSERT_TRUE(eventually([&] { return serving(); }));

    // A second instance ends at once, with no window and no output.
    plat::test::ChildProcess second;
    ASSERT_TRUE(startHub(second));
    EXPECT_EQ(0, second.wait());
    EXPECT_FALSE(second.readLine(&line, 500)) << line;
    EXPECT_TRUE(serving());

    ASSERT_EQ(0, signal(hub, which));
    EXPECT_EQ(0, hub.wait());
    EXPECT_FALSE(hub.readLine(&line, 200)) << line;
  }
}

TEST_F(UiProcessTest, WithoutADisplayItServesHeadless) {
  writeRegistry({{"sim", SIMMEDIA_MODULE}});
  struct Case {
    const char* name;
    const char* display;
  };
  // No display at all, and one named that no platform can reach.
  for (const Case& c : {Case{"none", nullptr}, Case{"unreachable", ":9876"}}) {
    SCOPED_TRACE(c.name);
    headless();
    if (c.display) plat::setEnvironment("DISPLAY", c.display);
    plat::test::ChildProcess hub;
    ASSERT_TRUE(startHub(hub));
    ASSERT_TRUE(eventually([&] { return serving(); }));
    EXPECT_EQ(5, askChooser());  // no chooser without windows
    ASSERT_EQ(0, signal(hub, "-TERM"));
    EXPECT_EQ(0, hub.wait());
    std::string line;
    EXPECT_FALSE(hub.readLine(&line, 200)) << line;
  }
}

}  // namespace
