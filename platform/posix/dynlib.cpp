#include "plat/dynlib.h"

#include <dlfcn.h>

#include <mutex>

#include "plat/threadsafety.h"

namespace plat {
namespace {

// dlerror's text is per thread but also reset by any dl call of that thread;
// the lock keeps call and read together across our own callers.
plat::Mutex& loaderMutex() {
  static plat::Mutex m;
  return m;
}

void takeError(std::string* error, const char* fallback) REQUIRES(loaderMutex()) {
  const char* text = dlerror();
  if (error) *error = text ? text : fallback;
}

}  // namespace

LibraryHandle loadLibrary(const std::string& path, std::string* error) {
  plat::LockGuard lock(loaderMutex());
  dlerror();
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) takeError(error, "cannot load library");
  return library;
}

void* findSymbol(LibraryHandle library, const char* name, std::string* error) {
  if (!library) {
    if (error) *error = "no library";
    return nullptr;
  }
  plat::LockGuard lock(loaderMutex());
  dlerror();
  void* symbol = dlsym(library, name);
  // A symbol whose value is null is not a usable entry point either.
  if (!symbol) takeError(error, "symbol not found");
  return symbol;
}

std::string objectPathOf(const void* address) {
  Dl_info info{};
  if (!address || dladdr(address, &info) == 0 || !info.dli_fname) return {};
  return info.dli_fname;
}

void freeLibrary(LibraryHandle library) {
  if (!library) return;
  plat::LockGuard lock(loaderMutex());
  dlclose(library);
}

}  // namespace plat
