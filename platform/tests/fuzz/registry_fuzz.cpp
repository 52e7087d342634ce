// Fuzz target: the registry file parser and the enumeration buffer rules.
#include <cstddef>
#include <cstdint>
#include <string>

#include "plat/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  plat::RegKey key;
  if (plat::regOpenKeyInText(text, plat::RegRoot::kLocalMachine,
                             "SOFTWARE\\Veltrano\\linkhub\\Media", &key) != 0)
    return 0;
  for (uint32_t i = 0;; ++i) {
    char name[8];
    uint8_t value[16];
    uint32_t nameChars = sizeof name, bytes = sizeof value, type = 0;
    int rc = plat::regEnumValue(key, i, name, &nameChars, &type, value, &bytes);
    if (rc == 259) break;
    std::string s;
    if (rc == 0) plat::regGetString(key, name, &s);
  }
  return 0;
}
