#include "vlnjni/Text.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "vlnjni/Errors.h"

namespace vlnjni {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

struct Lead {
  int trail;            // continuation bytes that follow
  std::uint32_t value;  // the lead's payload bits
  std::uint8_t lo, hi;  // allowed range of the first continuation byte
};

// The well-formed lead bytes of the Unicode table of UTF-8 sequences; the
// narrower first-continuation ranges exclude overlongs, surrogates and code
// points above U+10FFFF.
bool leadOf(std::uint8_t b, Lead& lead) {
  if (b >= 0xC2 && b <= 0xDF) lead = {1, b & 0x1Fu, 0x80, 0xBF};
  else if (b == 0xE0) lead = {2, 0, 0xA0, 0xBF};
  else if (b == 0xED) lead = {2, 0xD, 0x80, 0x9F};
  else if (b >= 0xE1 && b <= 0xEF) lead = {2, b & 0x0Fu, 0x80, 0xBF};
  else if (b == 0xF0) lead = {3, 0, 0x90, 0xBF};
  else if (b >= 0xF1 && b <= 0xF3) lead = {3, b & 0x07u, 0x80, 0xBF};
  else if (b == 0xF4) lead = {3, 4, 0x80, 0x8F};
  else return false;
  return true;
}

void appendUtf16(std::u16string& out, std::uint32_t cp) {
  if (cp < 0x10000) {
    out.push_back(char16_t(cp));
  } else {
    cp -= 0x10000;
    out.push_back(char16_t(0xD800 + (cp >> 10)));
    out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
  }
}

void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | (cp >> 6)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(char(0xE0 | (cp >> 12)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (cp >> 18)));
    out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

// Length of the well-formed sequence at `i`, or 0 when it is ill-formed
// (then `*bad` is the length of its maximal subpart, at least 1).
std::size_t sequenceAt(std::string_view s, std::size_t i, std::uint32_t* cp, std::size_t* bad) {
  const auto b = std::uint8_t(s[i]);
  if (b < 0x80) {
    *cp = b;
    return 1;
  }
  Lead lead;
  if (!leadOf(b, lead)) {
    *bad = 1;
    return 0;
  }
  std::uint32_t value = lead.value;
  std::size_t j = i + 1;
  std::uint8_t lo = lead.lo, hi = lead.hi;
  for (int k = 0; k < lead.trail; ++k, ++j) {
    if (j >= s.size()) break;
    const auto c = std::uint8_t(s[j]);
    if (c < lo || c > hi) break;
    value = (value << 6) | (c & 0x3Fu);
    lo = 0x80;
    hi = 0xBF;
  }
  if (j - i == std::size_t(lead.trail) + 1) {
    *cp = value;
    return j - i;
  }
  *bad = j - i;
  return 0;
}

}  // namespace

std::u16string utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    std::uint32_t cp = 0;
    std::size_t bad = 0;
    const std::size_t n = sequenceAt(s, i, &cp, &bad);
    if (n) {
      appendUtf16(out, cp);
      i += n;
    } else {
      out.push_back(kReplacement);
      i += bad;
    }
  }
  return out;
}

std::string utf16ToUtf8(std::u16string_view t) {
  std::string out;
  out.reserve(t.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    std::uint32_t cp = t[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < t.size() && t[i + 1] >= 0xDC00 && t[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (t[i + 1] - 0xDC00u);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    appendUtf8(out, cp);
  }
  return out;
}

std::size_t utf8CutPoint(std::string_view s, std::size_t maxBytes) {
  if (s.size() <= maxBytes) return s.size();
  std::size_t cut = 0;
  for (std::size_t i = 0; i < s.size();) {
    std::uint32_t cp = 0;
    std::size_t bad = 0;
    std::size_t n = sequenceAt(s, i, &cp, &bad);
    if (!n) n = bad;
    if (i + n > maxBytes) break;
    i += n;
    cut = i;
  }
  return cut;
}

std::string_view untilZero(const void* buffer, std::size_t size) {
  const char* p = static_cast<const char*>(buffer);
  const void* zero = std::memchr(p, 0, size);
  return {p, zero ? std::size_t(static_cast<const char*>(zero) - p) : size};
}

jstring newString(JNIEnv* env, std::string_view utf8) {
  const std::u16string wide = utf8ToUtf16(utf8);
  if (wide.size() > std::size_t(INT32_MAX)) throw std::length_error("text too long for a Java string");
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

std::string toUtf8(JNIEnv* env, jstring text) { return utf16ToUtf8(charsOf(env, text)); }

jstring newLatin1String(JNIEnv* env, std::string_view bytes) {
  if (bytes.size() > std::size_t(INT32_MAX)) throw std::length_error("text too long for a Java string");
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
