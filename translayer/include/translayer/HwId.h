// The 16 raw bytes that name one device. Users see a HwId as 32 hex digits
// (the HWID) on command lines and in file names. The service ids of its
// channels live in base/ProtocolId.h.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/ProtocolId.h"

namespace translayer {

struct HwId {
  uint8_t id[16];
  bool operator==(const HwId& o) const { return std::memcmp(id, o.id, 16) == 0; }
  bool operator<(const HwId& o) const { return std::memcmp(id, o.id, 16) < 0; }
};
static_assert(sizeof(HwId) == 16);

// 0-15 for a hex digit of either case, else -1.
inline int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Exactly 32 hex digits, either case; anything else is refused.
inline bool parseHwId(std::string_view text, HwId* out) {
  if (text.size() != 32) return false;
  HwId parsed{};
  for (size_t i = 0; i < 32; ++i) {
    const int d = hexDigitValue(text[i]);
    if (d < 0) return false;
    parsed.id[i / 2] = uint8_t(parsed.id[i / 2] << 4 | d);
  }
  *out = parsed;
  return true;
}

// 32 hex digits; upper case unless told otherwise.
inline std::string formatHwId(const HwId& hwid, bool upperCase = true) {
  const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string s(32, '0');
  for (size_t i = 0; i < 16; ++i) {
    s[2 * i] = digits[hwid.id[i] >> 4];
    s[2 * i + 1] = digits[hwid.id[i] & 15];
  }
  return s;
}

}  // namespace translayer
