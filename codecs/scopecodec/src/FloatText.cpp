#include "FloatText.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "codeccommon/XmlText.h"

namespace scopecodec {

namespace {

// Lays out `count` significant digits with decimal exponent `exponent` the
// way "%.<precision>g" does once trailing zeros are dropped.
void appendGeneral(std::string& out, bool negative, const char* digits, int count, int exponent,
                   int precision) {
  while (count > 1 && digits[count - 1] == '0') --count;
  char text[48];
  int n = 0;
  if (negative) text[n++] = '-';
  if (exponent >= -4 && exponent < precision) {
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

constexpr uint64_t kPowersOf5[] = {1ull,          5ull,          25ull,          125ull,          625ull,
                                   3125ull,       15625ull,      78125ull,       390625ull,       1953125ull,
                                   9765625ull,    48828125ull,   244140625ull,   1220703125ull,   6103515625ull,
                                   30517578125ull, 152587890625ull, 762939453125ull};

// The 9 significant digits of |value| correctly rounded (ties to even), for a
// normal single in [1e-9, 1e9) whose decimal exponent is near `exponent`,
// done in integers: |value| * 10^k = m * 5^k * 2^(e+k). False when outside
// that range; the caller then asks the library.
bool nineDigits(float value, int& exponent, char digits[9]) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const uint64_t mantissa = (bits & 0x7FFFFFu) | 0x800000u;
  const int binaryExponent = int((bits >> 23) & 0xFF) - 150;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int k = 8 - exponent;
    if (k < 0 || k > 17) return false;
    const uint64_t scaled = mantissa * kPowersOf5[k];  // < 2^24 * 5^17 < 2^64
    const int shift = binaryExponent + k;
    uint64_t whole, remainder = 0, half = 0;
    if (shift >= 0) {
      if (shift > 20) return false;
      whole = scaled << shift;
    } else {
      if (-shift > 63) return false;
      const int r = -shift;
      whole = scaled >> r;
      remainder = scaled & ((uint64_t(1) << r) - 1);
      half = uint64_t(1) << (r - 1);
    }
    // The unrounded value must have exactly 9 integer digits.
    if (whole < 100000000ull) {
      --exponent;
      continue;
    }
    if (whole >= 1000000000ull) {
      ++exponent;
      continue;
    }
    if (remainder > half || (remainder == half && half != 0 && (whole & 1))) ++whole;
    if (whole == 1000000000ull) {
      whole = 100000000ull;
      ++exponent;
    }
    for (int i = 8; i >= 0; --i, whole /= 10) digits[i] = char('0' + whole % 10);
    return true;
  }
  return false;
}

}  // namespace

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
  const bool negative = *p == '-';
  if (negative) ++p;
  char digits[12];
  int count = 0;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits[count++] = *p;
  int exponent = 0;
  if (p < end) std::from_chars(p + 1 + (p[1] == '+'), end, exponent);
  while (count > 1 && digits[count - 1] == '0') --count;

  if (count <= 6) {
    appendGeneral(out, negative, digits, count, exponent, 6);
    return;
  }
  char nine[9];
  if (nineDigits(value, exponent, nine)) {
    appendGeneral(out, negative, nine, 9, exponent, 9);
    return;
  }
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, double(value), std::chars_format::general, 9);
  out.append(buf, r.ptr);
}

}  // namespace scopecodec
