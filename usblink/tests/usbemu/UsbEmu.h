// An emulated link device for libusb: a umockdev test bed whose sysfs holds
// USB devices (device and configuration descriptors, one vendor-specific
// interface with a bulk IN and a bulk OUT endpoint of 512 bytes), and an
// ioctl handler per device node that answers the usbfs calls libusb makes:
// control transfers (BOS, the MS OS 2.0 descriptor set, the link descriptor)
// and bulk URBs (submit, reap, discard), carried to a devsim Device with the
// core and benchmark echo services.
//
// The program under test (linkhub) runs as a child with the preload library
// and UMOCKDEV_DIR naming the test bed (childEnvironment()); the test bed,
// its handlers and the devices live in the test process. Arrival and removal
// are the test bed's uevents.
//
// Threads: umockdev runs every handler call on its own worker thread; each
// devsim Device runs its own thread. The public functions are for the test's
// thread. One fixture lock guards all URB and device state; it is a leaf,
// never held while a devsim Device is called.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devsim/CoreService.h"
#include "translayer/HwId.h"

namespace usbemu {

enum class Matching {
  kMsOs20,        // MS OS 2.0 descriptors name the link interface class
  kOtherClass,    // MS OS 2.0 descriptors name another interface class
  kIdOnly,        // USB 2.0, no BOS: found only by the registry's VID:PID list
  kSetStalls,     // the BOS names a descriptor set whose request stalls
  kMalformedSet,  // the set names the link class in a property running past its end
};

struct DeviceSpec {
  int port = 1;    // sysfs name 1-<port>, so its path is USB\VID_..&PID_..\1-<port>
  int devnum = 2;  // bus address on bus 1
  uint16_t vendor = 0x1209;
  uint16_t product = 0x7A51;
  Matching matching = Matching::kMsOs20;
  uint16_t linkMagic = 0xAC1F;
  bool bulkIn = true;
  uint16_t transferSize = 4096;   // the link descriptor's S
  uint16_t maxFrameLength = 255;  // the longest frame the device sends
  int busyClaims = 0;             // claims refused with EBUSY before one succeeds
  translayer::HwId hwid{};
  std::string friendlyName = "usbemu";
  devsim::CoreIdentity identity;
};

enum class Fault {
  kNone,
  kStall,          // every bulk URB ends with -EPIPE (the one pending included)
  kTransferError,  // every bulk URB ends with -EPROTO
  kNoDevice,       // every usbfs call fails with ENODEV; URBs out are never reaped
  kPending,        // bulk URBs stay pending until the fault is cleared
  kOutError,       // bulk OUT URBs end with -EPROTO; IN URBs stay pending
};

struct OutUrb {
  int length = 0;
  bool nullBuffer = false;
};

class Testbed;
struct Node;

// The test bed sends uevents by looking its devices up in sysfs, which only
// the preload redirects to the bed: a process that holds a Testbed must run
// under the preload itself. Re-executes the program with it when it is not
// loaded yet; call first thing, before any thread starts.
void runUnderPreload(char** argv);

// One plugged-in device (one bus address). Valid until unplugged or swapped
// away; the testbed owns it.
class EmulatedDevice {
 public:
  const DeviceSpec& spec() const;
  void setFault(Fault fault);
  // While held, a discarded URB is answered at once but stays out, as on a
  // host controller slow to give it back; released, it ends with -ENOENT.
  void holdCancels(bool hold);
  // The bulk OUT URBs the host submitted, in order.
  std::vector<OutUrb> outUrbs() const;
  // Handles the host holds open on the node now, and opens in all.
  int openClients() const;
  int opens() const;
  // URBs submitted and neither reaped nor abandoned with their client.
  int urbsOut() const;
  devsim::CoreState& core();

  struct State;  // the fixture's own

 private:
  friend class Testbed;
  friend struct Node;
  explicit EmulatedDevice(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

class Testbed {
 public:
  Testbed();
  // Unplugs every device and removes the test bed.
  ~Testbed();
  Testbed(const Testbed&) = delete;
  Testbed& operator=(const Testbed&) = delete;

  bool ok() const { return ok_; }
  // "UMOCKDEV_DIR=...", "LD_PRELOAD=...": what a child needs to see the bed.
  std::vector<std::string> childEnvironment() const;

  // Puts the device into sysfs with its node and sends its "add" uevent.
  EmulatedDevice* plug(const DeviceSpec& spec);
  // As a pulled cable: its URBs end with -ESHUTDOWN, every later call on an
  // open handle fails with ENODEV, the "remove" uevent goes out and the
  // sysfs entry is removed.
  void unplug(EmulatedDevice* device);
  // Unplugs `device` and plugs `spec` at the same bus address, back to back.
  EmulatedDevice* swap(EmulatedDevice* device, DeviceSpec spec);

 private:
  friend struct Node;
  Node* nodeFor(int devnum);

  bool ok_ = false;
  struct Bed;
  std::unique_ptr<Bed> bed_;
  std::map<int, std::unique_ptr<Node>> nodes_;            // test thread only
  std::vector<std::unique_ptr<EmulatedDevice>> devices_;  // test thread only
};

}  // namespace usbemu
