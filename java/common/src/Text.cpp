#include "vlnjni/Text.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "base/Utf8.h"
#include "vlnjni/Errors.h"

namespace vlnjni {

std::string_view untilZero(const void* buffer, std::size_t size) {
  const char* p = static_cast<const char*>(buffer);
  const void* zero = std::memchr(p, 0, size);
  return {p, zero ? std::size_t(static_cast<const char*>(zero) - p) : size};
}

jstring newString(JNIEnv* env, std::string_view utf8) {
  const std::u16string wide = base::utf8ToUtf16(utf8);
  if (wide.size() > std::size_t(INT32_MAX))
    throw std::length_error("text too long for a Java string");
  jstring s = env->NewString(reinterpret_cast<const jchar*>(wide.data()), jsize(wide.size()));
  if (!s) {
    checkJava(env);
    throw JavaPending{};
  }
  return s;
}

namespace {

std::u16string charsOf(JNIEnv* env, jstring text) {
  const jsize n = env->GetStringLength(text);
  std::u16string out(std::size_t(n), u'\0');
  if (n) env->GetStringRegion(text, 0, n, reinterpret_cast<jchar*>(out.data()));
  checkJava(env);
  return out;
}

}  // namespace

std::string toUtf8(JNIEnv* env, jstring text) { return base::utf16ToUtf8(charsOf(env, text)); }

jstring newLatin1String(JNIEnv* env, std::string_view bytes) {
  if (bytes.size() > std::size_t(INT32_MAX))
    throw std::length_error("text too long for a Java string");
  std::vector<jchar> wide(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) wide[i] = jchar(std::uint8_t(bytes[i]));
  jstring s = env->NewString(wide.data(), jsize(wide.size()));
  if (!s) {
    checkJava(env);
    throw JavaPending{};
  }
  return s;
}

std::string toLatin1(JNIEnv* env, jstring text) {
  const std::u16string wide = charsOf(env, text);
  std::string out(wide.size(), '\0');
  for (std::size_t i = 0; i < wide.size(); ++i) out[i] = wide[i] <= 0xFF ? char(wide[i]) : '?';
  return out;
}

}  // namespace vlnjni
