#include "TransferRecords.h"

namespace usblink {

bool parseLinkDescriptor(const uint8_t* bytes, size_t length, LinkDescriptor* out) {
  if (length != kLinkDescriptorLength) return false;
  const uint16_t magic = uint16_t(bytes[2] | (bytes[3] << 8));
  const uint16_t size = uint16_t(bytes[4] | (bytes[5] << 8));
  if (magic != kLinkMagic || size < kMinTransferSize) return false;
  out->transferSize = size;
  return true;
}

}  // namespace usblink
