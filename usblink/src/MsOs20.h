// Microsoft OS 2.0 descriptors: how a device names the device interface
// class of its driverless interface. The BOS descriptor carries a platform
// capability with the descriptor set's vendor request; the set carries a
// registry property "DeviceInterfaceGUIDs" (or "DeviceInterfaceGUID") per
// interface or function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace usblink {

// The device interface class of the link interface.
inline constexpr const char* kLinkInterfaceClass = "{9DC6D3E6-17F0-4EEC-AC69-9B024168A5CF}";

struct MsOs20Request {
  uint8_t vendorCode = 0;
  uint16_t setLength = 0;
};

// Finds the MS OS 2.0 platform capability in a whole BOS descriptor.
bool findMsOs20Capability(const uint8_t* bos, size_t length, MsOs20Request* out);

// Looks through a descriptor set for a DeviceInterfaceGUID(s) property that
// names `guid` (compared ignoring case). *interfaceNumber: the first
// interface of the function subset it sits in, 0 when it applies to the
// whole device.
bool msOs20NamesInterfaceClass(const uint8_t* set, size_t length, const std::string& guid,
                               uint8_t* interfaceNumber);

}  // namespace usblink
