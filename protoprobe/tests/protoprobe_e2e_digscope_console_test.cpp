// The DigScope console of the protoprobe program on a pseudo-terminal, on
// the whole road (linkhub, usblink over the virtual bus) to a device of
// this process, whose scope state shows what reached it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "ProtocolConsoles.h"
#include "e2e/Road.h"
#include "svcwire/ScopeWire.h"
#include "testsupport/ShellRunner.h"

using translayer::formatHwId;

namespace {

using shelltest::shellQuote;
using shelltest::ShellRunner;
namespace wire = svcwire::scope;

const std::string kProgram = PROTOPROBE_PROGRAM;
const std::string kDatatool = DATATOOL_PROGRAM;

std::vector<std::string> unstampedLines(const std::string& transcript) {
  std::vector<std::string> got;
  std::istringstream in(transcript);
  static const std::regex stamp("^[0-9]{7}ms (.*?)\r?$");
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    got.push_back(std::regex_match(line, m, stamp) ? m[1].str() : "unstamped: " + line);
  }
  return got;
}

bool has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class DigScopeConsoleRoad : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    road_ = new e2e::Road();
    ASSERT_TRUE(road_->ok());
    ASSERT_TRUE(road_->startHub());
    devsim::HostOptions options;
    options.scope.maxChannels = 7;
    options.scope.maxTriggers = 65;  // 'A' if printed as a character
    options.scope.captureSize = 30001;
    dev_ = road_->plugDevice(device_, options);
    ASSERT_NE(dev_, nullptr);
  }
  static void TearDownTestSuite() {
    delete road_;
    road_ = nullptr;
    dev_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(dev_, nullptr);
    work_ =
        road_->baseDir() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_EQ(0, ::system(("mkdir -p " + shellQuote(work_)).c_str()));
  }
  std::string hex() const { return formatHwId(device_.hwid, false); }
  bool start(shelltest::TerminalSession& s, ShellRunner& runner) {
    return s.start(runner, {"-c", "exec \"$0\" \"$@\"", kProgram, hex(), "N", "DigScope"}, "",
                   "cd " + shellQuote(work_));
  }

  static e2e::Road* road_;
  static devsim::DeviceHost* dev_;
  static const e2e::Road::Device device_;
  std::string work_;
};

e2e::Road* DigScopeConsoleRoad::road_ = nullptr;
devsim::DeviceHost* DigScopeConsoleRoad::dev_ = nullptr;
const e2e::Road::Device DigScopeConsoleRoad::device_{"digscope", e2e::Road::makeHwId(0xA1)};

TEST_F(DigScopeConsoleRoad, ACaptureSessionWritesAFileTheDecoderReads) {
  ShellRunner runner("/bin/sh", work_);
  shelltest::TerminalSession s;
  ASSERT_TRUE(start(s, runner));
  ASSERT_TRUE(s.waitFor("ms < CON\n")) << s.transcript();
  s.type("reqsignature\ngetcap\naddchannel 3 0.01\n");
  ASSERT_TRUE(s.waitFor("ms < added channel\n")) << s.transcript();
  s.type("addchannel 3 0.02\naddtrigger l 3 above -100\nsetparams trand 0.5 0.1\n");
  ASSERT_TRUE(s.waitFor("ms < parameters set\n")) << s.transcript();
  s.type("removechannel 300\narm\n");
  ASSERT_TRUE(s.waitFor("ms < Status : valid\n")) << s.transcript();
  s.type("getdata cap.bin\n");
  ASSERT_TRUE(s.waitFor("ms < Data completed : Written ")) << s.transcript();
  s.endInput();
  EXPECT_EQ(0, s.wait(30000)) << s.standardError();

  const std::vector<std::string> lines = unstampedLines(s.transcript());
  std::string signature = "< Signature : ";
  for (int i = 0; i < 16; ++i) signature += i ? ", 5c" : "5c";
  const uint32_t size = uint32_t(dev_->scope().lastCapture().size());
  for (const std::string& want :
       {std::string("< CON"), std::string("> reqsignature"), signature, std::string("> getcap"),
        std::string("< Capabilities : maxchannels=7, maxtriggers=65, basesamplesize=4, "
                    "timebase=0.0001, buffersize=65536"),
        std::string("> addchannel 3 0.01"), std::string("< added channel"),
        std::string("< Timings : max capture time: 10sec, paridx(3) = 0.01sec"),
        "ERROR: " + protoprobe::scopeResultText(wire::kDuplicatedChannel),
        std::string("< set trigger"), std::string("< parameters set"),
        // 300 is channel 44, which the device does not have.
        "ERROR: " + protoprobe::scopeResultText(wire::kChannelNotFound), std::string("< armed"),
        std::string("< Status : armed"), std::string("< Status : running, fill=100"),
        std::string("< Status : valid"), std::string("> getdata cap.bin"),
        "< Data completed : Written " + std::to_string(size) + " bytes to cap.bin",
        std::string("Unregistering on closing"), std::string("< DIS (1)")})
    EXPECT_TRUE(has(lines, want)) << want << "\n" << s.transcript();
  bool progress = false;
  for (const std::string& l : lines) progress = progress || l.rfind("< Data progress : ", 0) == 0;
  EXPECT_TRUE(progress) << s.transcript();

  // What the device received for the trigger and the parameters.
  const auto requests = dev_->scope().requests();
  EXPECT_TRUE(std::find(requests.begin(), requests.end(),
                        std::vector<uint8_t>{wire::kReqAddTrigger, 3, 0, 3, 0x9c, 0xff, 0xff,
                                             0xff}) != requests.end());
  EXPECT_TRUE(std::find(requests.begin(), requests.end(),
                        std::vector<uint8_t>{wire::kReqRemoveChannel, 44, 0}) != requests.end());
  EXPECT_EQ(dev_->scope().mode(), 2);

  // The file holds the device's bytes, and the decoder takes it.
  std::ifstream in(work_ + "/cap.bin", std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(file, dev_->scope().lastCapture());
  ShellRunner datatool(kDatatool, work_);
  const shelltest::ShellResult decoded = datatool.run({"-D", work_ + "/cap.bin"});
  EXPECT_EQ(0, decoded.status) << decoded.out << decoded.err;
  EXPECT_NE(decoded.out.find("<DigitalScope apilevel="), std::string::npos) << decoded.out;
  EXPECT_NE(decoded.out.find("<Trigger time="), std::string::npos) << decoded.out;
}

TEST_F(DigScopeConsoleRoad, BadArgumentsEndTheConsoleAsAborted) {
  const char* const lines[] = {"addchannel x 1",
                               "addchannel 3",
                               "addtrigger l 3 above",
                               "addtrigger l 3 above 99999999999999999999",
                               "setparams always 1e99 0",
                               "removetrigger",
                               "getdata"};
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    ShellRunner runner("/bin/sh", work_);
    shelltest::TerminalSession s;
    ASSERT_TRUE(start(s, runner));
    ASSERT_TRUE(s.waitFor("ms < CON\n")) << s.transcript();
    s.type(std::string(line) + "\n");
    ASSERT_TRUE(s.waitFor("ms Aborted\n")) << s.transcript();
    EXPECT_EQ(256 - 12, s.wait(30000)) << s.standardError();
    const std::vector<std::string> got = unstampedLines(s.transcript());
    EXPECT_TRUE(has(got, std::string("> ") + line)) << s.transcript();
    EXPECT_TRUE(has(got, "Unregistering on closing")) << s.transcript();
  }
}

TEST_F(DigScopeConsoleRoad, OutputThatIsNoTerminalGivesSixButHelpComesFirst) {
  ShellRunner runner("timeout", work_);
  const shelltest::ShellResult r = runner.run({"60", kProgram, hex(), "N", "DigScope"}, "arm\n");
  EXPECT_EQ(6, r.status) << r.err;
  EXPECT_EQ("", r.out);
  // The help argument comes before the check.
  const shelltest::ShellResult help = runner.run({"60", kProgram, hex(), "N", "DigScope", "hElP"});
  EXPECT_EQ(255, help.status) << help.err;
  EXPECT_EQ(0u, help.out.rfind("\nAvailable console commands:\n  reqsignature\n  getcap\n"
                               "  addchannel <channel> <sampleperiod>\n",
                               0))
      << help.out;
  EXPECT_NE(
      help.out.find("\n  addtrigger ll <channel> {rise|fall|above|below} <int64_t_threshold>\n"),
      std::string::npos);
  EXPECT_EQ(help.out.size() - help.out.rfind("  getdata <destfilename>\n  quit\n"),
            std::string("  getdata <destfilename>\n  quit\n").size());
}

TEST_F(DigScopeConsoleRoad, RawDataWithoutACaptureAndAGivenUpRequest) {
  // A capture that is not valid: the device's status, and the name does
  // not linger for a later result.
  ShellRunner runner("/bin/sh", work_);
  shelltest::TerminalSession s;
  ASSERT_TRUE(start(s, runner));
  ASSERT_TRUE(s.waitFor("ms < CON\n")) << s.transcript();
  s.type("cancel\n");
  ASSERT_TRUE(s.waitFor("ms < cancelled\n")) << s.transcript();
  dev_->scope().setSilent(true);
  s.type("getdata lost.bin\n");
  ASSERT_TRUE(s.waitFor("ms ERROR: " + protoprobe::scopeResultText(1024) + "\n")) << s.transcript();
  ASSERT_TRUE(s.waitFor("ms < CON\n")) << s.transcript();
  dev_->scope().setSilent(false);
  s.type("getdata fresh.bin\n");
  ASSERT_TRUE(s.waitFor(
      "ms < Data completed : ERROR: " + protoprobe::scopeResultText(wire::kInvalidState) + "\n"))
      << s.transcript();
  // The next result goes to its own file, not to the given-up one's.
  dev_->scope().replaceNextReply({wire::kRawConfiguration, 0, 2, 0, 0, 0, 7, 7});
  s.type("getconf conf.bin\n");
  ASSERT_TRUE(s.waitFor("ms < Data completed : Written 2 bytes to conf.bin\n")) << s.transcript();
  s.endInput();
  EXPECT_EQ(0, s.wait(30000)) << s.standardError();
  EXPECT_FALSE(std::ifstream(work_ + "/lost.bin").good());
  EXPECT_FALSE(std::ifstream(work_ + "/fresh.bin").good());
  const std::vector<std::string> got = unstampedLines(s.transcript());
  EXPECT_TRUE(has(got, "< DIS (3)")) << s.transcript();
}

}  // namespace
