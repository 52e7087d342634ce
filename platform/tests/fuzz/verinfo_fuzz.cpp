// Fuzz target: the ELF64 section walk and the version value lookup.
#include <cstddef>
#include <cstdint>
#include <string>

#include "plat/verinfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string section, value;
  if (plat::findVersionSection(data, size, &section)) {
    plat::findVersionValue(section, "ProductName", &value);
    plat::findVersionValue(section, "", &value);
  }
  // The input as a section text of its own.
  plat::findVersionValue(std::string(reinterpret_cast<const char*>(data), size), "ProductVersion",
                         &value);
  return 0;
}
