#include "vlnjni/Load.h"

#include <exception>

#include "vlnjni/Errors.h"

namespace vlnjni {

JNIEnv* envOf(JavaVM* vm) {
  void* env = nullptr;
  if (!vm || vm->GetEnv(&env, kJniVersion) != JNI_OK) return nullptr;
  return static_cast<JNIEnv*>(env);
}

jint loadBinding(JavaVM* vm, const Module& module, const std::function<void(JNIEnv*)>& init) noexcept {
  JNIEnv* env = envOf(vm);
  if (!env) return JNI_ERR;
  NativeCall call(env, module);
  call.useZeroId();
  try {
    init(env);
  } catch (...) {
    rethrowToJava(call);
  }
  return kJniVersion;
}

}  // namespace vlnjni
