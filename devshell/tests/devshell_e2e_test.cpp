// The console against a connection server with emulated devices: the device
// list, piped scripts over every core command, how a failing command ends a
// script, and the terminal loop on a pseudo-terminal. The same scenarios run
// on every road that DeviceServer.h offers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "DeviceServer.h"
#include "devsim/CoreService.h"
#include "plat/runtime.h"
#include "testsupport/ShellRunner.h"

using translayer::HwId;

namespace {

using shelltest::DeviceSetup;
using shelltest::ShellResult;
using shelltest::ShellRunner;
using shelltest::TerminalSession;

HwId idOf(uint8_t first) {
  HwId id;
  for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(first + 0x11 * i);
  return id;
}

std::string hexOf(const HwId& id) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : id.id) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

std::string repeat(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class ShellScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = plat::makeTempDir("devshell-e2e-");
    ASSERT_FALSE(dir_.empty());
    runner_ = std::make_unique<ShellRunner>(DEVSHELL_PROGRAM, dir_);
  }
  void TearDown() override {
    server_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Starts the server with the devices set up so far and `count` more,
  // "bench-1" .. "bench-<count>".
  void startServer(size_t count) {
    for (size_t i = 0; i < count; ++i)
      devices_.push_back({idOf(uint8_t(0x10 * (i + 1))), "bench-" + std::to_string(i + 1), ""});
    server_ = shelltest::makeDeviceServer();
    ASSERT_TRUE(server_->start(dir_, devices_)) << server_->name();
  }

  ShellResult script(const std::string& input, std::vector<std::string> options = {}) {
    options.push_back("-D");
    options.push_back(hexOf(devices_.at(0).hwid));
    return runner_->run(options, input);
  }

  std::string dir_;
  std::unique_ptr<ShellRunner> runner_;
  std::vector<DeviceSetup> devices_;
  std::unique_ptr<shelltest::DeviceServer> server_;
};

// ------------------------------------------------------------------ list

TEST_F(ShellScenario, ListShowsEveryDeviceWithItsFriendlyName) {
  startServer(2);
  const ShellResult r = runner_->run({"-L"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  auto lines = linesOf(r.out);
  ASSERT_EQ(5u, lines.size()) << r.out;
  EXPECT_EQ("devshell", lines[0]);
  EXPECT_EQ("HWID                             Name", lines[1]);
  EXPECT_EQ("2 devices found", lines[4]);
  // The server decides the order.
  std::vector<std::string> rows(lines.begin() + 2, lines.begin() + 4);
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(hexOf(devices_[0].hwid) + " bench-1", rows[0]);
  EXPECT_EQ(hexOf(devices_[1].hwid) + " bench-2", rows[1]);

  const ShellResult quiet = runner_->run({"-L", "-Q"});
  EXPECT_EQ(0, quiet.status);
  auto quietRows = linesOf(quiet.out);
  std::sort(quietRows.begin(), quietRows.end());
  EXPECT_EQ(rows, quietRows) << "quiet: the device lines alone";
}

TEST_F(ShellScenario, ListPrintsANameThatFillsTheWholeBuffer) {
  devices_.push_back({idOf(0x70), "long-name", std::string(256, 'n')});
  startServer(0);
  const ShellResult r = runner_->run({"-L", "-Q"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(hexOf(devices_[0].hwid) + " " + std::string(256, 'n') + "\n", r.out);
  EXPECT_EQ(std::string(256, 'n') + "\n", script("getname\n", {"-Q"}).out);
}

TEST_F(ShellScenario, SingleNeedsExactlyOneDevice) {
  startServer(2);
  const ShellResult two = runner_->run({"-S"}, "getname\n");
  EXPECT_EQ(251, two.status);
  EXPECT_EQ("More than one device found, option valid only with one connected device\n", two.err);
}

TEST_F(ShellScenario, SingleTakesTheOnlyDevice) {
  startServer(1);
  const ShellResult one = runner_->run({"-S", "-Q"}, "getname\n");
  EXPECT_EQ(0, one.status) << one.err;
  EXPECT_EQ("bench-1\n", one.out);
}

TEST_F(ShellScenario, SingleWithoutDevicesSaysSo) {
  startServer(0);
  const ShellResult none = runner_->run({"-S"});
  EXPECT_EQ(251, none.status);
  EXPECT_EQ("No devices found\n", none.err);
  const ShellResult list = runner_->run({"-L"});
  EXPECT_EQ("devshell\nHWID                             Name\n0 devices found\n", list.out);
}

// ------------------------------------------------------------------ scripts

TEST_F(ShellScenario, ScriptRunsEveryCoreCommandAgainstTheDevice) {
  startServer(1);
  // The expected texts are the emulated device's identity, spelled out.
  const devsim::CoreIdentity id;
  ASSERT_EQ((std::vector<uint8_t>{0x01, 0x08, 0x00, 0x00}), id.fwVersion);
  ASSERT_EQ((std::vector<uint8_t>{0x01, 0x00, 0x00, 0x00}), id.recVersion);
  ASSERT_EQ((std::vector<uint8_t>{0x39, 0x30, 0x00, 0x00}), id.deviceSerial);
  ASSERT_EQ(std::vector<uint8_t>(16, 0xA5), id.fwSignature);
  ASSERT_EQ(std::vector<uint8_t>(16, 0x11), id.appUuid);
  ASSERT_EQ(std::vector<uint8_t>(16, 0x22), id.appParSignature);
  ASSERT_EQ(std::vector<uint8_t>(16, 0x33), id.appDefParSignature);

  const ShellResult r = script(
      "getname\n"
      "getfwver\n"
      "getfwtarget\n"
      "getfwsubtgt\n"
      "getfwverstr\n"
      "getfwverbose\n"
      "getfwsign\n"
      "getrecver\n"
      "getappuuid\n"
      "getappname\n"
      "getappversion\n"
      "getappsignpar\n"
      "getappsigndef\n"
      "getdevsn\n"
      "setname \"a b\"\n"
      "GETNAME\n"
      "ident\n"
      "ident 500\n"
      "\n"
      "setname bench-1\n");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ(
      "devshell\n"
      "bench-1\n"
      "17301504 01080000h\n" +
          id.fwTarget + "\n" + id.fwSubTarget + "\n" + id.fwVersionString + "\n" + id.fwVerbose +
          "\n" + repeat("A5", 16) +
          "\n"
          "16777216 01000000h\n"
          "11111111111111111111111111111111\n" +
          id.appName + "\n" + id.appVersion + "\n" +
          "22222222222222222222222222222222\n"
          "33333333333333333333333333333333\n"
          "12345\n"
          "Successfully set new device name\n"
          "a b\n"
          "Device blinking now\n"
          "Device blinking now\n"
          "Successfully set new device name\n",
      r.out);
}

TEST_F(ShellScenario, QuietScriptPrintsOnlyResults) {
  startServer(1);
  const ShellResult r = script("setname quiet-one\nident 100\ngetname\n", {"-Q"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("quiet-one\n", r.out);
}

TEST_F(ShellScenario, AFailingCommandEndsTheScriptBeforeTheNextOne) {
  startServer(1);
  const ShellResult r = script("getname\nnosuch\nsetname after\n");
  EXPECT_EQ(250, r.status);
  EXPECT_EQ("devshell\nbench-1\n", r.out);
  EXPECT_EQ("command unknown\n", r.err);
  // The device never saw the line after the failure.
  EXPECT_EQ("bench-1\n", script("getname\n", {"-Q"}).out);

  const ShellResult args = script("ident 1 2\nsetname after\n");
  EXPECT_EQ(250, args.status);
  EXPECT_EQ("invalid number of arguments\n", args.err);
  EXPECT_EQ("bench-1\n", script("getname\n", {"-Q"}).out);
}

TEST_F(ShellScenario, ScriptsEndAtQuitOrAtTheEnd) {
  startServer(1);
  const ShellResult quit = script("getname\nquit\nnosuch\n", {"-Q"});
  EXPECT_EQ(0, quit.status);
  EXPECT_EQ("bench-1\n", quit.out);
  EXPECT_EQ("", quit.err);
  const ShellResult noNewline = script("getname", {"-Q"});
  EXPECT_EQ(0, noNewline.status);
  EXPECT_EQ("bench-1\n", noNewline.out);
  const ShellResult quote = script("setname \"unterminated\ngetname\n", {"-Q"});
  EXPECT_EQ(0, quote.status) << "a broken quote makes its line do nothing";
  EXPECT_EQ("bench-1\n", quote.out);
}

TEST_F(ShellScenario, FirmwareUpgradeFailsWhenTheDeviceRefuses) {
  startServer(1);
  const ShellResult missing = script("reqfwupgrade root fw.xpk\ngetname\n");
  EXPECT_EQ(250, missing.status);
  EXPECT_EQ("Error while executing reqfwupgrade\n", missing.err);
  EXPECT_EQ("devshell\n", missing.out);

  std::ofstream(server_->rootVolume(0) / "fw.xpk") << "package";
  const ShellResult stored = script("REQFWUPGRADE root fw.xpk\ngetname\n", {"-Q"});
  EXPECT_EQ(0, stored.status) << stored.err;
  EXPECT_EQ("bench-1\n", stored.out) << "an accepted request prints nothing";
}

TEST_F(ShellScenario, OverlongNamesAreRefusedBeforeTheDeviceSeesThem) {
  startServer(1);
  const std::string longName(256, 'n');
  const ShellResult r = script("setname " + longName + "\n");
  EXPECT_EQ(250, r.status);
  EXPECT_EQ("Name too long (at most 255 characters)\n", r.err);
  EXPECT_EQ("bench-1\n", script("getname\n", {"-Q"}).out);
  const ShellResult file = script("reqfwupgrade root " + std::string(300, 'f') + "\n");
  EXPECT_EQ(250, file.status);
  EXPECT_EQ("File name too long (at most 255 characters)\n", file.err);
}

TEST_F(ShellScenario, ADeviceThatIsNotOnlineIsNotConnected) {
  startServer(1);
  const ShellResult r = runner_->run({"-D", hexOf(idOf(0xE0))}, "getname\n");
  EXPECT_EQ(250, r.status);
  EXPECT_EQ("Device not connected\n", r.err);
}

TEST_F(ShellScenario, HelpListsTheCommandsThatExist) {
  startServer(1);
  const ShellResult r = script("help\nhelp ident\n", {"-Q"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(
      "Usage:\n"
      "  help [topic]\n"
      "  quit\n"
      "  fileget stor srcfile dstfile\n"
      "  filels [stor]\n"
      "  fileput stor srcfile dstfile [attr]\n"
      "  filerm stor file [ignore]\n"
      "  getappname\n"
      "  getappsigndef\n"
      "  getappsignpar\n"
      "  getappuuid\n"
      "  getappversion\n"
      "  getdevsn\n"
      "  getfwsign\n"
      "  getfwsubtgt\n"
      "  getfwtarget\n"
      "  getfwver\n"
      "  getfwverbose\n"
      "  getfwverstr\n"
      "  getname\n"
      "  getrecver\n"
      "  getsystemstatus\n"
      "  ident [period]\n"
      "  reqfwupgrade device filename\n"
      "  reset\n"
      "  setname name\n"
      "  sleep [period]\n"
      "  wait [timeout]\n"
      "usage: ident [period]: visual identification\n"
      "  period: duration [msec] (2000)\n",
      r.out);
}

// ------------------------------------------------------------------ terminal

TEST_F(ShellScenario, TerminalLoopPromptsAnswersAndQuits) {
  startServer(1);
  TerminalSession tty;
  ASSERT_TRUE(tty.start(*runner_, {"-D", hexOf(devices_[0].hwid)}));
  ASSERT_TRUE(tty.waitFor("devshell\n> ")) << tty.transcript();
  tty.type("nosuch\n");
  ASSERT_TRUE(tty.waitFor("command unknown\n> ")) << tty.transcript();
  tty.type("getname\n");
  ASSERT_TRUE(tty.waitFor("bench-1\n> ")) << tty.transcript();
  tty.type("ident 1 2\n");
  ASSERT_TRUE(tty.waitFor("invalid number of arguments\n> ")) << tty.transcript();
  tty.type("quit\n");
  EXPECT_EQ(0, tty.wait());
  EXPECT_EQ("", tty.unread());
  EXPECT_EQ("", tty.standardError());
}

TEST_F(ShellScenario, TerminalLoopEndsAtTheEndOfInput) {
  startServer(1);
  TerminalSession tty;
  ASSERT_TRUE(tty.start(*runner_, {"-Q", "-D", hexOf(devices_[0].hwid)}));
  ASSERT_TRUE(tty.waitFor("> ")) << tty.transcript();
  tty.endInput();
  EXPECT_EQ(0, tty.wait());
  EXPECT_EQ("> ", tty.transcript()) << "quiet: no banner";
}

TEST_F(ShellScenario, TerminalLoopDropsALineLongerThanItsBuffer) {
  startServer(1);
  TerminalSession tty;
  ASSERT_TRUE(tty.start(*runner_, {"-Q", "-D", hexOf(devices_[0].hwid)}));
  ASSERT_TRUE(tty.waitFor("> "));
  // Pieces of this line would otherwise run as commands of their own: the
  // last piece names a real command.
  tty.type(std::string(1023, 'x') + "getname\n");
  ASSERT_TRUE(tty.waitFor("command line too long, ignored\n> ")) << tty.transcript();
  // A line that exactly fills the buffer with its line end still runs.
  tty.type("getname" + std::string(1015, ' ') + "\n");
  ASSERT_TRUE(tty.waitFor("bench-1\n> ")) << tty.transcript();
  // So does a command that fills it without its line end; the line end that
  // comes alone after it is no line of its own.
  tty.type("getname" + std::string(1016, ' ') + "\n");
  ASSERT_TRUE(tty.waitFor("bench-1\n> ")) << tty.transcript();
  // One byte more is too long again.
  tty.type("getname" + std::string(1017, ' ') + "\n");
  ASSERT_TRUE(tty.waitFor("command line too long, ignored\n> ")) << tty.transcript();
  tty.type("quit\n");
  EXPECT_EQ(0, tty.wait());
  EXPECT_EQ(std::string::npos, tty.transcript().find("command unknown")) << tty.transcript();
  EXPECT_EQ(std::string::npos, tty.transcript().find("> > ")) << "a lone line end ran";
}

TEST_F(ShellScenario, NoStandardOutputIsAConsoleCreationError) {
  startServer(1);
  TerminalSession tty;
  ASSERT_TRUE(tty.start(*runner_, {"-Q", "-D", hexOf(devices_[0].hwid)}, ">&-"));
  EXPECT_EQ(253, tty.wait());
  EXPECT_EQ("Error on console creation\n", tty.standardError());
}

TEST_F(ShellScenario, AClosedOutputIsAConsoleWriteError) {
  startServer(1);
  TerminalSession tty;
  // Standard output is a pipe whose reader has already gone.
  const std::string fifo = dir_ + "/closed-output";
  const std::string prelude = "mkfifo " + shelltest::shellQuote(fifo) + "; ( exec 3<" +
                              shelltest::shellQuote(fifo) + " ) & exec 4>" +
                              shelltest::shellQuote(fifo) + "; wait";
  ASSERT_TRUE(tty.start(*runner_, {"-D", hexOf(devices_[0].hwid)}, ">&4", prelude));
  EXPECT_EQ(253, tty.wait());
  EXPECT_EQ("Console write error\n", tty.standardError());
}

}  // namespace
