// The module information read over an arbitrary package.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fwflash/ModuleInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> package(data, data + size);
  fwflash::ModuleInfo info;
  fwflash::readModuleInfo(package, &info);
  return 0;
}
