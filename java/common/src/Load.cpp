#include "vlnjni/Load.h"

#include <exception>

#include "vlnjni/Errors.h"
#include "vlnjni/Text.h"

namespace vlnjni {

JNIEnv* envOf(JavaVM* vm) {
  void* env = nullptr;
  if (!vm || vm->GetEnv(&env, kJniVersion) != JNI_OK) return nullptr;
  return static_cast<JNIEnv*>(env);
}

std::string systemProperty(JNIEnv* env, const std::string& name) {
  jclass system = env->FindClass("java/lang/System");
  if (!system) throw JavaPending{};
  struct Locals {
    JNIEnv* env;
    jobject refs[3] = {};
    ~Locals() {
      for (jobject r : refs)
        if (r) env->DeleteLocalRef(r);
    }
  } locals{env};
  locals.refs[0] = system;
  jmethodID get =
      env->GetStaticMethodID(system, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
  if (!get) throw JavaPending{};
  jstring key = newString(env, name);
  locals.refs[1] = key;
  auto value = static_cast<jstring>(env->CallStaticObjectMethod(system, get, key));
  locals.refs[2] = value;
  checkJava(env);
  return value ? toUtf8(env, value) : std::string();
}

jint loadBinding(JavaVM* vm, const Module& module,
                 const std::function<void(JNIEnv*)>& init) noexcept {
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
