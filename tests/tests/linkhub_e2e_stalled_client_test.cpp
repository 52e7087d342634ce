// End to end: a client that stops reading a device's upload. The server
// holds only a bounded backlog for it and holds the device back meanwhile;
// the stream goes on intact when the client reads again, another device is
// served throughout, and a client that reads nothing for long loses its
// channel while the device's other channels go on.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "base/ProtocolId.h"
#include "e2e/BenchClient.h"
#include "e2e/Road.h"
#include "plat/process.h"
#include "translayer/Payload.h"
#include "translayer/TrIfTranClient.h"

using translayer::HwId;
using translayer::TrIfTranClient;
using translayer::TrIfTranPayload;
using translayer::TrIfTranRemote;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kPacket = 253;  // one device frame per packet
// Far above what the server may hold for one client, far below what an
// unbounded backlog reaches at the device's pace within the watch.
constexpr unsigned long long kGrowthLimit = 64ull << 20;

// The receiving end of an upload whose reading can be stopped: while the
// gate is shut, its pipe thread waits in deliver(), so nothing more is read
// from the pipe. Checks the packets' sequence numbers.
class StoppableUpload final : public TrIfTranRemote {
 public:
  StoppableUpload() : client_(std::make_unique<TrIfTranClient>(base::kProtocolBenchmark)) {}
  ~StoppableUpload() {
    setReading(true);
    client_.reset();  // joins the pipe thread, which calls back into this
  }

  int open(const HwId& hwid) {
    if (client_->bind() != 0) return 4;
    const int rc = client_->openChannel(hwid, this);
    if (rc != 0) return rc;
    client_->connectResult.wait();
    if (client_->notConnected != 0) return -1;
    // An upload of nearly 4 GiB: it outlasts the test.
    const uint32_t total = 0xFFFFFF00u;
    const uint8_t setup[8] = {uint8_t(total),
                              uint8_t(total >> 8),
                              uint8_t(total >> 16),
                              uint8_t(total >> 24),
                              uint8_t(kPacket),
                              uint8_t(kPacket >> 8),
                              uint8_t(BenchClient::kUpload),
                              0};
    auto chunk = std::make_shared<TrIfTranPayload>();
    chunk->length = sizeof setup;
    std::copy(setup, setup + sizeof setup, chunk->data);
    client_->TrIfTranCommon::deliver(std::move(chunk));
    return 0;
  }
  void closeChannel() { client_->TrIfTranCommon::close(false); }

  void setReading(bool reading) {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_ = reading;
    cv_.notify_all();
  }
  // Waits until `bytes` more than `from` have come; false on a close, a
  // wrong sequence number or the time-out.
  bool waitReceived(uint64_t from, uint64_t bytes, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return received_ >= from + bytes || closed_ || mismatch_; }) &&
           received_ >= from + bytes && !mismatch_;
  }
  bool waitClosed(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return closed_; });
  }
  uint64_t received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  bool mismatch() {
    std::lock_guard<std::mutex> lock(mutex_);
    return mismatch_;
  }

  bool deliver(std::shared_ptr<TrIfTranPayload> chunk) override {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return reading_; });
    const uint8_t* d = chunk->data;
    if (chunk->length < 2 || uint16_t(d[0] | d[1] << 8) != sequence_) mismatch_ = true;
    ++sequence_;
    received_ += chunk->length;
    cv_.notify_all();
    return true;
  }
  void close(bool) override {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    cv_.notify_all();
  }

 private:
  std::unique_ptr<TrIfTranClient> client_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool reading_ = true;
  bool closed_ = false;
  bool mismatch_ = false;
  uint16_t sequence_ = 0;
  uint64_t received_ = 0;
};

unsigned long long residentBytes(const Road& road) {
  unsigned long long bytes = 0;
  EXPECT_EQ(0, plat::processResidentBytes(road.hubPid(), &bytes));
  return bytes;
}

// Samples the server's memory every half second for `seconds`, printing the
// series; the largest sample.
unsigned long long watchMemory(const Road& road, int seconds, const char* what) {
  unsigned long long most = 0;
  std::fprintf(stderr, "linkhub memory, %s (MiB):", what);
  for (int i = 0; i <= 2 * seconds; ++i) {
    if (i) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const unsigned long long now = residentBytes(road);
    most = std::max(most, now);
    std::fprintf(stderr, " %.1f", double(now) / (1 << 20));
  }
  std::fprintf(stderr, "\n");
  return most;
}

class StalledClientE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(road_.ok());
    // The link's and the pipes' trace tell when the server holds the device
    // back and when it ends a channel.
    ASSERT_TRUE(road_.startHub({"VLN_TRACE=link,pipes"}));
    ASSERT_GE(road_.startDevsim({{"dev1", h1_}, {"dev2", h2_}}), 0);
    ASSERT_TRUE(road_.waitOnline({h1_, h2_}));
  }

  // An upload that has come and then stalls: the client stops reading, and
  // the server, at its bound, holds the device back.
  void startStalledUpload(StoppableUpload& upload) {
    ASSERT_EQ(0, upload.open(h1_));
    ASSERT_TRUE(upload.waitReceived(0, 1u << 20, Road::kWaitMs));
    upload.setReading(false);
    EXPECT_TRUE(waitHubSays("has no room")) << "the server went on taking the device's frames";
  }
  bool waitHubSays(const char* text, int timeoutMs = Road::kWaitMs) {
    return road_.waitHubLine(
        [&](const std::string& line) { return line.find(text) != std::string::npos; }, timeoutMs);
  }

  Road road_;
  const HwId h1_ = Road::makeHwId(0x21), h2_ = Road::makeHwId(0x61);
};

TEST_F(StalledClientE2E, MemoryStaysBoundedAndTheStreamGoesOnIntactWhenTheClientReads) {
  const unsigned long long before = residentBytes(road_);
  StoppableUpload upload;
  startStalledUpload(upload);
  if (HasFatalFailure()) return;

  // Another device is served while the client does not read.
  BenchClient other;
  ASSERT_EQ(0, other.open(h2_));
  const BenchResult echo = other.run(BenchClient::kEcho, 1u << 20, 1000, 4, Road::kWaitMs);
  EXPECT_EQ(0, echo.result);
  EXPECT_EQ(1u << 20, echo.received);

  const unsigned long long most = watchMemory(road_, 8, "upload client not reading");
  EXPECT_LT(most, before + kGrowthLimit) << "the server holds a bounded backlog per client";

  // Reading again: the stream resumes where it stopped, every packet in turn.
  const uint64_t at = upload.received();
  upload.setReading(true);
  EXPECT_TRUE(upload.waitReceived(at, 16u << 20, Road::kWaitMs));
  EXPECT_FALSE(upload.mismatch());
  upload.closeChannel();
  EXPECT_TRUE(upload.waitClosed(Road::kWaitMs));
}

TEST_F(StalledClientE2E, AClientThatReadsNothingForLongLosesItsChannelAndTheDeviceGoesOn) {
  const unsigned long long before = residentBytes(road_);
  StoppableUpload upload;
  startStalledUpload(upload);
  if (HasFatalFailure()) return;

  // A second channel on the same device waits behind the stalled one, and
  // is served once the server has ended that one (30 s of no reading).
  BenchClient sameDevice;
  ASSERT_EQ(0, sameDevice.open(h1_));
  const BenchResult echo =
      sameDevice.run(BenchClient::kEcho, 64u << 10, 1000, 6, 3 * Road::kWaitMs);
  EXPECT_EQ(0, echo.result);
  EXPECT_EQ(64u << 10, echo.received);
  EXPECT_TRUE(waitHubSays("the peer read nothing for the stall limit"));
  // The client's reader returns at last: it reads what the pipe still held,
  // in order, and finds the channel ended.
  upload.setReading(true);
  EXPECT_TRUE(upload.waitClosed(3 * Road::kWaitMs)) << "the server ended the stalled channel";
  EXPECT_FALSE(upload.mismatch());

  const unsigned long long after = watchMemory(road_, 1, "after the stalled channel ended");
  EXPECT_LT(after, before + kGrowthLimit);
  // The device serves new channels as before.
  BenchClient again;
  ASSERT_EQ(0, again.open(h1_));
  EXPECT_EQ(0, again.run(BenchClient::kEcho, 256u << 10, 700, 8, Road::kWaitMs).result);
}

}  // namespace
}  // namespace e2e
