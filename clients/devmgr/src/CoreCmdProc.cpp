#include "CoreCmdProc.h"

#include <cstring>

bool CoreCmdProc::query(uint8_t request, void* destination, size_t size, SizeRule rule) {
  if (!destination) return false;
  return exchange(&request, 1, kQueryWaitMs, [&](const uint8_t* data, size_t length) {
    if (rule == SizeRule::kExact ? length != size : length > size) return false;
    std::memcpy(destination, data, length);
    return true;
  });
}
