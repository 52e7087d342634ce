// A Java byte array's elements for the length of one library call, given
// back unchanged (JNI_ABORT) on every path. The array must not be null.
#pragma once

#include <jni.h>

#include "vlnjni/Errors.h"

namespace vlnjni {

class ByteElements {
 public:
  ByteElements(JNIEnv* env, jbyteArray array) : env_(env), array_(array) {
    length_ = env->GetArrayLength(array);
    elements_ = env->GetByteArrayElements(array, nullptr);
    if (!elements_) {
      checkJava(env);
      throw JavaPending{};
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

}  // namespace vlnjni
