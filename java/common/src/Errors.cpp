#include "vlnjni/Errors.h"

#include <cstdio>
#include <stdexcept>

#include "vlnjni/Text.h"

namespace vlnjni {
namespace {

constexpr const char* kWrapperClass =
    "eu/veltrano/zamo/DeviceCommunication/provider/WrapperException";

// Local references made here are released on every path; a failure leaves
// the JVM's exception pending, which is all a caller can do with it.
struct LocalRef {
  JNIEnv* env;
  jobject ref;
  ~LocalRef() {
    if (ref) env->DeleteLocalRef(ref);
  }
};

}  // namespace

std::string describeException(const char* module, const std::string& kind, const Bytes& id) {
  std::string text = "Exception in module ";
  text += module;
  text += "\n";
  if (!id.empty()) {
    text += "\tTrying to access remote device ";
    for (std::uint8_t b : id) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02X", b);
      text += hex;
    }
    text += "\n";
  }
  text += "\tException kind : " + kind + "\n";
  return text;
}

void throwWrapperException(JNIEnv* env, const char* module, const std::string& text,
                           const Bytes& id) {
  try {
    LocalRef cls{env, env->FindClass(kWrapperClass)};
    if (!cls.ref) return;
    jmethodID init = env->GetMethodID(static_cast<jclass>(cls.ref), "<init>",
                                      "(Ljava/lang/String;Ljava/lang/String;[B)V");
    if (!init) return;
    LocalRef jtext{env, newString(env, text)};
    LocalRef jmodule{env, newString(env, module)};
    LocalRef jid{env, newByteArray(env, id.data(), id.size())};
    LocalRef error{
        env, env->NewObject(static_cast<jclass>(cls.ref), init, jtext.ref, jmodule.ref, jid.ref)};
    if (!error.ref) return;
    env->Throw(static_cast<jthrowable>(error.ref));
  } catch (const JavaPending&) {
  } catch (...) {
    if (!env->ExceptionCheck())
      throwJava(env, "java/lang/Exception", describeException(module, "unknown", id));
  }
}

void throwJava(JNIEnv* env, const char* className, const std::string& message) {
  LocalRef cls{env, env->FindClass(className)};
  if (!cls.ref) return;
  jmethodID init =
      env->GetMethodID(static_cast<jclass>(cls.ref), "<init>", "(Ljava/lang/String;)V");
  if (!init) return;
  try {
    LocalRef text{env, newString(env, message)};
    LocalRef error{env, env->NewObject(static_cast<jclass>(cls.ref), init, text.ref)};
    if (error.ref) env->Throw(static_cast<jthrowable>(error.ref));
  } catch (...) {
    // newString failed: its exception is pending, or the message was too
    // long for Java, then the ASCII class name says at least what it was.
    if (!env->ExceptionCheck()) env->ThrowNew(static_cast<jclass>(cls.ref), "native failure");
  }
}

void rethrowToJava(NativeCall& call) noexcept {
  JNIEnv* env = call.env();
  const char* module = call.module().name;
  try {
    throw;
  } catch (const WrapperError& e) {
    if (env->ExceptionCheck()) return;
    throwWrapperException(env, module, e.text(), call.id());
  } catch (const std::string& text) {
    if (env->ExceptionCheck()) return;
    throwWrapperException(env, module, text, call.id());
  } catch (const JavaPending&) {
    // The JVM's own exception is the report.
  } catch (const std::exception& e) {
    if (env->ExceptionCheck()) env->ExceptionClear();
    try {
      throwJava(env, "java/lang/Exception",
                describeException(module, e.what(), call.describedId()));
    } catch (...) {
    }
  } catch (...) {
    if (env->ExceptionCheck()) env->ExceptionClear();
    try {
      throwJava(env, "java/lang/Exception",
                describeException(module, "unknown", call.describedId()));
    } catch (...) {
    }
  }
}

const Bytes& NativeCall::remoteId(jbyteArray array, const char* argument) {
  requireNonNull(array, argument);
  id_ = bytesOf(env_, array);
  device_ = true;
  if (id_.size() != kRemoteIdSize) throw WrapperError("Invalid remote id size");
  return id_;
}

void NativeCall::requireNonNull(jobject object, const char* argument) {
  if (object) return;
  throwJava(env_, "java/lang/NullPointerException", argument);
  throw JavaPending{};
}

jbyteArray newByteArray(JNIEnv* env, const void* data, std::size_t size) {
  if (size > std::size_t(INT32_MAX))
    throw std::length_error("size over INT32_MAX for a Java array");
  jbyteArray array = env->NewByteArray(jsize(size));
  if (!array) {
    checkJava(env);
    throw JavaPending{};
  }
  if (size) env->SetByteArrayRegion(array, 0, jsize(size), static_cast<const jbyte*>(data));
  if (env->ExceptionCheck()) {
    env->DeleteLocalRef(array);
    throw JavaPending{};
  }
  return array;
}

Bytes bytesOf(JNIEnv* env, jbyteArray array) {
  const jsize n = env->GetArrayLength(array);
  Bytes out(std::size_t(n > 0 ? n : 0));
  if (n > 0) env->GetByteArrayRegion(array, 0, n, reinterpret_cast<jbyte*>(out.data()));
  checkJava(env);
  return out;
}

}  // namespace vlnjni
