// A loadable module with its own version block: reports its product name as
// it reads it through an address inside itself.
#include <string>

#include "plat/verinfo.h"

extern "C" __attribute__((visibility("default"))) const char* verinfo_probe() {
  static const std::string name =
      plat::getModuleVersionString(reinterpret_cast<void*>(&verinfo_probe), "ProductName");
  return name.c_str();
}
