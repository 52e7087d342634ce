// The natives of the registration bindings: the skeleton of a native that
// takes a remote id, registration, unregistration, and the unregistering of
// every id at unload. All run under the library's call lock, so there is one
// library call at a time per binding.
//
// Lock order: call lock -> registry lock; call lock -> map lock -> queue
// lock. The library may call its callback (event lock -> map lock -> queue
// lock) from inside these calls: the callback never takes the call lock.
#pragma once

#include <jni.h>

#include <mutex>

#include "vlnjni/BoundApi.h"
#include "vlnjni/BoundLibrary.h"
#include "vlnjni/Dispatcher.h"
#include "vlnjni/Errors.h"
#include "vlnjni/EventQueue.h"

namespace vlnjni {

// Copies the id (null: NullPointerException; not 16 bytes: "Invalid remote
// id size"), looks its handle up and calls fn(handle). Without a handle the
// library is not called and `noHandle` is the result.
template <class R, class Fn>
R withHandle(NativeCall& call, BoundLibrary& library, jbyteArray id, R noHandle, Fn&& fn) {
  const Bytes& remote = call.remoteId(id);
  std::lock_guard<std::mutex> lock(library.callLock());
  void* handle = library.findHandle(remote);
  if (!handle) return noHandle;
  return fn(handle);
}

// One library registration per id: an id already registered is not
// registered again (the library's count would leak and its thread outlive
// the binding). fn(id, size) returns the library's handle or null.
template <class Fn>
bool registerRemote(NativeCall& call, BoundLibrary& library, EventQueue* queue, jbyteArray id,
                    Fn&& fn) {
  const Bytes& remote = call.remoteId(id);
  std::lock_guard<std::mutex> lock(library.callLock());
  if (library.findHandle(remote)) return true;
  if (queue) queue->beginRegistration();
  void* handle = nullptr;
  try {
    handle = fn(remote.data(), remote.size());
  } catch (...) {
    if (queue) queue->endRegistration();
    throw;
  }
  if (handle) {
    library.setHandle(remote, handle);
    if (queue) queue->setRemoteId(handle, remote);
  }
  if (queue) queue->endRegistration();
  return handle != nullptr;
}

// Which comes first when an id is unregistered.
enum class UnregisterOrder {
  // Registry and handle map first: whatever the library sends during its
  // unregister call (its down event) is an orphan and reaches Java with the
  // empty id, never the id by the dispatcher's timing.
  kForgetFirst,
  // The library first, then registry and handle map: an event it sends
  // during the call carries the id unless it is still queued at the erase.
  kLibraryFirst,
};

// Unregisters the id in the given order: fn(handle) (the library's
// unregister) and the id's entries leaving the registry and the handle map
// (its queued events become orphans). False when it was not registered.
template <class Fn>
bool unregisterRemote(NativeCall& call, BoundLibrary& library, EventQueue* queue, jbyteArray id,
                      UnregisterOrder order, Fn&& fn) {
  const Bytes& remote = call.remoteId(id);
  std::lock_guard<std::mutex> lock(library.callLock());
  void* handle = library.findHandle(remote);
  if (!handle) return false;
  if (order == UnregisterOrder::kLibraryFirst) fn(handle);
  library.removeHandle(remote);
  if (queue) queue->eraseRemoteId(handle);
  if (order == UnregisterOrder::kForgetFirst) fn(handle);
  return true;
}

// At unload: every id still registered is unregistered exactly once.
template <class Fn>
void unregisterAll(BoundLibrary& library, EventQueue* queue, Fn&& fn) {
  std::lock_guard<std::mutex> lock(library.callLock());
  for (const auto& [remote, handle] : library.entries()) {
    fn(handle);
    library.removeHandle(remote);
    if (queue) queue->eraseRemoteId(handle);
  }
}

// JNI_OnUnload of a binding that registers ids: each id still registered is
// unregistered with `unregisterOne(handle)`, then the dispatcher is stopped
// and the library closed.
template <typename Table, class Fn>
void unloadService(BoundApi<Table>& api, DispatcherSlot& slot, Fn&& unregisterOne) {
  if (api.loaded()) unregisterAll(api.library(), slot.queue(), unregisterOne);
  delete slot.take();
  api.close();
}

}  // namespace vlnjni
