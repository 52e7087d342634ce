// Natives of Scopecodecjni over the scope capture decoder, which keeps no
// state between calls.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "eu_veltrano_zamo_DeviceCommunication_provider_DigitalScope_Scopecodecjni.h"
#include "scopecodec/scopecodec.h"
#include "vlnjni/BoundApi.h"
#include "vlnjni/BoundLibrary.h"
#include "vlnjni/ByteElements.h"
#include "vlnjni/Errors.h"
#include "vlnjni/Load.h"

namespace {

using vlnjni::NativeCall;
using vlnjni::WrapperError;

const vlnjni::Module kModule{"Scopecodecjni", "scopecodec"};

struct ScopeCodec {
  decltype(&DigScopeDecode) decode;
  decltype(&DigScopeDecTranslateError) translate;
};

vlnjni::BoundApi<ScopeCodec> gApi;

const ScopeCodec& codec() { return gApi.get(); }

std::string resultText(const ScopeCodec& c, int code) {
  const char* text = c.translate(code);
  if (!text) return "Unknown scope decoder error " + std::to_string(code);
  return text;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
  return vlnjni::loadBinding(vm, kModule, [](JNIEnv* env) {
    gApi.open(env, kModule, [](vlnjni::BoundLibrary& library, ScopeCodec& table) {
      library.bind(table.decode, "DigScopeDecode");
      library.bind(table.translate, "DigScopeDecTranslateError");
    });
  });
}

JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) {
  // The class loader is gone, so no native of this binding runs again.
  gApi.close();
}

JNIEXPORT jbyteArray JNICALL
Java_eu_veltrano_zamo_DeviceCommunication_provider_DigitalScope_Scopecodecjni_decodeByteBuffer(
    JNIEnv* env, jclass, jbyteArray remoteId, jbyteArray capture) {
  return vlnjni::guardNative(env, kModule, jbyteArray(nullptr), [&](NativeCall& call) {
    // The id only names the device in this call's exceptions.
    call.remoteId(remoteId);
    call.requireNonNull(capture, "capture");
    const ScopeCodec& c = codec();
    char* xml = nullptr;
    int code;
    {
      vlnjni::ByteElements bytes(env, capture);
      code = c.decode(bytes.data(), bytes.size(), &xml);
    }
    std::unique_ptr<char, decltype(&std::free)> owned(xml, &std::free);
    if (code != 0) throw WrapperError(resultText(c, code));
    if (!xml) throw std::runtime_error("the scope decoder reported success without XML");
    return vlnjni::newByteArray(env, xml, std::strlen(xml));
  });
}

}  // extern "C"
