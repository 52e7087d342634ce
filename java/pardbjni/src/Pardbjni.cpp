// Natives of Pardbjni over the pardbproto library. The natives only start
// requests; the library's events are copied on its threads and reach the
// PardbprotoCallbacks object on the dispatcher thread.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "eu_veltrano_zamo_DeviceCommunication_provider_Pardbjni.h"
#include "pardbproto/pardbproto.h"
#include "vlnjni/BoundLibrary.h"
#include "vlnjni/Dispatcher.h"
#include "vlnjni/Errors.h"
#include "vlnjni/Load.h"
#include "vlnjni/Remote.h"

namespace {

using vlnjni::Bytes;
using vlnjni::NativeCall;

const vlnjni::Module kModule{"Pardbjni", "pardbproto"};

struct Api {
  decltype(&ProtParDBRegister) registerId;
  decltype(&ProtParDBUnRegister) unregister;
  decltype(&ProtParDBReqSignature) signature;
  decltype(&ProtParDBReqStore) store;
  decltype(&ProtParDBReqRead) read;
  decltype(&ProtParDBReqWrite) write;
};

// Heap objects never destroyed at exit (see vlnjni/Load.h).
vlnjni::BoundApi<Api> gApi;
vlnjni::DispatcherSlot* const gSlot = new vlnjni::DispatcherSlot;

// A read result keeps its own copy of the value: the library's points into
// its reply buffer, valid only during the callback.
struct ParDbEvent : vlnjni::NativeEvent {
  using NativeEvent::NativeEvent;
  Bytes data;
};

constexpr std::size_t kSignatureSize = 16;
constexpr std::size_t kStoreSize = 4;
constexpr std::size_t kReadSize = sizeof(ProtParDBReadResult);
constexpr std::size_t kWriteSize = sizeof(ProtParDBWriteResult);

enum Method : std::size_t { kDeviceStatus, kSignature, kStore, kRead, kWrite };

template <class T>
T field(const Bytes& payload, std::size_t at) {
  T value;
  std::memcpy(&value, payload.data() + at, sizeof value);
  return value;
}

void requireSize(const vlnjni::NativeEvent& event, std::size_t expected, const char* text) {
  if (event.payload.size() != expected) throw std::string(text);
}

void eventSwitch(vlnjni::JavaDispatcher::Context& context, vlnjni::NativeEvent& event) {
  auto& e = static_cast<ParDbEvent&>(event);
  switch (e.type) {
    case PROT_PARDB_EVENT_DOWN:
    case PROT_PARDB_EVENT_UP:
      context.call(kDeviceStatus, context.idArray(),
                   jboolean(e.type == PROT_PARDB_EVENT_UP ? JNI_TRUE : JNI_FALSE));
      return;
    case PROT_PARDB_EVENT_SIGNATURE:
      requireSize(e, kSignatureSize, "Wrong packet size from remote for signature request.");
      context.call(kSignature, context.idArray(), context.bytes(e.payload.data(), kSignatureSize));
      return;
    case PROT_PARDB_EVENT_STORE:
      requireSize(e, kStoreSize, "Wrong packet size from remote for store operation.");
      context.call(kStore, context.idArray(), jint(field<std::int32_t>(e.payload, 0)));
      return;
    case PROT_PARDB_EVENT_READ:
      requireSize(e, kReadSize, "Wrong packet size from remote for read operation.");
      context.call(kRead, context.idArray(), jint(field<std::uint16_t>(e.payload, 0)),
                   context.bytes(e.data.data(), e.data.size()));
      return;
    case PROT_PARDB_EVENT_WRITE:
      requireSize(e, kWriteSize, "Wrong packet size from remote for write operation.");
      context.call(kWrite, context.idArray(), jint(field<std::uint16_t>(e.payload, 0)),
                   jboolean(field<std::int32_t>(e.payload, 4) == PROT_PARDB_RESULT_OK));
      return;
    default:
      throw std::string("Unknown event from remote device.");
  }
}

// On the library's threads: copy and queue, never Java, never an exception
// into the library. A payload too big to copy drops the event.
void onLibraryEvent(ProtParDBHandle handle, uint64_t event, const void* data, uint64_t length) {
  try {
    Bytes payload;
    if (data && length > 0) {
      const auto* bytes = static_cast<const std::uint8_t*>(data);
      payload.assign(bytes, bytes + length);
    }
    auto copy =
        std::make_unique<ParDbEvent>(handle, std::int32_t(event), std::move(payload), length);
    if (event == PROT_PARDB_EVENT_READ && copy->payload.size() == kReadSize) {
      ProtParDBReadResult result;
      std::memcpy(&result, data, sizeof result);
      if (result.data && result.length > 0)
        copy->data.assign(result.data, result.data + result.length);
    }
    gSlot->post(std::move(copy));
  } catch (...) {
  }
}

vlnjni::BoundLibrary& library() { return gApi.library(); }
const Api& api() { return gApi.get(); }

// The library takes a 16-bit index; anything else is refused here.
bool validIndex(jint index) { return std::uint32_t(index) <= 0xFFFFu; }

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
  return vlnjni::loadBinding(vm, kModule, [](JNIEnv* env) {
    std::unique_ptr<vlnjni::JavaDispatcher> dispatcher;
    gApi.open(env, kModule, [&](vlnjni::BoundLibrary& lib, Api& table) {
      lib.bind(table.registerId, "ProtParDBRegister");
      lib.bind(table.unregister, "ProtParDBUnRegister");
      lib.bind(table.signature, "ProtParDBReqSignature");
      lib.bind(table.store, "ProtParDBReqStore");
      lib.bind(table.read, "ProtParDBReqRead");
      lib.bind(table.write, "ProtParDBReqWrite");
      dispatcher = vlnjni::JavaDispatcher::startWithCallbacks(
          env, kModule, "eu/veltrano/zamo/DeviceCommunication/provider/PardbprotoCallbacks",
          "eu/veltrano/zamo/DeviceCommunication/provider/Pardbjni",
          "Leu/veltrano/zamo/DeviceCommunication/provider/PardbprotoCallbacks;",
          {{"nativeCallbackSetDeviceStatus", "([BZ)V"},
           {"nativeCallbackParameterSignatureResult", "([B[B)V"},
           {"nativeCallbackStoreOperationResult", "([BI)V"},
           {"nativeCallbackReadOperationResult", "([BI[B)V"},
           {"nativeCallbackWriteOperationResult", "([BIZ)V"}},
          &eventSwitch);
    });
    gSlot->publish(dispatcher.release());
  });
}

JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) {
  vlnjni::unloadService(gApi, *gSlot, [](void* handle) {
    gApi.get().unregister(static_cast<ProtParDBHandle>(handle));
  });
}

#define PARDB_NATIVE(ret, name) \
  JNIEXPORT ret JNICALL Java_eu_veltrano_zamo_DeviceCommunication_provider_Pardbjni_##name

PARDB_NATIVE(jboolean, connectRemoteHw)(JNIEnv* env, jclass, jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    vlnjni::BoundLibrary& lib = library();
    return jboolean(vlnjni::registerRemote(
        call, lib, gSlot->queue(), id, [](const std::uint8_t* bytes, std::size_t n) {
          return static_cast<void*>(api().registerId(bytes, n, &onLibraryEvent));
        }));
  });
}

PARDB_NATIVE(jboolean, disconnectRemoteHw)(JNIEnv* env, jclass, jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    vlnjni::BoundLibrary& lib = library();
    return jboolean(vlnjni::unregisterRemote(
        call, lib, gSlot->queue(), id, vlnjni::UnregisterOrder::kForgetFirst,
        [](void* handle) { api().unregister(static_cast<ProtParDBHandle>(handle)); }));
  });
}

PARDB_NATIVE(jboolean, getParameterSignature)(JNIEnv* env, jclass, jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    return jboolean(vlnjni::withHandle(call, library(), id, false, [](void* handle) {
      return api().signature(static_cast<ProtParDBHandle>(handle));
    }));
  });
}

PARDB_NATIVE(jboolean, storeParameters)(JNIEnv* env, jclass, jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    return jboolean(vlnjni::withHandle(call, library(), id, false, [](void* handle) {
      return api().store(static_cast<ProtParDBHandle>(handle));
    }));
  });
}

PARDB_NATIVE(jboolean, readParameter)(JNIEnv* env, jclass, jbyteArray id, jint index) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    call.remoteId(id);
    if (!validIndex(index)) return jboolean(JNI_FALSE);
    return jboolean(vlnjni::withHandle(call, library(), id, false, [&](void* handle) {
      return api().read(static_cast<ProtParDBHandle>(handle), int(index & 0xFFFF));
    }));
  });
}

// An empty value still goes to the library, which refuses it (a write of
// nothing would get no reply and the channel would be dropped).
PARDB_NATIVE(jboolean, writeParameter)
(JNIEnv* env, jclass, jbyteArray id, jint index, jbyteArray data) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    call.remoteId(id);
    call.requireNonNull(data, "data");
    if (!validIndex(index)) return jboolean(JNI_FALSE);
    const Bytes value = vlnjni::bytesOf(env, data);
    return jboolean(vlnjni::withHandle(call, library(), id, false, [&](void* handle) {
      return api().write(static_cast<ProtParDBHandle>(handle), int(index & 0xFFFF), value.data(),
                         value.size());
    }));
  });
}

}  // extern "C"
