// "A connection server with N emulated devices" for the console's tests, so
// the same scenarios run on a stand-in server inside the test process and
// on the real road (linkhub with its media and devsim).
//
// Every device runs the devsim core service with its default identity
// (devsim::CoreIdentity), its friendly name, and a storage volume "root". The environment the
// programs need (runtime directory and the like) is set before start() returns, so children inherit
// it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "translayer/HwId.h"

namespace shelltest {

struct DeviceSetup {
  translayer::HwId hwid{};
  std::string name;          // letters, digits, '-' and '_'
  std::string friendlyName;  // empty: the name (a road may allow only one other)
};

class DeviceServer {
 public:
  virtual ~DeviceServer() = default;
  // Starts the server in `workDir` (made by the caller) with these devices
  // and returns once all of them are online. False when it could not.
  virtual bool start(const std::string& workDir, const std::vector<DeviceSetup>& devices) = 0;
  // The directory behind the "root" volume of device i.
  std::filesystem::path rootVolume(size_t device) const { return roots_.at(device); }
  // What the road is called in messages.
  virtual std::string name() const = 0;

 protected:
  // Notes and returns device d's "root" volume, <workDir>/storage/<name>/root,
  // the layout the devsim program also uses.
  std::filesystem::path addRoot(const std::string& workDir, const DeviceSetup& d) {
    roots_.push_back(std::filesystem::path(workDir) / "storage" / d.name / "root");
    return roots_.back();
  }

 private:
  std::vector<std::filesystem::path> roots_;
};

// The road this test program was built for.
std::unique_ptr<DeviceServer> makeDeviceServer();

}  // namespace shelltest
