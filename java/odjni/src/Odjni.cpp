// Natives of Odjni over the object dictionary codec, which keeps no state
// between calls.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "eu_veltrano_zamo_DeviceCommunication_provider_Odjni.h"
#include "odcodec/odcodec.h"
#include "vlnjni/BoundApi.h"
#include "vlnjni/BoundLibrary.h"
#include "vlnjni/ByteElements.h"
#include "vlnjni/Errors.h"
#include "vlnjni/Load.h"

namespace {

using vlnjni::NativeCall;
using vlnjni::WrapperError;

const vlnjni::Module kModule{"Odjni", "odcodec"};

struct OdCodec {
  decltype(&OdcodecToXML) toXml;
  decltype(&OdcodecFromXML) fromXml;
};

vlnjni::BoundApi<OdCodec> gApi;

const OdCodec& codec() { return gApi.get(); }

using Owned = std::unique_ptr<void, decltype(&std::free)>;

// A non-null codec result is its error text, which the binding frees.
void throwIfFailed(const char* error) {
  if (!error) return;
  Owned owned(const_cast<char*>(error), &std::free);
  throw WrapperError(error);
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
  return vlnjni::loadBinding(vm, kModule, [](JNIEnv* env) {
    gApi.open(env, kModule, [](vlnjni::BoundLibrary& library, OdCodec& table) {
      library.bind(table.toXml, "OdcodecToXML");
      library.bind(table.fromXml, "OdcodecFromXML");
    });
  });
}

JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) {
  // The class loader is gone, so no native of this binding runs again.
  gApi.close();
}

JNIEXPORT jbyteArray JNICALL Java_eu_veltrano_zamo_DeviceCommunication_provider_Odjni_encodeXMLData(
    JNIEnv* env, jclass, jbyteArray xml) {
  return vlnjni::guardNative(env, kModule, jbyteArray(nullptr), [&](NativeCall& call) {
    call.useZeroId();
    call.requireNonNull(xml, "xml");
    const OdCodec& c = codec();
    void* data = nullptr;
    int length = -1;
    const char* error;
    {
      vlnjni::ByteElements text(env, xml);
      error = c.fromXml(static_cast<const char*>(text.data()), text.size(), &data, &length);
    }
    throwIfFailed(error);
    Owned owned(data, &std::free);
    if (length < 0 || (!data && length != 0))
      throw std::runtime_error("the object dictionary codec reported success without data");
    return vlnjni::newByteArray(env, data, std::size_t(length));
  });
}

JNIEXPORT jbyteArray JNICALL Java_eu_veltrano_zamo_DeviceCommunication_provider_Odjni_decodeXMLData(
    JNIEnv* env, jclass, jbyteArray data) {
  return vlnjni::guardNative(env, kModule, jbyteArray(nullptr), [&](NativeCall& call) {
    call.useZeroId();
    call.requireNonNull(data, "data");
    const OdCodec& c = codec();
    char* xml = nullptr;
    const char* error;
    {
      vlnjni::ByteElements file(env, data);
      error = c.toXml(file.data(), file.size(), &xml);
    }
    throwIfFailed(error);
    Owned owned(xml, &std::free);
    if (!xml) throw std::runtime_error("the object dictionary codec reported success without XML");
    return vlnjni::newByteArray(env, xml, std::strlen(xml));
  });
}

}  // extern "C"
