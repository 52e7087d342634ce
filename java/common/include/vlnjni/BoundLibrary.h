// The wrapped library of a binding, loaded at run time. The binding does not
// link it, so that a missing library reaches JNI_OnLoad as an exception and a
// test can put a fake in its place. Where it comes from, first found wins:
//   1. the system property "<module>.library" (a path),
//   2. the environment variable "<module>.library" (a path),
//   3. lib<library>.so in the directory of the binding itself.
// A missing file or export gives "Error: target dll load failed".
//
// It also holds the registry of the registration bindings (remote id ->
// library handle) and their call lock.
//
// Threads: bind() only during load; the registry from any thread (its own
// lock); lock order: callLock() before the registry lock.
#pragma once

#include <jni.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "vlnjni/Errors.h"
#include "vlnjni/Module.h"

namespace vlnjni {

class BoundLibrary {
 public:
  static constexpr const char* kLoadFailed = "Error: target dll load failed";

  // Loads the library; throws WrapperError(kLoadFailed), or JavaPending when
  // reading the property failed.
  static std::unique_ptr<BoundLibrary> open(JNIEnv* env, const Module& module);
  ~BoundLibrary();
  BoundLibrary(const BoundLibrary&) = delete;
  BoundLibrary& operator=(const BoundLibrary&) = delete;

  // Resolves an export into `slot`; throws WrapperError(kLoadFailed) when
  // missing.
  template <class Fn>
  void bind(Fn*& slot, const char* name) {
    slot = reinterpret_cast<Fn*>(symbol(name));
  }
  void* symbol(const char* name);
  const std::string& path() const { return path_; }

  // Registry of the registration bindings.
  void setHandle(const Bytes& id, void* handle);
  void* findHandle(const Bytes& id) const;
  // True when there was an entry.
  bool removeHandle(const Bytes& id);
  std::vector<std::pair<Bytes, void*>> entries() const;

  // Serialises a registration binding's natives with their library calls.
  std::mutex& callLock() { return callLock_; }

 private:
  BoundLibrary(void* library, std::string path) : library_(library), path_(std::move(path)) {}

  void* library_;
  std::string path_;
  std::mutex callLock_;
  mutable std::mutex registryLock_;
  std::map<Bytes, void*> registry_;
};

// Where the binding that holds this code would find lib<library>.so.
std::string besideBinding(const char* library);

}  // namespace vlnjni
