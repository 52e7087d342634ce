#include "MsOs20.h"

#include <cstring>
#include <vector>

#include "base/ByteReader.h"

namespace usblink {
namespace {

constexpr uint8_t kBosType = 0x0F;
constexpr uint8_t kDeviceCapabilityType = 0x10;
constexpr uint8_t kPlatformCapability = 0x05;
// {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F} as it lies in the descriptor.
constexpr uint8_t kMsOs20Uuid[16] = {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                                     0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};

constexpr uint16_t kSetHeader = 0x00;
constexpr uint16_t kFunctionSubset = 0x02;
constexpr uint16_t kRegistryProperty = 0x04;

// UTF-16LE to ASCII; false when a character is outside ASCII.
bool asciiOf(const uint8_t* p, size_t bytes, std::string* out) {
  out->clear();
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    const uint16_t c = base::loadU16(p + i);
    if (c > 0x7F) return false;
    out->push_back(char(c));
  }
  return true;
}

bool equalIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = char(x - 32);
    if (y >= 'a' && y <= 'z') y = char(y - 32);
    if (x != y) return false;
  }
  return true;
}

// Whether a REG_SZ or REG_MULTI_SZ value (UTF-16LE) holds guid.
bool valueNames(const uint8_t* data, size_t bytes, const std::string& guid) {
  std::string text;
  if (!asciiOf(data, bytes, &text)) return false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    if (equalIgnoringCase(text.substr(start, end - start), guid)) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

bool findMsOs20Capability(const uint8_t* bos, size_t length, MsOs20Request* out) {
  if (length < 5 || bos[1] != kBosType || bos[0] < 5) return false;
  size_t p = bos[0];
  while (p + 3 <= length) {
    const size_t len = bos[p];
    if (len < 3 || p + len > length) return false;
    // Platform capability: bLength, type, capability type, reserved, UUID,
    // then dwWindowsVersion, wMSOSDescriptorSetTotalLength, bMS_VendorCode,
    // bAltEnumCode.
    if (bos[p + 1] == kDeviceCapabilityType && bos[p + 2] == kPlatformCapability && len >= 28 &&
        std::memcmp(bos + p + 4, kMsOs20Uuid, 16) == 0) {
      out->setLength = base::loadU16(bos + p + 24);
      out->vendorCode = bos[p + 26];
      return out->setLength >= 10;
    }
    p += len;
  }
  return false;
}

bool msOs20NamesInterfaceClass(const uint8_t* set, size_t length, const std::string& guid,
                               uint8_t* interfaceNumber) {
  if (length < 10 || base::loadU16(set) != 10 || base::loadU16(set + 2) != kSetHeader) return false;
  uint8_t function = 0;
  size_t functionEnd = 0;  // the current function subset's end; 0 outside one
  size_t p = 10;
  while (p + 4 <= length) {
    const size_t len = base::loadU16(set + p);
    const uint16_t type = base::loadU16(set + p + 2);
    if (len < 4 || p + len > length) return false;
    if (functionEnd != 0 && p >= functionEnd) functionEnd = 0;
    if (type == kFunctionSubset && len >= 8) {
      function = set[p + 4];
      functionEnd = p + base::loadU16(set + p + 6);
    } else if (type == kRegistryProperty && len >= 10) {
      // wLength, wDescriptorType, wPropertyDataType, wPropertyNameLength,
      // PropertyName, wPropertyDataLength, PropertyData.
      const size_t nameBytes = base::loadU16(set + p + 6);
      if (8 + nameBytes + 2 <= len) {
        std::string name;
        const uint8_t* data = set + p + 8 + nameBytes + 2;
        const size_t dataBytes = base::loadU16(set + p + 8 + nameBytes);
        if (asciiOf(set + p + 8, nameBytes, &name) && 8 + nameBytes + 2 + dataBytes <= len) {
          name = name.substr(0, name.find('\0'));
          // Registry value names are read ignoring case, so firmware spells
          // them freely ("DeviceInterfaceGuids" works on the device's home OS).
          if ((equalIgnoringCase(name, "DeviceInterfaceGUIDs") ||
               equalIgnoringCase(name, "DeviceInterfaceGUID")) &&
              valueNames(data, dataBytes, guid)) {
            *interfaceNumber = functionEnd != 0 ? function : 0;
            return true;
          }
        }
      }
    }
    p += len;
  }
  return false;
}

}  // namespace usblink
