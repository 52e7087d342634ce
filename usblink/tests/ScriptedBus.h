// A bus for tests: each device follows a script of canned answers (control
// transfers, bulk reads, write completions) and records what the channel
// did to it. Calls beyond the script fail and are counted as unexpected.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UsbBackend.h"

namespace usblink::test {

using Bytes = std::vector<uint8_t>;

inline constexpr int kWaitMs = 10000;  // generous: only a fault makes a wait run out

struct ControlStep {
  ControlSetup expect;
  Bytes answer;
  bool fail = false;
};

struct ReadStep {
  Bytes bytes;
  TransferStatus status = TransferStatus::kDone;
};

struct WriteStep {
  static constexpr size_t kWhole = SIZE_MAX;
  TransferStatus status = TransferStatus::kDone;
  size_t bytes = kWhole;  // what the completion reports
  bool hold = false;      // stays pending until completeHeldWrite()
};

// The 6 bytes of a link descriptor.
Bytes linkDescriptor(uint16_t transferSize, uint16_t magic = 0xAC1F);

class DeviceScript {
 public:
  ~DeviceScript();

  // ---- the script; set before the device opens or while it runs ----
  void failOpen();
  void setPipes(uint16_t inMaxPacket, uint16_t outMaxPacket);  // 0: that endpoint is missing
  void addControl(ControlStep step);
  // The link descriptor request, answered with these bytes.
  void expectDescriptor(const Bytes& answer);
  // Reads complete in order, one step each, at once when started; with none
  // left a read stays pending until completeRead().
  void addRead(ReadStep step);
  void addWrite(WriteStep step);
  // Cancelled transfers come back this late, from another thread, after
  // writing into the read buffer as a host controller may.
  void setLateCancel(int ms);
  // Cancelled transfers come back only at releaseCancel(), on the test's
  // thread; after the device was closed too (then writing into what the
  // channel left with keepWhileOut(), and with no completion).
  void holdCancel();

  // ---- the test side; any thread ----
  // Completes the pending read; waits for one to be pending.
  bool completeRead(ReadStep step);
  bool completeHeldWrite(TransferStatus status, size_t bytes);
  bool waitWrites(size_t count, int timeoutMs = kWaitMs);
  bool waitReadPending(int timeoutMs = kWaitMs);
  bool waitClosed(int timeoutMs = kWaitMs);
  std::vector<Bytes> writes() const;
  std::vector<size_t> readLengths() const;
  int opens() const;
  int unexpected() const;
  bool closedWithTransfersOut() const;
  bool cancelled() const;
  // Ends a held cancel. False when none was asked for. *afterClose: the
  // device was closed by then; *keptNothing: and the channel had left no
  // buffers with it, so nothing was written.
  bool releaseCancel(bool* afterClose, bool* keptNothing);

 private:
  friend class ScriptedDevice;
  friend class ScriptedBus;

  // ---- the device side, on the channel thread ----
  bool open(TransferSink* sink);
  void close(std::shared_ptr<void> kept);
  bool bulkPipes(uint16_t* in, uint16_t* out);
  int control(const ControlSetup& setup, uint8_t* data);
  bool startRead(uint8_t* buffer, size_t length);
  bool startWrite(const uint8_t* data, size_t length);
  void cancel();
  void finishCancel();  // lock held
  void finishRead(std::unique_lock<std::mutex>& lock, const ReadStep& step);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool openFails_ = false;
  uint16_t inMaxPacket_ = 512;
  uint16_t outMaxPacket_ = 512;
  std::deque<ControlStep> control_;
  std::deque<ReadStep> reads_;
  std::deque<WriteStep> writesScript_;
  int lateCancelMs_ = 0;

  TransferSink* sink_ = nullptr;
  bool isOpen_ = false;
  int opens_ = 0;
  int unexpected_ = 0;
  bool closedWithTransfersOut_ = false;
  bool cancelled_ = false;
  bool cancelHeld_ = false;
  bool cancelAsked_ = false;    // a held cancel awaits releaseCancel()
  std::shared_ptr<void> kept_;  // from the closed device
  uint8_t* readBuffer_ = nullptr;
  size_t readLength_ = 0;
  bool readOut_ = false;
  bool writeOut_ = false;
  bool writeHeld_ = false;
  std::vector<Bytes> written_;
  std::vector<size_t> readLengths_;
  std::thread late_;
};

class ScriptedBus : public UsbBus {
 public:
  ~ScriptedBus() override;

  // A device at `path`; present at start (listed by presentDevices) or not.
  std::shared_ptr<DeviceScript> addDevice(const std::string& path, bool present = true);
  // Delays presentDevices, as a slow bus scan would.
  void setScanDelay(int ms);
  // Arrival and removal notices, as the bus's own thread would send them.
  void plug(const std::string& path);
  void unplug(const std::string& path);

  void start(BusListener* listener) override;
  std::vector<std::string> presentDevices() override;
  std::unique_ptr<UsbDevice> open(const std::string& path, TransferSink* sink) override;
  void stop() override;

 private:
  mutable std::mutex mutex_;
  BusListener* listener_ = nullptr;
  bool stopped_ = false;
  int scanDelayMs_ = 0;
  std::map<std::string, std::shared_ptr<DeviceScript>> devices_;
  std::vector<std::string> present_;
};

}  // namespace usblink::test
