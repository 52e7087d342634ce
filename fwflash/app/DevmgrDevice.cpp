#include <devmgr/devmgr.h>

#include "DevicePorts.h"

namespace fwflash {

DeviceApi::Handle DevmgrDevice::connect(const std::vector<uint8_t>& hwid) {
  return DevmgrConnect(hwid.data(), hwid.size());
}

void DevmgrDevice::disconnect(Handle handle) {
  DevmgrDisconnect(static_cast<DevmgrHandle>(handle));
}

bool DevmgrDevice::queryText(Handle handle, DeviceText which, uint8_t* buffer) {
  auto h = static_cast<DevmgrHandle>(handle);
  switch (which) {
    case DeviceText::kVersionString:
      return DevmgrGetFwVersionString(h, buffer);
    case DeviceText::kTarget:
      return DevmgrGetFwTarget(h, buffer);
    case DeviceText::kSubTarget:
      return DevmgrGetFwSubTarget(h, buffer);
    case DeviceText::kVerbose:
      return DevmgrGetFwVerbose(h, buffer);
    case DeviceText::kFriendlyName:
      return DevmgrGetFriendlyName(h, buffer);
  }
  return false;
}

bool DevmgrDevice::requestUpgrade(Handle handle, const char* volume, const char* file) {
  return DevmgrRequestCoreFirmwareUpgrade(static_cast<DevmgrHandle>(handle), volume, file);
}

bool DevmgrDevice::reset(Handle handle) {
  return DevmgrImmediateReset(static_cast<DevmgrHandle>(handle));
}

}  // namespace fwflash
