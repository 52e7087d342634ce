// The benchmark echo service (protocol id 127), the device end of the raw
// transaction benchmark.
//
// Every run starts with an 8-byte set-up at the head of a message, all
// little-endian:
//   u32 total bytes, u16 packet size, u8 mode (1 X, 2 D, 3 U), u8 padding.
// Then, by mode:
//   X  every data byte s that follows is answered with one byte:
//      state = rotate-left-1(state XOR s), starting from 0x46 each run;
//      the echo keeps the host's fragment boundaries.
//   D  every fragment of data is answered with a 4-byte report of its own:
//      u16 bytes since the previous report, u16 running 16-bit sum of all
//      data bytes of the run.
//   U  the host sends nothing more; the device sends `total` bytes in
//      packets of one link frame each (packet size, clipped to the frame's
//      data room, at least 2), each starting with a u16 sequence number from
//      0; the last packet carries the message's end.
// A run ends when its total has been taken or its message ends; the next
// bytes start a new set-up. A set-up with another mode closes the channel.
//
// Fault knobs (BenchFault) show the host's error paths. Each strikes once a
// run is half through (the data byte or upload packet at half its total) and
// holds for the rest of the run.
//
// Threads: onData and onClosed on the device's thread. An upload runs on the
// service's own thread ("devsim-upload"), which the destructor stops.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devsim/Service.h"
#include "plat/threadsafety.h"

namespace devsim {

enum class BenchFault {
  kNone,
  kWrongEcho,      // X: the echo byte at the fault point is wrong
  kWrongSequence,  // U: the packet at the fault point skips a sequence number
  kBadSum,         // D: the reports from the fault point on carry a wrong sum
  kSilence,        // every mode: nothing more is sent; the channel stays open
  kClose,          // every mode: the device closes the channel
};

// "wrong-echo", "wrong-sequence", "bad-sum", "silence", "close"; false for
// any other text.
bool parseBenchFault(const std::string& text, BenchFault* fault);

struct BenchEchoOptions {
  BenchFault fault = BenchFault::kNone;
  // Data bytes one device frame carries (the device's maximum frame length
  // less the control and channel bytes): the largest upload packet that
  // reaches the host as one payload.
  size_t frameData = 253;
  // Upload pacing: how many data frames the device has sent so far (first
  // sends only); null queues an upload whole, which suits small totals only.
  std::function<uint64_t()> framesSent;
  // How many upload frames may wait ahead of the link.
  size_t uploadBacklog = 64;
};

class BenchEchoService : public Service {
 public:
  enum Mode : uint8_t { kModeEcho = 1, kModeDownload = 2, kModeUpload = 3 };
  static constexpr size_t kSetupLength = 8;
  static constexpr uint8_t kEchoSeed = 0x46;

  BenchEchoService(std::shared_ptr<ServiceChannel> channel, BenchEchoOptions options);
  ~BenchEchoService() override;

  void onData(const uint8_t* data, size_t length, bool last) override;
  void onClosed() override;

  static ServiceFactory factory(BenchEchoOptions options = {});

  // One step of the X mode transform.
  static uint8_t transform(uint8_t state, uint8_t sent) {
    const uint8_t x = uint8_t(state ^ sent);
    return uint8_t((x << 1) | (x >> 7));
  }

 private:
  enum class Stage { kSetup, kData, kSurplus, kRefused };

  void takeSetup();
  void takeData(const uint8_t* data, size_t length, bool last);
  // The data byte of the run where the fault strikes.
  uint32_t faultPoint() const { return total_ / 2; }
  void startUpload(uint32_t total, uint16_t packetSize);
  void stopUpload();
  void upload(uint32_t total, size_t packet);
  // Waits until the link has room for one more upload frame; false on stop.
  bool waitForRoom(uint64_t queued, uint64_t sentAtStart);

  const std::shared_ptr<ServiceChannel> channel_;
  const BenchEchoOptions options_;

  // Device thread only.
  Stage stage_ = Stage::kSetup;
  uint8_t setup_[kSetupLength] = {};
  size_t setupFill_ = 0;
  uint8_t mode_ = 0;
  uint32_t left_ = 0;  // data bytes of the run still to come
  uint32_t total_ = 0;
  uint32_t handled_ = 0;  // data bytes of the run taken so far
  bool struck_ = false;   // the fault knob has struck in this run
  uint8_t echoState_ = kEchoSeed;
  uint16_t sum_ = 0;
  std::vector<uint8_t> echo_;

  // The upload thread and its stop request.
  std::thread uploader_;
  plat::Mutex mutex_;
  plat::CondVar wake_;
  bool stopUpload_ GUARDED_BY(mutex_) = false;
};

}  // namespace devsim
