// The seam between usblink's own logic (discovery, the link descriptor check,
// transfer records) and the ways of reaching a device: libusb for real
// devices, the virtual bus for emulated ones, a scripted table in the tests.
//
// Threads:
// - UsbBus::start, presentDevices and stop run on the discovery thread;
//   BusListener calls may come from any thread the backend runs (its event
//   or watcher thread), never with a usblink lock held by the caller.
// - UsbBus::open and every UsbDevice call run on the owning channel's I/O
//   thread, except that TransferSink calls may come from any thread.
// - A bus outlives every device it opened: the discovery thread stops all
//   channels before it stops the bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plat/handle.h"

namespace usblink {

enum class TransferStatus {
  kDone,       // finished; the byte count is what moved
  kCancelled,  // ended by cancelTransfers()
  kFailed,     // the device or the bus gave up (stall, gone, protocol fault)
};

// Where a device reports the completion of its bulk transfers. Each
// successful startRead/startWrite gives exactly one call; any thread.
class TransferSink {
 public:
  virtual void readDone(TransferStatus status, size_t bytes) = 0;
  virtual void writeDone(TransferStatus status, size_t bytes) = 0;

 protected:
  ~TransferSink() = default;
};

struct ControlSetup {
  uint8_t requestType;  // bit 7: device to host
  uint8_t request;
  uint16_t value;
  uint16_t index;
  uint16_t length;
};

// A handle the channel thread adds to its wait, with what to wait for.
struct PollInterest {
  plat::Handle handle = plat::kInvalidHandle;
  bool read = false;
  bool write = false;
};

// One opened device: its first interface's bulk IN and OUT pipes and its
// default control pipe. At most one read and one write are outstanding.
class UsbDevice {
 public:
  // Closes the device. Transfers still outstanding (ones whose cancel the
  // device never answered) are abandoned: no completion comes after it. A
  // bus that may still finish them later (libusb) keeps them, with what was
  // handed to keepWhileOut(), until it does; nothing it may write is freed.
  virtual ~UsbDevice() = default;

  // The maximum packet sizes of the bulk IN and OUT endpoints of alternate
  // setting 0; false when either is missing or has a packet size of 0.
  virtual bool bulkPipes(uint16_t* inMaxPacket, uint16_t* outMaxPacket) = 0;
  // A synchronous control transfer: `data` holds setup.length bytes to send
  // (host to device) or room for them (device to host). The bytes moved, or
  // -1 on failure (stall, time-out, device gone).
  virtual int controlTransfer(const ControlSetup& setup, uint8_t* data) = 0;
  // Tells the device the link's transfer size once the descriptor is known.
  virtual void setTransferSize(size_t size) {}
  // Clears stalls and data toggles on both bulk pipes before traffic starts.
  virtual void resetPipes() {}

  // Starts a bulk read into buffer (length: whole packets) or a bulk write
  // (length 0: a zero-length packet). False when it could not start (then no
  // completion comes).
  virtual bool startRead(uint8_t* buffer, size_t length) = 0;
  virtual bool startWrite(const uint8_t* data, size_t length) = 0;
  // Asks every outstanding transfer to end soon; their completions still
  // come (kCancelled, or kDone when they beat the cancel).
  virtual void cancelTransfers() = 0;
  // For a caller about to close the device with transfers still out: the
  // buffers those transfers were given, kept for as long as the bus may
  // write into them (at least until the device is closed).
  virtual void keepWhileOut(std::shared_ptr<void> buffers) { kept_ = std::move(buffers); }

  // For backends that do their I/O on the channel's own thread: a handle to
  // wait on, and the work to do when it is ready. service() returns false
  // when the device is gone or broke the protocol.
  virtual PollInterest pollInterest() { return {}; }
  virtual bool service() { return true; }

 protected:
  std::shared_ptr<void> kept_;  // from keepWhileOut()
};

// Arrival and removal of devices, by device path (already upper-case).
class BusListener {
 public:
  virtual void deviceArrived(const std::string& path) = 0;
  virtual void deviceRemoved(const std::string& path) = 0;

 protected:
  ~BusListener() = default;
};

class UsbBus {
 public:
  virtual ~UsbBus() = default;

  // Starts following arrivals and removals. Devices already present are
  // listed by presentDevices() afterwards; an arrival that races with that
  // list may be reported twice, which the listener ignores.
  virtual void start(BusListener* listener) = 0;
  // Paths of the matching devices present now.
  virtual std::vector<std::string> presentDevices() = 0;
  // Opens a device by path; null when it cannot be opened. The sink gets the
  // completions of its bulk transfers.
  virtual std::unique_ptr<UsbDevice> open(const std::string& path, TransferSink* sink) = 0;
  // Ends the listener's calls; after it returns none runs any more.
  virtual void stop() = 0;
};

// The bus usblink uses in this process: the virtual bus when $USBLINK_VBUS
// names a directory, else libusb.
std::unique_ptr<UsbBus> makeDefaultBus();

}  // namespace usblink
