// usblink-probe BUSNUM DEVNUM: run by the udev rule for a USB device with a
// vendor-specific interface. Exits 0 (and prints "link") when the device's
// MS OS 2.0 descriptors name the link interface class, 1 when they do not
// (the reason on standard error), 2 when the device cannot be reached.
#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "UdevProbe.h"

namespace {

constexpr unsigned kControlTimeoutMs = 1000;

bool parseNumber(const char* text, int* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (!*text || *end || v < 1 || v > 255) return false;
  *out = int(v);
  return true;
}

int probe(libusb_device* device) {
  libusb_device_descriptor d{};
  if (libusb_get_device_descriptor(device, &d) != 0) return 2;
  // BOS descriptors, and with them MS OS 2.0, exist from USB 2.01 on; hubs
  // are never ours.
  if (d.bcdUSB < 0x0201 || d.bDeviceClass == LIBUSB_CLASS_HUB) {
    std::fprintf(stderr, "usblink-probe: not ours: %s\n",
                 d.bDeviceClass == LIBUSB_CLASS_HUB ? "a hub" : "USB below 2.01 (no BOS)");
    return 1;
  }
  libusb_device_handle* handle = nullptr;
  if (const int rc = libusb_open(device, &handle)) {
    std::fprintf(stderr, "usblink-probe: cannot open the device: %s\n", libusb_error_name(rc));
    return 2;
  }
  const usblink::UdevProbeAnswer answer =
      usblink::udevProbe([handle](const usblink::ControlSetup& s, uint8_t* data) {
        const int n = libusb_control_transfer(handle, s.requestType, s.request, s.value, s.index,
                                              data, s.length, kControlTimeoutMs);
        return n < 0 ? -1 : n;
      });
  libusb_close(handle);
  if (answer == usblink::UdevProbeAnswer::kLink) {
    std::printf("link\n");
    return 0;
  }
  std::fprintf(stderr, "usblink-probe: not ours: %s\n", usblink::udevProbeReason(answer));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int bus = 0, address = 0;
  if (argc != 3 || !parseNumber(argv[1], &bus) || !parseNumber(argv[2], &address)) {
    std::fprintf(stderr, "usage: usblink-probe BUSNUM DEVNUM\n");
    return 2;
  }
  libusb_context* context = nullptr;
  if (const int rc = libusb_init(&context)) {
    std::fprintf(stderr, "usblink-probe: libusb: %s\n", libusb_error_name(rc));
    return 2;
  }
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(context, &list);
  int status = 2;
  bool found = false;
  for (ssize_t i = 0; i < n && !found; ++i) {
    if (libusb_get_bus_number(list[i]) == bus && libusb_get_device_address(list[i]) == address) {
      found = true;
      status = probe(list[i]);
    }
  }
  if (!found) std::fprintf(stderr, "usblink-probe: no USB device %03d/%03d\n", bus, address);
  if (n >= 0) libusb_free_device_list(list, 1);
  libusb_exit(context);
  return status;
}
