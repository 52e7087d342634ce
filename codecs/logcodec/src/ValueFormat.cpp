#include "ValueFormat.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace logcodec {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a decimal number no larger than kMaxPrintedLength; false when larger.
bool readBoundedNumber(std::string_view text, size_t& i, int& value) {
  value = 0;
  while (i < text.size() && isDigit(text[i])) {
    value = value * 10 + (text[i] - '0');
    if (value > int(kMaxPrintedLength)) return false;
    ++i;
  }
  return true;
}

bool startsWith(std::string_view text, size_t i, std::string_view prefix) {
  return text.substr(i, prefix.size()) == prefix;
}

bool lengthFits(LengthModifier length, ValueKind kind) {
  switch (kind) {
    case ValueKind::kInt32:
      return length == LengthModifier::kNone || length == LengthModifier::kChar ||
             length == LengthModifier::kShort || length == LengthModifier::kLong32;
    case ValueKind::kInt64:
      return length == LengthModifier::kLong64;
    case ValueKind::kDouble:
      // 'l' is ignored with floating conversions and 'L' names a double where
      // long double is one.
      return length == LengthModifier::kNone || length == LengthModifier::kLong32 ||
             length == LengthModifier::kLongDouble;
  }
  return false;
}

bool conversionFits(char c, ValueKind kind) {
  std::string_view allowed = kind == ValueKind::kDouble ? "fFeEgGaA" : "diuoxX";
  return allowed.find(c) != std::string_view::npos;
}

// Literal text with "%%" collapsed.
void appendLiteral(std::string& out, std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == '%') ++i;  // the second of a "%%" pair
  }
}

size_t literalLength(std::string_view text) {
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++i, ++n)
    if (text[i] == '%') ++i;
  return n;
}

// The pieces of one printed field: sign or "0x" prefix, then the body, padded
// to the width with blanks (outside) or zeros (between prefix and body).
struct Field {
  std::string_view prefix;
  std::string_view body;
  bool zeroPadAllowed = false;
};

bool appendField(std::string& out, const Conversion& c, const Field& f) {
  size_t content = f.prefix.size() + f.body.size();
  size_t width = size_t(c.width);
  size_t padding = width > content ? width - content : 0;
  size_t total = literalLength(c.before) + content + padding + literalLength(c.after);
  if (total > kMaxPrintedLength) return false;
  appendLiteral(out, c.before);
  if (c.leftAlign) {
    out += f.prefix;
    out += f.body;
    out.append(padding, ' ');
  } else if (c.zeroPad && f.zeroPadAllowed) {
    out += f.prefix;
    out.append(padding, '0');
    out += f.body;
  } else {
    out.append(padding, ' ');
    out += f.prefix;
    out += f.body;
  }
  appendLiteral(out, c.after);
  return true;
}

bool appendInteger(std::string& out, const Conversion& c, const PrintValue& v) {
  bool isSigned = c.conversion == 'd' || c.conversion == 'i';
  bool negative = false;
  uint64_t magnitude = 0;
  if (v.kind == ValueKind::kInt64) {
    if (isSigned) {
      int64_t s = int64_t(v.bits);
      negative = s < 0;
      magnitude = negative ? 0 - v.bits : v.bits;
    } else {
      magnitude = v.bits;
    }
  } else {
    // printf converts the int argument to the modifier's type first.
    uint32_t word = uint32_t(v.bits);
    int64_t s = 0;
    uint64_t u = 0;
    switch (c.length) {
      case LengthModifier::kChar:
        s = int8_t(word);
        u = uint8_t(word);
        break;
      case LengthModifier::kShort:
        s = int16_t(word);
        u = uint16_t(word);
        break;
      default:
        s = int32_t(word);
        u = word;
        break;
    }
    if (isSigned) {
      negative = s < 0;
      magnitude = negative ? uint64_t(0) - uint64_t(s) : uint64_t(s);
    } else {
      magnitude = u;
    }
  }

  int base = 10;
  if (c.conversion == 'o') base = 8;
  if (c.conversion == 'x' || c.conversion == 'X') base = 16;
  const char* digitSet = c.conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";

  std::array<char, 32> reversed{};
  size_t n = 0;
  for (uint64_t m = magnitude; m != 0; m /= unsigned(base))
    reversed[n++] = digitSet[m % unsigned(base)];

  // Precision is the minimum digit count; an explicit 0 prints no digit for 0.
  size_t minDigits = c.precision < 0 ? 1 : size_t(c.precision);
  // '#' with 'o' raises the precision just enough for a leading zero.
  if (c.alternate && c.conversion == 'o' && minDigits <= n) minDigits = n + 1;
  std::array<char, kMaxPrintedLength + 40> body{};
  size_t len = 0;
  for (size_t k = n; k < minDigits; ++k) body[len++] = '0';
  for (size_t k = n; k > 0; --k) body[len++] = reversed[k - 1];

  std::string_view prefix;
  if (isSigned) {
    if (negative)
      prefix = "-";
    else if (c.plusSign)
      prefix = "+";
    else if (c.spaceSign)
      prefix = " ";
  } else if (c.alternate && magnitude != 0 && base == 16) {
    prefix = c.conversion == 'X' ? "0X" : "0x";
  }
  return appendField(out, c, Field{prefix, std::string_view(body.data(), len), c.precision < 0});
}

// Up to 255 digits of precision on a value of at most 39 integer digits.
using FloatBuffer = std::array<char, 512>;

bool toChars(FloatBuffer& buf, size_t& len, double a, std::chars_format fmt, int precision) {
  auto res = precision < 0 ? std::to_chars(buf.data(), buf.data() + buf.size(), a, fmt)
                           : std::to_chars(buf.data(), buf.data() + buf.size(), a, fmt, precision);
  if (res.ec != std::errc()) return false;
  len = size_t(res.ptr - buf.data());
  return true;
}

// Inserts '.' before the exponent (or at the end) when the text has none.
void forcePoint(FloatBuffer& buf, size_t& len, char exponentMark) {
  if (std::memchr(buf.data(), '.', len)) return;
  const void* e = std::memchr(buf.data(), exponentMark, len);
  size_t at = e ? size_t(static_cast<const char*>(e) - buf.data()) : len;
  std::memmove(buf.data() + at + 1, buf.data() + at, len - at);
  buf[at] = '.';
  ++len;
}

// %g: style e when the exponent X (after rounding to P digits) is below -4
// or at least P, else style f with P - 1 - X decimals; trailing zeros dropped
// unless '#'.
bool formatGeneral(FloatBuffer& buf, size_t& len, double a, int precision, bool alternate) {
  int p = precision < 0 ? 6 : (precision == 0 ? 1 : precision);
  if (!toChars(buf, len, a, std::chars_format::scientific, p - 1)) return false;
  const void* e = std::memchr(buf.data(), 'e', len);
  if (!e) return false;
  size_t ePos = size_t(static_cast<const char*>(e) - buf.data());
  int x = 0;
  std::from_chars(buf.data() + ePos + 1 + (buf[ePos + 1] == '+'), buf.data() + len, x);
  if (x >= -4 && x < p) {
    if (!toChars(buf, len, a, std::chars_format::fixed, p - 1 - x)) return false;
    ePos = len;
  }
  if (alternate) {
    forcePoint(buf, len, 'e');
    return true;
  }
  if (!std::memchr(buf.data(), '.', ePos)) return true;
  size_t end = ePos;
  while (end > 0 && buf[end - 1] == '0') --end;
  if (end > 0 && buf[end - 1] == '.') --end;
  std::memmove(buf.data() + end, buf.data() + ePos, len - ePos);
  len -= ePos - end;
  return true;
}

bool appendReal(std::string& out, const Conversion& c, const PrintValue& v) {
  double value = v.real;
  bool upper = c.conversion >= 'A' && c.conversion <= 'Z';
  std::string_view sign;
  if (std::signbit(value))
    sign = "-";
  else if (c.plusSign)
    sign = "+";
  else if (c.spaceSign)
    sign = " ";

  if (!std::isfinite(value)) {
    std::string_view body = std::isnan(value) ? (upper ? "NAN" : "nan") : (upper ? "INF" : "inf");
    return appendField(out, c, Field{sign, body, false});
  }

  double a = std::fabs(value);
  FloatBuffer buf;
  size_t len = 0;
  int precision = c.precision;
  char lower = char(c.conversion | 0x20);
  bool hex = false;
  switch (lower) {
    case 'f':
      if (!toChars(buf, len, a, std::chars_format::fixed, precision < 0 ? 6 : precision))
        return false;
      if (c.alternate) forcePoint(buf, len, '\0');
      break;
    case 'e':
      if (!toChars(buf, len, a, std::chars_format::scientific, precision < 0 ? 6 : precision))
        return false;
      if (c.alternate) forcePoint(buf, len, 'e');
      break;
    case 'g':
      if (!formatGeneral(buf, len, a, precision, c.alternate)) return false;
      break;
    case 'a':
      hex = true;
      if (!toChars(buf, len, a, std::chars_format::hex, precision)) return false;
      if (c.alternate) forcePoint(buf, len, 'p');
      break;
    default:
      return false;
  }
  if (upper)
    for (size_t i = 0; i < len; ++i)
      if (buf[i] >= 'a' && buf[i] <= 'z') buf[i] = char(buf[i] - 'a' + 'A');

  std::array<char, 4> prefix{};
  size_t prefixLen = 0;
  for (char s : sign) prefix[prefixLen++] = s;
  if (hex) {
    prefix[prefixLen++] = '0';
    prefix[prefixLen++] = upper ? 'X' : 'x';
  }
  return appendField(
      out, c,
      Field{std::string_view(prefix.data(), prefixLen), std::string_view(buf.data(), len), true});
}

Conversion makeDefault(LengthModifier length, char conversion) {
  Conversion c;
  c.length = length;
  c.conversion = conversion;
  return c;
}

ValueKind kindOfType(uint8_t type) {
  if (type == 7 || type == 8) return ValueKind::kInt64;
  if (type == 9) return ValueKind::kDouble;
  return ValueKind::kInt32;
}

}  // namespace

std::optional<Conversion> parseDeviceFormat(std::string_view format, ValueKind kind) {
  Conversion c;
  bool found = false;
  size_t literalStart = 0;
  size_t i = 0;
  while (i < format.size()) {
    if (format[i] != '%') {
      ++i;
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      i += 2;
      continue;
    }
    if (found) return std::nullopt;  // a second conversion
    found = true;
    c.before = format.substr(literalStart, i - literalStart);
    ++i;
    for (; i < format.size(); ++i) {
      char f = format[i];
      if (f == '-')
        c.leftAlign = true;
      else if (f == '+')
        c.plusSign = true;
      else if (f == ' ')
        c.spaceSign = true;
      else if (f == '#')
        c.alternate = true;
      else if (f == '0')
        c.zeroPad = true;
      else
        break;
    }
    if (!readBoundedNumber(format, i, c.width)) return std::nullopt;
    if (i < format.size() && format[i] == '.') {
      ++i;
      if (!readBoundedNumber(format, i, c.precision)) return std::nullopt;
    }
    if (startsWith(format, i, "hh"))
      c.length = LengthModifier::kChar, i += 2;
    else if (startsWith(format, i, "h"))
      c.length = LengthModifier::kShort, i += 1;
    else if (startsWith(format, i, "ll"))
      c.length = LengthModifier::kLong64, i += 2;
    else if (startsWith(format, i, "l"))
      c.length = LengthModifier::kLong32, i += 1;
    else if (startsWith(format, i, "I64"))
      c.length = LengthModifier::kLong64, i += 3;
    else if (startsWith(format, i, "I32"))
      c.length = LengthModifier::kLong32, i += 3;
    else if (startsWith(format, i, "L"))
      c.length = LengthModifier::kLongDouble, i += 1;
    if (i >= format.size()) return std::nullopt;
    c.conversion = format[i++];
    // '*', '%n', '%s', other modifiers and anything unknown end up here.
    if (!conversionFits(c.conversion, kind) || !lengthFits(c.length, kind)) return std::nullopt;
    literalStart = i;
  }
  if (!found) return std::nullopt;
  c.after = format.substr(literalStart);
  return c;
}

bool appendConverted(std::string& out, const Conversion& conversion, const PrintValue& value) {
  if (value.kind == ValueKind::kDouble) return appendReal(out, conversion, value);
  return appendInteger(out, conversion, value);
}

const Conversion& defaultConversion(uint8_t type) {
  static const Conversion kDefaults[] = {
      makeDefault(LengthModifier::kNone, 'd'),    // no type 0; never printed
      makeDefault(LengthModifier::kChar, 'd'),    // 1 "%hhd"
      makeDefault(LengthModifier::kChar, 'u'),    // 2 "%hhu"
      makeDefault(LengthModifier::kShort, 'd'),   // 3 "%hd"
      makeDefault(LengthModifier::kShort, 'u'),   // 4 "%hu"
      makeDefault(LengthModifier::kNone, 'd'),    // 5 "%d"
      makeDefault(LengthModifier::kNone, 'u'),    // 6 "%u"
      makeDefault(LengthModifier::kLong64, 'd'),  // 7 "%lld"
      makeDefault(LengthModifier::kLong64, 'u'),  // 8 "%llu"
      makeDefault(LengthModifier::kNone, 'f'),    // 9 "%f"
  };
  return kDefaults[type < 10 ? type : 0];
}

namespace {

// What the default conversion of an integer type prints: the value's plain
// decimal at its own width. Printed directly, as every value's raw text is.
bool appendDefaultInteger(std::string& out, uint8_t type, const PrintValue& value) {
  char digits[24];
  const uint32_t word = uint32_t(value.bits);
  char* const end = digits + sizeof digits;
  std::to_chars_result r{};
  switch (type) {
    case 1:
      r = std::to_chars(digits, end, int(int8_t(word)));
      break;
    case 2:
      r = std::to_chars(digits, end, unsigned(uint8_t(word)));
      break;
    case 3:
      r = std::to_chars(digits, end, int(int16_t(word)));
      break;
    case 4:
      r = std::to_chars(digits, end, unsigned(uint16_t(word)));
      break;
    case 5:
      r = std::to_chars(digits, end, int32_t(word));
      break;
    case 6:
      r = std::to_chars(digits, end, word);
      break;
    case 7:
      r = std::to_chars(digits, end, int64_t(value.bits));
      break;
    case 8:
      r = std::to_chars(digits, end, value.bits);
      break;
    default:
      return false;
  }
  out.append(digits, r.ptr);
  return true;
}

}  // namespace

void printValue(std::string& text, uint8_t type, std::string_view format, const PrintValue& value) {
  text.clear();
  if (!format.empty()) {
    if (auto c = parseDeviceFormat(format, kindOfType(type)); c && appendConverted(text, *c, value))
      return;
    text.clear();
  }
  if (value.kind != ValueKind::kDouble && appendDefaultInteger(text, type, value)) return;
  appendConverted(text, defaultConversion(type), value);
}

}  // namespace logcodec
