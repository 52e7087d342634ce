#include "DeviceIds.h"

#include "plat/registry.h"
#include "translayer/HwId.h"

using translayer::hexDigitValue;

namespace usblink {
namespace {

bool parseHex16(const std::string& s, uint16_t* out) {
  if (s.empty() || s.size() > 4) return false;
  uint16_t v = 0;
  for (char c : s) {
    const int d = hexDigitValue(c);
    if (d < 0) return false;
    v = uint16_t((v << 4) | d);
  }
  *out = v;
  return true;
}

std::string trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

bool parseUsbId(const std::string& text, UsbId* id) {
  const std::string t = trimmed(text);
  const size_t colon = t.find(':');
  if (colon == std::string::npos) return false;
  UsbId parsed;
  if (!parseHex16(t.substr(0, colon), &parsed.vendor) ||
      !parseHex16(t.substr(colon + 1), &parsed.product))
    return false;
  *id = parsed;
  return true;
}

std::vector<UsbId> loadDeviceIds() {
  std::vector<UsbId> ids;
  plat::RegKey key;
  if (plat::regOpenKey(plat::RegRoot::kLocalMachine, kDevicesKey, &key) != 0) return ids;
  for (const plat::RegValue& value : key.values()) {
    std::string text;
    if (plat::regGetString(key, value.name, &text) != 0) continue;
    UsbId id;
    if (parseUsbId(text, &id)) ids.push_back(id);
  }
  return ids;
}

}  // namespace usblink
