// The udev probe's questions against a device whose BOS descriptor announces
// a descriptor set as long as the input and whose set request answers the
// input: any bytes, any length, never a confirmation read past them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "UdevProbe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t kUuid[16] = {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                                    0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};
  const uint16_t setLength = uint16_t(std::min<size_t>(size, 0xFFFF));
  std::vector<uint8_t> bos = {5, 0x0F, 33, 0, 1, 28, 0x10, 0x05, 0};
  bos.insert(bos.end(), kUuid, kUuid + 16);
  bos.insert(bos.end(),
             {0x00, 0x00, 0x03, 0x06, uint8_t(setLength), uint8_t(setLength >> 8), 0x20, 0});
  usblink::udevProbe([&](const usblink::ControlSetup& s, uint8_t* out) {
    const uint8_t* answer = s.requestType == 0x80 ? bos.data() : data;
    const size_t have = s.requestType == 0x80 ? bos.size() : size;
    const size_t n = std::min<size_t>(s.length, have);
    if (n) std::memcpy(out, answer, n);
    return int(n);
  });
  return 0;
}
