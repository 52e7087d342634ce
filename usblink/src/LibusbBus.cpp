#include "LibusbBus.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "MsOs20.h"
#include "UdevProbe.h"
#include "base/ByteReader.h"
#include "plat/trace.h"

namespace usblink {

// What libusb may still use while a transfer is out: both transfers, the
// handle they run on, the sink their completions go to (until the device
// lets go of it) and, once the channel has given up on them, its buffers.
struct LibusbFlight {
  LibusbFlight(libusb_device_handle* h, uint8_t itf, TransferSink* s, std::string p)
      : handle(h),
        interfaceNumber(itf),
        path(std::move(p)),
        read(libusb_alloc_transfer(0)),
        write(libusb_alloc_transfer(0)),
        sink(s) {}
  // Only once no transfer is out.
  ~LibusbFlight() {
    closeHandle();
    libusb_free_transfer(read);
    libusb_free_transfer(write);
  }
  void closeHandle() {
    if (closed) return;
    closed = true;
    libusb_release_interface(handle, interfaceNumber);
    libusb_close(handle);
  }
  bool out() REQUIRES(mutex) { return readBusy || writeBusy; }

  libusb_device_handle* const handle;
  const uint8_t interfaceNumber;
  const std::string path;
  libusb_transfer* const read;
  libusb_transfer* const write;
  bool closed = false;  // the handle; by the thread that closes it
  plat::Mutex mutex;
  TransferSink* sink GUARDED_BY(mutex);
  bool readBusy GUARDED_BY(mutex) = false;
  bool writeBusy GUARDED_BY(mutex) = false;
  std::shared_ptr<void> buffers GUARDED_BY(mutex);
};

// Devices closed by their channel while libusb still had a transfer of
// theirs. Each stays open until libusb reports its transfers, or for a
// limited time: a device gone in a way that never answers would otherwise
// hold its handle for ever. Past that time, or when the bus stops, the handle
// is closed (libusb reports nothing after it) and the transfers and buffers
// are left unfreed for good. The lock is taken before a flight's, never
// inside a completion.
class AbandonedTransfers {
 public:
  explicit AbandonedTransfers(std::chrono::milliseconds limit) : limit_(limit) {}

  void add(std::unique_ptr<LibusbFlight> flight) {
    plat::LockGuard lock(mutex_);
    flights_.push_back({std::move(flight), Clock::now() + limit_});
  }
  // Closes those libusb has reported, and those past their time; outside
  // any libusb callback. `all`: every one still out is past its time. True
  // when none is left.
  bool close(bool all) {
    std::vector<std::unique_ptr<LibusbFlight>> returned, expired;
    bool empty;
    {
      plat::LockGuard lock(mutex_);
      const auto now = Clock::now();
      for (auto it = flights_.begin(); it != flights_.end();) {
        bool out;
        {
          plat::LockGuard flightLock(it->flight->mutex);
          out = it->flight->out();
        }
        if (out && !all && now < it->giveUpAt) {
          ++it;
          continue;
        }
        (out ? expired : returned).push_back(std::move(it->flight));
        it = flights_.erase(it);
      }
      empty = flights_.empty();
    }
    for (const auto& f : returned)
      VLN_TRACE(kUsb, "%s: libusb has reported the abandoned transfers: the device is closed",
                f->path.c_str());
    for (auto& f : expired) {
      VLN_TRACE(kUsb,
                "%s: the abandoned transfers are still out%s: the device is closed, the "
                "transfers and their buffers are left unfreed",
                f->path.c_str(), all ? " as the bus stops" : "");
      f->closeHandle();
      (void)f.release();
    }
    return empty;
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    std::unique_ptr<LibusbFlight> flight;
    Clock::time_point giveUpAt;
  };
  const std::chrono::milliseconds limit_;
  plat::Mutex mutex_;
  std::vector<Entry> flights_ GUARDED_BY(mutex_);
};

namespace {

constexpr unsigned kControlTimeoutMs = 5000;
// udev applies its permissions a moment after the device appears: an open
// refused for access is tried again for about a second.
constexpr int kOpenAttempts = 6;
constexpr int kOpenRetryMs = 200;
// A claim that fails for any reason but a vanished device is tried again
// for about half a second.
constexpr int kClaimAttempts = 5;
constexpr int kClaimRetryMs = 100;
// How long transfers a channel gave up on keep their device open, and how
// long a stopping bus waits for them.
constexpr auto kAbandonedLimit = std::chrono::seconds(10);
constexpr auto kAbandonedStopWait = std::chrono::seconds(1);

std::string pathOf(libusb_device* device) {
  libusb_device_descriptor d{};
  libusb_get_device_descriptor(device, &d);
  uint8_t ports[8];
  const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
  char head[64];
  std::snprintf(head, sizeof head, "USB\\VID_%04X&PID_%04X\\%u-", d.idVendor, d.idProduct,
                unsigned(libusb_get_bus_number(device)));
  std::string path = head;
  if (depth <= 0) path += "0";
  for (int i = 0; i < depth; ++i) {
    if (i > 0) path += ".";
    path += std::to_string(ports[i]);
  }
  return path;
}

const char* transferStatusName(int status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return "completed";
    case LIBUSB_TRANSFER_ERROR:
      return "error";
    case LIBUSB_TRANSFER_TIMED_OUT:
      return "timed out";
    case LIBUSB_TRANSFER_CANCELLED:
      return "cancelled";
    case LIBUSB_TRANSFER_STALL:
      return "stall";
    case LIBUSB_TRANSFER_NO_DEVICE:
      return "no device";
    case LIBUSB_TRANSFER_OVERFLOW:
      return "overflow";
    default:
      return "unknown status";
  }
}

TransferStatus statusOf(const libusb_transfer* transfer) {
  switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return TransferStatus::kDone;
    case LIBUSB_TRANSFER_CANCELLED:
      return TransferStatus::kCancelled;
    default:
      VLN_TRACE(kUsb, "bulk %s transfer on endpoint 0x%02X ended: %s",
                (transfer->endpoint & 0x80) ? "IN" : "OUT", unsigned(transfer->endpoint),
                transferStatusName(transfer->status));
      return TransferStatus::kFailed;
  }
}

class LibusbDevice : public UsbDevice {
 public:
  LibusbDevice(libusb_device_handle* handle, uint8_t interfaceNumber, TransferSink* sink,
               const std::string& path, AbandonedTransfers* abandoned)
      : flight_(std::make_unique<LibusbFlight>(handle, interfaceNumber, sink, path)),
        abandoned_(abandoned) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(libusb_get_device(handle), &config) != 0) return;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
      const libusb_interface& itf = config->interface[i];
      for (int a = 0; a < itf.num_altsetting; ++a) {
        const libusb_interface_descriptor& alt = itf.altsetting[a];
        if (alt.bInterfaceNumber != interfaceNumber || alt.bAlternateSetting != 0) continue;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
          const libusb_endpoint_descriptor& ep = alt.endpoint[e];
          if ((ep.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK) continue;
          const uint16_t packet = uint16_t(ep.wMaxPacketSize & 0x07FF);
          if (ep.bEndpointAddress & 0x80) {
            inEndpoint_ = ep.bEndpointAddress;
            inPacket_ = packet;
          } else {
            outEndpoint_ = ep.bEndpointAddress;
            outPacket_ = packet;
          }
        }
      }
    }
    libusb_free_config_descriptor(config);
  }

  // Usually the channel has had every transfer back and the device closes
  // here. One whose cancel never came back is still libusb's: the device
  // stays open, with the transfers and the buffers they point into, until
  // libusb reports it (the event thread closes it then).
  ~LibusbDevice() override {
    LibusbFlight& f = *flight_;
    const char* out = nullptr;
    {
      plat::LockGuard lock(f.mutex);
      f.sink = nullptr;
      if (f.readBusy || f.writeBusy) {
        out = f.readBusy && f.writeBusy ? "a read and a write" : f.readBusy ? "a read" : "a write";
        f.buffers = std::move(kept_);
      }
    }
    if (!out) return;
    VLN_TRACE(kUsb, "%s: closed with %s still out: the device stays open until libusb reports it",
              f.path.c_str(), out);
    abandoned_->add(std::move(flight_));
  }

  bool bulkPipes(uint16_t* inMaxPacket, uint16_t* outMaxPacket) override {
    *inMaxPacket = inPacket_;
    *outMaxPacket = outPacket_;
    return flight_->read && flight_->write && inPacket_ != 0 && outPacket_ != 0;
  }

  int controlTransfer(const ControlSetup& s, uint8_t* data) override {
    const int n = libusb_control_transfer(flight_->handle, s.requestType, s.request, s.value,
                                          s.index, data, s.length, kControlTimeoutMs);
    if (n < 0)
      VLN_TRACE(kUsb, "control request 0x%02X/%u value 0x%04X failed: %s", unsigned(s.requestType),
                unsigned(s.request), unsigned(s.value), libusb_error_name(n));
    return n < 0 ? -1 : n;
  }

  void resetPipes() override {
    libusb_clear_halt(flight_->handle, inEndpoint_);
    libusb_clear_halt(flight_->handle, outEndpoint_);
  }

  bool startRead(uint8_t* buffer, size_t length) override {
    LibusbFlight& f = *flight_;
    libusb_fill_bulk_transfer(f.read, f.handle, inEndpoint_, buffer, int(length), &onRead, &f, 0);
    return submit(f.read, &f.readBusy, "IN");
  }

  bool startWrite(const uint8_t* data, size_t length) override {
    LibusbFlight& f = *flight_;
    libusb_fill_bulk_transfer(f.write, f.handle, outEndpoint_, const_cast<uint8_t*>(data),
                              int(length), &onWrite, &f, 0);
    return submit(f.write, &f.writeBusy, "OUT");
  }

  void cancelTransfers() override {
    LibusbFlight& f = *flight_;
    bool read, write;
    {
      plat::LockGuard lock(f.mutex);
      read = f.readBusy;
      write = f.writeBusy;
    }
    // Outside the lock: the completion takes it.
    if (read) libusb_cancel_transfer(f.read);
    if (write) libusb_cancel_transfer(f.write);
  }

 private:
  // No lock is held across libusb calls: a completion may run on another
  // thread before the submit returns, and takes the flight's lock.
  bool submit(libusb_transfer* transfer, bool* busy,
              const char* direction) NO_THREAD_SAFETY_ANALYSIS {
    LibusbFlight& f = *flight_;
    {
      plat::LockGuard lock(f.mutex);
      *busy = true;
    }
    const int rc = libusb_submit_transfer(transfer);
    if (rc == 0) return true;
    {
      plat::LockGuard lock(f.mutex);
      *busy = false;
    }
    VLN_TRACE(kUsb, "bulk %s submit failed: %s", direction, libusb_error_name(rc));
    return false;
  }

  // Usually on the bus's event thread, but libusb runs completions on any
  // thread handling its events, a synchronous control transfer included: no
  // lock may be held across controlTransfer() that these need. The sink is
  // called under the flight's lock, so that once the device has let go of it
  // no call is running or to come.
  static void LIBUSB_CALL onRead(libusb_transfer* transfer) {
    auto* f = static_cast<LibusbFlight*>(transfer->user_data);
    const TransferStatus status = statusOf(transfer);
    plat::LockGuard lock(f->mutex);
    f->readBusy = false;
    if (f->sink) f->sink->readDone(status, size_t(std::max(transfer->actual_length, 0)));
  }
  static void LIBUSB_CALL onWrite(libusb_transfer* transfer) {
    auto* f = static_cast<LibusbFlight*>(transfer->user_data);
    const TransferStatus status = statusOf(transfer);
    plat::LockGuard lock(f->mutex);
    f->writeBusy = false;
    if (f->sink) f->sink->writeDone(status, size_t(std::max(transfer->actual_length, 0)));
  }

  std::unique_ptr<LibusbFlight> flight_;
  AbandonedTransfers* const abandoned_;
  uint8_t inEndpoint_ = 0;
  uint8_t outEndpoint_ = 0;
  uint16_t inPacket_ = 0;
  uint16_t outPacket_ = 0;
};

}  // namespace

LibusbBus::LibusbBus(LibusbOptions options)
    : options_(std::move(options)),
      abandoned_(std::make_unique<AbandonedTransfers>(kAbandonedLimit)) {}

LibusbBus::~LibusbBus() { stop(); }

void LibusbBus::start(BusListener* listener) {
  listener_ = listener;
  libusb_context* context = nullptr;
  const int rc = options_.init ? options_.init(&context) : libusb_init(&context);
  if (rc != 0 || context == nullptr) {  // no USB here: a bus without devices
    VLN_TRACE(kUsb, "libusb_init failed (%s): no USB devices", libusb_error_name(rc));
    return;
  }
  context_ = context;
  if (options_.useHotplug && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
    hotplugRegistered_ = libusb_hotplug_register_callback(
                             context_,
                             libusb_hotplug_event(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                  LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                             LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY,
                             LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                             [](libusb_context* c, libusb_device* d, libusb_hotplug_event e,
                                void* self) { return onHotplug(c, d, int(e), self); },
                             this, &hotplugHandle_) == LIBUSB_SUCCESS;
  }
  VLN_TRACE(kUsb, "libusb started: %s; %zu VID:PID pairs in the Devices key",
            hotplugRegistered_ ? "hotplug" : "no hotplug, devices are scanned for",
            options_.ids.size());
  eventThread_ = std::make_unique<Worker>("usblinkUsbEvent", this, &LibusbBus::handleEvents);
  watchThread_ = std::make_unique<Worker>("usblinkUsbWatch", this, &LibusbBus::watch);
  eventThread_->start();
  watchThread_->start();
}

int LibusbBus::onHotplug(libusb_context*, libusb_device* device, int event, void* self) {
  // On the event thread: no I/O here, the watch thread does the matching.
  auto* bus = static_cast<LibusbBus*>(self);
  libusb_ref_device(device);
  bus->changes_.push(
      std::make_shared<Change>(Change{device, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED}));
  return 0;
}

void LibusbBus::handleEvents() {
  while (!eventsEnd_) {
    timeval tv{0, 200000};
    libusb_handle_events_timeout_completed(context_, &tv, nullptr);
    abandoned_->close(false);
  }
}

void LibusbBus::watch() {
  for (;;) {
    std::shared_ptr<Change> change;
    if (hotplugRegistered_) {
      changes_.pop(change);
    } else if (!changes_.popFor(change, options_.pollPeriodMs)) {
      scanForChanges();
      continue;
    }
    if (!change->device) return;
    if (change->arrived)
      deviceArrived(change->device, true);
    else
      deviceLeft(change->device);
    libusb_unref_device(change->device);
  }
}

void LibusbBus::scanForChanges() {
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(context_, &list);
  if (n < 0) return;
  std::set<std::string> present;
  for (ssize_t i = 0; i < n; ++i) {
    const std::string path = pathOf(list[i]);
    present.insert(path);
    // Known means the same device, not just the same port: one swapped for
    // another between two scans is a removal and an arrival.
    bool known;
    {
      plat::LockGuard lock(mutex_);
      auto m = matched_.find(path);
      auto r = rejected_.find(path);
      known = (m != matched_.end() && m->second.device == list[i]) ||
              (r != rejected_.end() && r->second == libusb_get_device_address(list[i]));
    }
    // Scans repeat, so a device not yet accessible is simply tried again.
    if (!known) deviceArrived(list[i], false);
  }
  std::vector<libusb_device*> gone;
  {
    plat::LockGuard lock(mutex_);
    for (auto it = rejected_.begin(); it != rejected_.end();)
      it = present.count(it->first) ? std::next(it) : rejected_.erase(it);
    for (auto& [path, m] : matched_)
      if (!present.count(path)) gone.push_back(m.device);
  }
  for (libusb_device* device : gone) deviceLeft(device);
  libusb_free_device_list(list, 1);
}

bool LibusbBus::examine(libusb_device* device, const std::string& path, bool waitForAccess,
                        bool* fresh) {
  *fresh = false;
  {
    plat::LockGuard lock(mutex_);
    if (matched_.count(path)) return true;
  }
  uint8_t interfaceNumber = 0;
  const Match match = matches(device, &interfaceNumber, waitForAccess);
  plat::LockGuard lock(mutex_);
  if (match != Match::kTaken) {
    if (match == Match::kNotOurs) rejected_[path] = libusb_get_device_address(device);
    return false;
  }
  libusb_ref_device(device);
  *fresh = matched_.emplace(path, Matched{device, interfaceNumber}).second;
  if (!*fresh) libusb_unref_device(device);
  return true;
}

void LibusbBus::deviceArrived(libusb_device* device, bool waitForAccess) {
  const std::string path = pathOf(device);
  // Another device held at this port has gone without a removal seen for it
  // (a scan that missed the swap, or a removal that raced with the first
  // list): report it gone before taking the new one.
  libusb_device* previous = nullptr;
  {
    plat::LockGuard lock(mutex_);
    auto it = matched_.find(path);
    if (it != matched_.end() && it->second.device != device) previous = it->second.device;
  }
  if (previous) deviceLeft(previous);
  bool fresh = false;
  if (examine(device, path, waitForAccess, &fresh) && fresh) listener_->deviceArrived(path);
}

void LibusbBus::deviceLeft(libusb_device* device) {
  const std::string path = pathOf(device);
  libusb_device* held = nullptr;
  {
    plat::LockGuard lock(mutex_);
    rejected_.erase(path);
    auto it = matched_.find(path);
    // The device now at this port may already be a newer one.
    if (it == matched_.end() || it->second.device != device) return;
    held = it->second.device;
    matched_.erase(it);
  }
  listener_->deviceRemoved(path);
  libusb_unref_device(held);
}

LibusbBus::Match LibusbBus::matches(libusb_device* device, uint8_t* interfaceNumber,
                                    bool waitForAccess) {
  libusb_device_descriptor d{};
  if (libusb_get_device_descriptor(device, &d) != 0) return Match::kNotOurs;
  for (const UsbId& id : options_.ids) {
    if (id.vendor == d.idVendor && id.product == d.idProduct) {
      VLN_TRACE(kUsb, "%s: taken: its VID:PID is in the Devices key", pathOf(device).c_str());
      *interfaceNumber = 0;
      return Match::kTaken;
    }
  }
  // BOS descriptors, and with them MS OS 2.0, exist from USB 2.01 on; hubs
  // are never ours.
  if (d.bcdUSB < 0x0201 || d.bDeviceClass == LIBUSB_CLASS_HUB) {
    VLN_TRACE(kUsb, "%s: not ours: %s and not in the Devices key", pathOf(device).c_str(),
              d.bDeviceClass == LIBUSB_CLASS_HUB ? "a hub" : "USB below 2.01 (no BOS)");
    return Match::kNotOurs;
  }
  const Match match = matchesByDescriptors(device, interfaceNumber, waitForAccess);
  if (plat::traceOn(plat::TraceArea::kUsb))
    plat::traceLine(plat::TraceArea::kUsb, "%s: %s", pathOf(device).c_str(),
                    match == Match::kTaken      ? "taken: its MS OS 2.0 descriptors name the link "
                                                  "interface class"
                    : match == Match::kNoAccess ? "no access yet: tried again later"
                                                : "not ours (see the line before)");
  return match;
}

LibusbBus::Match LibusbBus::matchesByDescriptors(libusb_device* device, uint8_t* interfaceNumber,
                                                 bool waitForAccess) {
  libusb_device_handle* handle = nullptr;
  for (int attempt = 1;; ++attempt) {
    const int rc = libusb_open(device, &handle);
    if (rc == 0) break;
    if (rc != LIBUSB_ERROR_ACCESS) {
      VLN_TRACE(kUsb, "%s: cannot be opened to read its descriptors: %s", pathOf(device).c_str(),
                libusb_error_name(rc));
      return Match::kNotOurs;
    }
    if (!waitForAccess || attempt >= kOpenAttempts || stopping_) {
      VLN_TRACE(kUsb,
                "%s: no access to read its descriptors (%d attempts; check the udev "
                "rule)",
                pathOf(device).c_str(), attempt);
      return Match::kNoAccess;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kOpenRetryMs));
  }
  const UdevProbeAnswer answer = udevProbe(
      [handle](const ControlSetup& setup, uint8_t* data) {
        const int n = libusb_control_transfer(handle, setup.requestType, setup.request, setup.value,
                                              setup.index, data, setup.length, kControlTimeoutMs);
        return n < 0 ? -1 : n;
      },
      interfaceNumber);
  const bool found = answer == UdevProbeAnswer::kLink;
  if (!found) VLN_TRACE(kUsb, "%s: not ours: %s", pathOf(device).c_str(), udevProbeReason(answer));
  libusb_close(handle);
  return found ? Match::kTaken : Match::kNotOurs;
}

std::vector<std::string> LibusbBus::presentDevices() {
  std::vector<std::string> paths;
  if (!context_) return paths;
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(context_, &list);
  if (n < 0) return paths;
  for (ssize_t i = 0; i < n; ++i) {
    const std::string path = pathOf(list[i]);
    bool fresh = false;
    // Devices present at start have had their permissions set long ago.
    if (examine(list[i], path, false, &fresh)) paths.push_back(path);
  }
  libusb_free_device_list(list, 1);
  return paths;
}

std::unique_ptr<UsbDevice> LibusbBus::open(const std::string& path, TransferSink* sink) {
  libusb_device* device = nullptr;
  uint8_t interfaceNumber = 0;
  {
    plat::LockGuard lock(mutex_);
    auto it = matched_.find(path);
    if (it == matched_.end()) return nullptr;
    device = libusb_ref_device(it->second.device);
    interfaceNumber = it->second.interfaceNumber;
  }
  libusb_device_handle* handle = nullptr;
  const int rc = libusb_open(device, &handle);
  libusb_unref_device(device);
  if (rc != 0) {
    VLN_TRACE(kUsb, "%s: libusb_open failed: %s", path.c_str(), libusb_error_name(rc));
    return nullptr;
  }
  libusb_set_auto_detach_kernel_driver(handle, 1);
  // Another process probing a device that has just arrived may hold its
  // interface for a moment; refusing the device then would leave it silent
  // until it is plugged in again.
  int claim = LIBUSB_ERROR_OTHER;
  for (int attempt = 1; attempt <= kClaimAttempts; ++attempt) {
    claim = libusb_claim_interface(handle, interfaceNumber);
    if (claim == 0) break;
    VLN_TRACE(kUsb, "%s: claiming interface %u failed: %s (attempt %d of %d)", path.c_str(),
              unsigned(interfaceNumber), libusb_error_name(claim), attempt, kClaimAttempts);
    if (claim == LIBUSB_ERROR_NO_DEVICE || claim == LIBUSB_ERROR_NOT_FOUND || stopping_) break;
    if (attempt < kClaimAttempts)
      std::this_thread::sleep_for(std::chrono::milliseconds(kClaimRetryMs));
  }
  if (claim != 0) {
    libusb_close(handle);
    return nullptr;
  }
  return std::make_unique<LibusbDevice>(handle, interfaceNumber, sink, path, abandoned_.get());
}

void LibusbBus::stop() {
  if (!context_) return;
  stopping_ = true;
  if (hotplugRegistered_) libusb_hotplug_deregister_callback(context_, hotplugHandle_);
  if (watchThread_) {
    changes_.push(std::make_shared<Change>(Change{nullptr, false}));
    watchThread_.reset();  // joins
  }
  if (eventThread_) {
    // Transfers a channel gave up on get a last moment to come back.
    const auto giveUpAt = std::chrono::steady_clock::now() + kAbandonedStopWait;
    while (!abandoned_->close(false) && std::chrono::steady_clock::now() < giveUpAt)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    eventsEnd_ = true;
    libusb_interrupt_event_handler(context_);
    eventThread_.reset();  // joins
  }
  abandoned_->close(true);
  // Hotplug changes that came after the watch thread ended.
  std::shared_ptr<Change> change;
  while (changes_.tryPop(change))
    if (change->device) libusb_unref_device(change->device);
  {
    plat::LockGuard lock(mutex_);
    for (auto& [path, m] : matched_) libusb_unref_device(m.device);
    matched_.clear();
    rejected_.clear();
  }
  libusb_exit(context_);
  context_ = nullptr;
}

}  // namespace usblink
