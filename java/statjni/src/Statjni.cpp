// The status binding: registration, the two requests, and the library's
// status events turned into calls of the callbacks object.
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "eu_veltrano_zamo_DeviceCommunication_provider_Statjni.h"
#include "statproto/statproto.h"
#include "vlnjni/BoundLibrary.h"
#include "vlnjni/Dispatcher.h"
#include "vlnjni/Errors.h"
#include "vlnjni/Load.h"
#include "vlnjni/Remote.h"
#include "vlnjni/Text.h"

namespace {

using vlnjni::Bytes;
using vlnjni::NativeCall;

const vlnjni::Module kModule{"Statjni", "statproto"};
constexpr const char* kNatives = "eu/veltrano/zamo/DeviceCommunication/provider/Statjni";
constexpr const char* kCallbacks =
    "eu/veltrano/zamo/DeviceCommunication/provider/StatprotoCallbacks";

struct Api {
  decltype(&ProtStatusRegister) registerId;
  decltype(&ProtStatusUnRegister) unregister;
  decltype(&ProtStatusReqSignature) reqSignature;
  decltype(&ProtStatusReqNotifications) reqNotifications;
};

// Heap objects never destroyed at exit (see vlnjni/Load.h).
vlnjni::BoundApi<Api> gApi;
vlnjni::DispatcherSlot* const gSlot = new vlnjni::DispatcherSlot;

// The lists of events 3 and 4 travel beside the payload.
struct StatusEvent : vlnjni::NativeEvent {
  using NativeEvent::NativeEvent;
  std::vector<std::int32_t> list;
  bool hasText = false;
};

enum Method : std::size_t {
  kSetConnected,
  kUnSetConnected,
  kParamSignature,
  kEventListChanged,
  kPowerStateListChanged,
  kSystemStatusChanged,
};

jintArray intArray(JNIEnv* env, const std::vector<std::int32_t>& list) {
  jintArray array = env->NewIntArray(jsize(list.size()));
  if (!array) throw vlnjni::JavaPending{};
  if (!list.empty()) env->SetIntArrayRegion(array, 0, jsize(list.size()), list.data());
  vlnjni::checkJava(env);
  return array;
}

void eventSwitch(vlnjni::JavaDispatcher::Context& context, vlnjni::NativeEvent& base) {
  auto& event = static_cast<StatusEvent&>(base);
  JNIEnv* env = context.env();
  switch (event.type) {
    case PROT_STATUS_EVENT_DOWN:
      context.call(kUnSetConnected, context.idArray());
      break;
    case PROT_STATUS_EVENT_UP:
      context.call(kSetConnected, context.idArray());
      break;
    case PROT_STATUS_EVENT_SIGNATURE: {
      if (event.size != 16 || event.payload.size() != 16)
        throw std::string("Wrong packet size from remote.");
      jbyteArray id = context.idArray();
      jbyteArray signature = context.bytes(event.payload.data(), 16);
      context.call(kParamSignature, id, signature);
      break;
    }
    case PROT_STATUS_EVENT_EVENTS:
    case PROT_STATUS_EVENT_POWER: {
      jbyteArray id = context.idArray();
      jintArray list = intArray(env, event.list);
      context.call(
          event.type == PROT_STATUS_EVENT_EVENTS ? kEventListChanged : kPowerStateListChanged, id,
          list);
      break;
    }
    case PROT_STATUS_EVENT_TEXT: {
      jbyteArray id = context.idArray();
      jstring text = nullptr;
      if (event.hasText) {
        text = vlnjni::newString(
            env, std::string_view(reinterpret_cast<const char*>(event.payload.data()),
                                  event.payload.size()));
      }
      context.call(kSystemStatusChanged, id, text);
      break;
    }
    default:
      throw std::string("Unknown event from remote device.");
  }
}

// On the library's threads: copy everything the pointers show before
// returning, queue, never call Java, never let an exception into the library.
// An event that cannot be copied (no memory) is dropped.
void onStatusEvent(ProtStatusHandle handle, uint64_t type, const void* data, uint64_t length) {
  try {
    auto event = std::make_unique<StatusEvent>(handle, std::int32_t(type), Bytes(), 0);
    switch (type) {
      case PROT_STATUS_EVENT_SIGNATURE:
        event->size = length;
        if (data && length) {
          const auto* bytes = static_cast<const std::uint8_t*>(data);
          event->payload.assign(bytes, bytes + length);
        }
        break;
      case PROT_STATUS_EVENT_EVENTS:
      case PROT_STATUS_EVENT_POWER:
        if (data && length == sizeof(ProtStatusList)) {
          ProtStatusList record;
          std::memcpy(&record, data, sizeof record);
          if (record.values) {
            event->list.reserve(record.count);
            for (std::uint16_t i = 0; i < record.count; ++i)
              event->list.push_back(std::int32_t(record.values[i]));
          }
        }
        break;
      case PROT_STATUS_EVENT_TEXT:
        event->size = length;
        if (data && length == sizeof(ProtStatusText)) {
          ProtStatusText record;
          std::memcpy(&record, data, sizeof record);
          if (record.text) {
            event->payload.assign(record.text, record.text + std::strlen(record.text));
            event->hasText = true;
          }
        }
        break;
      default:
        break;
    }
    gSlot->post(std::move(event));
  } catch (...) {
  }
}

vlnjni::BoundLibrary& library() { return gApi.library(); }
const Api& api() { return gApi.get(); }

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
  return vlnjni::loadBinding(vm, kModule, [](JNIEnv* env) {
    std::unique_ptr<vlnjni::JavaDispatcher> dispatcher;
    gApi.open(env, kModule, [&](vlnjni::BoundLibrary& lib, Api& table) {
      lib.bind(table.registerId, "ProtStatusRegister");
      lib.bind(table.unregister, "ProtStatusUnRegister");
      lib.bind(table.reqSignature, "ProtStatusReqSignature");
      lib.bind(table.reqNotifications, "ProtStatusReqNotifications");
      dispatcher = vlnjni::JavaDispatcher::startWithCallbacks(
          env, kModule, kCallbacks, kNatives,
          "Leu/veltrano/zamo/DeviceCommunication/provider/StatprotoCallbacks;",
          {{"nativeCallbackSetConnected", "([B)V"},
           {"nativeCallbackUnSetConnected", "([B)V"},
           {"nativeCallbackParamSignature", "([B[B)V"},
           {"nativeCallbackEventListChanged", "([B[I)V"},
           {"nativeCallbackPowerStateListChanged", "([B[I)V"},
           {"nativeCallbackSystemStatusChanged", "([BLjava/lang/String;)V"}},
          &eventSwitch);
    });
    gSlot->publish(dispatcher.release());
  });
}

JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) {
  vlnjni::unloadService(gApi, *gSlot, [](void* handle) {
    gApi.get().unregister(static_cast<ProtStatusHandle>(handle));
  });
}

JNIEXPORT jboolean JNICALL
Java_eu_veltrano_zamo_DeviceCommunication_provider_Statjni_registerDevice(JNIEnv* env, jclass,
                                                                          jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    vlnjni::BoundLibrary& lib = library();
    return jboolean(vlnjni::registerRemote(
        call, lib, gSlot->queue(), id, [](const std::uint8_t* bytes, std::size_t n) {
          return static_cast<void*>(api().registerId(bytes, n, &onStatusEvent));
        }));
  });
}

JNIEXPORT jboolean JNICALL
Java_eu_veltrano_zamo_DeviceCommunication_provider_Statjni_unregisterDevice(JNIEnv* env, jclass,
                                                                            jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    vlnjni::BoundLibrary& lib = library();
    return jboolean(vlnjni::unregisterRemote(
        call, lib, gSlot->queue(), id, vlnjni::UnregisterOrder::kForgetFirst,
        [](void* handle) { api().unregister(static_cast<ProtStatusHandle>(handle)); }));
  });
}

JNIEXPORT jboolean JNICALL
Java_eu_veltrano_zamo_DeviceCommunication_provider_Statjni_requestSignature(JNIEnv* env, jclass,
                                                                            jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    return vlnjni::withHandle(call, library(), id, jboolean(JNI_FALSE), [](void* handle) {
      return jboolean(api().reqSignature(static_cast<ProtStatusHandle>(handle)));
    });
  });
}

JNIEXPORT jboolean JNICALL
Java_eu_veltrano_zamo_DeviceCommunication_provider_Statjni_requestNotifications(JNIEnv* env, jclass,
                                                                                jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    return vlnjni::withHandle(call, library(), id, jboolean(JNI_FALSE), [](void* handle) {
      return jboolean(api().reqNotifications(static_cast<ProtStatusHandle>(handle)));
    });
  });
}

}  // extern "C"
