#include "devsim/DeviceHost.h"

namespace devsim {

const std::vector<std::string>& DeviceHost::volumes() {
  static const std::vector<std::string> names = {"root", "data"};
  return names;
}

DeviceHost::DeviceHost(HostOptions options) : options_(std::move(options)) {
  VbusOptions bus;
  bus.dir = options_.vbusDir;
  bus.id = options_.id;
  bus.transferSize = options_.transferSize;
  transport_ = std::make_unique<VbusTransport>(
      bus, [this](const uint8_t* frame, size_t length) { device_->receiveFrame(frame, length); },
      options_.listener);

  DeviceConfig config;
  config.hwid = options_.hwid;
  config.maxFrameLength = options_.maxFrameLength;
  config.channelCount = options_.channelCount;
  device_ = std::make_unique<Device>(config, transport_.get());
  // The bus thread runs the link: a request is answered on the thread that
  // read it.
  transport_->setDriver(device_.get());

  CoreConfig core = options_.core;
  if (core.protocols.empty()) core.protocols = advertisedProtocols();
  for (const std::string& volume : volumes()) {
    const std::filesystem::path path = volumePath(volume);
    if (!path.empty()) core.storage[volume] = path;
  }
  services_.core = std::make_shared<CoreState>(core);
  services_.status = std::make_shared<StatusState>(options_.status);
  services_.scope = std::make_shared<ScopeState>(options_.scope);
  services_.pardb = std::make_shared<ParDbState>(options_.pardb);
  // A reset takes the device off the bus and brings it back: the host sees a
  // removal and a new arrival of the same HWID.
  VbusTransport* transport = transport_.get();
  const uint32_t offMs = options_.resetOffMs;
  services_.core->setResetHook([transport, offMs] { transport->replug(offMs); });
  services_.benchFault = options_.benchFault;
  registerServices(*device_, services_, options_.maxFrameLength);
}

DeviceHost::~DeviceHost() { unplug(); }

std::filesystem::path DeviceHost::volumePath(const std::string& volume) const {
  if (options_.storageDir.empty()) return {};
  return std::filesystem::path(options_.storageDir) / options_.id / volume;
}

bool DeviceHost::makeStorage(std::string* error) const {
  for (const std::string& volume : volumes()) {
    const std::filesystem::path path = volumePath(volume);
    if (path.empty()) return true;
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) {
      if (error) *error = "cannot make storage " + path.string() + ": " + ec.message();
      return false;
    }
  }
  return true;
}

int DeviceHost::plugIn() {
  VbusTransport* transport = transport_.get();
  device_->startDriven([transport] { transport->wake(); });
  return transport_->plugIn();
}

void DeviceHost::unplug() {
  transport_->unplug();
  device_->stop();
}

void DeviceHost::replug(uint32_t offMs) { transport_->replug(offMs); }

}  // namespace devsim
