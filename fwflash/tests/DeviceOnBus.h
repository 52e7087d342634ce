// An emulated device hosted in the test's own process on the virtual bus of
// an e2e::Road, with storage and the firmware install of devsim
// --fw-upgrade, so that a test turns the device's knobs while the real
// linkhub and usblink talk to it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "FirmwareInstall.h"
#include "devsim/DeviceHost.h"

namespace fwflash::testing {

class DeviceOnBus {
 public:
  DeviceOnBus(const std::string& vbusDir, const std::string& id, const translayer::HwId& hwid,
              const std::string& storageDir) {
    devsim::HostOptions options;
    options.vbusDir = vbusDir;
    options.id = id;
    options.hwid = hwid;
    options.storageDir = storageDir;
    options.core.friendlyName = "bench unit";
    options.core.upgradeFirmware = devsim::cli::installPackage;
    host_ = std::make_unique<devsim::DeviceHost>(std::move(options));
    storageMade_ = host_->makeStorage(nullptr);
  }

  bool plugIn() { return storageMade_ && host_->plugIn() == 0; }
  void unplug() { host_->unplug(); }

  devsim::CoreState& core() { return host_->core(); }
  devsim::FileServerState& files() { return host_->files(); }
  std::filesystem::path storedPackage() const { return host_->volumePath("root") / "fw.xpk"; }

 private:
  std::unique_ptr<devsim::DeviceHost> host_;
  bool storageMade_ = false;
};

}  // namespace fwflash::testing
