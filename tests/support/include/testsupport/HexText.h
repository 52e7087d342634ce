// Bytes as upper-case hex text, the form the test probes print and read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

inline std::string hexUpper(const unsigned char* data, std::size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0xF];
  }
  return out;
}
inline std::string hexUpper(const std::string& bytes) {
  return hexUpper(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}
inline std::string hexUpper(const std::vector<std::uint8_t>& bytes) {
  return hexUpper(bytes.data(), bytes.size());
}

}  // namespace testsupport
