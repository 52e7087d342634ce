#include "TransferRecords.h"

#include "base/ByteReader.h"

namespace usblink {

bool parseLinkDescriptor(const uint8_t* bytes, size_t length, LinkDescriptor* out) {
  if (length != kLinkDescriptorLength) return false;
  const uint16_t magic = base::loadU16(bytes + 2);
  const uint16_t size = base::loadU16(bytes + 4);
  if (magic != kLinkMagic || size < kMinTransferSize) return false;
  out->transferSize = size;
  return true;
}

}  // namespace usblink
