// The exerciser's pieces in process: hex text, mode selection, the argument
// check, the raw console's exact output and payloads, and the benchmark
// against a scripted device.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "FileServerRunner.h"
#include "HexText.h"
#include "ParamDbConsole.h"
#include "Program.h"
#include "ProtConsole.h"
#include "ProtExercizer.h"
#include "ProtocolConsoles.h"
#include "StatusConsole.h"
#include "fsproto/fsproto.h"
#include "pardbproto/pardbproto.h"
#include "statproto/statproto.h"

using translayer::HwId;
using translayer::TrIfTranPayload;
using translayer::TrIfTranRemote;

namespace protoprobe {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(HexTextTest, PairsReadAsStrtolReadsThem) {
  const struct {
    const char* text;
    Bytes bytes;
  } cases[] = {
      {"", {}},
      {"0a0b", {0x0a, 0x0b}},
      {"0a0b0", {0x0a, 0x0b, 0x00}},
      {"FFfe", {0xff, 0xfe}},
      {"0gzz7z", {0x00, 0x00, 0x07}},
      {"5", {0x05}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.bytes, hexToBytes(c.text)) << c.text;
}

TEST(HexTextTest, LongTextsKeepTheirPositions) {
  // Past 65535 characters a 16-bit position would wrap to the start.
  std::string text(70000, '1');
  text += "ab";
  const Bytes bytes = hexToBytes(text);
  ASSERT_EQ(35001u, bytes.size());
  EXPECT_EQ(0x11, bytes[0]);
  EXPECT_EQ(0xab, bytes.back());
}

TEST(HexTextTest, HwIdTextIsExactly32HexDigits) {
  EXPECT_TRUE(isHwIdText("000102030405060708090a0b0c0d0e0f"));
  EXPECT_TRUE(isHwIdText("000102030405060708090A0B0C0D0E0F"));
  EXPECT_FALSE(isHwIdText("000102030405060708090a0b0c0d0e0"));    // 31
  EXPECT_FALSE(isHwIdText("000102030405060708090a0b0c0d0e0f0"));  // 33
  EXPECT_FALSE(isHwIdText("000102030405060708090a0b0c0d0e0g"));
}

TEST(CommandLineTest, ModeSelection) {
  const struct {
    std::vector<std::string> args;
    Mode mode;
  } cases[] = {
      {{"p"}, Mode::kNone},
      {{"p", "L"}, Mode::kList},
      {{"p", "list"}, Mode::kList},
      {{"p", "L", "x"}, Mode::kNone},
      {{"p", "h", "X", "1", "2", "3"}, Mode::kBenchX},
      {{"p", "h", "xray", "1", "2", "3"}, Mode::kBenchX},
      {{"p", "h", "X", "1", "2"}, Mode::kNone},
      {{"p", "h", "D", "1", "2"}, Mode::kBenchD},
      {{"p", "h", "u", "1", "2"}, Mode::kBenchU},
      {{"p", "h", "U", "1", "2", "3"}, Mode::kNone},
      {{"p", "h", "C"}, Mode::kNone},
      {{"p", "h", "C", "1"}, Mode::kRawConsole},
      {{"p", "h", "c", "1", "extra", "words"}, Mode::kRawConsole},
      {{"p", "h", "N"}, Mode::kNamedConsole},
      {{"p", "h", "N", "ParamDB", "help"}, Mode::kNamedConsole},
      {{"p", "h", "", "1"}, Mode::kNone},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    EXPECT_EQ(int(c.mode), int(selectMode(c.args).mode)) << line;
  }
  EXPECT_EQ(44, selectMode({"p", "h", "C", "300"}).protocolId);
  const Invocation named = selectMode({"p", "h", "N", "Status", "a", "b"});
  EXPECT_EQ("Status", named.consoleName);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), named.consoleArgs);
  const Invocation bench = selectMode({"p", "h", "X", "1000", "100", "junk"});
  EXPECT_EQ(1000, bench.total);
  EXPECT_EQ(100, bench.packet);
  EXPECT_EQ(0, bench.span);
}

TEST(CommandLineTest, BenchmarkLengthsThatFitAPayload) {
  const struct {
    int mode;
    long long total, packet, span;
    bool valid;
  } cases[] = {
      {kBenchX, 1000, 1024, 1, true},  {kBenchX, 1000, 1024, 2, false},
      {kBenchX, 1000, 513, 512, true}, {kBenchX, 1000, 514, 512, false},
      {kBenchX, 1000, 10, 10, false},  {kBenchX, 1000, 10, 9, true},
      {kBenchX, 1000, 10, -1, false},  {kBenchX, 1000, 0, 0, false},
      {kBenchX, -1, 10, 0, false},     {kBenchX, 0, 10, 0, true},
      {kBenchD, 1000, 1025, 0, false}, {kBenchD, 1000, 1, 0, true},
      {kBenchU, 1000, 0, 0, false},    {kBenchU, 1000, -5, 0, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.valid, benchmarkArgumentsValid(c.mode, c.total, c.packet, c.span))
        << c.mode << " " << c.total << " " << c.packet << " " << c.span;
}

// Records what a receiver hands to its channel.
class RecordingSender : public TrIfTranRemote {
 public:
  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override {
    std::lock_guard<std::mutex> lock(mutex);
    payloads.push_back(chunk);
    if (onDeliver) onDeliver(chunk);
    return true;
  }
  void close(bool) override { ++closes; }
  std::mutex mutex;
  std::vector<std::shared_ptr<TrIfTranPayload>> payloads;
  std::function<void(std::shared_ptr<TrIfTranPayload>)> onDeliver;
  int closes = 0;
};

std::shared_ptr<TrIfTranPayload> payloadOf(const Bytes& bytes, bool last) {
  auto p = std::make_shared<TrIfTranPayload>();
  p->length = uint16_t(bytes.size());
  p->last = last ? 1 : 0;
  std::copy(bytes.begin(), bytes.end(), p->data);
  return p;
}

// Keys from a script; each key may first run an action (a device message).
struct KeyScript {
  std::deque<std::function<int()>> steps;
  void key(int k) {
    steps.push_back([k] { return k; });
  }
  void keys(const std::string& text) {
    for (unsigned char c : text) key(c);
  }
  void then(std::function<void()> action, int k) {
    steps.push_back([action, k] {
      action();
      return k;
    });
  }
  int next() {
    if (steps.empty()) return -1;
    auto step = steps.front();
    steps.pop_front();
    return step();
  }
};

struct ConsoleFixture {
  RecordingSender sender;
  std::string screen;
  ProtConsole console{sender, [this](std::string_view t) { screen.append(t); }};
  KeyScript script;
  int run() {
    return console.run([this] { return script.next(); });
  }
};

TEST(ProtConsoleTest, SessionDrawsTheExactBytes) {
  ConsoleFixture f;
  f.script.keys("1a");
  f.script.key('\r');
  // The device answers while the prompt is empty, then the user mistypes.
  f.script.then([&] { f.console.deliver(payloadOf({0x1b, 0x64, 0x65}, true)); }, 'x');
  f.script.key('y');
  f.script.key(127);
  f.script.key(8);
  f.script.key(8);  // nothing left to drop
  f.script.key(3);
  EXPECT_EQ(0, f.run());
  const std::string want =
      "\r> "
      "1"
      "a"
      "\n"
      "\r@ 1b 64 65 \n\r> 1a\n"
      "\r> x  \b\b"  // "x" is not longer than the shown "1a\n"
      "y"
      "\r> x \b"
      "\r>  \b"
      "\r> ";
  EXPECT_EQ(want, f.screen);
  ASSERT_EQ(1u, f.sender.payloads.size());
  EXPECT_EQ(1, f.sender.payloads[0]->length);
  EXPECT_EQ(0x1a, f.sender.payloads[0]->data[0]);
  EXPECT_EQ(1, f.sender.payloads[0]->last);
}

TEST(ProtConsoleTest, TypedTextBecomesPayloadsOfOneMessage) {
  const struct {
    std::string typed;
    std::vector<size_t> lengths;
  } cases[] = {
      {"0a0b0", {2}},
      {std::string(3000, '7'), {1012, 488}},
      {std::string(2024, '7') + "1", {1012, 0}},
      {"", {}},
  };
  for (const auto& c : cases) {
    ConsoleFixture f;
    f.script.keys(c.typed);
    f.script.key('\n');
    f.run();
    ASSERT_EQ(c.lengths.size(), f.sender.payloads.size()) << c.typed.size();
    for (size_t i = 0; i < c.lengths.size(); ++i) {
      EXPECT_EQ(c.lengths[i], f.sender.payloads[i]->length) << i;
      EXPECT_EQ(i + 1 == c.lengths.size(), f.sender.payloads[i]->last != 0) << i;
    }
  }
}

TEST(ProtConsoleTest, TypedPercentSignsArePrintedAsTheyAre) {
  ConsoleFixture f;
  f.script.keys("%s%n");
  EXPECT_EQ(0, f.run());  // and the end of input ends the loop
  EXPECT_EQ("\r> %s%n", f.screen);
}

TEST(ProtConsoleTest, DeviceMessagesAcrossPayloadsAndTheCap) {
  ConsoleFixture f;
  f.console.deliver(payloadOf({0x0a}, false));
  f.console.deliver(payloadOf({0xff}, false));
  EXPECT_EQ("", f.screen);
  f.console.deliver(payloadOf({0x10}, true));
  EXPECT_EQ("\r@ 0a ff 10 \n\r> ", f.screen);

  // A message that never ends is shown in lines of at most the cap.
  f.screen.clear();
  const Bytes block(1024, 0x5a);
  for (int i = 0; i < 40; ++i) f.console.deliver(payloadOf(block, false));
  size_t lines = 0, at = 0;
  while ((at = f.screen.find("\r@ ", at)) != std::string::npos) {
    const size_t end = f.screen.find('\n', at);
    ASSERT_NE(std::string::npos, end);
    EXPECT_LE(end - at - 1, ProtConsole::kAccumulatorCap);
    ++lines;
    at = end;
  }
  EXPECT_EQ(1u, lines);  // 40960 bytes are 122882 characters: one full line so far
}

TEST(ProtConsoleTest, RemoteCloseIsToldAtTheNextKey) {
  ConsoleFixture f;
  f.script.keys("1");
  f.script.then([&] { f.console.close(false); }, '2');
  f.script.keys("3");
  EXPECT_EQ(0, f.run());
  EXPECT_EQ("\r> 1\rTerminated by remote\n\r> 1", f.screen);
}

// A device for the benchmark on its own thread: answers as the device
// service does, with a few ways to go wrong.
class ScriptedDevice {
 public:
  enum class Misbehaviour { kNone, kSurplusEcho, kShortUpload, kSilent, kReportMore };

  ScriptedDevice(Misbehaviour how, size_t echoSplit) : how_(how), split_(echoSplit) {
    sender_.onDeliver = [this](std::shared_ptr<TrIfTranPayload> p) {
      std::lock_guard<std::mutex> lock(mutex_);
      inbox_.push_back(p);
      cv_.notify_one();
    };
    thread_ = std::thread([this] { loop(); });
  }
  ~ScriptedDevice() { stop(); }
  // As the channel client's destructor does: no delivery after this.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
  }
  RecordingSender& sender() { return sender_; }
  ProtExercizer* host = nullptr;

 private:
  void loop() {
    bool setupSeen = false;
    uint8_t mode = 0, state = 0x46;
    uint16_t sum = 0;
    Bytes pending;
    while (true) {
      std::shared_ptr<TrIfTranPayload> p;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return stop_ || !inbox_.empty(); });
        if (stop_) return;
        p = inbox_.front();
        inbox_.pop_front();
      }
      if (!setupSeen) {
        setupSeen = true;
        mode = p->data[6];
        const uint32_t total = p->data[0] | p->data[1] << 8 | p->data[2] << 16 | p->data[3] << 24;
        if (mode == kBenchU) upload(total);
        continue;
      }
      if (how_ == Misbehaviour::kSilent) continue;
      if (mode == kBenchD) {
        for (size_t i = 0; i < p->length; ++i) sum = uint16_t(sum + p->data[i]);
        const unsigned count = p->length + (how_ == Misbehaviour::kReportMore ? 5000 : 0);
        host->deliver(payloadOf(
            {uint8_t(count), uint8_t(count >> 8), uint8_t(sum), uint8_t(sum >> 8)}, true));
        continue;
      }
      for (size_t i = 0; i < p->length; ++i) {
        const uint8_t x = uint8_t(state ^ p->data[i]);
        state = uint8_t((x << 1) | (x >> 7));
        pending.push_back(state);
      }
      if (how_ == Misbehaviour::kSurplusEcho && p->last) pending.push_back(0);
      // The echo is cut anew, across the host's packet borders.
      while (pending.size() >= split_ || (p->last && !pending.empty())) {
        const size_t n = std::min(split_, pending.size());
        host->deliver(payloadOf(Bytes(pending.begin(), pending.begin() + long(n)), false));
        pending.erase(pending.begin(), pending.begin() + long(n));
      }
    }
  }
  void upload(uint32_t total) {
    uint16_t sequence = 0;
    for (uint32_t left = total; left > 0;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
      }
      size_t n = std::min<uint32_t>(100, left);
      if (how_ == Misbehaviour::kShortUpload && left <= 100) n = 1;
      Bytes b(n, 0);
      b[0] = uint8_t(sequence);
      if (n > 1) b[1] = uint8_t(sequence >> 8);
      host->deliver(payloadOf(b, n == left));
      left -= uint32_t(n);
      ++sequence;
    }
  }

  Misbehaviour how_;
  size_t split_;
  RecordingSender sender_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<TrIfTranPayload>> inbox_;
  bool stop_ = false;
  std::thread thread_;
};

struct BenchCase {
  const char* name;
  ScriptedDevice::Misbehaviour how;
  int mode;
  uint32_t total;
  uint16_t packet, span;
  int result;
  std::vector<std::string> lines;  // the messages before the report
};

TEST(ProtExercizerTest, RunsAgainstAScriptedDevice) {
  using M = ScriptedDevice::Misbehaviour;
  const BenchCase cases[] = {
      {"X spans", M::kNone, kBenchX, 50000, 300, 200, 0, {}},
      {"X total below packet", M::kNone, kBenchX, 10, 300, 0, 0, {}},
      {"D", M::kNone, kBenchD, 50000, 1024, 0, 0, {}},
      {"U", M::kNone, kBenchU, 50000, 100, 0, 0, {}},
      {"U nothing", M::kNone, kBenchU, 0, 100, 0, 0, {}},
      {"X surplus echo",
       M::kSurplusEcho,
       kBenchX,
       3000,
       1000,
       0,
       -11,
       {"Input data mismatch, exiting"}},
      {"U short packet",
       M::kShortUpload,
       kBenchU,
       1000,
       100,
       0,
       -11,
       {"Input data mismatch, exiting"}},
      {"X silent", M::kSilent, kBenchX, 3000, 100, 0, -12, {"Timeout on RX, exiting"}},
      {"D silent",
       M::kSilent,
       kBenchD,
       3000,
       100,
       0,
       -13,
       {"Timeout on RX, exiting", "Data checksum mismatch"}},
  };
  for (const BenchCase& c : cases) {
    ScriptedDevice device(c.how, 77);
    std::ostringstream out;
    ProtExercizer bench(device.sender(), out, 300);
    device.host = &bench;
    EXPECT_EQ(c.result, bench.run(c.mode, c.total, c.packet, c.span)) << c.name;
    device.stop();
    std::istringstream lines(out.str());
    std::string line;
    for (const std::string& want : c.lines) {
      ASSERT_TRUE(std::getline(lines, line)) << c.name;
      EXPECT_EQ(want, line) << c.name;
    }
    std::vector<std::string> report;
    while (std::getline(lines, line)) report.push_back(line);
    ASSERT_EQ(4u, report.size()) << c.name << "\n" << out.str();
    EXPECT_EQ(0u, report[0].rfind("Sent: ", 0)) << c.name;
    EXPECT_EQ(0u, report[1].rfind("Recv: ", 0)) << c.name;
    EXPECT_EQ(0u, report[2].rfind("Transaction time: ", 0)) << c.name;
    EXPECT_EQ(0u, report[3].rfind("Bandwidth: ", 0)) << c.name;
    EXPECT_EQ(std::string::npos, report[3].find("inf")) << c.name;
    EXPECT_EQ(std::string::npos, report[3].find("nan")) << c.name;
    if (c.result == 0 && c.mode != kBenchD) {
      EXPECT_EQ("Sent: " + std::to_string(c.total) + " bytes", report[0]) << c.name;
      EXPECT_EQ("Recv: " + std::to_string(c.total) + " bytes", report[1]) << c.name;
    }
    if (c.total == 0) {
      EXPECT_EQ("Bandwidth: 0kbps", report[3]);
    }
    EXPECT_EQ(1, device.sender().closes) << c.name;

    // What went out: the set-up, then packets whose lengths fit the request.
    std::lock_guard<std::mutex> lock(device.sender().mutex);
    const auto& sent = device.sender().payloads;
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(8, sent[0]->length);
    EXPECT_EQ(0, sent[0]->last);
    EXPECT_EQ(c.mode, sent[0]->data[6]);
    uint64_t bytes = 0;
    for (size_t i = 1; i < sent.size(); ++i) {
      const unsigned length = sent[i]->length;
      bytes += length;
      EXPECT_GE(length, 1u) << c.name;
      if (sent[i]->last == 0) {
        EXPECT_GE(length, unsigned(c.packet - c.span)) << c.name;
        EXPECT_LT(length, unsigned(c.packet + std::max<int>(c.span, 1))) << c.name;
      }
    }
    if (c.mode != kBenchU && c.result == 0) {
      EXPECT_EQ(c.total, bytes) << c.name;
      EXPECT_EQ(1, sent.back()->last) << c.name;
    }
  }
}

// A device that reports more than was sent puts received ahead of sent: an
// unsigned window would wrap, stop the sender and end in a time-out.
TEST(ProtExercizerTest, ReceivedAheadOfSentKeepsTheSenderGoing) {
  ScriptedDevice device(ScriptedDevice::Misbehaviour::kReportMore, 77);
  std::ostringstream out;
  ProtExercizer bench(device.sender(), out, 2000);
  device.host = &bench;
  const int result = bench.run(kBenchD, 30000, 1000, 0);
  device.stop();
  EXPECT_NE(-12, result);
  EXPECT_EQ(std::string::npos, out.str().find("Timeout")) << out.str();
  EXPECT_NE(std::string::npos, out.str().find("Sent: 30000 bytes\n")) << out.str();
}

TEST(ProtocolConsolesTest, TableLookupAndResultTexts) {
  std::ostringstream out;
  EXPECT_EQ(-1, runProtocolConsole("paramdb", HwId{}, {}, out));
  EXPECT_EQ("\nAvailable protocols:\n  ParamDB\n  FileServer\n  Status\n  DigScope\n", out.str());
  EXPECT_EQ("(rcNoError) Successful/No error", scopeResultText(0));
  EXPECT_EQ("(rcChannelNotFound) Channel not found on capture channels list", scopeResultText(16));
  EXPECT_EQ("(rcBrokenLink) Broken link", scopeResultText(1024));
  EXPECT_EQ("", scopeResultText(17));
  EXPECT_EQ("", scopeResultText(-1));
}

TEST(ProtocolConsolesTest, StampsLeaveNoStreamStateBehind) {
  using std::chrono::milliseconds;
  EXPECT_EQ("0001234ms ", StampedPrinter::stamp(milliseconds(1234)));
  EXPECT_EQ("0000000ms ", StampedPrinter::stamp(std::chrono::nanoseconds(999999)));
  EXPECT_EQ("12345678ms ", StampedPrinter::stamp(milliseconds(12345678)));
  std::ostringstream out;
  StampedPrinter printer(out);
  printer.print("< CON");
  out << 7;
  const std::string text = out.str();
  EXPECT_EQ("ms < CON\n7", text.substr(7));
}

TEST(StatusConsoleTest, EventTexts) {
  const uint8_t signature[16] = {1, 160, 255, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const uint16_t values[] = {0x1, 0xbeef, 0};
  const ProtStatusList list{3, {}, values};
  const ProtStatusList empty{0, {}, nullptr};
  const ProtStatusText text{"Fan \"2\" %s"};
  const struct {
    uint64_t event;
    const void* data;
    uint64_t length;
    std::string line;
    bool known;
  } cases[] = {
      {0, nullptr, 2, "DIS (2)", true},
      {1, nullptr, 0, "CON", true},
      {2, signature, 16, "SIG: 01 a0 ff 00 01 02 03 04 05 06 07 08 09 0a 0b 0c ", true},
      {2, signature, 15, "SIG: Invalid lenght: 15", true},
      {3, &list, 16, "EV : 0001, beef, 0000", true},
      {4, &list, 16, "PS : 0001, beef, 0000", true},
      {4, &empty, 16, "PS : ", true},
      {3, &list, 8, "Invalid lenght: 8", true},
      {5, &text, 8, "SY : Fan \"2\" %s", true},
      {5, &text, 16, "Invalid lenght: 16", true},
      {9, nullptr, 0, "Unknown event ID: 9", false},
  };
  for (const auto& c : cases) {
    bool known = !c.known;
    EXPECT_EQ(c.line, statusEventText(c.event, c.data, c.length, &known)) << c.event;
    EXPECT_EQ(c.known, known) << c.event;
  }
}

TEST(ParamDbConsoleTest, EventTexts) {
  const uint8_t signature[16] = {1, 160, 255, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const uint8_t value[3] = {0x0a, 0x0b, 0xff};
  const ProtParDBReadResult read{0x0010, {}, value, 3};
  const ProtParDBReadResult empty{0xbeef, {}, nullptr, 0};
  std::vector<uint8_t> big(0x12345, 0x5a);
  const ProtParDBReadResult large{1, {}, big.data(), big.size()};
  const ProtParDBWriteResult written{0x0010, {}, 1}, failed{0xffff, {}, 2}, wide{1, {}, 0x123};
  const uint32_t stored = 1, storeFailed = 2;
  const struct {
    uint64_t event;
    const void* data;
    uint64_t length;
    std::string line;
    bool known;
  } cases[] = {
      {0, nullptr, 3, "DIS (3)", true},
      {1, nullptr, 0, "CON", true},
      {2, signature, 16, "SIG: 01 a0 ff 00 01 02 03 04 05 06 07 08 09 0a 0b 0c ", true},
      {2, signature, 15, "SIG: Invalid lenght: 15", true},
      {3, &stored, 4, "STO: 1", true},
      {3, &storeFailed, 4, "STO: 2", true},
      {3, &stored, 3, "STO: Invalid lenght: 3", true},
      {4, &read, 24, "RD :  idx=0x0010, sz=0x0003, dat=0a 0b ff ", true},
      {4, &empty, 24, "RD :  idx=0xbeef, sz=0x0000, dat=", true},
      {4, &read, 16, "RD : Invalid lenght: 16", true},
      {5, &written, 8, "WR :  idx=0x0010, res=0x01", true},
      {5, &failed, 8, "WR :  idx=0xffff, res=0x02", true},
      {5, &wide, 8, "WR :  idx=0x0001, res=0x123", true},
      {5, &written, 24, "WR : Invalid lenght: 24", true},
      {6, nullptr, 0, "Unknown event ID: 6", false},
  };
  for (const auto& c : cases) {
    bool known = !c.known;
    EXPECT_EQ(c.line, parDbEventText(c.event, c.data, c.length, &known)) << c.event;
    EXPECT_EQ(c.known, known) << c.event;
  }
  bool known = false;
  EXPECT_EQ(
      0u,
      parDbEventText(4, &large, 24, &known).rfind("RD :  idx=0x0001, sz=0x12345, dat=5a 5a ", 0));
}

TEST(ParamDbConsoleTest, IndexText) {
  const struct {
    const char* text;
    bool ok;
    uint16_t index;
  } cases[] = {
      {"000b", true, 11},     {"00b", true, 11},      {"0010", true, 16},
      {"FFFF", true, 0xffff}, {"1234", true, 0x1234}, {"b", false, 0},
      {"0b", false, 0},       {"12345", false, 0},    {"", false, 0},
  };
  for (const auto& c : cases) {
    uint16_t index = 0xaaaa;
    EXPECT_EQ(c.ok, parseParamIndex(c.text, &index)) << c.text;
    if (c.ok) {
      EXPECT_EQ(c.index, index) << c.text;
    }
  }
}

TEST(FileServerRunnerTest, EventTextsAndListingLayout) {
  auto entry = [](const char* name, size_t nameLength, int32_t size, int16_t attributes) {
    FSrvDirEntry e{};
    std::memcpy(e.name, name, nameLength);
    e.size = size;
    e.attributes = attributes;
    return e;
  };
  const FSrvDirEntry plain = entry("hello", 5, 1024, 3);
  const FSrvDirEntry full = entry("abcdefghijklmnopqrstuvwxyz012345", 32, 7, -1);
  const int32_t progress[2] = {6, 6}, open[2] = {5, 0};
  const int32_t three = 3, failed = -19;
  const struct {
    int event;
    const void* data;
    size_t length;
    std::string text;
  } cases[] = {
      {FSRV_EVENT_DIR_ENTRY, &plain, 40, "hello" + std::string(27, ' ') + "      1024 0003h\n"},
      {FSRV_EVENT_DIR_ENTRY, &full, 40, "abcdefghijklmnopqrstuvwxyz012345         7 ffffh\n"},
      {FSRV_EVENT_DIR_ENTRY, &plain, 39, ""},
      {FSRV_EVENT_PROGRESS, progress, 8, "Transferred         6 of 6\r"},
      {FSRV_EVENT_PROGRESS, open, 8, "Transferred         5\r"},
      {FSRV_EVENT_PROGRESS, open, 4, ""},
      {FSRV_EVENT_FINISHED, &three, 4, "\nOperation successfully terminated (3).\n"},
      {FSRV_EVENT_FAILED, &failed, 4, "\nOperation aborted with error: -19\n"},
      {7, &three, 4, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.text, fileServerEventText(c.event, c.data, c.length)) << c.event;
  EXPECT_EQ("Name" + std::string(28, ' ') + "      Size Attr \n", fileListingHeader());
}

}  // namespace
}  // namespace protoprobe
