// devsim: emulated devices on the virtual USB bus. Each device runs the
// device end of the link protocol with its services and stays plugged in
// until SIGINT or SIGTERM, which unplug every device (their socket files go)
// before the program ends.
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DevsimOptions.h"
#include "devsim/BenchEchoService.h"
#include "devsim/CoreService.h"
#include "devsim/Device.h"
#include "devsim/VbusTransport.h"
#include "plat/signals.h"
#include "plat/sysmsg.h"
#include "plat/verinfo.h"

namespace {

using devsim::VbusTransport;

std::mutex outputMutex;

// How long a device asked to reset stays off the bus.
constexpr uint32_t kResetOffMs = 300;

void say(const std::string& line) {
  std::lock_guard<std::mutex> lock(outputMutex);
  std::cout << "devsim: " << line << std::endl;
}

void complain(const std::string& line) {
  std::lock_guard<std::mutex> lock(outputMutex);
  std::cerr << "devsim: " << line << std::endl;
}

struct EmulatedDevice {
  devsim::cli::DeviceSpec spec;
  std::unique_ptr<VbusTransport> transport;  // declared first: outlives the device
  std::unique_ptr<devsim::Device> device;
  std::shared_ptr<devsim::CoreState> core;
};

std::string describe(const devsim::cli::DeviceSpec& spec, VbusTransport::Event event,
                     const std::string& dir) {
  switch (event) {
    case VbusTransport::Event::kPluggedIn:
      return spec.id + ": plugged in at " + dir + "/" + spec.id + ".sock";
    case VbusTransport::Event::kHostConnected:
      return spec.id + ": host connected";
    case VbusTransport::Event::kLinkUp:
      return spec.id + ": link up, HWID " + formatHwId(spec.hwid);
    case VbusTransport::Event::kHostGone:
      return spec.id + ": host gone";
    case VbusTransport::Event::kUnplugged:
      return spec.id + ": unplugged";
  }
  return spec.id;
}

std::unique_ptr<EmulatedDevice> makeDevice(const devsim::cli::Options& options,
                                           const devsim::cli::DeviceSpec& spec) {
  auto d = std::make_unique<EmulatedDevice>();
  d->spec = spec;
  devsim::VbusOptions bus;
  bus.dir = options.vbusDir;
  bus.id = spec.id;
  bus.transferSize = options.transferSize;
  EmulatedDevice* self = d.get();
  d->transport = std::make_unique<VbusTransport>(
      bus, [self](const uint8_t* frame, size_t length) { self->device->receiveFrame(frame, length); },
      [self, dir = options.vbusDir](VbusTransport::Event event) {
        say(describe(self->spec, event, dir));
      });

  devsim::DeviceConfig config;
  config.hwid = spec.hwid;
  config.maxFrameLength = options.maxFrameLength;
  config.channelCount = options.channelCount;
  d->device = std::make_unique<devsim::Device>(config, d->transport.get());

  devsim::BenchEchoOptions bench;
  bench.frameData = size_t(options.maxFrameLength) - 2;
  bench.fault = options.benchFault;
  devsim::Device* device = d->device.get();
  bench.framesSent = [device] {
    const devsim::DeviceStats s = device->stats();
    return s.dataFramesOut - s.resent;
  };
  d->device->registerService(kProtocolBenchmark, devsim::BenchEchoService::factory(bench));

  devsim::CoreConfig core;
  core.friendlyName = options.friendlyName.empty() ? spec.id : options.friendlyName;
  if (!options.deviceName.empty()) core.identity.deviceName = options.deviceName;
  if (!options.fwVersionString.empty()) core.identity.fwVersionString = options.fwVersionString;
  if (options.hasSerial) {
    const uint32_t s = options.serial;
    core.identity.deviceSerial = {uint8_t(s), uint8_t(s >> 8), uint8_t(s >> 16), uint8_t(s >> 24)};
  }
  core.protocols = {kProtocolCore, kProtocolBenchmark};
  if (!options.storageDir.empty()) {
    for (const char* volume : {"root", "data"})
      core.storage[volume] = std::filesystem::path(options.storageDir) / spec.id / volume;
  }
  d->core = std::make_shared<devsim::CoreState>(core);
  // A reset takes the device off the bus and brings it back: the host sees a
  // removal and a new arrival of the same HWID.
  VbusTransport* transport = d->transport.get();
  d->core->setResetHook([transport] { transport->replug(kResetOffMs); });
  d->device->registerService(kProtocolCore, devsim::CoreService::factory(d->core));
  return d;
}

bool makeStorage(const devsim::cli::Options& options, const devsim::cli::DeviceSpec& spec) {
  if (options.storageDir.empty()) return true;
  std::error_code ec;
  for (const char* volume : {"root", "data"}) {
    std::filesystem::create_directories(
        std::filesystem::path(options.storageDir) / spec.id / volume, ec);
    if (ec) {
      complain("cannot make storage " + options.storageDir + "/" + spec.id + ": " + ec.message());
      return false;
    }
  }
  return true;
}

int run(const devsim::cli::Options& options, plat::TerminationSignals& signals) {
  std::error_code ec;
  std::filesystem::create_directories(options.vbusDir, ec);
  if (!std::filesystem::is_directory(options.vbusDir, ec)) {
    complain("not a directory: " + options.vbusDir);
    return 1;
  }
  std::vector<std::unique_ptr<EmulatedDevice>> devices;
  auto unplugAll = [&] {
    for (auto& d : devices) d->transport->unplug();
    for (auto& d : devices) d->device->stop();
  };
  for (const devsim::cli::DeviceSpec& spec : options.devices) {
    if (!makeStorage(options, spec)) {
      unplugAll();
      return 1;
    }
    devices.push_back(makeDevice(options, spec));
    EmulatedDevice& d = *devices.back();
    d.device->start();
    const int rc = d.transport->plugIn();
    if (rc != 0) {
      complain("cannot plug in " + spec.id + " at " + options.vbusDir + ": " +
               plat::systemMessage(uint32_t(rc)));
      unplugAll();
      return 1;
    }
  }
  say("ready");

  while (signals.wait(-1) == plat::TerminationSignals::kTimedOut) {
  }
  unplugAll();
  say("stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts, so that every thread leaves the stop signals
  // to the handle.
  plat::TerminationSignals signals;
  const int signalsResult = signals.install();
  std::vector<std::string> args(argv + 1, argv + argc);
  devsim::cli::Options options;
  std::string error;
  if (!devsim::cli::parseOptions(args, std::getenv("USBLINK_VBUS"), &options, &error)) {
    std::cerr << "devsim: " << error << "\n" << devsim::cli::usage();
    return 2;
  }
  if (options.help) {
    std::cout << devsim::cli::usage();
    return 0;
  }
  if (options.version) {
    std::cout << plat::getVersionString("ProductName") << " Version "
              << plat::getVersionString("ProductVersion") << "\n";
    return 0;
  }
  if (signalsResult != 0) {
    std::cerr << "devsim: cannot wait for termination signals: "
              << plat::systemMessage(uint32_t(signalsResult)) << "\n";
    return 1;
  }
  return run(options, signals);
}
