// Natives of Scopejni over the scopeproto library. Requests are synchronous
// and return the library's scope result; the library's events are copied on
// its threads and reach the ProtocolDigitalScopeCallbacks object on the
// dispatcher thread.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "eu_veltrano_zamo_DeviceCommunication_provider_DigitalScope_Scopejni.h"
#include "scopeproto/scopeproto.h"
#include "vlnjni/BoundLibrary.h"
#include "vlnjni/ByteElements.h"
#include "vlnjni/Dispatcher.h"
#include "vlnjni/Errors.h"
#include "vlnjni/Load.h"
#include "vlnjni/Remote.h"

namespace {

using vlnjni::Bytes;
using vlnjni::NativeCall;

const vlnjni::Module kModule{"Scopejni", "scopeproto"};
constexpr jint kBrokenLink = PROT_DIGSCOPE_BROKEN_LINK;

#define SCOPE_PACKAGE "eu/veltrano/zamo/DeviceCommunication/provider/DigitalScope/"

struct Api {
  decltype(&ProtDigScopeRegister) registerId;
  decltype(&ProtDigScopeUnRegister) unregister;
  decltype(&ProtDigScopeGetSignature) signature;
  decltype(&ProtDigScopeGetCapabilities) capabilities;
  decltype(&ProtDigScopeAddChannel) addChannel;
  decltype(&ProtDigScopeModifyChannel) modifyChannel;
  decltype(&ProtDigScopeRemoveChannel) removeChannel;
  decltype(&ProtDigScopeAddTrigger) addTrigger;
  decltype(&ProtDigScopeModifyTrigger) modifyTrigger;
  decltype(&ProtDigScopeRemoveTrigger) removeTrigger;
  decltype(&ProtDigScopeSetParameters) setParameters;
  decltype(&ProtDigScopeArm) arm;
  decltype(&ProtDigScopeCancel) cancel;
  decltype(&ProtDigScopeReqRawConfiguration) rawConfig;
  decltype(&ProtDigScopeReqRawData) rawData;
};

// The two classes the timing event creates, held weakly like the callbacks
// object so that the application's class loader can still be collected.
struct TimingClasses {
  jweak estimation = nullptr;
  jweak single = nullptr;
  jmethodID estimationInit = nullptr;
  jmethodID singleInit = nullptr;
  jfieldID channelsList = nullptr;
};

// Heap objects never destroyed at exit (see vlnjni/Load.h).
vlnjni::BoundApi<Api> gApi;
TimingClasses* gClasses = nullptr;
vlnjni::DispatcherSlot* const gSlot = new vlnjni::DispatcherSlot;

// A raw result keeps its own copy of the data: the library frees its block
// when the callback returns.
struct ScopeEvent : vlnjni::NativeEvent {
  using NativeEvent::NativeEvent;
  Bytes data;
};

enum Method : std::size_t { kConnection, kStatus, kTiming, kProgress, kDataStream };

// The payload each event must come with; 0: none is read.
std::size_t requiredSize(std::int32_t type) {
  switch (type) {
    case PROT_DIGSCOPE_EVENT_STATUS:
      return sizeof(ProtDigScopeStatus);
    case PROT_DIGSCOPE_EVENT_CHANNELS:
      return sizeof(ProtDigScopeChannelList);
    case PROT_DIGSCOPE_EVENT_PROGRESS:
      return sizeof(ProtDigScopeProgress);
    case PROT_DIGSCOPE_EVENT_RAW:
      return sizeof(ProtDigScopeRawResult);
    default:
      return 0;
  }
}

template <class T>
T field(const Bytes& payload, std::size_t at) {
  T value;
  std::memcpy(&value, payload.data() + at, sizeof value);
  return value;
}

void deliverTiming(vlnjni::JavaDispatcher::Context& context, const Bytes& payload) {
  JNIEnv* env = context.env();
  jclass estimationClass = static_cast<jclass>(env->NewLocalRef(gClasses->estimation));
  jclass singleClass = static_cast<jclass>(env->NewLocalRef(gClasses->single));
  if (!estimationClass || !singleClass) return;  // the application's classes are gone
  const float maxTime = field<float>(payload, 0);
  const jint count = jint(field<std::uint8_t>(payload, 4));
  jobject estimation = env->NewObject(estimationClass, gClasses->estimationInit, count, maxTime);
  vlnjni::checkJava(env);
  jobjectArray list = env->NewObjectArray(count, singleClass, nullptr);
  vlnjni::checkJava(env);
  for (jint i = 0; i < count; ++i) {
    const std::size_t at = 8 + 8 * std::size_t(i);
    jobject entry =
        env->NewObject(singleClass, gClasses->singleInit, jint(field<std::uint16_t>(payload, at)),
                       field<float>(payload, at + 4));
    vlnjni::checkJava(env);
    env->SetObjectArrayElement(list, i, entry);
    // Up to 255 entries: each goes before the next, so the event's local
    // frame stays small.
    env->DeleteLocalRef(entry);
    vlnjni::checkJava(env);
  }
  env->SetObjectField(estimation, gClasses->channelsList, list);
  vlnjni::checkJava(env);
  context.call(kTiming, context.idArray(), estimation);
  env->DeleteLocalRef(list);
  env->DeleteLocalRef(estimation);
}

void eventSwitch(vlnjni::JavaDispatcher::Context& context, vlnjni::NativeEvent& event) {
  auto& e = static_cast<ScopeEvent&>(event);
  const std::size_t required = requiredSize(e.type);
  // The copy kept no payload for a wrong length: nothing to read.
  if (required != 0 && e.payload.size() != required)
    throw std::string("Wrong packet size from remote.");
  switch (e.type) {
    case PROT_DIGSCOPE_EVENT_DOWN:
    case PROT_DIGSCOPE_EVENT_UP:
      context.call(kConnection, context.idArray(),
                   jboolean(e.type == PROT_DIGSCOPE_EVENT_UP ? JNI_TRUE : JNI_FALSE));
      return;
    case PROT_DIGSCOPE_EVENT_STATUS:
      context.call(kStatus, context.idArray(), jint(field<std::int32_t>(e.payload, 0)),
                   double(field<float>(e.payload, 4)));
      return;
    case PROT_DIGSCOPE_EVENT_CHANNELS:
      deliverTiming(context, e.payload);
      return;
    case PROT_DIGSCOPE_EVENT_PROGRESS:
      context.call(kProgress, context.idArray(), jint(field<std::int32_t>(e.payload, 0)),
                   jint(field<std::int32_t>(e.payload, 4)));
      return;
    case PROT_DIGSCOPE_EVENT_RAW:
      context.call(kDataStream, context.idArray(), jint(field<std::int32_t>(e.payload, 0)),
                   context.bytes(e.data.data(), e.data.size()));
      return;
    default:
      return;  // not an event of this service: dropped
  }
}

// On the library's threads: copy and queue, never Java, never an exception
// into the library. A payload too big to copy drops the event.
void onLibraryEvent(ProtDigScopeHandle handle, uint64_t event, const void* data, uint64_t length) {
  try {
    const std::size_t required = requiredSize(std::int32_t(event));
    Bytes payload;
    if (required != 0 && data && length == required) {
      const auto* bytes = static_cast<const std::uint8_t*>(data);
      payload.assign(bytes, bytes + length);
    }
    auto copy =
        std::make_unique<ScopeEvent>(handle, std::int32_t(event), std::move(payload), length);
    if (event == PROT_DIGSCOPE_EVENT_RAW && !copy->payload.empty()) {
      ProtDigScopeRawResult raw;
      std::memcpy(&raw, data, sizeof raw);
      if (raw.size > 0) {
        // A size without data cannot be copied: the event carries no payload.
        if (!raw.data) {
          copy->payload.clear();
        } else {
          copy->data.assign(raw.data, raw.data + raw.size);
        }
      }
      const std::uint64_t none = 0;
      if (!copy->payload.empty()) std::memcpy(copy->payload.data() + 8, &none, sizeof none);
    }
    gSlot->post(std::move(copy));
  } catch (...) {
  }
}

vlnjni::BoundLibrary& library() { return gApi.library(); }
const Api& api() { return gApi.get(); }

ProtDigScopeHandle scopeHandle(void* handle) { return static_cast<ProtDigScopeHandle>(handle); }

// Channel and trigger numbers: the low 16 bits, zero-extended.
int number(jshort value) { return int(std::uint16_t(value)); }

// The skeleton of every int native: 1024 without a registration, and on
// any failure (guardNative's value).
template <class Fn>
jint scopeCall(JNIEnv* env, jbyteArray id, Fn&& fn) {
  return vlnjni::guardNative(env, kModule, kBrokenLink, [&](NativeCall& call) {
    return vlnjni::withHandle(call, library(), id, kBrokenLink,
                              [&](void* handle) { return jint(fn(scopeHandle(handle))); });
  });
}

jint triggerCall(JNIEnv* env, jbyteArray id, jbyteArray data, bool modify, jshort channel,
                 jint kind) {
  return vlnjni::guardNative(env, kModule, kBrokenLink, [&](NativeCall& call) {
    call.remoteId(id);
    call.requireNonNull(data, "data");
    vlnjni::ByteElements elements(env, data);
    return vlnjni::withHandle(call, library(), id, kBrokenLink, [&](void* handle) {
      const auto* bytes = static_cast<const char*>(elements.data());
      auto fn = modify ? api().modifyTrigger : api().addTrigger;
      return jint(fn(scopeHandle(handle), number(channel), int(kind), bytes, elements.size()));
    });
  });
}

jweak weakClass(JNIEnv* env, const char* name) {
  jclass local = env->FindClass(name);
  if (!local) throw vlnjni::JavaPending{};
  jweak weak = env->NewWeakGlobalRef(local);
  env->DeleteLocalRef(local);
  if (!weak) throw vlnjni::JavaPending{};
  return weak;
}

void deleteClasses(JNIEnv* env, TimingClasses* classes) {
  if (!classes) return;
  if (env) {
    if (classes->estimation) env->DeleteWeakGlobalRef(classes->estimation);
    if (classes->single) env->DeleteWeakGlobalRef(classes->single);
  }
  delete classes;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
  return vlnjni::loadBinding(vm, kModule, [](JNIEnv* env) {
    std::unique_ptr<vlnjni::JavaDispatcher> dispatcher;
    // Until published, a failed load takes the weak references back.
    struct Guard {
      JNIEnv* env;
      TimingClasses* held;
      ~Guard() { deleteClasses(env, held); }
      TimingClasses* operator->() const { return held; }
    } classes{env, new TimingClasses};
    gApi.open(env, kModule, [&](vlnjni::BoundLibrary& lib, Api& table) {
      lib.bind(table.registerId, "ProtDigScopeRegister");
      lib.bind(table.unregister, "ProtDigScopeUnRegister");
      lib.bind(table.signature, "ProtDigScopeGetSignature");
      lib.bind(table.capabilities, "ProtDigScopeGetCapabilities");
      lib.bind(table.addChannel, "ProtDigScopeAddChannel");
      lib.bind(table.modifyChannel, "ProtDigScopeModifyChannel");
      lib.bind(table.removeChannel, "ProtDigScopeRemoveChannel");
      lib.bind(table.addTrigger, "ProtDigScopeAddTrigger");
      lib.bind(table.modifyTrigger, "ProtDigScopeModifyTrigger");
      lib.bind(table.removeTrigger, "ProtDigScopeRemoveTrigger");
      lib.bind(table.setParameters, "ProtDigScopeSetParameters");
      lib.bind(table.arm, "ProtDigScopeArm");
      lib.bind(table.cancel, "ProtDigScopeCancel");
      lib.bind(table.rawConfig, "ProtDigScopeReqRawConfiguration");
      lib.bind(table.rawData, "ProtDigScopeReqRawData");

      classes->estimation = weakClass(env, SCOPE_PACKAGE "DigitalScopeTimingEstimation");
      classes->single = weakClass(env, SCOPE_PACKAGE "DigitalScopeTimingSingleChannel");
      {
        jclass estimation = static_cast<jclass>(env->NewLocalRef(classes->estimation));
        jclass single = static_cast<jclass>(env->NewLocalRef(classes->single));
        if (!estimation || !single) throw vlnjni::JavaPending{};
        classes->estimationInit = env->GetMethodID(estimation, "<init>", "(IF)V");
        classes->singleInit = env->GetMethodID(single, "<init>", "(IF)V");
        classes->channelsList = env->GetFieldID(
            estimation, "channelsList", "[L" SCOPE_PACKAGE "DigitalScopeTimingSingleChannel;");
        env->DeleteLocalRef(estimation);
        env->DeleteLocalRef(single);
        vlnjni::checkJava(env);
      }

      dispatcher = vlnjni::JavaDispatcher::startWithCallbacks(
          env, kModule, SCOPE_PACKAGE "ProtocolDigitalScopeCallbacks", SCOPE_PACKAGE "Scopejni",
          "L" SCOPE_PACKAGE "ProtocolDigitalScopeCallbacks;",
          {{"setConnectionStatus", "([BZ)V"},
           {"statusUpdate", "([BIF)V"},
           {"setTimingEstimation", "([BL" SCOPE_PACKAGE "DigitalScopeTimingEstimation;)V"},
           {"progressUpdate", "([BII)V"},
           {"setDataStream", "([BI[B)V"}},
          &eventSwitch);
    });
    gClasses = classes.held;
    classes.held = nullptr;
    gSlot->publish(dispatcher.release());
  });
}

JNIEXPORT void JNICALL JNI_OnUnload(JavaVM* vm, void*) {
  vlnjni::unloadService(gApi, *gSlot, [](void* handle) {
    gApi.get().unregister(static_cast<ProtDigScopeHandle>(handle));
  });
  JNIEnv* env = nullptr;
  if (vm->GetEnv(reinterpret_cast<void**>(&env), vlnjni::kJniVersion) != JNI_OK) env = nullptr;
  deleteClasses(env, gClasses);
  gClasses = nullptr;
}

#define SCOPE_NATIVE(ret, name) \
  JNIEXPORT ret JNICALL         \
      Java_eu_veltrano_zamo_DeviceCommunication_provider_DigitalScope_Scopejni_##name

SCOPE_NATIVE(jboolean, registerRemote)(JNIEnv* env, jclass, jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    vlnjni::BoundLibrary& lib = library();
    return jboolean(vlnjni::registerRemote(
        call, lib, gSlot->queue(), id, [](const std::uint8_t* bytes, std::size_t n) {
          return static_cast<void*>(api().registerId(bytes, n, &onLibraryEvent));
        }));
  });
}

SCOPE_NATIVE(void, unregisterRemote)(JNIEnv* env, jclass, jbyteArray id) {
  vlnjni::guardNativeVoid(env, kModule, [&](NativeCall& call) {
    vlnjni::BoundLibrary& lib = library();
    vlnjni::unregisterRemote(call, lib, gSlot->queue(), id, vlnjni::UnregisterOrder::kLibraryFirst,
                             [](void* handle) { api().unregister(scopeHandle(handle)); });
  });
}

SCOPE_NATIVE(jboolean, getRemoteSignature)(JNIEnv* env, jclass, jbyteArray id, jbyteArray out) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    call.remoteId(id);
    call.requireNonNull(out, "signature");
    std::uint8_t signature[16] = {};
    const bool answered = vlnjni::withHandle(call, library(), id, false, [&](void* handle) {
      return api().signature(scopeHandle(handle), signature);
    });
    if (!answered || env->GetArrayLength(out) != 16) return jboolean(JNI_FALSE);
    env->SetByteArrayRegion(out, 0, 16, reinterpret_cast<const jbyte*>(signature));
    vlnjni::checkJava(env);
    return jboolean(JNI_TRUE);
  });
}

SCOPE_NATIVE(jint, getRemoteCapabilities)(JNIEnv* env, jclass, jbyteArray id, jobject out) {
  return vlnjni::guardNative(env, kModule, kBrokenLink, [&](NativeCall& call) {
    call.remoteId(id);
    call.requireNonNull(out, "capabilities");
    ProtDigScopeCapabilities record{};
    const jint status = vlnjni::withHandle(call, library(), id, kBrokenLink, [&](void* handle) {
      return jint(api().capabilities(scopeHandle(handle), &record));
    });
    if (status != 0) return status;
    jclass type = env->FindClass(SCOPE_PACKAGE "DigScopeCapabilities");
    if (!type) throw vlnjni::JavaPending{};
    jfieldID maxChannels = env->GetFieldID(type, "maxChannels", "I");
    jfieldID maxTriggers = maxChannels ? env->GetFieldID(type, "maxTriggers", "I") : nullptr;
    jfieldID baseSampleSize = maxTriggers ? env->GetFieldID(type, "baseSampleSize", "I") : nullptr;
    jfieldID timeBase = baseSampleSize ? env->GetFieldID(type, "timeBase", "F") : nullptr;
    jfieldID bufferSize = timeBase ? env->GetFieldID(type, "bufferSize", "I") : nullptr;
    vlnjni::checkJava(env);
    env->SetIntField(out, maxChannels, jint(record.maxChannels));
    env->SetIntField(out, maxTriggers, jint(record.maxTriggers));
    env->SetIntField(out, baseSampleSize, jint(record.baseSampleSize));
    env->SetFloatField(out, timeBase, record.timeBase);
    env->SetIntField(out, bufferSize, jint(record.bufferSize));
    env->DeleteLocalRef(type);
    return status;
  });
}

SCOPE_NATIVE(jint, addChannel)(JNIEnv* env, jclass, jbyteArray id, jshort channel, jfloat time) {
  return scopeCall(
      env, id, [&](ProtDigScopeHandle h) { return api().addChannel(h, number(channel), time); });
}

SCOPE_NATIVE(jint, modifyChannel)(JNIEnv* env, jclass, jbyteArray id, jshort channel, jfloat time) {
  return scopeCall(
      env, id, [&](ProtDigScopeHandle h) { return api().modifyChannel(h, number(channel), time); });
}

SCOPE_NATIVE(jint, removeChannel)(JNIEnv* env, jclass, jbyteArray id, jshort channel) {
  return scopeCall(env, id,
                   [&](ProtDigScopeHandle h) { return api().removeChannel(h, number(channel)); });
}

SCOPE_NATIVE(jint, addTrigger)
(JNIEnv* env, jclass, jbyteArray id, jshort channel, jint kind, jbyteArray data) {
  return triggerCall(env, id, data, false, channel, kind);
}

SCOPE_NATIVE(jint, modifyTrigger)
(JNIEnv* env, jclass, jbyteArray id, jshort channel, jint kind, jbyteArray data) {
  return triggerCall(env, id, data, true, channel, kind);
}

SCOPE_NATIVE(jint, removeTrigger)(JNIEnv* env, jclass, jbyteArray id, jshort trigger) {
  return scopeCall(env, id,
                   [&](ProtDigScopeHandle h) { return api().removeTrigger(h, number(trigger)); });
}

SCOPE_NATIVE(jint, setScopeParameters)
(JNIEnv* env, jclass, jbyteArray id, jint mode, jfloat first, jfloat second) {
  return scopeCall(env, id, [&](ProtDigScopeHandle h) {
    return api().setParameters(h, int(mode), first, second);
  });
}

SCOPE_NATIVE(jint, armTrigger)(JNIEnv* env, jclass, jbyteArray id) {
  return scopeCall(env, id, [](ProtDigScopeHandle h) { return api().arm(h); });
}

SCOPE_NATIVE(jint, cancel)(JNIEnv* env, jclass, jbyteArray id) {
  return scopeCall(env, id, [](ProtDigScopeHandle h) { return api().cancel(h); });
}

SCOPE_NATIVE(jint, getRawConfig)(JNIEnv* env, jclass, jbyteArray id) {
  return scopeCall(env, id, [](ProtDigScopeHandle h) { return api().rawConfig(h); });
}

SCOPE_NATIVE(jint, getRawData)(JNIEnv* env, jclass, jbyteArray id) {
  return scopeCall(env, id, [](ProtDigScopeHandle h) { return api().rawData(h); });
}

}  // extern "C"
