// An emulated device hosted in the test's own process on the virtual bus of
// an e2e::Road: core management (with the firmware install of
// devsim --fw-upgrade) and the file server on a storage volume "root", so
// that a test turns the device's knobs while the real linkhub and usblink
// talk to it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "FirmwareInstall.h"
#include "devsim/CoreService.h"
#include "devsim/Device.h"
#include "devsim/FileServerService.h"
#include "devsim/VbusTransport.h"

namespace fwflash::testing {

class DeviceOnBus {
 public:
  DeviceOnBus(const std::string& vbusDir, const std::string& id, const HwId& hwid, const std::string& storageDir)
      : root_(std::filesystem::path(storageDir) / id / "root") {
    std::filesystem::create_directories(root_);
    devsim::VbusOptions bus;
    bus.dir = vbusDir;
    bus.id = id;
    transport_ = std::make_unique<devsim::VbusTransport>(
        bus, [this](const uint8_t* frame, size_t length) { device_->receiveFrame(frame, length); });
    devsim::DeviceConfig config;
    config.hwid = hwid;
    device_ = std::make_unique<devsim::Device>(config, transport_.get());

    devsim::CoreConfig core;
    core.friendlyName = "bench unit";
    core.protocols = {1, 3};
    core.storage["root"] = root_;
    core.upgradeFirmware = devsim::cli::installPackage;
    core_ = std::make_shared<devsim::CoreState>(core);
    devsim::VbusTransport* transport = transport_.get();
    core_->setResetHook([transport] { transport->replug(300); });
    device_->registerService(1, devsim::CoreService::factory(core_));

    devsim::FileServerConfig files;
    files.volumes["root"] = root_;
    files_ = std::make_shared<devsim::FileServerState>(files);
    device_->registerService(3, devsim::FileServerService::factory(files_));
    device_->start();
  }
  ~DeviceOnBus() {
    transport_->unplug();
    device_->stop();
  }

  bool plugIn() { return transport_->plugIn() == 0; }
  void unplug() { transport_->unplug(); }

  devsim::CoreState& core() { return *core_; }
  devsim::FileServerState& files() { return *files_; }
  std::filesystem::path storedPackage() const { return root_ / "fw.xpk"; }

 private:
  std::filesystem::path root_;
  std::unique_ptr<devsim::VbusTransport> transport_;  // outlives the device
  std::unique_ptr<devsim::Device> device_;
  std::shared_ptr<devsim::CoreState> core_;
  std::shared_ptr<devsim::FileServerState> files_;
};

}  // namespace fwflash::testing
