// The console program without a connection server: the command-line rules
// with their exit codes, the banner from the version block, the usage text,
// and the refusal of every mode when the server cannot be reached.
#include <gtest/gtest.h>

#include <filesystem>

#include "plat/runtime.h"
#include "testsupport/ShellRunner.h"

namespace {

using shelltest::ShellResult;
using shelltest::ShellRunner;

const std::string kBanner = "devshell\nVersion 1.8.0.0\n" DEVSHELL_COPYRIGHT "\n";
const std::string kUsage =
    "\n"
    "Generic options:\n"
    "  --help                 this help message\n"
    "  -Q [ --quiet ]         quiet output\n"
    "\n"
    "Device selection:\n"
    "  -S [ --single ]        automatic device selection\n"
    "  -D [ --device ] arg    use selected device HWID\n"
    "  -L [ --list ]          list available devices and terminate\n";
const std::string kNoServer =
    "Error on connection server call\n"
    "Please run linkhub.exe (Connection server) and try again\n";
const std::string kHwid = "00112233445566778899aabbccddeeff";

class DevshellCli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = plat::makeTempDir("devshell-cli-");
    ASSERT_FALSE(dir_.empty());
    // A runtime directory of its own, with nobody serving in it.
    plat::setEnvironment("LINKHUB_RUNTIME_DIR", dir_ + "/rt");
    runner_ = std::make_unique<ShellRunner>(DEVSHELL_PROGRAM, dir_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string dir_;
  std::unique_ptr<ShellRunner> runner_;
};

TEST_F(DevshellCli, UsageErrorsPrintBannerAndUsageAndExitOne) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--help"},
      {"--help", "-L"},
      {"-Q"},
      {"-S", "-L"},
      {"-S", "-D", kHwid},
      {"-L", "-D", kHwid},
      {"-D", ""},
      {"-D", kHwid, "-D", kHwid},
      {"--device=" + kHwid, "-D", kHwid},
      {"-D", "0"},
      {"-D", "0011"},
      {"-D", kHwid.substr(1)},                     // 31 digits
      {"-D", kHwid + "0"},                         // 33 digits
      {"-D", kHwid + "00"},                        // 17 bytes
      {"-D", "0011223344556677889900aabbccddeg"},  // not hex
      {"-D", "0x112233445566778899aabbccddeeff"},
      {"-D", " 0112233445566778899aabbccddeeff"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += "[" + a + "]";
    const ShellResult r = runner_->run(args);
    EXPECT_EQ(1, r.status) << shown;
    EXPECT_EQ(kBanner + kUsage, r.out) << shown;
    EXPECT_EQ("", r.err) << shown;
  }
}

TEST_F(DevshellCli, UnparsableCommandLinesExitMinusTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},        {"-X"}, {"-L", "-D"},  // the value is missing
      {"--list=yes"},                            // a switch takes no value
      {"-Q", "-Q", "-L"},                        // a switch given twice
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += "[" + a + "]";
    const ShellResult r = runner_->run(args);
    EXPECT_EQ(254, r.status) << shown;
    EXPECT_EQ(kBanner, r.out) << shown;
    EXPECT_EQ(kUsage, r.err) << shown;
  }
}

TEST_F(DevshellCli, EveryModeNeedsTheServer) {
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"-L"}, "devshell\n"},
      {{"-L", "-Q"}, ""},
      {{"-S"}, "devshell\n"},
      {{"-D", kHwid}, "devshell\n"},
      {{"--device", "00112233445566778899AABBCCDDEEFF"}, "devshell\n"},
      {{"-Q", "-D", "00112233445566778899AabbCcDdEeFf"}, ""},
  };
  for (const auto& c : cases) {
    const ShellResult r = runner_->run(c.args, "getname\n");
    EXPECT_EQ(252, r.status) << c.args.back();
    EXPECT_EQ(c.out, r.out) << c.args.back();
    EXPECT_EQ(kNoServer, r.err) << c.args.back();
  }
}

}  // namespace
