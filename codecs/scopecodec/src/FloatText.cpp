#include "FloatText.h"

#include <charconv>
#include <cmath>

#include "codeccommon/XmlText.h"

namespace scopecodec {

// A 6-digit decimal that reads back to a single is unique within that
// single's rounding interval (the interval is narrower than the gap between
// 6-digit decimals), so it is both the nearest 6-digit decimal, i.e. what
// "%g" prints, and the shortest round-tripping decimal when that has at most
// 6 digits. Hence: shortest form of at most 6 digits -> lay it out as "%g"
// would; longer -> no 6-digit text reads back, print "%.9g". Subnormal
// singles have wider intervals and take the general path, as do inf and NaN.
void appendFloatText(std::string& out, float value) {
  if (!std::isnormal(value) && value != 0) {
    out += codec::formatFloat(value);
    return;
  }
  char shortest[32];
  auto res = std::to_chars(shortest, shortest + sizeof shortest, value, std::chars_format::scientific);
  const char* p = shortest;
  const char* end = res.ptr;
  bool negative = *p == '-';
  if (negative) ++p;
  char digits[12];
  int count = 0;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits[count++] = *p;
  int exponent = 0;
  if (p < end) std::from_chars(p + 1 + (p[1] == '+'), end, exponent);
  while (count > 1 && digits[count - 1] == '0') --count;

  if (count > 6) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, double(value), std::chars_format::general, 9);
    out.append(buf, r.ptr);
    return;
  }

  char text[32];
  int n = 0;
  if (negative) text[n++] = '-';
  if (exponent >= -4 && exponent < 6) {
    if (exponent >= 0) {
      for (int i = 0; i <= exponent; ++i) text[n++] = i < count ? digits[i] : '0';
      if (count > exponent + 1) {
        text[n++] = '.';
        for (int i = exponent + 1; i < count; ++i) text[n++] = digits[i];
      }
    } else {
      text[n++] = '0';
      text[n++] = '.';
      for (int i = -1; i > exponent; --i) text[n++] = '0';
      for (int i = 0; i < count; ++i) text[n++] = digits[i];
    }
  } else {
    text[n++] = digits[0];
    if (count > 1) {
      text[n++] = '.';
      for (int i = 1; i < count; ++i) text[n++] = digits[i];
    }
    text[n++] = 'e';
    text[n++] = exponent < 0 ? '-' : '+';
    int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) text[n++] = '0';
    auto r = std::to_chars(text + n, text + sizeof text, magnitude);
    n = int(r.ptr - text);
  }
  out.append(text, size_t(n));
}

}  // namespace scopecodec
