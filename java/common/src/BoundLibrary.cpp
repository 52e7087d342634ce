#include "vlnjni/BoundLibrary.h"

#include <cstdlib>

#include "plat/dynlib.h"
#include "vlnjni/Load.h"

namespace vlnjni {

std::string besideBinding(const char* library) {
  const std::string self = plat::objectPathOf(reinterpret_cast<const void*>(&besideBinding));
  const auto slash = self.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : self.substr(0, slash);
  return dir + "/lib" + library + ".so";
}

std::unique_ptr<BoundLibrary> BoundLibrary::open(JNIEnv* env, const Module& module) {
  const std::string key = std::string(module.name) + ".library";
  std::string path = systemProperty(env, key);
  if (path.empty()) {
    const char* fromEnv = std::getenv(key.c_str());
    if (fromEnv && *fromEnv) path = fromEnv;
  }
  if (path.empty()) path = besideBinding(module.library);
  void* library = plat::loadLibrary(path);
  if (!library) throw WrapperError(kLoadFailed);
  return std::unique_ptr<BoundLibrary>(new BoundLibrary(library, path));
}

BoundLibrary::~BoundLibrary() {
  {
    std::lock_guard<std::mutex> lock(registryLock_);
    registry_.clear();
  }
  plat::freeLibrary(library_);
}

void* BoundLibrary::symbol(const char* name) {
  void* address = plat::findSymbol(library_, name);
  if (!address) throw WrapperError(kLoadFailed);
  return address;
}

void BoundLibrary::setHandle(const Bytes& id, void* handle) {
  std::lock_guard<std::mutex> lock(registryLock_);
  registry_[id] = handle;
}

void* BoundLibrary::findHandle(const Bytes& id) const {
  std::lock_guard<std::mutex> lock(registryLock_);
  const auto it = registry_.find(id);
  return it == registry_.end() ? nullptr : it->second;
}

bool BoundLibrary::removeHandle(const Bytes& id) {
  std::lock_guard<std::mutex> lock(registryLock_);
  return registry_.erase(id) != 0;
}

std::vector<std::pair<Bytes, void*>> BoundLibrary::entries() const {
  std::lock_guard<std::mutex> lock(registryLock_);
  return {registry_.begin(), registry_.end()};
}

}  // namespace vlnjni
