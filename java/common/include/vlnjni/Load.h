// JNI_OnLoad and JNI_OnUnload of a binding.
//
//   extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
//     return vlnjni::loadBinding(vm, kModule, [](JNIEnv* env) {
//       auto lib = vlnjni::BoundLibrary::open(env, kModule);
//       lib->bind(api.foo, "Foo");
//       gLibrary = lib.release();        // published only when all went well
//     });
//   }
//
// `init` throws on failure and undoes what it made (hold everything in
// unique_ptrs until the end). A WrapperError becomes the pending
// WrapperException(text, module, 16 zero bytes), JavaPending keeps the JVM's
// error, anything else becomes java.lang.Exception; exactly one exception is
// then pending and the JVM unloads the binding again without JNI_OnUnload.
// Binding globals are plain heap objects never destroyed at exit: the JVM
// runs JNI_OnUnload only when the class loader is collected, and wrapped
// libraries may still call back while the process ends.
#pragma once

#include <jni.h>

#include <functional>
#include <string>

#include "vlnjni/Module.h"

namespace vlnjni {

constexpr jint kJniVersion = JNI_VERSION_1_8;

// The JNIEnv of the current thread, null when it is not attached.
JNIEnv* envOf(JavaVM* vm);

// The system property `name`; empty when unset. JNI failures throw
// JavaPending.
std::string systemProperty(JNIEnv* env, const std::string& name);

jint loadBinding(JavaVM* vm, const Module& module,
                 const std::function<void(JNIEnv*)>& init) noexcept;

}  // namespace vlnjni
