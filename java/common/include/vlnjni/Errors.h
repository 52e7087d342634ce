// Errors: native failures as Java exceptions, and the guard every native runs
// in so that no C++ exception ever leaves it.
//
//   JNIEXPORT jint JNICALL Java_..._foo(JNIEnv* env, jclass, jbyteArray id) {
//     return vlnjni::guardNative(env, kModule, jint(0), [&](vlnjni::NativeCall& call) {
//       const auto& remote = call.remoteId(id);      // NPE / "Invalid remote id size"
//       if (!api.foo(remote.data())) throw vlnjni::WrapperError("Foo failed.");
//       return jint(1);
//     });
//   }
//
// In the guard: a WrapperError (or a thrown std::string) becomes a pending
// WrapperException(text, module, call.id()); JavaPending leaves the JVM's own
// exception pending; a std::exception becomes java.lang.Exception with the
// describeException text (device line from call.describedId()), anything
// else the same with kind "unknown". The native then returns `failValue`.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "vlnjni/Module.h"

namespace vlnjni {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kRemoteIdSize = 16;

// A failure with the binding's own text; becomes WrapperException.
class WrapperError {
 public:
  explicit WrapperError(std::string text) : text_(std::move(text)) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// A JNI call failed and left its exception pending; nothing more to throw.
struct JavaPending {};

// "Exception in module <module>\n", "\tTrying to access remote device <HEX>\n"
// when `id` is not empty, "\tException kind : <kind>\n".
std::string describeException(const char* module, const std::string& kind, const Bytes& id);

// Leaves a WrapperException(text, module, id) pending. When that fails the
// JVM's own error stays pending instead.
void throwWrapperException(JNIEnv* env, const char* module, const std::string& text,
                           const Bytes& id);
// Leaves a `className` exception with `message` pending (ThrowNew, the message
// converted from UTF-8).
void throwJava(JNIEnv* env, const char* className, const std::string& message);

// Throws JavaPending when a JNI call left an exception pending.
inline void checkJava(JNIEnv* env) {
  if (env->ExceptionCheck()) throw JavaPending{};
}

// What a native knows while it runs: its env, its module, and the id its
// exceptions carry (the remote id as received; 16 zero bytes for natives
// without one, set with useZeroId()).
class NativeCall {
 public:
  NativeCall(JNIEnv* env, const Module& module) : env_(env), module_(module) {}

  JNIEnv* env() const { return env_; }
  const Module& module() const { return module_; }
  const Bytes& id() const { return id_; }
  void setId(Bytes id) {
    id_ = std::move(id);
    device_ = true;
  }
  // For natives that concern no device: WrapperException carries 16 zero
  // bytes, and the describeException text has no device line.
  void useZeroId() {
    id_.assign(kRemoteIdSize, 0);
    device_ = false;
  }
  // The id for the describeException text: empty without a device.
  Bytes describedId() const { return device_ ? id_ : Bytes(); }

  // Copies the remote id and keeps it for the exceptions. Null throws
  // NullPointerException naming `argument`; a length other than 16 throws
  // WrapperError "Invalid remote id size" (carrying the bytes received).
  const Bytes& remoteId(jbyteArray array, const char* argument = "remoteId");
  // NullPointerException naming `argument` when `object` is null.
  void requireNonNull(jobject object, const char* argument);

 private:
  JNIEnv* env_;
  const Module& module_;
  Bytes id_;
  bool device_ = true;
};

// Maps the exception in flight (call only inside a catch) to a pending Java
// exception as described at the top.
void rethrowToJava(NativeCall& call) noexcept;

template <class R, class Body>
R guardNative(JNIEnv* env, const Module& module, R failValue, Body&& body) noexcept {
  NativeCall call(env, module);
  try {
    return body(call);
  } catch (...) {
    rethrowToJava(call);
  }
  return failValue;
}

template <class Body>
void guardNativeVoid(JNIEnv* env, const Module& module, Body&& body) noexcept {
  NativeCall call(env, module);
  try {
    body(call);
  } catch (...) {
    rethrowToJava(call);
  }
}

// Java arrays. Sizes over INT32_MAX cannot be Java arrays and throw
// std::length_error; JNI failures throw JavaPending.
jbyteArray newByteArray(JNIEnv* env, const void* data, std::size_t size);
// The array's bytes (the array must not be null).
Bytes bytesOf(JNIEnv* env, jbyteArray array);

}  // namespace vlnjni
