// The host side of the raw transaction benchmark on protocol id 127, over a
// TrIfTranClient channel: the set-up record, then X (echo checked byte by
// byte against the device's transform), D (the device reports counts and a
// 16-bit sum) or U (the device sends numbered packets). The sender keeps at
// most 8 packets of data ahead of what has come back.
//
// Beside the result of a run it measures the longest gap between two
// deliveries, so a stream paced by an idle timer shows.
//
// Threads: open, run, pingPong and close on the owner's thread; deliver and
// close(bool) on the channel's pipe thread. One lock guards the counters.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include "plat/threadsafety.h"
#include "translayer/HwId.h"
#include "translayer/TrIfTranClient.h"
#include "translayer/TrIfTranRemote.h"

namespace e2e {

struct BenchResult {
  // 0 done; -10 the channel was closed; -11 a wrong byte or sequence number;
  // -12 nothing came for the receive time-out; -13 (D) the device's sum
  // differs from what was sent.
  int result = 0;
  uint64_t sent = 0;
  uint64_t received = 0;
  double seconds = 0;
  double longestGapMs = 0;  // between two deliveries, after the first
  uint64_t deliveries = 0;
  uint64_t roundTrips = 0;  // pingPong only
};

class BenchClient final : public translayer::TrIfTranRemote {
 public:
  enum Mode : uint8_t { kEcho = 1, kDownload = 2, kUpload = 3 };

  BenchClient();
  ~BenchClient();
  BenchClient(const BenchClient&) = delete;
  BenchClient& operator=(const BenchClient&) = delete;

  // Binds, opens a protocol 127 channel on `hwid` and waits for the pipe:
  // 0, or the open's result (1-4), or -1 when the pipe did not connect.
  int open(const translayer::HwId& hwid);
  // One benchmark run on the open channel.
  BenchResult run(Mode mode, uint32_t total, uint16_t packetSize, uint32_t seed = 1,
                  int receiveTimeoutMs = 5000);
  // Request and reply: `count` X-mode packets of `size` bytes, each sent
  // only once the echo of the one before is complete.
  BenchResult pingPong(uint32_t count, uint16_t size, int receiveTimeoutMs = 5000);
  // Closes the channel (no wait).
  void close();
  // True once the channel has ended from the far side or locally.
  bool waitClosed(int timeoutMs);

  // TrIfTranRemote, on the pipe thread.
  bool deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) override;
  void close(bool wait) override;

 private:
  using Clock = std::chrono::steady_clock;

  void begin(Mode mode);
  void sendPayload(const uint8_t* data, size_t length, bool last);
  // Waits for progress; false on time-out. Called with the lock held. Only
  // a close, a wrong byte or received_ reaching `wakeAt` wakes it early.
  bool waitProgress(plat::UniqueLock& lock, int timeoutMs, uint64_t seen, uint64_t wakeAt)
      REQUIRES(mutex_);
  BenchResult finish(int result, uint64_t sent, Clock::time_point start);

  std::unique_ptr<translayer::TrIfTranClient> client_;

  plat::Mutex mutex_;
  plat::CondVar progress_;
  // Guarded by mutex_:
  Mode mode_ GUARDED_BY(mutex_) = kEcho;
  uint64_t received_ GUARDED_BY(mutex_) = 0;
  uint64_t events_ GUARDED_BY(mutex_) = 0;  // bumped by every delivery and by close
  uint64_t wakeAt_ GUARDED_BY(mutex_) =
      0;  // deliveries wake the waiter once received_ reaches this
  bool mismatch_ GUARDED_BY(mutex_) = false;
  bool closed_ GUARDED_BY(mutex_) = false;
  uint8_t echoState_ GUARDED_BY(mutex_) = 0x46;
  std::deque<uint8_t> awaiting_ GUARDED_BY(mutex_);  // X: sent bytes whose echo has not come
  uint16_t deviceSum_ GUARDED_BY(mutex_) = 0;
  uint16_t expectedSequence_ GUARDED_BY(mutex_) = 0;
  Clock::time_point lastDelivery_ GUARDED_BY(mutex_){};
  double longestGapMs_ GUARDED_BY(mutex_) = 0;
  uint64_t deliveries_ GUARDED_BY(mutex_) = 0;
};

}  // namespace e2e
