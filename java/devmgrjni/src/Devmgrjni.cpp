// Natives of Devmgrjni over the devmgr library: each opens its own
// management connection, makes one call and disconnects before anything
// goes to Java. No lock of its own: devmgr serialises per handle.
#include <cstring>

#include "base/Utf8.h"
#include "devmgr/devmgr.h"
#include "eu_veltrano_zamo_DeviceCommunication_provider_Devmgrjni.h"
#include "vlnjni/BoundApi.h"
#include "vlnjni/BoundLibrary.h"
#include "vlnjni/Errors.h"
#include "vlnjni/Load.h"
#include "vlnjni/Text.h"

namespace {

using vlnjni::Bytes;
using vlnjni::NativeCall;
using vlnjni::WrapperError;

const vlnjni::Module kModule{"Devmgrjni", "devmgr"};

struct Api {
  decltype(&DevmgrConnect) connect;
  decltype(&DevmgrDisconnect) disconnect;
  decltype(&DevmgrAskUserDeviceSelection) askUser;
  decltype(&DevmgrGetFwVersion) fwVersion;
  decltype(&DevmgrGetFwPlatform) fwPlatform;
  decltype(&DevmgrGetFwSignature) fwSignature;
  decltype(&DevmgrGetFwTarget) fwTarget;
  decltype(&DevmgrGetFwSubTarget) fwSubTarget;
  decltype(&DevmgrGetFwVersionString) fwVersionString;
  decltype(&DevmgrGetFriendlyName) friendlyName;
  decltype(&DevmgrGetFwVerbose) fwVerbose;
  decltype(&DevmgrGetRecVersion) recVersion;
  decltype(&DevmgrGetAppInfoUUID) appUuid;
  decltype(&DevmgrGetAppInfoName) appName;
  decltype(&DevmgrGetAppInfoVersion) appVersion;
  decltype(&DevmgrGetAppInfoParSignature) parSignature;
  decltype(&DevmgrGetAppInfoDefParSignature) defParSignature;
  decltype(&DevmgrGetDeviceName) deviceName;
  decltype(&DevmgrGetDeviceSerial) deviceSerial;
  decltype(&DevmgrGetProtocolList) protocolList;
  decltype(&DevmgrRequestCoreFirmwareUpgrade) upgrade;
  decltype(&DevmgrSetFriendlyName) setFriendlyName;
  decltype(&DevmgrVisualIdentification) identify;
  decltype(&DevmgrImmediateReset) reset;
};

// Published once the load succeeded; a heap object never freed at exit.
vlnjni::BoundApi<Api> gApi;

// Natives run only after a successful load (the class's load() threw
// otherwise), but a caller may ignore that.
const Api& api() { return gApi.get(); }

constexpr const char* kNoHandle = "Impossible to retrieve handler for remote device.";

// One management connection for the duration of a native.
class Connection {
 public:
  explicit Connection(const Bytes& id) : handle_(api().connect(id.data(), id.size())) {}
  ~Connection() { close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  DevmgrHandle handle() const { return handle_; }
  void close() {
    if (handle_) api().disconnect(handle_);
    handle_ = nullptr;
  }

 private:
  DevmgrHandle handle_;
};

using Query = bool (*)(DevmgrHandle, void*);

// The connection pattern: connect, call into a cleared buffer, disconnect,
// then a false result throws `failure`.
template <std::size_t N>
void query(NativeCall& call, jbyteArray id, Query Api::*fn, const char* failure,
           std::uint8_t (&buffer)[N]) {
  const Bytes& remote = call.remoteId(id);
  std::memset(buffer, 0, N);
  Connection connection(remote);
  if (!connection.handle()) throw WrapperError(kNoHandle);
  const bool ok = (api().*fn)(connection.handle(), buffer);
  connection.close();
  if (!ok) throw WrapperError(failure);
}

jstring textQuery(JNIEnv* env, jbyteArray id, Query Api::*fn, const char* failure) {
  return vlnjni::guardNative(env, kModule, jstring(nullptr), [&](NativeCall& call) {
    std::uint8_t text[DEVMGR_TEXT_SIZE];
    query(call, id, fn, failure, text);
    return vlnjni::newString(env, vlnjni::untilZero(text, sizeof text));
  });
}

jint wordQuery(JNIEnv* env, jbyteArray id, Query Api::*fn, const char* failure) {
  return vlnjni::guardNative(env, kModule, jint(0), [&](NativeCall& call) {
    std::uint8_t word[DEVMGR_WORD_SIZE];
    query(call, id, fn, failure, word);
    std::int32_t value;
    std::memcpy(&value, word, sizeof value);  // little-endian, as the device sends it
    return jint(value);
  });
}

jbyteArray signatureQuery(JNIEnv* env, jbyteArray id, Query Api::*fn, const char* failure) {
  return vlnjni::guardNative(env, kModule, jbyteArray(nullptr), [&](NativeCall& call) {
    std::uint8_t signature[DEVMGR_SIGNATURE_SIZE];
    query(call, id, fn, failure, signature);
    return vlnjni::newByteArray(env, signature, sizeof signature);
  });
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
  return vlnjni::loadBinding(vm, kModule, [](JNIEnv* env) {
    gApi.open(env, kModule, [](vlnjni::BoundLibrary& library, Api& table) {
      library.bind(table.connect, "DevmgrConnect");
      library.bind(table.disconnect, "DevmgrDisconnect");
      library.bind(table.askUser, "DevmgrAskUserDeviceSelection");
      library.bind(table.fwVersion, "DevmgrGetFwVersion");
      library.bind(table.fwPlatform, "DevmgrGetFwPlatform");
      library.bind(table.fwSignature, "DevmgrGetFwSignature");
      library.bind(table.fwTarget, "DevmgrGetFwTarget");
      library.bind(table.fwSubTarget, "DevmgrGetFwSubTarget");
      library.bind(table.fwVersionString, "DevmgrGetFwVersionString");
      library.bind(table.friendlyName, "DevmgrGetFriendlyName");
      library.bind(table.fwVerbose, "DevmgrGetFwVerbose");
      library.bind(table.recVersion, "DevmgrGetRecVersion");
      library.bind(table.appUuid, "DevmgrGetAppInfoUUID");
      library.bind(table.appName, "DevmgrGetAppInfoName");
      library.bind(table.appVersion, "DevmgrGetAppInfoVersion");
      library.bind(table.parSignature, "DevmgrGetAppInfoParSignature");
      library.bind(table.defParSignature, "DevmgrGetAppInfoDefParSignature");
      library.bind(table.deviceName, "DevmgrGetDeviceName");
      library.bind(table.deviceSerial, "DevmgrGetDeviceSerial");
      library.bind(table.protocolList, "DevmgrGetProtocolList");
      library.bind(table.upgrade, "DevmgrRequestCoreFirmwareUpgrade");
      library.bind(table.setFriendlyName, "DevmgrSetFriendlyName");
      library.bind(table.identify, "DevmgrVisualIdentification");
      library.bind(table.reset, "DevmgrImmediateReset");
    });
  });
}

JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) {
  // The class loader is gone, so no native of this binding can run again;
  // devmgr keeps no handle across a native call.
  gApi.close();
}

#define VLN_DEVMGR_NATIVE(ret, name) \
  JNIEXPORT ret JNICALL Java_eu_veltrano_zamo_DeviceCommunication_provider_Devmgrjni_##name

VLN_DEVMGR_NATIVE(jbyteArray, getSelectedRemoteDeviceId)(JNIEnv* env, jclass, jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jbyteArray(nullptr),
                             [&](NativeCall& call) -> jbyteArray {
                               Bytes chosen = call.remoteId(id);
                               if (!api().askUser(chosen.data(), chosen.size())) return nullptr;
                               return vlnjni::newByteArray(env, chosen.data(), chosen.size());
                             });
}

VLN_DEVMGR_NATIVE(jbyteArray, getProtocolList)(JNIEnv* env, jclass, jbyteArray id) {
  return vlnjni::guardNative(env, kModule, jbyteArray(nullptr), [&](NativeCall& call) {
    const Bytes& remote = call.remoteId(id);
    ProtocolList list;
    std::memset(&list, 0, sizeof list);
    Connection connection(remote);
    if (!connection.handle()) throw WrapperError(kNoHandle);
    const bool ok = api().protocolList(connection.handle(), &list);
    connection.close();
    if (!ok) throw WrapperError("Impossible to get remote device protocols list");
    const std::size_t count =
        list.count < sizeof list.protocols ? std::size_t(list.count) : sizeof list.protocols;
    return vlnjni::newByteArray(env, list.protocols, count);
  });
}

VLN_DEVMGR_NATIVE(jint, getFirmwareVersion)(JNIEnv* env, jclass, jbyteArray id) {
  return wordQuery(env, id, &Api::fwVersion, "Impossible to get Firmware Version.");
}
VLN_DEVMGR_NATIVE(jstring, getFirmwarePlatformOptions)(JNIEnv* env, jclass, jbyteArray id) {
  return textQuery(env, id, &Api::fwPlatform, "Impossible to get Firmware platform.");
}
VLN_DEVMGR_NATIVE(jstring, getFirmwareRunningTarget)(JNIEnv* env, jclass, jbyteArray id) {
  return textQuery(env, id, &Api::fwTarget, "Impossible to get Firmware Target.");
}
VLN_DEVMGR_NATIVE(jstring, getFirmwareSubTarget)(JNIEnv* env, jclass, jbyteArray id) {
  return textQuery(env, id, &Api::fwSubTarget, "Impossible to get Firmware sub target.");
}
VLN_DEVMGR_NATIVE(jstring, getFirmwareVersionString)(JNIEnv* env, jclass, jbyteArray id) {
  return textQuery(env, id, &Api::fwVersionString, "Impossible to get Firmware Version string.");
}
VLN_DEVMGR_NATIVE(jstring, getFirmwareVerboseDescription)(JNIEnv* env, jclass, jbyteArray id) {
  return textQuery(env, id, &Api::fwVerbose, "Impossible to get Firmware Verbose.");
}
VLN_DEVMGR_NATIVE(jbyteArray, getFirmwareSignature)(JNIEnv* env, jclass, jbyteArray id) {
  return signatureQuery(env, id, &Api::fwSignature,
                        "Impossible to get remote device firmware hash");
}
VLN_DEVMGR_NATIVE(jstring, getFriendlyName)(JNIEnv* env, jclass, jbyteArray id) {
  return textQuery(env, id, &Api::friendlyName, "Impossible to get Friendly Name.");
}
VLN_DEVMGR_NATIVE(jint, getRecoveryVersion)(JNIEnv* env, jclass, jbyteArray id) {
  return wordQuery(env, id, &Api::recVersion, "Impossible to get Recovery Version.");
}
VLN_DEVMGR_NATIVE(jbyteArray, getApplicationUUID)(JNIEnv* env, jclass, jbyteArray id) {
  return signatureQuery(env, id, &Api::appUuid, "Impossible to get Application UUID.");
}
VLN_DEVMGR_NATIVE(jstring, getApplicationInfoName)(JNIEnv* env, jclass, jbyteArray id) {
  return textQuery(env, id, &Api::appName, "Impossible to get Application Name.");
}
VLN_DEVMGR_NATIVE(jstring, getApplicationInfoVersion)(JNIEnv* env, jclass, jbyteArray id) {
  return textQuery(env, id, &Api::appVersion, "Impossible to get Application Version.");
}
VLN_DEVMGR_NATIVE(jbyteArray, getParamTableSignature)(JNIEnv* env, jclass, jbyteArray id) {
  return signatureQuery(env, id, &Api::parSignature, "Impossible to get Application Signature.");
}
VLN_DEVMGR_NATIVE(jbyteArray, getParamTableDefaultsSignature)(JNIEnv* env, jclass, jbyteArray id) {
  return signatureQuery(env, id, &Api::defParSignature,
                        "Impossible to get Application Defaults Signature.");
}
VLN_DEVMGR_NATIVE(jstring, getDeviceName)(JNIEnv* env, jclass, jbyteArray id) {
  return textQuery(env, id, &Api::deviceName, "Impossible to get Device Name.");
}
VLN_DEVMGR_NATIVE(jint, getDeviceSerialNumber)(JNIEnv* env, jclass, jbyteArray id) {
  return wordQuery(env, id, &Api::deviceSerial, "Impossible to get Device Serial.");
}

VLN_DEVMGR_NATIVE(jboolean, setFriendlyName)(JNIEnv* env, jclass, jbyteArray id, jstring name) {
  return vlnjni::guardNative(env, kModule, jboolean(JNI_FALSE), [&](NativeCall& call) {
    const Bytes& remote = call.remoteId(id);
    call.requireNonNull(name, "name");
    const std::string utf8 = vlnjni::toUtf8(env, name);
    char buffer[64] = {};
    std::memcpy(buffer, utf8.data(), base::utf8CutPoint(utf8, sizeof buffer - 1));
    Connection connection(remote);
    if (!connection.handle()) throw WrapperError(kNoHandle);
    const bool ok = api().setFriendlyName(connection.handle(), buffer);
    connection.close();
    return jboolean(ok ? JNI_TRUE : JNI_FALSE);
  });
}

VLN_DEVMGR_NATIVE(void, identifyRemote)(JNIEnv* env, jclass, jbyteArray id, jint duration) {
  vlnjni::guardNativeVoid(env, kModule, [&](NativeCall& call) {
    const Bytes& remote = call.remoteId(id);
    Connection connection(remote);
    if (!connection.handle()) throw WrapperError(kNoHandle);
    const bool ok = api().identify(connection.handle(), int(std::uint32_t(duration) & 0xFFFFu));
    connection.close();
    if (!ok) throw WrapperError("Impossible to perform remote device identification.");
  });
}

VLN_DEVMGR_NATIVE(void, immediateReset)(JNIEnv* env, jclass, jbyteArray id) {
  vlnjni::guardNativeVoid(env, kModule, [&](NativeCall& call) {
    const Bytes& remote = call.remoteId(id);
    Connection connection(remote);
    if (!connection.handle()) throw WrapperError(kNoHandle);
    // The result says nothing (no reply is awaited); the channel is closed
    // so that resets in a row do not use up the device's channels.
    api().reset(connection.handle());
    connection.close();
  });
}

VLN_DEVMGR_NATIVE(jint, requestCoreFirmwareUpgrade)
(JNIEnv* env, jclass, jbyteArray id, jstring storage, jstring file) {
  return vlnjni::guardNative(env, kModule, jint(-3), [&](NativeCall& call) {
    const Bytes& remote = call.remoteId(id);
    call.requireNonNull(storage, "storage");
    call.requireNonNull(file, "file");
    const std::string volume = vlnjni::toUtf8(env, storage);
    const std::string name = vlnjni::toUtf8(env, file);
    Connection connection(remote);
    if (!connection.handle()) return jint(-2);
    if (volume.size() > 255 || name.size() > 255) return jint(-1);
    char volumeBuffer[256] = {};
    char nameBuffer[256] = {};
    std::memcpy(volumeBuffer, volume.data(), volume.size());
    std::memcpy(nameBuffer, name.data(), name.size());
    const bool ok = api().upgrade(connection.handle(), volumeBuffer, nameBuffer);
    connection.close();
    return jint(ok ? 1 : 0);
  });
}

}  // extern "C"
