// The benchmark: the lengths it accepts, and runs against a scripted device.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ProtExercizer.h"
#include "RecordingSender.h"

using translayer::TrIfTranPayload;

namespace protoprobe {
namespace {

using Bytes = std::vector<uint8_t>;

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

}  // namespace
}  // namespace protoprobe
