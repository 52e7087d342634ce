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
#include "FirmwareInstall.h"
#include "base/ByteReader.h"
#include "devsim/DeviceHost.h"
#include "plat/signals.h"
#include "plat/sysmsg.h"
#include "plat/threadsafety.h"
#include "plat/verinfo.h"

using translayer::formatHwId;

namespace {

using devsim::VbusTransport;

plat::Mutex outputMutex;

// How long a device asked to reset stays off the bus.
constexpr uint32_t kResetOffMs = 300;

void say(const std::string& line) {
  plat::LockGuard lock(outputMutex);
  std::cout << "devsim: " << line << std::endl;
}

void complain(const std::string& line) {
  plat::LockGuard lock(outputMutex);
  std::cerr << "devsim: " << line << std::endl;
}

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

std::unique_ptr<devsim::DeviceHost> makeDevice(const devsim::cli::Options& options,
                                               const devsim::cli::DeviceSpec& spec) {
  devsim::HostOptions host;
  host.vbusDir = options.vbusDir;
  host.id = spec.id;
  host.hwid = spec.hwid;
  host.maxFrameLength = options.maxFrameLength;
  host.channelCount = options.channelCount;
  host.transferSize = options.transferSize;
  host.storageDir = options.storageDir;
  host.resetOffMs = kResetOffMs;
  host.benchFault = options.benchFault;
  host.core.friendlyName = options.friendlyName.empty() ? spec.id : options.friendlyName;
  if (!options.deviceName.empty()) host.core.identity.deviceName = options.deviceName;
  if (!options.fwVersionString.empty())
    host.core.identity.fwVersionString = options.fwVersionString;
  if (options.hasSerial) {
    host.core.identity.deviceSerial = base::ByteWriter().u32(options.serial).take();
  }
  if (options.fwUpgrade) host.core.upgradeFirmware = devsim::cli::installPackage;
  host.listener = [spec, dir = options.vbusDir](VbusTransport::Event event) {
    say(describe(spec, event, dir));
  };
  auto device = std::make_unique<devsim::DeviceHost>(std::move(host));
  device->pardb().setFault(options.pardbFault);
  return device;
}

int run(const devsim::cli::Options& options, plat::TerminationSignals& signals) {
  std::error_code ec;
  std::filesystem::create_directories(options.vbusDir, ec);
  if (!std::filesystem::is_directory(options.vbusDir, ec)) {
    complain("not a directory: " + options.vbusDir);
    return 1;
  }
  std::vector<std::unique_ptr<devsim::DeviceHost>> devices;
  auto unplugAll = [&] {
    for (auto& d : devices) d->unplug();
  };
  for (const devsim::cli::DeviceSpec& spec : options.devices) {
    devices.push_back(makeDevice(options, spec));
    std::string error;
    if (!devices.back()->makeStorage(&error)) {
      complain(error);
      unplugAll();
      return 1;
    }
    const int rc = devices.back()->plugIn();
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
