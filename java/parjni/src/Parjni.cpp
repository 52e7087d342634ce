// Natives of Parjni over the parameter codec: every call reads its file into
// a handle of its own, so natives need no lock.
#include <memory>
#include <string>
#include <vector>

#include "ParDecode.h"
#include "eu_veltrano_zamo_DeviceCommunication_provider_Parjni.h"
#include "vlnjni/BoundApi.h"
#include "vlnjni/BoundLibrary.h"
#include "vlnjni/Errors.h"
#include "vlnjni/Load.h"
#include "vlnjni/Text.h"

namespace {

using vlnjni::NativeCall;
using vlnjni::WrapperError;

const vlnjni::Module kModule{"Parjni", "parcodec"};

vlnjni::BoundApi<parjni::ParCodec> gApi;

const parjni::ParCodec& codec() { return gApi.get(); }

std::vector<char> copyOf(JNIEnv* env, jbyteArray array) {
  const vlnjni::Bytes bytes = vlnjni::bytesOf(env, array);
  return std::vector<char>(bytes.begin(), bytes.end());
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
  return vlnjni::loadBinding(vm, kModule, [](JNIEnv* env) {
    gApi.open(env, kModule, [](vlnjni::BoundLibrary& library, parjni::ParCodec& table) {
      library.bind(table.createHandle, "ParcodecCreateHandle");
      library.bind(table.destroyHandle, "ParcodecDestroyHandle");
      library.bind(table.getLastError, "ParcodecGetLastError");
      library.bind(table.setDefinition, "ParcodecSetDefinition");
      library.bind(table.inFromParFile, "ParcodecInFromParFile");
      library.bind(table.getDataAsXml, "ParcodecGetDataAsXML");
    });
  });
}

JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) {
  // The class loader is gone, so no native of this binding runs again.
  gApi.close();
}

JNIEXPORT jstring JNICALL
Java_eu_veltrano_zamo_DeviceCommunication_provider_Parjni_getXmlDecodedData(JNIEnv* env, jclass,
                                                                            jbyteArray definition,
                                                                            jbyteArray parFile) {
  return vlnjni::guardNative(env, kModule, jstring(nullptr), [&](NativeCall& call) {
    call.useZeroId();
    call.requireNonNull(definition, "definition");
    call.requireNonNull(parFile, "parFile");
    const std::string xml =
        parjni::decodeParameters(codec(), copyOf(env, definition), copyOf(env, parFile));
    // The values XML declares ISO-8859-1: each byte is the character of its value.
    return vlnjni::newLatin1String(env, xml);
  });
}

}  // extern "C"
