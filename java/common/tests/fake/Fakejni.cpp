// A binding over the fake registration library: the runtime's registry,
// dispatcher and error bridge exercised the way a callback binding uses
// them, plus natives that make each kind of failure on purpose.
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/Utf8.h"
#include "fakecb.h"
#include "vlnjni/BoundLibrary.h"
#include "vlnjni/Dispatcher.h"
#include "vlnjni/Errors.h"
#include "vlnjni/Load.h"
#include "vlnjni/Remote.h"
#include "vlnjni/Text.h"
#include "vlntest_Fakejni.h"

namespace {

using vlnjni::Bytes;
using vlnjni::NativeCall;

const vlnjni::Module kModule{"Fakejni", "fakecb"};

struct Api {
  decltype(&FakeRegister) registerId;
  decltype(&FakeUnRegister) unregister;
  decltype(&FakeEmit) emit;
  decltype(&FakeRegisterCount) registerCount;
  decltype(&FakeQuery) query;
};

// Heap objects never destroyed at exit (see vlnjni/Load.h).
Api* gApi = nullptr;
vlnjni::BoundLibrary* gLibrary = nullptr;
vlnjni::DispatcherSlot* const gSlot = new vlnjni::DispatcherSlot;

enum Method : std::size_t { kOnEvent };

void eventSwitch(vlnjni::JavaDispatcher::Context& context, vlnjni::NativeEvent& event) {
  switch (event.type) {
    case 100:
      throw vlnjni::WrapperError("fake switch failure");
    case 101:
      throw std::runtime_error("boom");
    case 102:
      throw 42;
    default: {
      jbyteArray id = context.idArray();
      jbyteArray payload = context.bytes(event.payload.data(), event.payload.size());
      context.call(kOnEvent, id, jint(event.type), payload);
    }
  }
}

// On the library's threads: copy and queue, never Java, never an exception
// into the library.
void onLibraryEvent(void* handle, uint64_t event, const void* data, uint64_t size) {
  try {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    Bytes payload = data ? Bytes(bytes, bytes + size) : Bytes();
    gSlot->post(std::make_unique<vlnjni::NativeEvent>(handle, std::int32_t(event),
                                                      std::move(payload), size));
  } catch (...) {
  }
}

vlnjni::BoundLibrary& library() {
  if (!gLibrary) throw vlnjni::WrapperError(vlnjni::BoundLibrary::kLoadFailed);
  return *gLibrary;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
  return vlnjni::loadBinding(vm, kModule, [](JNIEnv* env) {
    auto lib = vlnjni::BoundLibrary::open(env, kModule);
    auto table = std::make_unique<Api>();
    lib->bind(table->registerId, "FakeRegister");
    lib->bind(table->unregister, "FakeUnRegister");
    lib->bind(table->emit, "FakeEmit");
    lib->bind(table->registerCount, "FakeRegisterCount");
    lib->bind(table->query, "FakeQuery");
    // Tests name another callbacks class to see a broken one refused.
    std::string name = vlnjni::systemProperty(env, "Fakejni.callbacksClass");
    if (name.empty()) name = "vlntest/FakeCallbacks";
    auto dispatcher = vlnjni::JavaDispatcher::startWithCallbacks(
        env, kModule, name.c_str(), "vlntest/Fakejni", "Ljava/lang/Object;",
        {{"onEvent", "([BI[B)V"}}, &eventSwitch);
    gLibrary = lib.release();
    gApi = table.release();
    gSlot->publish(dispatcher.release());
  });
}

JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) {
  if (gLibrary && gApi) vlnjni::unregisterAll(*gLibrary, gSlot->queue(), gApi->unregister);
  delete gSlot->take();
  delete gLibrary;
  gLibrary = nullptr;
  delete gApi;
  gApi = nullptr;
}

#define FAKE_NATIVE(ret, name) JNIEXPORT ret JNICALL Java_vlntest_Fakejni_##name

FAKE_NATIVE(jboolean, registerRemote)(JNIEnv* env, jclass, jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    return jboolean(vlnjni::registerRemote(call, library(), gSlot->queue(), id,
                                           [](const std::uint8_t* bytes, std::size_t n) {
                                             return gApi->registerId(bytes, n, &onLibraryEvent);
                                           }));
  });
}

FAKE_NATIVE(jboolean, unregisterRemote)(JNIEnv* env, jclass, jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    return jboolean(vlnjni::unregisterRemote(call, library(), gSlot->queue(), id,
                                             vlnjni::UnregisterOrder::kLibraryFirst,
                                             gApi->unregister));
  });
}

FAKE_NATIVE(jint, query)(JNIEnv* env, jclass, jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jint(-1), [&](NativeCall& call) {
    return vlnjni::withHandle(call, library(), id, jint(-1),
                              [](void* handle) { return jint(gApi->query(handle)); });
  });
}

FAKE_NATIVE(jlong, handleOf)(JNIEnv* env, jclass, jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jlong(0), [&](NativeCall& call) {
    return jlong(reinterpret_cast<std::intptr_t>(library().findHandle(call.remoteId(id))));
  });
}

FAKE_NATIVE(jboolean, emit)(JNIEnv* env, jclass, jbyteArray id, jint type, jbyteArray payload) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    const Bytes& remote = call.remoteId(id);
    call.requireNonNull(payload, "payload");
    const Bytes data = vlnjni::bytesOf(env, payload);
    library();
    return jboolean(gApi->emit(remote.data(), remote.size(), std::uint64_t(type), data.data(),
                               data.size()) != 0);
  });
}

FAKE_NATIVE(jint, libraryRegistrations)(JNIEnv* env, jclass, jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jint(-1), [&](NativeCall& call) {
    const Bytes& remote = call.remoteId(id);
    library();
    return jint(gApi->registerCount(remote.data(), remote.size()));
  });
}

// Each kind of native failure, with the id 00 01 ... 0F as the device.
FAKE_NATIVE(jint, fail)(JNIEnv* env, jclass, jint kind) {
  return vlnjni::guardNative(env, kModule, jint(-7), [&](NativeCall& call) -> jint {
    Bytes id(16);
    for (int i = 0; i < 16; ++i) id[std::size_t(i)] = std::uint8_t(i);
    call.setId(id);
    switch (kind) {
      case 0:
        throw std::bad_alloc();
      case 1:
        throw std::runtime_error("boom");
      case 2:
        throw 42;
      case 3:
        throw vlnjni::WrapperError("fake failure");
      case 4:
        vlnjni::newByteArray(env, nullptr, std::size_t(INT32_MAX) + 1);
        return 0;
      case 5:  // a native that concerns no device
        call.useZeroId();
        throw std::runtime_error("boom");
      case 6:
        call.useZeroId();
        throw vlnjni::WrapperError("no device");
      default:
        return 0;
    }
  });
}

// The runtime's text conversions, seen from Java.
FAKE_NATIVE(jstring, decodeUtf8)(JNIEnv* env, jclass, jbyteArray bytes) {
  return vlnjni::guardNative(env, kModule, jstring(nullptr), [&](NativeCall& call) {
    call.requireNonNull(bytes, "bytes");
    const Bytes raw = vlnjni::bytesOf(env, bytes);
    return vlnjni::newString(
        env, std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()));
  });
}

FAKE_NATIVE(jbyteArray, encodeUtf8)(JNIEnv* env, jclass, jstring text, jint maxBytes) {
  return vlnjni::guardNative(env, kModule, jbyteArray(nullptr), [&](NativeCall& call) {
    call.requireNonNull(text, "text");
    const std::string utf8 = vlnjni::toUtf8(env, text);
    const std::size_t n =
        maxBytes < 0 ? utf8.size() : base::utf8CutPoint(utf8, std::size_t(maxBytes));
    return vlnjni::newByteArray(env, utf8.data(), n);
  });
}

FAKE_NATIVE(jstring, decodeLatin1)(JNIEnv* env, jclass, jbyteArray bytes) {
  return vlnjni::guardNative(env, kModule, jstring(nullptr), [&](NativeCall& call) {
    call.requireNonNull(bytes, "bytes");
    const Bytes raw = vlnjni::bytesOf(env, bytes);
    return vlnjni::newLatin1String(
        env, std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()));
  });
}

FAKE_NATIVE(jbyteArray, encodeLatin1)(JNIEnv* env, jclass, jstring text) {
  return vlnjni::guardNative(env, kModule, jbyteArray(nullptr), [&](NativeCall& call) {
    call.requireNonNull(text, "text");
    const std::string bytes = vlnjni::toLatin1(env, text);
    return vlnjni::newByteArray(env, bytes.data(), bytes.size());
  });
}

// Misuse on purpose (a JNI call with an exception pending), to show the test
// runner fails on the JVM's warning.
FAKE_NATIVE(void, misuse)(JNIEnv* env, jclass) {
  env->ThrowNew(env->FindClass("java/lang/IllegalStateException"), "misuse");
  jclass again = env->FindClass("java/lang/Object");
  if (again) env->DeleteLocalRef(again);
  env->ExceptionClear();
}

}  // extern "C"
