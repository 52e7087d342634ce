#include "codeccommon/CodecError.h"

#include <cstdlib>
#include <cstring>

namespace codec {

void assignNoThrow(std::string& target, const std::string& text) noexcept {
  try {
    target = text;
  } catch (...) {
    target.clear();
  }
}

char* mallocText(const std::string& text) noexcept {
  auto* p = static_cast<char*>(std::malloc(text.size() + 1));
  if (p) std::memcpy(p, text.c_str(), text.size() + 1);
  return p;
}

uint8_t* mallocBytes(const void* data, size_t length) noexcept {
  auto* p = static_cast<uint8_t*>(std::malloc(length ? length : 1));
  if (p && length) std::memcpy(p, data, length);
  return p;
}

}  // namespace codec
