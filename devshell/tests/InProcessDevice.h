// The core service's configuration for a device of a road that runs inside
// the test process.
#pragma once

#include <filesystem>

#include "DeviceServer.h"
#include "devsim/CoreService.h"

namespace shelltest {

// Makes the root volume's directory and names it in the configuration.
inline devsim::CoreConfig coreConfigFor(const DeviceSetup& d, const std::filesystem::path& root) {
  devsim::CoreConfig config;
  config.friendlyName = d.friendlyName.empty() ? d.name : d.friendlyName;
  std::filesystem::create_directories(root);
  config.storage["root"] = root;
  return config;
}

}  // namespace shelltest
