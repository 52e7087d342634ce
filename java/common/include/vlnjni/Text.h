// Texts between the C side (standard UTF-8, or ISO-8859-1 bytes for the
// codec XML that declares it) and Java strings (UTF-16). Never modified
// UTF-8: NewStringUTF would misread supplementary characters and embedded
// zeros, and needs a terminator device texts do not have. The UTF-8 codec
// is base/Utf8.h, the one every program of the tool set converts with.
#pragma once

#include <jni.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace vlnjni {

// The bytes up to the first zero, at most `size` of them.
std::string_view untilZero(const void* buffer, std::size_t size);

// A new Java string; a JNI failure throws JavaPending (see Errors.h).
jstring newString(JNIEnv* env, std::string_view utf8);
// The Java string as UTF-8; null must be checked by the caller.
std::string toUtf8(JNIEnv* env, jstring text);
// Byte for byte: each byte is the character of the same value.
jstring newLatin1String(JNIEnv* env, std::string_view bytes);
// Byte for byte back; a character above U+00FF has no byte and becomes '?'.
std::string toLatin1(JNIEnv* env, jstring text);

}  // namespace vlnjni
