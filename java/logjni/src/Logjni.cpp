// Natives of Logjni over the log codec: every call decodes its files into a
// handle of its own, so natives need no lock.
#include <memory>
#include <string>
#include <vector>

#include "LogMerge.h"
#include "eu_veltrano_zamo_DeviceCommunication_provider_Logjni.h"
#include "vlnjni/BoundApi.h"
#include "vlnjni/BoundLibrary.h"
#include "vlnjni/Errors.h"
#include "vlnjni/Load.h"
#include "vlnjni/Text.h"

namespace {

using vlnjni::NativeCall;
using vlnjni::WrapperError;

const vlnjni::Module kModule{"Logjni", "logcodec"};

vlnjni::BoundApi<logjni::LogCodec> gApi;

const logjni::LogCodec& codec() { return gApi.get(); }

struct LocalRef {
  JNIEnv* env;
  jobject ref;
  ~LocalRef() {
    if (ref) env->DeleteLocalRef(ref);
  }
};

std::vector<std::string> fileNamesOf(NativeCall& call, jobjectArray names) {
  JNIEnv* env = call.env();
  const jsize n = env->GetArrayLength(names);
  std::vector<std::string> out;
  out.reserve(std::size_t(n > 0 ? n : 0));
  for (jsize i = 0; i < n; ++i) {
    LocalRef element{env, env->GetObjectArrayElement(names, i)};
    vlnjni::checkJava(env);
    const std::string argument = "fileNames[" + std::to_string(i) + "]";
    call.requireNonNull(element.ref, argument.c_str());
    std::string name = vlnjni::toUtf8(env, static_cast<jstring>(element.ref));
    // A zero cannot be part of a file name; opening up to it would read
    // another file than the one named.
    if (name.find('\0') != std::string::npos) throw WrapperError("File not found: " + name);
    out.push_back(std::move(name));
  }
  return out;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
  return vlnjni::loadBinding(vm, kModule, [](JNIEnv* env) {
    gApi.open(env, kModule, [](vlnjni::BoundLibrary& library, logjni::LogCodec& table) {
      library.bind(table.createHandle, "LogViewerCreateHandle");
      library.bind(table.destroyHandle, "LogViewerDestroyHandle");
      library.bind(table.getLastError, "LogViewerGetLastError");
      library.bind(table.decodeAndAdd, "LogViewerDecodeAndAdd");
      library.bind(table.getXml, "LogViewerGetXML");
    });
  });
}

JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) {
  // The class loader is gone, so no native of this binding runs again.
  gApi.close();
}

JNIEXPORT jbyteArray JNICALL Java_eu_veltrano_zamo_DeviceCommunication_provider_Logjni_getXmlLog(
    JNIEnv* env, jclass, jobjectArray fileNames) {
  return vlnjni::guardNative(env, kModule, jbyteArray(nullptr), [&](NativeCall& call) {
    call.useZeroId();
    call.requireNonNull(fileNames, "fileNames");
    const std::vector<std::string> names = fileNamesOf(call, fileNames);
    const std::vector<char> xml = logjni::mergeLogs(codec(), names);
    return vlnjni::newByteArray(env, xml.data(), xml.size());
  });
}

}  // extern "C"
