// One emulated device on the virtual USB bus, with everything that makes it
// a device: the link end (Device), its vbus transport, the services of the
// service table with their state, its storage volumes and the reset hook.
// The devsim program is a few of these and a command line; end-to-end tests
// make their own in the test process and turn the knobs of its state while
// the real server talks to it.
//
// Threads: every public function may be called from any thread except the
// device's and the transport's own; the states' knobs from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "devsim/Device.h"
#include "devsim/ServiceTable.h"
#include "devsim/VbusTransport.h"
#include "translayer/HwId.h"

namespace devsim {

struct HostOptions {
  std::string vbusDir;
  std::string id;  // the vbus id ([A-Za-z0-9_-])
  translayer::HwId hwid{};
  uint16_t maxFrameLength = 255;
  uint8_t channelCount = 15;
  uint16_t transferSize = 4096;
  // Empty: no storage. Else volume v lives in <storageDir>/<id>/<v>.
  std::string storageDir;
  // The core state's configuration; the host fills in its storage and, when
  // left empty, its protocol list (the service table's).
  CoreConfig core = emptyProtocols();
  StatusConfig status;
  ScopeConfig scope;
  ParDbConfig pardb;
  // The benchmark echo service's fault knob.
  BenchFault benchFault = BenchFault::kNone;
  // How long a device asked to reset stays off the bus.
  uint32_t resetOffMs = 300;
  VbusTransport::Listener listener;

  static CoreConfig emptyProtocols() {
    CoreConfig c;
    c.protocols.clear();
    return c;
  }
};

class DeviceHost {
 public:
  // The storage volumes every device has.
  static const std::vector<std::string>& volumes();

  explicit DeviceHost(HostOptions options);
  // Unplugs and stops the device.
  ~DeviceHost();
  DeviceHost(const DeviceHost&) = delete;
  DeviceHost& operator=(const DeviceHost&) = delete;

  // Makes the volume directories (false with *error set when that fails).
  bool makeStorage(std::string* error) const;
  // Starts the device and publishes it on the bus: VbusTransport::plugIn's
  // Win32 code.
  int plugIn();
  // Takes it off the bus (its socket file goes) and stops it.
  void unplug();
  // Off the bus for offMs, then back under the same HWID; never blocks.
  void replug(uint32_t offMs);
  bool hostConnected() const { return transport_->hostConnected(); }

  Device& device() { return *device_; }
  DeviceServices& services() { return services_; }
  CoreState& core() { return *services_.core; }
  StatusState& status() { return *services_.status; }
  ParDbState& pardb() { return *services_.pardb; }
  FileServerState& files() { return *services_.files; }
  ScopeState& scope() { return *services_.scope; }
  const HostOptions& options() const { return options_; }
  // <storageDir>/<id>/<volume>; empty without storage.
  std::filesystem::path volumePath(const std::string& volume) const;

 private:
  const HostOptions options_;
  DeviceServices services_;
  std::unique_ptr<VbusTransport> transport_;  // declared first: outlives the device
  std::unique_ptr<Device> device_;
};

}  // namespace devsim
