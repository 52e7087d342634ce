// The raw transaction benchmark on protocol id 127. After an 8-byte set-up
// (u32 total, u16 packet size, u8 mode, u8 padding; little-endian) it runs
// one of three directions:
//   X  random data out, the device's transformed echo checked byte by byte;
//   D  random data out, the device reports counts and a 16-bit running sum;
//   U  the device sends packets numbered from 0 in their first two bytes.
// No more than 8 packets' worth of data is ever ahead of what came back.
//
// Results: 0 passed; -10 the channel was closed; -11 a wrong echo byte or
// sequence number (or an echo byte with nothing sent to compare it with);
// -12 nothing came for the receive time-out; -13 (D) the device's final sum
// differs from the data sent, whatever else happened.
//
// Threads: run on the owner's thread; deliver and close on the channel's
// pipe thread. The counter mutex guards the counters and flags; the pipe
// thread alone touches the comparison state once the set-up has gone out.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>

#include "plat/threadsafety.h"
#include "translayer/BlockingQueue.h"
#include "translayer/Event.h"
#include "translayer/Payload.h"
#include "translayer/TrIfTranRemote.h"

namespace protoprobe {

enum BenchMode : int { kBenchX = 1, kBenchD = 2, kBenchU = 3 };

// The lengths a run can be asked for without an empty or overlong packet:
// X 1 <= packet <= 1024, 0 <= span < packet, packet + span <= 1025;
// D and U 1 <= packet <= 1024; the total not negative.
bool benchmarkArgumentsValid(int mode, long long total, long long packet, long long span);

class ProtExercizer final : public translayer::TrIfTranRemote {
 public:
  // `sender` carries the payloads (the channel client); reports go to `out`.
  ProtExercizer(TrIfTranRemote& sender, std::ostream& out, int receiveTimeoutMs = 5000);
  ~ProtExercizer();

  // One run; the arguments must have passed benchmarkArgumentsValid.
  int run(int mode, uint32_t total, uint16_t packetSize, uint16_t span);

  bool deliver(std::shared_ptr<translayer::TrIfTranPayload> chunk) override;
  void close(bool wait) override;

  static constexpr uint8_t kEchoSeed = 0x46;
  static constexpr int kWindowPackets = 8;

 private:
  int exchange(uint32_t total, uint16_t packetSize, uint16_t span, uint64_t* sent);
  void sendSetup(uint32_t total, uint16_t packetSize);
  uint16_t sendPacket(uint32_t left, uint16_t packetSize, uint16_t span);
  void flagMismatch();
  bool deliverEcho(const translayer::TrIfTranPayload& chunk, size_t length);

  translayer::TrIfTranRemote& sender_;
  std::ostream& out_;
  const int receiveTimeoutMs_;
  int mode_ = kBenchX;
  uint16_t sentSum_ = 0;  // owner's thread

  plat::Mutex mutex_;
  uint64_t received_ GUARDED_BY(mutex_) = 0;
  bool mismatch_ GUARDED_BY(mutex_) = false;
  bool remoteClose_ GUARDED_BY(mutex_) = false;
  uint16_t deviceSum_ GUARDED_BY(mutex_) = 0;
  translayer::Event progress_;

  // Pipe thread once the run has started.
  translayer::BlockingQueue<translayer::TrIfTranPayload>
      compare_;  // X: payloads sent, oldest first
  std::shared_ptr<translayer::TrIfTranPayload> current_;
  size_t readIndex_ = 0;
  uint8_t echoState_ = kEchoSeed;
  uint16_t expectedSequence_ = 0;
};

}  // namespace protoprobe
