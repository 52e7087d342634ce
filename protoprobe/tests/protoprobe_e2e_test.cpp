// The exerciser program end to end: the linkhub program with usblink over
// the virtual bus and devsim devices, the program run through the shell
// (exit codes as the shell sees them) and on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/Road.h"
#include "plat/process.h"
#include "testsupport/ShellRunner.h"

using translayer::formatHwId;
using translayer::HwId;

namespace {

using shelltest::ShellResult;
using shelltest::ShellRunner;

const std::string kProgram = PROTOPROBE_PROGRAM;

std::string lowerHex(const HwId& id) { return formatHwId(id, false); }

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

const char* const kUsage[6] = {
    "Usage: protoprobe <HWID> X <bytesize> <pktavgsize> <pktavgspan>: bidirectional data exchange",
    "       protoprobe <HWID> D <bytesize> <pktsize>: download to device",
    "       protoprobe <HWID> U <bytesize> <pktsize>: upload from device",
    "       protoprobe <HWID> C <protid>: open command line transaction to protocol",
    "       protoprobe <HWID> N <protname> [help]: in/out piping through <protname> protocol",
    "       protoprobe L: list connected devices",
};

// One road for the whole program: the devices differ by their benchmark
// fault knob.
class ProtoprobeRoad : public ::testing::Test {
 protected:
  struct Sim {
    const char* knob;  // "" none
    HwId hwid;
  };
  static void SetUpTestSuite() {
    road_ = new e2e::Road();
    ASSERT_TRUE(road_->ok());
    ASSERT_TRUE(road_->startHub());
    const char* knobs[] = {"", "wrong-echo", "wrong-sequence", "bad-sum", "silence", "close"};
    std::vector<HwId> ids;
    for (size_t i = 0; i < 6; ++i) {
      const HwId hwid = e2e::Road::makeHwId(uint8_t(0x10 * (i + 1)));
      std::vector<std::string> extra;
      if (*knobs[i])
        extra = {"--bench-fault", knobs[i]};
      else
        extra = {"--storage", road_->baseDir() + "/storage"};
      ASSERT_GE(road_->startDevsim({{"dev" + std::to_string(i + 1), hwid}}, extra), 0);
      ids.push_back(hwid);
      sims_.push_back({knobs[i], hwid});
    }
    // A parameter database that never answers.
    const HwId silent = e2e::Road::makeHwId(0x70);
    ASSERT_GE(road_->startDevsim({{"dev7", silent}}, {"--pardb-fault", "silent"}), 0);
    ids.push_back(silent);
    sims_.push_back({"pardb-silent", silent});
    ASSERT_TRUE(road_->waitOnline(ids));
  }
  static void TearDownTestSuite() {
    delete road_;
    road_ = nullptr;
    sims_.clear();
  }
  void SetUp() override {
    ASSERT_NE(nullptr, road_);
    work_ =
        road_->baseDir() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_EQ(0, ::system(("mkdir -p " + shelltest::shellQuote(work_)).c_str()));
  }
  static HwId hwidOf(const std::string& knob) {
    for (const Sim& s : sims_)
      if (knob == s.knob) return s.hwid;
    return HwId{};
  }
  // The program under `timeout`, so a hang fails the case instead of the run.
  ShellResult run(const std::vector<std::string>& args) {
    ShellRunner runner("timeout", work_);
    std::vector<std::string> all = {"120", kProgram};
    all.insert(all.end(), args.begin(), args.end());
    return runner.run(all);
  }

  static e2e::Road* road_;
  static std::vector<Sim> sims_;
  std::string work_;
};

e2e::Road* ProtoprobeRoad::road_ = nullptr;
std::vector<ProtoprobeRoad::Sim> ProtoprobeRoad::sims_;

TEST_F(ProtoprobeRoad, CommandLineTable) {
  const std::string hex = lowerHex(hwidOf(""));
  std::string upper = e2e::Road::hexOf(hwidOf(""));
  std::string list;
  for (const HwId& id : road_->onlineDevices()) list += lowerHex(id) + "\n";
  std::string usage = "\n";
  for (const char* line : kUsage) usage += std::string(line) + "\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{}, 0, usage},
      {{hex, "X", "100", "10"}, 0, usage},  // X wants three numbers
      {{"L"}, 0, list + "\n"},
      {{upper, "X", "1000", "100", "0"}, 253, "\nDevice not found!\n"},
      {{upper, "C", "1"}, 253, "\nDevice not found!\n"},
      {{"00000000000000000000000000000000", "D", "100", "10"}, 253, "\nDevice not found!\n"},
      {{hex, "X", "1000", "100", "100"}, 255, "Invalid benchmark arguments\n"},
      {{hex, "X", "1000", "1024", "2"}, 255, "Invalid benchmark arguments\n"},
      {{hex, "D", "1000", "2000"}, 255, "Invalid benchmark arguments\n"},
      {{hex, "U", "-1", "100"}, 255, "Invalid benchmark arguments\n"},
      {{hex.substr(1), "N", "ParamDB"}, 255, "HWID format mismatch\n"},
      {{hex, "N"}, 255, "\nAvailable protocols:\n  ParamDB\n  FileServer\n  Status\n  DigScope\n"},
      {{upper, "N", "Status", "HeLp"},
       255,
       "\nAvailable console commands:\n  reqsignature\n  reqnotifications\n  quit\n"},
      // Standard output is a file here, not a terminal.
      {{hex, "N", "Status"}, 6, ""},
      {{hex, "N", "ParamDB"}, 6, ""},
      {{hex, "N", "ParamDB", "help"},
       255,
       "\nAvailable console commands:\n  reqsignature\n  reqstore\n  read <index>\n"
       "  autoread <index> [<index> [<index>]]\n  write <index> <data>\n  quit\n\nExample:\n"
       "  read 000b\n"},
      {{upper, "N", "Nothing"},
       255,
       "\nAvailable protocols:\n  ParamDB\n  FileServer\n  Status\n  DigScope\n"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    const ShellResult r = run(c.args);
    EXPECT_EQ(c.status, r.status) << line;
    EXPECT_EQ(c.out, r.out) << line;
  }
}

TEST_F(ProtoprobeRoad, BenchmarkRunsOfAMebibytePass) {
  const std::string hex = lowerHex(hwidOf(""));
  const std::vector<std::vector<std::string>> runs = {
      {hex, "X", "1048576", "512", "200"},
      {hex, "x", "1048576", "1024", "0"},
      {hex, "D", "1048576", "1024"},
      {hex, "U", "1048576", "1024"},
  };
  for (const auto& args : runs) {
    const ShellResult r = run(args);
    EXPECT_EQ(0, r.status) << args[1] << "\n" << r.out << r.err;
    const std::vector<std::string> lines = linesOf(r.out);
    ASSERT_EQ(5u, lines.size()) << r.out;
    EXPECT_EQ("", lines[0]);
    EXPECT_EQ("Sent: 1048576 bytes", lines[1]);
    EXPECT_EQ("Recv: 1048576 bytes", lines[2]);
    EXPECT_EQ(0u, lines[3].rfind("Transaction time: ", 0)) << lines[3];
    EXPECT_EQ("ms", lines[3].substr(lines[3].size() - 2));
    EXPECT_EQ(0u, lines[4].rfind("Bandwidth: ", 0)) << lines[4];
    EXPECT_EQ("kbps", lines[4].substr(lines[4].size() - 4));
  }
}

TEST_F(ProtoprobeRoad, FaultKnobsGiveTheirExitCodes) {
  const struct {
    const char* knob;
    std::vector<std::string> args;  // after the HWID
    int status;
    std::vector<std::string> messages;
  } cases[] = {
      {"wrong-echo", {"X", "1048576", "1000", "20"}, 245, {"Input data mismatch, exiting"}},
      {"wrong-sequence", {"U", "1048576", "1000"}, 245, {"Input data mismatch, exiting"}},
      {"bad-sum", {"D", "1048576", "1000"}, 243, {"Data checksum mismatch"}},
      {"silence", {"X", "1048576", "1000", "0"}, 244, {"Timeout on RX, exiting"}},
      {"silence", {"U", "1048576", "1000"}, 244, {"Timeout on RX, exiting"}},
      {"silence",
       {"D", "1048576", "1000"},
       243,
       {"Timeout on RX, exiting", "Data checksum mismatch"}},
      {"close", {"X", "1048576", "1000", "0"}, 246, {"Remote close requested, exiting"}},
      {"close", {"U", "1048576", "1000"}, 246, {"Remote close requested, exiting"}},
      {"close",
       {"D", "1048576", "1000"},
       243,
       {"Remote close requested, exiting", "Data checksum mismatch"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {lowerHex(hwidOf(c.knob))};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ShellResult r = run(args);
    const std::string what = std::string(c.knob) + " " + c.args[0];
    EXPECT_EQ(c.status, r.status) << what << "\n" << r.out << r.err;
    const std::vector<std::string> lines = linesOf(r.out);
    ASSERT_EQ(1 + c.messages.size() + 4, lines.size()) << what << "\n" << r.out;
    for (size_t i = 0; i < c.messages.size(); ++i) EXPECT_EQ(c.messages[i], lines[1 + i]) << what;
    EXPECT_EQ(0u, lines[1 + c.messages.size()].rfind("Sent: ", 0)) << what;
  }
}

// The raw console on the core service: "1a" asks for the friendly name, the
// device answers 1b and the name ("dev1": 64 65 76 31). The terminal's output
// processing is switched on, as an ordinary terminal has it: every line end
// then reads "\r\n", which shows that raw mode left the output alone.
class RawConsoleSession {
 public:
  RawConsoleSession(const std::string& work, const std::string& hwid)
      : runner_("/bin/sh", work), pidFile_(work + "/console.pid"), modesFile_(work + "/modes") {
    const std::string script =
        "stty opost onlcr; before=$(stty -g); "
        "P=" +
        shelltest::shellQuote(pidFile_) +
        " sh -c 'echo $$ >\"$P\"; exec \"$0\" \"$@\"' "
        "\"$0\" \"$@\"; rc=$?; after=$(stty -g); "
        "if [ \"$before\" = \"$after\" ]; then echo same; else echo \"$before / $after\"; fi >" +
        shelltest::shellQuote(modesFile_) + "; exit $rc";
    started_ = session_.start(runner_, {"-c", script, kProgram, hwid, "C", "1"});
  }
  bool started() const { return started_; }
  shelltest::TerminalSession& session() { return session_; }
  int pid() const { return std::atoi(slurp(pidFile_).c_str()); }
  std::string modes() const { return slurp(modesFile_); }

 private:
  ShellRunner runner_;
  std::string pidFile_, modesFile_;
  shelltest::TerminalSession session_;
  bool started_ = false;
};

TEST_F(ProtoprobeRoad, RawConsoleSessionBytesAndTerminalModes) {
  RawConsoleSession raw(work_, lowerHex(hwidOf("")));
  ASSERT_TRUE(raw.started());
  auto& s = raw.session();
  ASSERT_TRUE(s.waitFor("\r> ")) << s.transcript();
  s.type("1a");
  ASSERT_TRUE(s.waitFor("1a")) << s.transcript();
  s.type("\r");
  ASSERT_TRUE(s.waitFor("\r> 1a\r\n", 30000)) << s.transcript();
  s.type("\x03");
  EXPECT_EQ(0, s.wait(30000)) << s.standardError();
  const std::string want =
      "\r\n"  // the device list step's empty line
      "\r> "  // the empty input
      "1"
      "a"                        // each key beyond the shown input
      "\r\n"                     // Enter
      "\r@ 1b 64 65 76 31 \r\n"  // the reply, over the prompt
      "\r> 1a\r\n";              // the shown input drawn again
  EXPECT_EQ(want, s.transcript());
  EXPECT_EQ("same\n", raw.modes());
  EXPECT_EQ("", s.standardError());
}

// On the benchmark channel of the device that closes halfway through a run:
// a set-up for a 2-byte echo run and its 2 bytes make it close; the console
// says so at the next key and ends with 0.
TEST_F(ProtoprobeRoad, RawConsoleTellsOfTheRemoteCloseAtTheNextKey) {
  ShellRunner runner("/bin/sh", work_);
  shelltest::TerminalSession s;
  ASSERT_TRUE(s.start(
      runner, {"-c", "exec \"$0\" \"$@\"", kProgram, lowerHex(hwidOf("close")), "C", "127"}));
  ASSERT_TRUE(s.waitFor("\r> ")) << s.transcript();
  s.type("02000000020001001122\r");
  ASSERT_TRUE(s.waitFor("1122\n")) << s.transcript();
  // Each key either shows or, once the close has come, ends the console.
  bool told = false;
  for (int i = 0; i < 300 && !told; ++i) {
    s.type("0");
    told = s.waitFor("Terminated by remote", 100);
  }
  EXPECT_TRUE(told) << s.transcript();
  EXPECT_EQ(0, s.wait(30000)) << s.standardError();
}

TEST_F(ProtoprobeRoad, RawConsoleRestoresTheTerminalOnSigterm) {
  RawConsoleSession raw(work_, lowerHex(hwidOf("")));
  ASSERT_TRUE(raw.started());
  auto& s = raw.session();
  ASSERT_TRUE(s.waitFor("\r> ")) << s.transcript();
  s.type("0");
  ASSERT_TRUE(s.waitFor("0"));
  ASSERT_GT(raw.pid(), 0);
  ASSERT_EQ(0, plat::signalProcess(raw.pid(), plat::ProcessSignal::kTerminate));
  EXPECT_EQ(128 + 15, s.wait(30000)) << s.standardError();
  EXPECT_EQ("same\n", raw.modes());
}

TEST_F(ProtoprobeRoad, RawConsoleEndsAtTheEndOfInput) {
  ShellRunner runner("timeout", work_);
  const ShellResult r = runner.run({"60", kProgram, lowerHex(hwidOf("")), "C", "1"}, "1a\n");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.rfind("\n\r> 1a\n", 0)) << r.out;
}

// The Status console on a terminal, the device with devsim's default status
// (signature of 0x5a bytes, power states 1 and 0x0102, events 0, 2 and 15,
// text "System ready").
TEST_F(ProtoprobeRoad, StatusConsoleLines) {
  ShellRunner runner("/bin/sh", work_);
  shelltest::TerminalSession s;
  ASSERT_TRUE(
      s.start(runner, {"-c", "exec \"$0\" \"$@\"", kProgram, lowerHex(hwidOf("")), "N", "Status"}));
  ASSERT_TRUE(s.waitFor("ms < CON\n")) << s.transcript();
  s.type("reqsignature\n");
  ASSERT_TRUE(s.waitFor("ms < SIG: ")) << s.transcript();
  s.type("bogus words\nreqnotifications\n");
  ASSERT_TRUE(s.waitFor("ms < SY : System ready\n")) << s.transcript();
  s.endInput();
  EXPECT_EQ(0, s.wait(30000)) << s.standardError();
  std::string sig = "SIG: ";
  for (int i = 0; i < 16; ++i) sig += "5a ";
  // Mode N fetches no device list: every line is stamped.
  const std::vector<std::string> want = {"< CON",
                                         "> reqsignature",
                                         "< " + sig,
                                         "> reqnotifications",
                                         "< PS : 0001, 0102",
                                         "< EV : 0000, 0002, 000f",
                                         "< SY : System ready",
                                         "Unregistering on closing",
                                         "< DIS (1)"};
  std::vector<std::string> got;
  for (const std::string& line : linesOf(s.transcript())) {
    static const std::regex stamp("^[0-9]{7}ms (.*)$");
    std::smatch m;
    got.push_back(std::regex_match(line, m, stamp) ? m[1].str() : "unstamped: " + line);
  }
  EXPECT_EQ(want, got) << s.transcript();
}

// The stamped lines of a transcript without their stamps; an unstamped line
// is marked so.
std::vector<std::string> unstampedLines(const std::string& transcript) {
  std::vector<std::string> got;
  for (const std::string& line : linesOf(transcript)) {
    static const std::regex stamp("^[0-9]{7}ms (.*)$");
    std::smatch m;
    got.push_back(std::regex_match(line, m, stamp) ? m[1].str() : "unstamped: " + line);
  }
  return got;
}

// The ParamDB console with a piped script and standard output on a
// terminal, against devsim's default parameter table.
class ParamDbConsoleRun {
 public:
  ParamDbConsoleRun(const std::string& work, const std::string& hwid, const std::string& script)
      : runner_("/bin/sh", work) {
    started_ = session_.start(runner_, {"-c", "printf '%s' \"$1\" | { shift; exec \"$0\" \"$@\"; }",
                                        kProgram, script, hwid, "N", "ParamDB"});
  }
  bool started() const { return started_; }
  shelltest::TerminalSession& session() { return session_; }

 private:
  ShellRunner runner_;
  shelltest::TerminalSession session_;
  bool started_ = false;
};

std::vector<std::string> withPrefix(const std::vector<std::string>& lines,
                                    const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

TEST_F(ProtoprobeRoad, ParamDbConsoleScriptWaitsForItsReplies) {
  ParamDbConsoleRun run(work_, lowerHex(hwidOf("")),
                        "reqsignature\nread 000b\n\nbogus\nwrite 0010 0a0b0c\nread 0010\nread 00b\n"
                        "reqstore\n");
  ASSERT_TRUE(run.started());
  auto& s = run.session();
  EXPECT_EQ(0, s.wait(60000)) << s.transcript() << s.standardError();
  const std::vector<std::string> lines = unstampedLines(s.transcript());
  ASSERT_GE(lines.size(), 3u) << s.transcript();
  EXPECT_EQ(lines.front(), "< CON");
  // The script runs ahead of the replies; each kind keeps its order.
  EXPECT_EQ(withPrefix(lines, "> "),
            (std::vector<std::string>{"> reqsignature", "> read 000b", "> write 0010 0a0b0c",
                                      "> read 0010", "> read 00b", "> reqstore"}))
      << s.transcript();
  EXPECT_EQ(withPrefix(lines, "< "),
            (std::vector<std::string>{
                "< CON", "< SIG: c0 c1 c2 c3 c4 c5 c6 c7 c8 c9 ca cb cc cd ce cf ",
                "< RD :  idx=0x000b, sz=0x0004, dat=de ad be ef ", "< WR :  idx=0x0010, res=0x01",
                "< RD :  idx=0x0010, sz=0x0003, dat=0a 0b 0c ",
                "< RD :  idx=0x000b, sz=0x0004, dat=de ad be ef ", "< STO: 1", "< DIS (1)"}))
      << s.transcript();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Unregistering on closing");
  EXPECT_EQ(lines.back(), "< DIS (1)");
}

TEST_F(ProtoprobeRoad, ParamDbConsoleAborts) {
  const struct {
    const char* script;
    const char* echoed;  // "" none
  } cases[] = {
      {"read b\n", ""},  // one digit is not a 2-byte index
      {"read\n", ""},
      {"write 0010\n", ""},
      {"write\n", ""},
      {"read 000b\nquit\nread 000b\n", "> read 000b"},
      {"autoread 0001 b\n", "> autoread 0001 b"},  // the input ends right after a bad index
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    ParamDbConsoleRun run(work_, lowerHex(hwidOf("")), c.script);
    ASSERT_TRUE(run.started());
    auto& s = run.session();
    EXPECT_EQ(256 - 12, s.wait(60000)) << s.transcript() << s.standardError();
    const std::vector<std::string> lines = unstampedLines(s.transcript());
    const std::vector<std::string> echoes = withPrefix(lines, "> ");
    EXPECT_EQ(echoes, *c.echoed ? std::vector<std::string>{c.echoed} : std::vector<std::string>{})
        << s.transcript();
    // A reply still on its way may come between the ending and the close.
    const auto aborted = std::find(lines.begin(), lines.end(), "Aborted");
    ASSERT_NE(aborted, lines.end()) << s.transcript();
    ASSERT_NE(aborted + 1, lines.end()) << s.transcript();
    EXPECT_EQ(aborted[1], "Unregistering on closing") << s.transcript();
    EXPECT_EQ(lines.back(), "< DIS (1)") << s.transcript();
  }
}

// A device that never comes: the console gives up after 5 s, and the
// process ends with its worker stopped and nothing registered.
TEST_F(ProtoprobeRoad, ParamDbConsoleGivesUpOnADeviceThatNeverConnects) {
  ParamDbConsoleRun run(work_, lowerHex(e2e::Road::makeHwId(0xE0)), "read 000b\n");
  ASSERT_TRUE(run.started());
  auto& s = run.session();
  EXPECT_EQ(256 - 10, s.wait(60000)) << s.transcript() << s.standardError();
  EXPECT_EQ(unstampedLines(s.transcript()), std::vector<std::string>{"Remote connection timed out"})
      << s.transcript();
  static const std::regex stamp(
      "^(000[5-9]|00[1-9][0-9])[0-9]{3}ms Remote connection timed out\n$");
  EXPECT_TRUE(std::regex_match(s.transcript(), stamp)) << s.transcript();
}

// Replies that never come: the end of input waits 2.5 s after the last
// event for them, then gives up with -11.
TEST_F(ProtoprobeRoad, ParamDbConsoleTimesOutOnReceiving) {
  ParamDbConsoleRun run(work_, lowerHex(hwidOf("pardb-silent")), "read 000b\nread 0001\n");
  ASSERT_TRUE(run.started());
  auto& s = run.session();
  EXPECT_EQ(256 - 11, s.wait(60000)) << s.transcript() << s.standardError();
  const std::vector<std::string> lines = unstampedLines(s.transcript());
  EXPECT_EQ(withPrefix(lines, "> "), (std::vector<std::string>{"> read 000b", "> read 0001"}));
  EXPECT_TRUE(withPrefix(lines, "< RD").empty()) << s.transcript();
  ASSERT_GE(lines.size(), 3u) << s.transcript();
  // The channel is dropped for the overdue replies on the way (DIS (3)).
  EXPECT_NE(std::find(lines.begin(), lines.end(), "< DIS (3)"), lines.end()) << s.transcript();
  const auto timedOut = std::find(lines.begin(), lines.end(), "Timed out on receiving");
  ASSERT_NE(timedOut, lines.end()) << s.transcript();
  ASSERT_NE(timedOut + 1, lines.end());
  EXPECT_EQ(timedOut[1], "Unregistering on closing");
}

// Autoread of three indices redraws each value on its own line below the
// cursor, again and again; the end of input ends it and the console.
TEST_F(ProtoprobeRoad, ParamDbConsoleAutoreadRedrawsInPlace) {
  ShellRunner runner("/bin/sh", work_);
  shelltest::TerminalSession s;
  ASSERT_TRUE(s.start(
      runner, {"-c", "exec \"$0\" \"$@\"", kProgram, lowerHex(hwidOf("")), "N", "ParamDB"}));
  ASSERT_TRUE(s.waitFor("ms < CON\n")) << s.transcript();
  s.type("autoread 0001 000b 0100\n");
  const std::string first = "\rRD :  idx=0x0001, sz=0x0002, dat=01 00 ";
  const std::string second = "\x1b[B\rRD :  idx=0x000b, sz=0x0004, dat=de ad be ef \x1b[A";
  const std::string third =
      "\x1b[B\x1b[B\rRD :  idx=0x0100, sz=0x0004, dat=01 08 00 00 \x1b[A\x1b[A";
  // Each is drawn again as its re-read comes back.
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(s.waitFor(first)) << round << s.transcript();
    ASSERT_TRUE(s.waitFor(second)) << round << s.transcript();
    ASSERT_TRUE(s.waitFor(third)) << round << s.transcript();
  }
  EXPECT_EQ(std::string::npos, s.transcript().find("< RD")) << s.transcript();
  // A new line ends the display; its read is a stamped line again.
  s.type("read 000b\n");
  ASSERT_TRUE(s.waitFor("ms < RD :  idx=0x000b")) << s.transcript();
  s.type("autoread 0001 000b\n");
  ASSERT_TRUE(s.waitFor(second)) << s.transcript();
  s.endInput();
  EXPECT_EQ(0, s.wait(60000)) << s.transcript() << s.standardError();
  EXPECT_NE(std::string::npos, s.transcript().find("Unregistering on closing")) << s.transcript();
}

// The file server runner on the device with storage: its volume "root" is
// <base>/storage/dev1/root.
TEST_F(ProtoprobeRoad, FileServerRunner) {
  const std::string hex = lowerHex(hwidOf(""));
  const std::string root = road_->baseDir() + "/storage/dev1/root";
  const std::string local = work_ + "/local.bin", back = work_ + "/back.bin";
  std::string content;
  for (int i = 0; i < 5000; ++i) content += char(i * 7 + (i >> 8));
  std::ofstream(local, std::ios::binary) << content;

  ShellResult r = run({hex, "N", "FileServer", "root", "D", local, "probe.bin", "030A"});
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ(0u, r.out.rfind("\nDownloading " + local + " to probe.bin\n", 0)) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Transferred      5000 of 5000\r")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\nOperation successfully terminated (")) << r.out;
  EXPECT_EQ(content, slurp(root + "/probe.bin"));

  r = run({hex, "N", "FileServer", "root", "l"});
  EXPECT_EQ(0, r.status) << r.out;
  const std::string header = "\nName" + std::string(28, ' ') + "      Size Attr \n";
  EXPECT_EQ(0u, r.out.rfind(header, 0)) << r.out;
  // 030A is read as the number 30.
  EXPECT_NE(std::string::npos,
            r.out.find("probe.bin" + std::string(23, ' ') + "      5000 001eh\n"))
      << r.out;

  r = run({hex, "N", "FileServer", "root", "U", back, "probe.bin"});
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ(0u, r.out.rfind("\nUploading probe.bin to " + back + "\n", 0)) << r.out;
  EXPECT_EQ(content, slurp(back));

  r = run({hex, "N", "FileServer", "root", "R", "probe.bin"});
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_FALSE(std::ifstream(root + "/probe.bin").good());
  r = run({hex, "N", "FileServer", "root", "R", "probe.bin"});
  EXPECT_EQ(253, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\nOperation aborted with error: -")) << r.out;

  std::string usage;
  for (const char* line :
       {"", "Available command line:",
        "  <device> D <localfilename> <remotefilename> <attributes>: transfer local to remote",
        "  <device> U <localfilename> <remotefilename>             : transfer remote to local",
        "  <device> L                                              : directory listing",
        "  <device> R <remotefilename>                             : delete file", "",
        "Example:", "  root D myfile.bin myfile 030A"})
    usage += std::string(line) + "\n";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{hex, "N", "FileServer", "root", "L", "extra"},
        {hex, "N", "FileServer", "HELP", "L"},
        {hex, "N", "FileServer", "root"},
        {hex, "N", "FileServer"}}) {
    r = run(args);
    EXPECT_EQ(255, r.status) << args.size();
    EXPECT_EQ(usage, r.out) << args.size();
  }

  r = run({"00000000000000000000000000000000", "N", "FileServer", "root", "L"});
  EXPECT_EQ(254, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\nError on connection to remote party\n")) << r.out;
}

TEST(ProtoprobeWithoutHub, RpcFailed) {
  e2e::Road road;  // a runtime dir with no server in it
  ASSERT_TRUE(road.ok());
  const std::string work = road.baseDir();
  ShellRunner runner(kProgram, work);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"L"}, {"00112233445566778899aabbccddeeff", "C", "1"}}) {
    const ShellResult r = runner.run(args);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ("RPC failed\n", r.out);
  }
}

}  // namespace
