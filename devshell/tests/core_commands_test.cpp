// The core command group in process, against devmgr's stand-in server with a
// devsim core service whose replies the tests bend: output formats, zeroed
// result buffers, failure texts, quiet mode and what reaches the device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "CoreCommands.h"
#include "devsim/CoreService.h"
#include "plat/runtime.h"
#include "testsupport/FakeHub.h"

using translayer::HwId;

namespace {

using devsim::CoreReplyFault;
using ::testing::ElementsAre;

class CoreCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = plat::makeTempDir("corecmd-");
    ASSERT_FALSE(dir_.empty());
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", dir_);
    devsim::CoreConfig config;
    config.friendlyName = "unit-7";
    config.identity.fwVersion = {0x00, 0x00, 0x01, 0x02};
    config.identity.deviceSerial = {0xFF, 0xFF, 0xFF, 0xFF};
    core_ = std::make_shared<devsim::CoreState>(config);
    hub_ = std::make_unique<devmgr_test::FakeHub>();
    ASSERT_TRUE(hub_->started());
    for (int i = 0; i < 16; ++i) hwid_.id[i] = uint8_t(0xC0 + i);
    hub_->addDevice(hwid_, devsim::CoreService::factory(core_));
    commands_ = std::make_unique<CoreCommands>(
        console_, std::vector<uint8_t>(hwid_.id, hwid_.id + 16), settings_);
  }
  void TearDown() override {
    commands_.reset();
    hub_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string run(const std::string& line) {
    std::ostringstream out;
    EXPECT_TRUE(console_.execute(line, out)) << line;
    return out.str();
  }
  std::string error(const std::string& line) {
    std::ostringstream out;
    try {
      console_.execute(line, out);
    } catch (const std::string& text) {
      return text;
    }
    return "";
  }

  std::string dir_;
  HwId hwid_{};
  std::shared_ptr<devsim::CoreState> core_;
  std::unique_ptr<devmgr_test::FakeHub> hub_;
  UsrConsole console_;
  ShellSettings settings_;
  std::unique_ptr<CoreCommands> commands_;
};

TEST_F(CoreCommandsTest, ResultsArePrintedInTheirFormats) {
  EXPECT_EQ("unit-7\n", run("getname"));
  EXPECT_EQ("258 00000102h\n", run("getfwver"));
  EXPECT_EQ("4294967295\n", run("getdevsn"));
  EXPECT_EQ("16777216 01000000h\n", run("GetRecVer"));
  EXPECT_EQ(std::string(32, '1') + "\n", run("getappuuid"));
  EXPECT_EQ(1u + 1 + 1 + 1 + 1, hub_->channelsOpened()) << "one connection per command";
  EXPECT_TRUE(hub_->waitChannelsEnded(5)) << "and none is kept";
}

TEST_F(CoreCommandsTest, ShortValuesPrintOverZeroedBuffers) {
  CoreReplyFault shortSignature;
  shortSignature.data = std::vector<uint8_t>{0xAB, 0xCD};
  core_->setFault(8, shortSignature);
  EXPECT_EQ("ABCD" + std::string(28, '0') + "\n", run("getfwsign"));

  CoreReplyFault emptyName;
  emptyName.data = std::vector<uint8_t>{};
  core_->setFault(26, emptyName);
  EXPECT_EQ("\n", run("getname"));

  // A text that fills the whole buffer without a terminator is printed whole
  // and no further.
  CoreReplyFault fullText;
  fullText.data = std::vector<uint8_t>(256, 't');
  core_->setFault(16, fullText);
  EXPECT_EQ(std::string(256, 't') + "\n", run("getfwtarget"));

  CoreReplyFault zeroInside;
  zeroInside.data = std::vector<uint8_t>{'a', 'b', 0, 'c'};
  core_->setFault(66, zeroInside);
  EXPECT_EQ("ab\n", run("getappname"));
}

TEST_F(CoreCommandsTest, AFailedCallNamesTheCommandAsTyped) {
  CoreReplyFault wrong;
  wrong.code = 1;
  core_->setFault(26, wrong);
  EXPECT_EQ("Error while executing getname", error("GETNAME"));
  core_->setFault(4, wrong);
  EXPECT_EQ("Error while executing getfwver", error("getfwver"));
  core_->clearFaults();
  EXPECT_EQ("unit-7\n", run("getname")) << "the next command connects anew";
}

TEST_F(CoreCommandsTest, NamesAndIdentification) {
  EXPECT_EQ("Successfully set new device name\n", run("setname \"a b\""));
  EXPECT_EQ("a b", core_->friendlyName());
  EXPECT_EQ("Device blinking now\n", run("ident"));
  EXPECT_EQ("Device blinking now\n", run("ident 500"));
  EXPECT_EQ("Device blinking now\n", run("ident 70000"));  // the field keeps 16 bits
  EXPECT_THAT(core_->identifications(), ElementsAre(2000, 500, 4464));

  settings_.quiet = true;
  EXPECT_EQ("", run("setname quiet"));
  EXPECT_EQ("", run("ident"));
  EXPECT_EQ("quiet\n", run("getname")) << "results are printed also when quiet";
}

TEST_F(CoreCommandsTest, RefusedRequestsAreErrors) {
  EXPECT_EQ("Error while executing setname", error("setname " + std::string(33, 'x')))
      << "the device takes 32 characters";
  EXPECT_EQ("Error while executing reqfwupgrade", error("reqfwupgrade root fw.xpk"));
  EXPECT_EQ(2u, core_->requests().size());
}

TEST_F(CoreCommandsTest, OverlongArgumentsNeverReachTheDevice) {
  EXPECT_EQ("Name too long (at most 255 characters)", error("setname " + std::string(256, 'n')));
  EXPECT_EQ("Storage device name too long (at most 255 characters)",
            error("reqfwupgrade " + std::string(256, 'v') + " fw.xpk"));
  EXPECT_EQ("File name too long (at most 255 characters)",
            error("reqfwupgrade root " + std::string(1000, 'f')));
  EXPECT_EQ(0u, hub_->channelsOpened()) << "refused before connecting";
  // 255 characters still go out.
  EXPECT_EQ("Error while executing setname", error("setname " + std::string(255, 'n')));
  EXPECT_EQ(1u, hub_->channelsOpened());
  ASSERT_EQ(1u, core_->requests().size());
  EXPECT_EQ(255u, core_->requests()[0].body.size());
}

TEST_F(CoreCommandsTest, ResetSendsItsRequestAndReportsNothing) {
  int resets = 0;
  core_->setResetHook([&] { ++resets; });
  EXPECT_EQ("", run("reset"));
  EXPECT_TRUE(hub_->waitChannelsEnded(1));
  EXPECT_EQ(1, resets);
}

TEST_F(CoreCommandsTest, AnAbsentDeviceIsNotConnected) {
  hub_->removeDevice(hwid_);
  EXPECT_EQ("Device not connected", error("getname"));
  EXPECT_EQ("Device not connected", error("reset"));
  EXPECT_EQ("Device not connected", error("ident"));
}

}  // namespace
