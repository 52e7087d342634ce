// The file server binding: each native ends whatever transfer the library
// still holds and starts one; progress, listing rows and the end come back
// through the library's callback and reach the callbacks object on the
// dispatcher thread. The library passes no handle (the user pointer is
// always null), so every event carries the 16 zero bytes as its id.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "eu_veltrano_zamo_DeviceCommunication_provider_Fsjni.h"
#include "fsproto/fsproto.h"
#include "vlnjni/BoundApi.h"
#include "vlnjni/BoundLibrary.h"
#include "vlnjni/Dispatcher.h"
#include "vlnjni/Errors.h"
#include "vlnjni/Load.h"
#include "vlnjni/Text.h"

namespace {

using vlnjni::Bytes;
using vlnjni::NativeCall;

const vlnjni::Module kModule{"Fsjni", "fsproto"};
constexpr const char* kNatives = "eu/veltrano/zamo/DeviceCommunication/provider/Fsjni";
constexpr const char* kCallbacks = "eu/veltrano/zamo/DeviceCommunication/provider/FsprotoCallbacks";
constexpr std::size_t kNameField = sizeof(FSrvDirEntry::name);

struct Api {
  decltype(&ProtFSrvDownload) download;
  decltype(&ProtFSrvUpload) upload;
  decltype(&ProtFSrvDir) dir;
  decltype(&ProtFSrvUnlink) unlink;
  decltype(&ProtFSrvCleanup) cleanup;
  decltype(&ProtFSrvTranslateError) translate;
};

// Heap objects never destroyed at exit (see vlnjni/Load.h).
vlnjni::BoundApi<Api> gApi;
vlnjni::DispatcherSlot* const gSlot = new vlnjni::DispatcherSlot;

enum Method : std::size_t { kProgress, kFileInfo, kOperationEnd };

std::int32_t int32At(const vlnjni::NativeEvent& event, std::size_t offset) {
  std::int32_t value;
  std::memcpy(&value, event.payload.data() + offset, sizeof value);
  return value;
}

// Every event has one exact length; anything else is not read at all.
void requireSize(const vlnjni::NativeEvent& event, std::size_t size) {
  if (event.size != size || event.payload.size() != size)
    throw std::string("Wrong packet size from remote.");
}

// 0 has the empty text; any other code the library's text for its negative
// magnitude (computed in 64 bits: the magnitude of INT32_MIN does not fit),
// or null.
jstring codeText(JNIEnv* env, std::int32_t code) {
  if (code == 0) return vlnjni::newString(env, "");
  const std::int64_t wide = code;
  const std::int64_t negative = wide < 0 ? wide : -wide;
  const char* text = gApi.loaded() ? gApi.get().translate(int(negative)) : nullptr;
  return text ? vlnjni::newString(env, text) : nullptr;
}

void eventSwitch(vlnjni::JavaDispatcher::Context& context, vlnjni::NativeEvent& event) {
  JNIEnv* env = context.env();
  switch (event.type) {
    case FSRV_EVENT_FINISHED:
    case FSRV_EVENT_FAILED: {
      requireSize(event, 4);
      const std::int32_t code = int32At(event, 0);
      jstring text = codeText(env, code);
      context.call(kOperationEnd, jboolean(event.type == FSRV_EVENT_FINISHED), jint(code), text);
      break;
    }
    case FSRV_EVENT_PROGRESS:
      requireSize(event, 8);
      context.call(kProgress, jint(int32At(event, 0)), jint(int32At(event, 4)));
      break;
    case FSRV_EVENT_DIR_ENTRY: {
      requireSize(event, sizeof(FSrvDirEntry));
      FSrvDirEntry entry;
      std::memcpy(&entry, event.payload.data(), sizeof entry);
      jstring name = vlnjni::newString(env, vlnjni::untilZero(entry.name, kNameField));
      context.call(kFileInfo, name, jint(entry.size),
                   jint(static_cast<std::uint16_t>(entry.attributes)));
      break;
    }
    default:
      throw std::string("Unknown event from remote device.");
  }
}

// On the library's threads (and on the caller's when a start fails): copy
// and queue only. An event that cannot be copied (no memory) is dropped.
void onFileServerEvent(void*, int type, const void* data, size_t length) {
  try {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    Bytes payload = data ? Bytes(bytes, bytes + length) : Bytes();
    gSlot->post(std::make_unique<vlnjni::NativeEvent>(nullptr, std::int32_t(type),
                                                      std::move(payload), length));
  } catch (...) {
  }
}

const Api& api() { return gApi.get(); }

std::string textArg(NativeCall& call, jstring text, const char* name) {
  call.requireNonNull(text, name);
  return vlnjni::toUtf8(call.env(), text);
}

// Ends what the library still holds, starts the operation, and cleans up
// again when it did not start.
template <class Start>
jboolean run(const Api& a, Start&& start) {
  a.cleanup();
  const bool started = start();
  if (!started) a.cleanup();
  return jboolean(started);
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
  return vlnjni::loadBinding(vm, kModule, [](JNIEnv* env) {
    std::unique_ptr<vlnjni::JavaDispatcher> dispatcher;
    gApi.open(env, kModule, [&](vlnjni::BoundLibrary& lib, Api& table) {
      lib.bind(table.download, "ProtFSrvDownload");
      lib.bind(table.upload, "ProtFSrvUpload");
      lib.bind(table.dir, "ProtFSrvDir");
      lib.bind(table.unlink, "ProtFSrvUnlink");
      lib.bind(table.cleanup, "ProtFSrvCleanup");
      lib.bind(table.translate, "ProtFSrvTranslateError");
      dispatcher = vlnjni::JavaDispatcher::startWithCallbacks(
          env, kModule, kCallbacks, kNatives,
          "Leu/veltrano/zamo/DeviceCommunication/provider/FsprotoCallbacks;",
          {{"nativeCallbackSetOperationProgress", "(II)V"},
           {"nativeCallbackSetFileInfo", "(Ljava/lang/String;II)V"},
           {"nativeCallbackSetOperationEnd", "(ZILjava/lang/String;)V"}},
          &eventSwitch);
      // Every event comes with the null user pointer: its id is all zeros.
      dispatcher->queue().setRemoteId(nullptr, Bytes(16, 0));
    });
    gSlot->publish(dispatcher.release());
  });
}

JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) {
  // No transfer outlives the binding.
  if (gApi.loaded()) gApi.get().cleanup();
  delete gSlot->take();
  gApi.close();
}

JNIEXPORT jboolean JNICALL Java_eu_veltrano_zamo_DeviceCommunication_provider_Fsjni_putFileToRemote(
    JNIEnv* env, jclass, jbyteArray id, jstring storage, jstring localFile, jstring remoteFile,
    jshort attributes) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    const Bytes remote = call.remoteId(id);
    const std::string volume = textArg(call, storage, "storage");
    const std::string local = textArg(call, localFile, "localFile");
    const std::string name = textArg(call, remoteFile, "remoteFile");
    const Api& a = api();
    return run(a, [&] {
      return a.download(remote.data(), remote.size(), &onFileServerEvent, nullptr, volume.c_str(),
                        local.c_str(), name.c_str(), int(std::uint16_t(attributes)));
    });
  });
}

JNIEXPORT jboolean JNICALL
Java_eu_veltrano_zamo_DeviceCommunication_provider_Fsjni_getFileFromRemote(
    JNIEnv* env, jclass, jbyteArray id, jstring storage, jstring remoteFile, jstring localFile) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    const Bytes remote = call.remoteId(id);
    const std::string volume = textArg(call, storage, "storage");
    const std::string name = textArg(call, remoteFile, "remoteFile");
    const std::string local = textArg(call, localFile, "localFile");
    const Api& a = api();
    return run(a, [&] {
      return a.upload(remote.data(), remote.size(), &onFileServerEvent, nullptr, volume.c_str(),
                      name.c_str(), local.c_str());
    });
  });
}

JNIEXPORT jboolean JNICALL
Java_eu_veltrano_zamo_DeviceCommunication_provider_Fsjni_getFileListFromRemote(JNIEnv* env, jclass,
                                                                               jbyteArray id,
                                                                               jstring storage,
                                                                               jstring) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    const Bytes remote = call.remoteId(id);
    const std::string volume = textArg(call, storage, "storage");
    const Api& a = api();
    return run(a, [&] {
      return a.dir(remote.data(), remote.size(), &onFileServerEvent, nullptr, volume.c_str());
    });
  });
}

JNIEXPORT jboolean JNICALL
Java_eu_veltrano_zamo_DeviceCommunication_provider_Fsjni_deleteFileFromRemote(JNIEnv* env, jclass,
                                                                              jbyteArray id,
                                                                              jstring storage,
                                                                              jstring remoteFile) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    const Bytes remote = call.remoteId(id);
    const std::string volume = textArg(call, storage, "storage");
    const std::string name = textArg(call, remoteFile, "remoteFile");
    const Api& a = api();
    return run(a, [&] {
      return a.unlink(remote.data(), remote.size(), &onFileServerEvent, nullptr, volume.c_str(),
                      name.c_str());
    });
  });
}

}  // extern "C"
