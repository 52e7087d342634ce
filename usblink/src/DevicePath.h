// Device paths are compared as the system shows them: ASCII letters in upper
// case.
#pragma once

#include <string>

namespace usblink {

inline std::string upperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

}  // namespace usblink
