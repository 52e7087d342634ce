// The MS OS 2.0 parsers on what a device answers: any bytes, any length.
#include <cstddef>
#include <cstdint>

#include "MsOs20.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  usblink::MsOs20Request request;
  usblink::findMsOs20Capability(data, size, &request);
  uint8_t interfaceNumber = 0;
  usblink::msOs20NamesInterfaceClass(data, size, usblink::kLinkInterfaceClass, &interfaceNumber);
  return 0;
}
