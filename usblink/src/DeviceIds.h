// The devices usblink takes by vendor and product id, besides those whose
// MS OS 2.0 descriptors name the link interface class: the values of the
// registry key HKLM\SOFTWARE\Veltrano\usblink\Devices, each a text
// "VVVV:PPPP" in hex (the value names are free). Values of another form are
// skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace usblink {

inline constexpr const char* kDevicesKey = "SOFTWARE\\Veltrano\\usblink\\Devices";

struct UsbId {
  uint16_t vendor;
  uint16_t product;
  bool operator==(const UsbId&) const = default;
};

// "VVVV:PPPP", 1 to 4 hex digits on each side, surrounding blanks allowed.
bool parseUsbId(const std::string& text, UsbId* id);

// The list from the registry; empty when the key or the file is missing.
std::vector<UsbId> loadDeviceIds();

}  // namespace usblink
