// One attached device: its I/O thread "USBChannel" opens the device, checks
// the link descriptor and moves link frames between the bulk pipes and the
// server's callbacks, packed into transfer records.
//
// Threads and locks:
// - The I/O thread owns the device, the buffers and the transfer state.
// - callbackMutex_ guards rx_, tx_, context_ and connected_; it is held
//   around every rx and tx call and by connect()/disconnect(). The I/O thread
//   never waits while holding it.
// - stateMutex_ guards stopRequested_; completionMutex_ guards the completion
//   records that TransferSink calls leave for the I/O thread (any thread).
// - No lock of the channel is held while another is taken, except that the
//   exports hold the discovery mutex around connect()/disconnect()/info().
// - The transmit event (an eventfd handed to the server) and the channel
//   live until ChannelDisconnect or EnvDestroy, even after the removal report.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TransferRecords.h"
#include "UsbBackend.h"
#include "plat/threadsafety.h"
#include "plat/wake.h"
#include "translayer/Event.h"
#include "translayer/ThreadBase.h"
#include "usblink/MediaInterface.h"

namespace usblink {

// Told when a channel's I/O thread ends on an error after a successful
// set-up (the device is then reported removed). Called on that I/O thread,
// with no channel lock held.
class ChannelOwner {
 public:
  virtual void channelFailed(uint32_t index) = 0;

 protected:
  ~ChannelOwner() = default;
};

class USBChannel : public translayer::ThreadBase, private TransferSink {
 public:
  static constexpr int kIdlePeriodMs = 500;
  static constexpr uint16_t kCloseTimeoutMs = 5000;
  // Turns taken on this thread's own completions before the loop polls.
  static constexpr int kOwnTurnsLimit = 8;

  // Copies the path with its ASCII letters upper-cased. No thread yet.
  USBChannel(uint32_t index, const std::string& path, UsbBus* bus, ChannelOwner* owner);
  ~USBChannel() override;

  uint32_t index() const { return index_; }
  const std::string& path() const { return path_; }

  // Waits until the I/O thread has finished its set-up, successful or not.
  void waitStarted() { started_.wait(); }
  // Ends the I/O thread: its transfers are cancelled and waited for before it
  // returns. Any thread but the I/O thread.
  void stop();

  // The record GetChannelInfo fills.
  void describe(MediaChannelInfo* info) const;
  void connect(ChannelRxCallback rx, ChannelTxCallback tx, void* context, int* txEvent);
  void disconnect();
  // Callbacks are set (ChannelConnect without ChannelDisconnect since).
  bool connected() const;

 protected:
  void run() override;

 private:
  struct Completion {
    TransferStatus status;
    size_t bytes;
  };

  void readDone(TransferStatus status, size_t bytes) override;
  void writeDone(TransferStatus status, size_t bytes) override;
  void noteCompletion(std::optional<Completion>* slot, Completion c);
  // Before and after a wait that may block: false (do not block) when a
  // completion is already booked.
  bool goToSleep();
  void wakeUp();

  bool setUp();
  // The transfer loop; false when it ended on an error.
  bool transfer();
  // Book one completion; false when it ends the channel.
  bool handleRead(const Completion& c);
  bool handleWrite(const Completion& c);
  bool startRead();
  bool fetch(bool idle);
  void drainTransfers();
  bool stopRequested() const;
  void takeCompletions(std::optional<Completion>* read, std::optional<Completion>* write);

  const uint32_t index_;
  const std::string path_;
  UsbBus* const bus_;
  ChannelOwner* const owner_;

  translayer::Event started_;
  std::atomic<uint16_t> frameLimit_{0};  // L; 0 until the descriptor was read
  plat::WakeEvent txEvent_;              // set by the server
  plat::WakeEvent wake_;                 // completions and stop

  mutable plat::Mutex stateMutex_;
  bool stopRequested_ GUARDED_BY(stateMutex_) = false;

  mutable plat::Mutex callbackMutex_;
  ChannelRxCallback rx_ GUARDED_BY(callbackMutex_) = nullptr;
  ChannelTxCallback tx_ GUARDED_BY(callbackMutex_) = nullptr;
  void* context_ GUARDED_BY(callbackMutex_) = nullptr;
  bool connected_ GUARDED_BY(callbackMutex_) = false;

  plat::Mutex completionMutex_;
  std::optional<Completion> readCompletion_ GUARDED_BY(completionMutex_);
  std::optional<Completion> writeCompletion_ GUARDED_BY(completionMutex_);
  bool sleeping_ GUARDED_BY(completionMutex_) = false;  // the I/O thread waits for the wake event

  // Set once by the I/O thread before its first transfer.
  std::atomic<std::thread::id> ioThread_{};

  // I/O thread only.
  bool ownCompletion_ = false;  // a completion booked on this thread awaits the loop
  std::unique_ptr<UsbDevice> device_;
  uint16_t inMaxPacket_ = 0;
  uint16_t outMaxPacket_ = 0;
  uint16_t transferSize_ = 0;
  std::unique_ptr<RecordSplitter> splitter_;
  std::vector<uint8_t> txBuffer_;
  bool readPending_ = false;
  bool writePending_ = false;
  size_t writeLength_ = 0;
  bool zeroPacketDue_ = false;  // the pending write needs a zero-length packet after it
  bool txWanted_ = false;       // a transmit request came since the last fetch
  bool moreToSend_ = false;     // the last fetch stopped for room, not for want of frames
};

}  // namespace usblink
