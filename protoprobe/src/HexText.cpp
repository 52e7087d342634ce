#include "HexText.h"

#include <cstdlib>

namespace protoprobe {

uint8_t hexPairValue(std::string_view pair) {
  char text[3] = {};
  for (size_t i = 0; i < pair.size() && i < 2; ++i) text[i] = pair[i];
  return uint8_t(std::strtol(text, nullptr, 16));
}

std::vector<uint8_t> hexToBytes(std::string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve((text.size() + 1) / 2);
  for (size_t at = 0; at < text.size(); at += 2) bytes.push_back(hexPairValue(text.substr(at, 2)));
  return bytes;
}

bool isHwIdText(std::string_view text) {
  if (text.size() != 32) return false;
  for (char c : text) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

}  // namespace protoprobe
