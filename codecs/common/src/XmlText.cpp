#include "codeccommon/XmlText.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace codec {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Which characters each escaping escapes, one bit per kind.
enum : uint8_t { kEscText = 1, kEscAttribute = 2, kEscAll = 4 };
constexpr std::array<uint8_t, 256> kEscapes = [] {
  std::array<uint8_t, 256> t{};
  t[uint8_t('&')] = kEscText | kEscAttribute | kEscAll;
  t[uint8_t('<')] = kEscText | kEscAttribute | kEscAll;
  t[uint8_t('"')] = kEscAttribute | kEscAll;
  // '>' too, so that a text holding "]]>" cannot end the document's markup.
  t[uint8_t('>')] = kEscText | kEscAttribute | kEscAll;
  t[uint8_t('\'')] = kEscAll;
  return t;
}();

// Appends unescaped runs whole: escaping dominates the rendering of large
// documents.
void appendEscaped(std::string& out, std::string_view text, uint8_t kind) {
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!(kEscapes[uint8_t(c)] & kind)) continue;
    const char* entity;
    switch (c) {
      case '&':
        entity = "&amp;";
        break;
      case '<':
        entity = "&lt;";
        break;
      case '>':
        entity = "&gt;";
        break;
      case '\'':
        entity = "&apos;";
        break;
      default:
        entity = "&quot;";
        break;
    }
    out.append(text.data() + run, i - run);
    out += entity;
    run = i + 1;
  }
  out.append(text.data() + run, text.size() - run);
}

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Whether a number text that from_chars found out of range for T is too
// small rather than too large: read wider, as long double, or when even that
// is out of range, by the power of ten (of two for hex) the text stands for.
template <typename T>
bool underflows(std::string_view digits, std::chars_format fmt) {
  long double wide = 0;
  auto res = std::from_chars(digits.data(), digits.data() + digits.size(), wide, fmt);
  if (res.ec == std::errc{}) return std::fabs(wide) < 1;
  const bool hex = fmt == std::chars_format::hex;
  long long integerDigits = 0, leadingZeros = 0;
  bool significant = false, fraction = false;
  size_t k = 0;
  for (; k < digits.size() && (digits[k] | 0x20) != (hex ? 'p' : 'e'); ++k) {
    if (digits[k] == '.') {
      fraction = true;
    } else {
      significant = significant || digits[k] != '0';
      if (!fraction && significant) ++integerDigits;
      if (fraction && !significant) ++leadingZeros;
    }
  }
  long long exponent = 0;
  bool negative = false;
  if (++k < digits.size() && (digits[k] == '+' || digits[k] == '-')) negative = digits[k++] == '-';
  for (; k < digits.size() && exponent < 1000000000; ++k)
    exponent = exponent * 10 + (digits[k] - '0');
  if (negative) exponent = -exponent;
  const long long digitScale = hex ? 4 : 1;
  return exponent + digitScale * (integerDigits > 0 ? integerDigits : -leadingZeros) < 0;
}

// strto*-like front end over from_chars: white space, sign, "0x" prefix.
template <typename T>
bool parseReal(std::string_view text, T* value, size_t* end, bool* overflow) {
  size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  auto fmt = std::chars_format::general;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      i + 2 < text.size() && (hexValue(text[i + 2]) >= 0 || text[i + 2] == '.')) {
    fmt = std::chars_format::hex;
    i += 2;
  }
  // from_chars takes no sign of its own after we consumed one.
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) return false;
  T v{};
  auto res = std::from_chars(text.data() + i, text.data() + text.size(), v, fmt);
  if (overflow) *overflow = false;
  if (res.ec == std::errc::invalid_argument) return false;
  if (res.ec == std::errc::result_out_of_range) {
    // strto* saturates to HUGE_VAL on overflow and gives 0 on underflow. The
    // exponent's sign does not tell them apart (0.000...1 has none, 1e-5 with
    // a long run of leading digits overflows): the value, read wider, does.
    v = underflows<T>(std::string_view(text.data() + i, res.ptr - (text.data() + i)), fmt)
            ? T(0)
            : std::numeric_limits<T>::infinity();
    if (overflow) *overflow = true;
  }
  *value = negative ? -v : v;
  if (end) *end = size_t(res.ptr - text.data());
  return true;
}

}  // namespace

void appendHex(std::string& out, const uint8_t* bytes, size_t length) {
  out.reserve(out.size() + 2 * length);
  for (size_t i = 0; i < length; ++i) {
    out += kHexDigits[bytes[i] >> 4];
    out += kHexDigits[bytes[i] & 15];
  }
}

std::string toHex(const uint8_t* bytes, size_t length) {
  std::string s;
  appendHex(s, bytes, length);
  return s;
}

bool parseHex(std::string_view text, std::string& bytes) {
  if (text.size() % 2) return false;
  bytes.clear();
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = hexValue(text[i]), lo = hexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes += char(hi << 4 | lo);
  }
  return true;
}

void appendEscapedText(std::string& out, std::string_view text) {
  appendEscaped(out, text, kEscText);
}
void appendEscapedAttribute(std::string& out, std::string_view text) {
  appendEscaped(out, text, kEscAttribute);
}
void appendEscapedAll(std::string& out, std::string_view text) {
  appendEscaped(out, text, kEscAll);
}

std::string formatDouble(double value, int precision) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, precision);
  std::string s(buf, res.ptr);
  // printf spells the special values in lower case without a sign for NaN.
  if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  return s;
}

std::string formatFloat(float value) {
  std::string shortForm = formatDouble(value, 6);
  if (!std::isfinite(value)) return shortForm;
  float back = 0;
  if (parseFloat(shortForm, &back) && back == value && std::signbit(back) == std::signbit(value))
    return shortForm;
  return formatDouble(value, 9);
}

bool parseFloat(std::string_view text, float* value, size_t* end, bool* overflow) {
  return parseReal(text, value, end, overflow);
}

bool parseDouble(std::string_view text, double* value, size_t* end, bool* overflow) {
  return parseReal(text, value, end, overflow);
}

}  // namespace codec
