#include <cstdlib>
#include <filesystem>
#include <string>

#include "DeviceIds.h"
#include "LibusbBus.h"
#include "UsbBackend.h"
#include "VbusBus.h"
#include "plat/trace.h"

namespace usblink {

std::unique_ptr<UsbBus> makeDefaultBus() {
  const char* dir = std::getenv("USBLINK_VBUS");
  std::error_code ec;
  if (dir && *dir && std::filesystem::is_directory(dir, ec)) {
    VLN_TRACE(kVbus, "virtual bus in %s", dir);
    return std::make_unique<VbusBus>(dir);
  }
  if (dir && *dir) VLN_TRACE(kVbus, "USBLINK_VBUS=%s is not a directory: libusb instead", dir);
  LibusbOptions options;
  options.ids = loadDeviceIds();
  // Scans instead of hotplug, so that the polling path can be reached (and
  // used where hotplug events do not arrive).
  const char* poll = std::getenv("USBLINK_LIBUSB_POLL");
  if (poll && std::string(poll) == "1") options.useHotplug = false;
  return std::make_unique<LibusbBus>(std::move(options));
}

}  // namespace usblink
