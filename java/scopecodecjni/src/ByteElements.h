// A Java byte array's elements for the length of one codec call, given back
// unchanged (JNI_ABORT) on every path.
#pragma once

#include <jni.h>

#include "vlnjni/Errors.h"

namespace scopecodecjni {

class ByteElements {
 public:
  ByteElements(JNIEnv* env, jbyteArray array) : env_(env), array_(array) {
    length_ = env->GetArrayLength(array);
    elements_ = env->GetByteArrayElements(array, nullptr);
    if (!elements_) {
      vlnjni::checkJava(env);
      throw vlnjni::JavaPending{};
    }
  }
  ~ByteElements() { env_->ReleaseByteArrayElements(array_, elements_, JNI_ABORT); }
  ByteElements(const ByteElements&) = delete;
  ByteElements& operator=(const ByteElements&) = delete;

  const void* data() const { return elements_; }
  unsigned int size() const { return static_cast<unsigned int>(length_); }

 private:
  JNIEnv* env_;
  jbyteArray array_;
  jsize length_ = 0;
  jbyte* elements_ = nullptr;
};

}  // namespace scopecodecjni
