// Real devices through libusb-1.0: hotplug (or, where the platform has none,
// a scan every poll period), asynchronous bulk transfers completed on the
// bus's event thread, synchronous control transfers.
//
// A device is taken when its vendor:product id is in the configured list, or
// when its MS OS 2.0 descriptors name the link interface class (which needs
// the device opened, so the udev rule in usblink/udev must grant access).
// Device path: USB\VID_vvvv&PID_pppp\<bus>-<port>.<port>...
//
// A machine without USB (libusb_init failing) has a bus with no devices.
//
// A device closed while libusb still has one of its transfers (a cancel the
// host controller has not answered) stays open, with the transfers and their
// buffers, until libusb reports them; the event thread then closes it. One
// still out after 10 s, or when the bus stops, has its handle closed and its
// transfers and buffers left unfreed for good.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "DeviceIds.h"
#include "UsbBackend.h"
#include "plat/threadsafety.h"
#include "translayer/BlockingQueue.h"
#include "translayer/ThreadBase.h"

struct libusb_context;
struct libusb_device;

namespace usblink {

class AbandonedTransfers;

struct LibusbOptions {
  std::vector<UsbId> ids;  // taken by id, besides the MS OS 2.0 match
  bool useHotplug = true;  // false: scan every pollPeriodMs even where hotplug exists
  int pollPeriodMs = 1000;
  // Stands in for libusb_init (tests make it fail).
  int (*init)(libusb_context** context) = nullptr;
};

class LibusbBus : public UsbBus {
 public:
  explicit LibusbBus(LibusbOptions options);
  ~LibusbBus() override;

  void start(BusListener* listener) override;
  std::vector<std::string> presentDevices() override;
  std::unique_ptr<UsbDevice> open(const std::string& path, TransferSink* sink) override;
  void stop() override;

  // For tests: libusb initialised, and whether arrivals come by hotplug.
  bool usable() const { return context_ != nullptr; }
  bool hotplug() const { return hotplugRegistered_; }
  const LibusbOptions& options() const { return options_; }

 private:
  struct Change {
    libusb_device* device;  // one reference held
    bool arrived;
  };
  struct Matched {
    libusb_device* device;  // one reference held
    uint8_t interfaceNumber;
  };

  class Worker : public translayer::ThreadBase {
   public:
    Worker(const char* name, LibusbBus* bus, void (LibusbBus::*body)())
        : ThreadBase(name), bus_(bus), body_(body) {}
    ~Worker() override { join(); }

   protected:
    void run() override { (bus_->*body_)(); }

   private:
    LibusbBus* bus_;
    void (LibusbBus::*body_)();
  };

  static int onHotplug(libusb_context* context, libusb_device* device, int event, void* self);

  void handleEvents();
  void watch();
  void scanForChanges();
  // Matches a device not seen yet and records the outcome; true when it is
  // taken, *fresh when by this call.
  bool examine(libusb_device* device, const std::string& path, bool waitForAccess, bool* fresh);
  void deviceArrived(libusb_device* device, bool waitForAccess);
  void deviceLeft(libusb_device* device);
  enum class Match { kTaken, kNotOurs, kNoAccess };
  // Whether the device is taken; *interfaceNumber the interface to claim.
  // waitForAccess: the device has just appeared, and udev may not have
  // granted access yet.
  Match matches(libusb_device* device, uint8_t* interfaceNumber, bool waitForAccess);
  Match matchesByDescriptors(libusb_device* device, uint8_t* interfaceNumber, bool waitForAccess);

  const LibusbOptions options_;
  libusb_context* context_ = nullptr;
  BusListener* listener_ = nullptr;
  bool hotplugRegistered_ = false;
  int hotplugHandle_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> eventsEnd_{false};  // after stopping_: the event thread may end
  std::unique_ptr<Worker> eventThread_;
  std::unique_ptr<Worker> watchThread_;
  // Hotplug changes for the watch thread; a null device asks it to end.
  translayer::BlockingQueue<Change> changes_;
  // Devices closed while libusb still had a transfer of theirs.
  const std::unique_ptr<AbandonedTransfers> abandoned_;

  mutable plat::Mutex mutex_;
  std::map<std::string, Matched> matched_ GUARDED_BY(mutex_);  // path -> device
  // Seen and not ours, with its bus address, which a device plugged in
  // anew does not share (a device it could not open is not listed, so that
  // a later scan looks again).
  std::map<std::string, uint8_t> rejected_ GUARDED_BY(mutex_);  // path -> address
};

}  // namespace usblink
