// Loads the plug-in in a process of its own and tells whether this process
// may use it: exit 0 when the load hook accepts, 3 when it refuses (another
// process holds the instance lock), 2 when the module cannot be loaded.
#include <cstdio>
#include <string>

#include "plat/dynlib.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s MODULE\n", argv[0]);
    return 2;
  }
  std::string error;
  plat::LibraryHandle library = plat::loadLibrary(argv[1], &error);
  if (!library) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  auto hook = reinterpret_cast<bool (*)()>(plat::findSymbol(library, "MediaLoadHook"));
  if (!hook) return 2;
  const bool accepted = hook();
  plat::freeLibrary(library);
  return accepted ? 0 : 3;
}
