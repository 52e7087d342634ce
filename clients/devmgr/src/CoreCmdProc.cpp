#include "CoreCmdProc.h"

bool CoreCmdProc::query(uint8_t request, void* destination, size_t size, SizeRule rule) {
  if (!destination) return false;
  return exchange(&request, 1, kQueryWaitMs, [&](const uint8_t* data, size_t length) {
    return devmgr::takeQuery(rule, destination, size, data, length);
  });
}
