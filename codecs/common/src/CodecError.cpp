#include "codeccommon/CodecError.h"

#include <cstdlib>
#include <cstring>

#include "plat/memory.h"

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

void* mallocResult(size_t length) noexcept {
  // Below this a result is a few thousand pages at most: not worth a call.
  constexpr size_t kPrefaultFrom = size_t(8) << 20;
  void* p = std::malloc(length ? length : 1);
  if (p && length >= kPrefaultFrom) {
    const char* prefault = std::getenv("VLN_CODEC_PREFAULT");
    if (!prefault || std::strcmp(prefault, "0") != 0) plat::prefaultForWrite(p, length);
  }
  return p;
}

}  // namespace codec
