// Loads the plug-in in a process of its own and prints whether this process
// may use it: "accepted", or "refused" and the number of media events its
// EnvCreate gave anyway (a refused process must get none). Exit 0 when it
// could tell, 2 when the module cannot be loaded.
#include <cstdio>
#include <string>

#include "plat/dynlib.h"
#include "usblink/MediaInterface.h"

namespace {

void countEvent(void* context, int, const uint32_t*, size_t) { ++*static_cast<int*>(context); }

}  // namespace

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
  auto create = reinterpret_cast<EnvCreateFn>(plat::findSymbol(library, "EnvCreate"));
  auto destroy = reinterpret_cast<EnvDestroyFn>(plat::findSymbol(library, "EnvDestroy"));
  if (!hook || !create || !destroy) return 2;
  if (hook()) {
    std::printf("accepted\n");
  } else {
    int events = 0;
    create(&countEvent, &events);
    destroy();
    std::printf("refused events=%d\n", events);
  }
  plat::freeLibrary(library);
  return 0;
}
