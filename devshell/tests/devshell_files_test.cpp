// The console's file server commands piped on the whole road: the linkhub
// program with usblink over the virtual bus, and a device of this process
// whose storage and knobs the tests hold.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "FileServerCommands.h"
#include "devsim/CoreService.h"
#include "e2e/Road.h"
#include "testsupport/ShellRunner.h"

namespace {

namespace fs = std::filesystem;
using shelltest::ShellResult;
using shelltest::ShellRunner;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class FileScript : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(road_.ok());
    ASSERT_TRUE(road_.startHub());
    dev_ = road_.plugDevice(device_);
    ASSERT_NE(dev_, nullptr);
    runner_ = std::make_unique<ShellRunner>(DEVSHELL_PROGRAM, road_.baseDir());
    local_ = fs::path(road_.baseDir()) / "local files";
    fs::create_directories(local_);
  }

  ShellResult script(const std::string& input, bool quiet = false) {
    std::vector<std::string> args = {"-D", e2e::Road::hexOf(device_.hwid)};
    if (quiet) args.push_back("-Q");
    return runner_->run(args, input);
  }
  std::string quoted(const fs::path& p) const { return "\"" + p.string() + "\""; }

  e2e::Road road_;
  e2e::Road::Device device_{"shellfiles", e2e::Road::makeHwId(0x91)};
  devsim::DeviceHost* dev_ = nullptr;
  std::unique_ptr<ShellRunner> runner_;
  fs::path local_;
};

TEST_F(FileScript, SendListReceiveDeleteAndUpgrade) {
  std::string package(4096, '\0');
  for (size_t i = 0; i < package.size(); ++i) package[i] = char(i * 7);
  const fs::path source = local_ / "fw package.xpk", back = local_ / "back.xpk";
  std::ofstream(source, std::ios::binary) << package;
  std::ofstream(dev_->volumePath("data") / "log.txt") << "12345";

  const ShellResult r =
      script("fileput root " + quoted(source) + " fw.xpk 1\n" + "filels\n" +
             "fileget root fw.xpk " + quoted(back) + "\n" + "filerm root missing.txt /i\n" +
             "reqfwupgrade root fw.xpk\n" + "filels data\n");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(readFile(back), package);
  EXPECT_EQ(readFile(dev_->volumePath("root") / "fw.xpk"), package);
  // Progress lines end in a carriage return; the last one reaches the size.
  EXPECT_NE(r.out.find("Transferred      4096 of 4096\r"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\r\nLocal file " + source.string() + " sent to remote as fw.xpk\n"),
            std::string::npos)
      << r.out;
  const std::string header = "     Size Attr  Name                            \n";
  EXPECT_NE(r.out.find(header + "     4096 0001h fw.xpk                          \n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\r\nRemote file fw.xpk locally received as " + back.string() + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nFile skipped\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(header + "        5 0000h log.txt                         \n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(dev_->core().requests().back().code, devsim::kCoreFwUpgrade);
}

// A request that gets no answer: the device that stays has not taken it; the
// one that restarts into its upgrader before answering has.
TEST_F(FileScript, AnUnansweredUpgradeCountsOnlyWhenTheDeviceRestarts) {
  std::ofstream(dev_->volumePath("root") / "fw.xpk") << "package";
  devsim::CoreReplyFault silent;
  silent.silent = true;
  dev_->core().setFault(devsim::kCoreFwUpgrade, silent);
  const ShellResult stayed = script("reqfwupgrade root fw.xpk\ngetname\n", true);
  EXPECT_EQ(250, stayed.status);
  EXPECT_EQ("Error while executing reqfwupgrade\n", stayed.err);
  EXPECT_EQ("", stayed.out);

  devsim::CoreConfig config = dev_->core().config();
  config.upgradeFirmware = [](const fs::path&, const devsim::CoreIdentity& current) {
    devsim::CoreIdentity next = current;
    next.fwVersionString = "2.0.0";
    return std::optional<devsim::CoreIdentity>(next);
  };
  dev_->core().configure(config);
  const ShellResult r = script("reqfwupgrade root fw.xpk\ngetfwverstr\n", true);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ("2.0.0\n", r.out) << "the next command runs on the restarted device";
}

TEST_F(FileScript, QuietPrintsTheRowsOnly) {
  std::ofstream(dev_->volumePath("root") / "a.bin") << "abc";
  std::ofstream(local_ / "b.bin") << "bb";
  const ShellResult r = script(
      "fileput root " + quoted(local_ / "b.bin") + " b.bin\n" + "filels root\nfilerm root a.bin\n",
      true);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "        3 0000h a.bin                           \n"
      "        2 0000h b.bin                           \n",
      r.out);
  EXPECT_FALSE(fs::exists(dev_->volumePath("root") / "a.bin"));
}

TEST_F(FileScript, FailuresStopTheScript) {
  devsim::FileServerFaults longName;
  longName.longName = true;
  struct Case {
    const char* line;
    devsim::FileServerFaults faults;
    const char* message;
  };
  const Case cases[] = {
      {"filerm root missing.txt", {}, "File server error: No such file (ENOENT)\n"},
      {"fileget root missing.txt out.bin", {}, "File server error: No such file (ENOENT)\n"},
      {"filels nope", {}, "File server error: No such device (ENODEV)\n"},
      // A code without a text is shown as a number.
      {"filels", longName, "File server error: -127\n"},
      {"filels longvolume", {}, "Storage selector too long (at most 7 bytes)\n"},
      {"filerm root 0123456789012345678901234567890123",
       {},
       "File name too long (at most 31 bytes)\n"},
      {"fileput root x.bin 0123456789012345678901234567890123",
       {},
       "File name too long (at most 31 bytes)\n"},
      {"fileput root missing-local.bin x.bin", {}, "Error while executing fileput\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    dev_->files().setFaults(c.faults);
    const ShellResult r = script(std::string(c.line) + "\ngetname\n", true);
    EXPECT_EQ(250, r.status);
    EXPECT_EQ(c.message, r.err);
    EXPECT_EQ("", r.out) << "the script went on";
  }
  dev_->files().clearFaults();
  EXPECT_FALSE(fs::exists(dev_->volumePath("root") / "x.bin"));
}

TEST_F(FileScript, HelpShowsTheFileCommands) {
  const ShellResult r = script("help filels\nhelp filerm\nhelp fileput\nhelp fileget\n", true);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "usage: filels [stor]: device storage directory listing\n"
      "  stor: storage selector (root)\n"
      "usage: filerm stor file [ignore]: device storage file deletion\n"
      "  stor: storage selector\n"
      "  file: file name to be erased\n"
      "  ignore: /i ignore if file doesn't exists, /f force deletion (/f)\n"
      "usage: fileput stor srcfile dstfile [attr]: device storage file send to remote\n"
      "  stor: storage selector\n"
      "  srcfile: source file name\n"
      "  dstfile: destination file name\n"
      "  attr: attributes (0)\n"
      "usage: fileget stor srcfile dstfile: device storage file receive from remote\n"
      "  stor: storage selector\n"
      "  srcfile: source file name\n"
      "  dstfile: destination file name\n",
      r.out);
}

TEST(FileServerFormats, RowsCarryNothingFromOneToTheNext) {
  EXPECT_EQ(listingRow(4096, 1, "fw.xpk"), "     4096 0001h fw.xpk                          \n");
  EXPECT_EQ(listingRow(4294967295u, 0xABCD, "x"),
            "4294967295 abcdh x                               \n");
  EXPECT_EQ(listingRow(7, 0, std::string(31, 'n').c_str()),
            "        7 0000h " + std::string(31, 'n') + " \n");
  EXPECT_EQ(progressLine(512, 4096), "Transferred       512 of 4096\r");
  EXPECT_EQ(progressLine(3, 0), "Transferred         3\r");
  EXPECT_EQ(fileServerError(-2), "File server error: No such file (ENOENT)");
  EXPECT_EQ(fileServerError(-138), "File server error: -138");
  EXPECT_EQ(fileServerError(-4000), "File server error: -4000");
}

}  // namespace
