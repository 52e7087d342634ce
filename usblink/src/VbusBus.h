// The virtual USB bus: emulated devices published as SOCK_SEQPACKET sockets
// <dir>/<id>.sock, device path VBUS\<ID>. One connection per device carries
// its control and bulk traffic as records (usblink/VbusRecords.h).
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "UsbBackend.h"
#include "plat/inotify.h"
#include "plat/threadsafety.h"
#include "plat/wake.h"
#include "translayer/ThreadBase.h"

namespace usblink {

// One connected vbus device. All calls on the channel's I/O thread; it does
// its socket I/O there too, through pollInterest()/service().
class VbusDevice : public UsbDevice {
 public:
  // Takes the connection.
  VbusDevice(plat::Handle connection, TransferSink* sink);
  ~VbusDevice() override;

  bool bulkPipes(uint16_t* inMaxPacket, uint16_t* outMaxPacket) override;
  int controlTransfer(const ControlSetup& setup, uint8_t* data) override;
  void setTransferSize(size_t size) override;
  bool startRead(uint8_t* buffer, size_t length) override;
  bool startWrite(const uint8_t* data, size_t length) override;
  void cancelTransfers() override;
  PollInterest pollInterest() override;
  bool service() override;

 private:
  // Bulk in records waiting for a read; beyond this the socket is left unread.
  static constexpr size_t kQueueLimit = 64;
  // While a control answer is awaited everything else is queued; a device
  // that floods instead of answering is dropped.
  static constexpr size_t kControlQueueLimit = 4096;
  // Records taken from the socket per system call.
  static constexpr size_t kReceiveBatch = 16;

  // A bulk in record as it came: the type byte, then the payload.
  struct InRecord {
    std::vector<uint8_t> bytes;
    size_t length;
  };

  // Files one received record of `length` bytes (of which the first
  // `available` are at `record`); false when it breaks the protocol. A bulk in
  // record takes `*owner` when given, else it is copied.
  bool acceptRecord(const uint8_t* record, size_t length, size_t available,
                    std::vector<uint8_t>* owner);
  // A receive buffer for one bulk in record of the transfer size.
  std::vector<uint8_t> takeBuffer();
  void receiveAvailable();
  void completeRead();
  void trySend();

  plat::Handle fd_;
  TransferSink* const sink_;
  size_t transferSize_ = 65535;  // until the link descriptor is known
  bool broken_ = false;
  std::vector<uint8_t> receiveBuffer_;
  std::deque<InRecord> bulkIn_;              // oldest first
  std::vector<std::vector<uint8_t>> spare_;  // receive buffers to use again
  size_t frontUsed_ = 0;                     // payload bytes of the oldest already read
  uint8_t* readBuffer_ = nullptr;
  size_t readLength_ = 0;
  bool readPending_ = false;
  // The pending bulk out transfer's bytes (the caller's buffer, which stays
  // until the transfer completes); the record is its type byte, then these.
  const uint8_t* outData_ = nullptr;
  size_t outLength_ = 0;
  bool writePending_ = false;  // the record waits for room in the socket
};

class VbusBus : public UsbBus {
 public:
  explicit VbusBus(std::string dir);
  ~VbusBus() override;

  void start(BusListener* listener) override;
  std::vector<std::string> presentDevices() override;
  std::unique_ptr<UsbDevice> open(const std::string& path, TransferSink* sink) override;
  void stop() override;

  // VBUS\<ID> for a socket file name <id>.sock; empty for any other name.
  static std::string pathOfFile(const std::string& name);

 private:
  class Watcher : public translayer::ThreadBase {
   public:
    explicit Watcher(VbusBus* bus) : ThreadBase("usblinkVbus"), bus_(bus) {}
    ~Watcher() override { join(); }

   protected:
    void run() override { bus_->watch(); }

   private:
    VbusBus* bus_;
  };

  void watch();
  // Scans the directory: path -> file name.
  std::map<std::string, std::string> scan() const;
  // Brings the known set in line with a fresh scan, reporting the difference.
  void resync();
  void appeared(const std::string& name);
  void vanished(const std::string& name);

  const std::string dir_;
  BusListener* listener_ = nullptr;  // set by start(), before the watcher runs
  plat::DirWatch dirWatch_;
  plat::WakeEvent stopWake_;
  std::unique_ptr<Watcher> watcher_;

  mutable plat::Mutex mutex_;
  std::map<std::string, std::string> files_ GUARDED_BY(mutex_);  // path -> file name
};

}  // namespace usblink
