#include "FloatText.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "codeccommon/XmlText.h"

namespace scopecodec {

namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Lays out the `count` significant digits of `digits` with decimal exponent
// `exponent` the way "%.<precision>g" does; returns the length. Pieces are
// copied 16 bytes at a time, so `text` needs kFloatTextRoom bytes.
size_t layOutGeneral(char* text, bool negative, uint64_t digits, int count, int exponent,
                     int precision) {
  char ascii[32];
  std::memset(ascii, '0', sizeof ascii);
  int i = count;
  for (; i >= 2; i -= 2, digits /= 100)
    std::memcpy(ascii + i - 2, kDigitPairs + 2 * (digits % 100), 2);
  if (i == 1) ascii[0] = char('0' + digits);
  while (count > 1 && ascii[count - 1] == '0') --count;

  size_t n = 0;
  text[0] = '-';
  n += negative;
  if (exponent >= -4 && exponent < precision) {
    if (exponent >= 0) {
      // ascii keeps its trailing zeros, so the integer part reads straight from it.
      const int integerDigits = exponent + 1;
      std::memcpy(text + n, ascii, 16);
      n += size_t(integerDigits);
      if (count > integerDigits) {
        text[n] = '.';
        std::memcpy(text + n + 1, ascii + integerDigits, 16);
        n += size_t(1 + count - integerDigits);
      }
    } else {
      std::memcpy(text + n, "0.000000", 8);
      n += size_t(1 - exponent);
      std::memcpy(text + n, ascii, 16);
      n += size_t(count);
    }
    return n;
  }
  text[n] = ascii[0];
  text[n + 1] = '.';
  std::memcpy(text + n + 2, ascii + 1, 16);
  n += count > 1 ? size_t(count + 1) : 1;
  text[n++] = 'e';
  text[n++] = exponent < 0 ? '-' : '+';
  const int magnitude = exponent < 0 ? -exponent : exponent;
  if (magnitude >= 100) text[n++] = char('0' + magnitude / 100);
  std::memcpy(text + n, kDigitPairs + 2 * (magnitude % 100), 2);
  return n + 2;
}

constexpr uint64_t kPowersOf5[] = {
    1ull,         5ull,          25ull,         125ull,         625ull,          3125ull,
    15625ull,     78125ull,      390625ull,     1953125ull,     9765625ull,      48828125ull,
    244140625ull, 1220703125ull, 6103515625ull, 30517578125ull, 152587890625ull, 762939453125ull};
constexpr uint64_t kPowersOf10[] = {1ull,         10ull,        100ull,     1000ull,
                                    10000ull,     100000ull,    1000000ull, 10000000ull,
                                    100000000ull, 1000000000ull};

struct Rounded {
  uint64_t digits;  // exactly `precision` of them
  int exponent;     // decimal exponent of the first
  bool readsBack;   // the rounded decimal reads back to the same single
};

// Rounds |value| = mantissa * 2^binaryExponent to `precision` significant
// digits, ties to even as printf rounds the exact binary value, in integers:
// |value| * 10^k = mantissa * 5^k * 2^(binaryExponent + k) with k =
// precision - 1 - exponent. `exponent` is a guess, off by at most one.
// The decimal reads back to the single when it lies within half the gap to
// either neighbour; 5^k is odd, so it never lies on the border. False when
// the value is outside the range these integers cover.
bool roundToDigits(uint32_t mantissa, int binaryExponent, int precision, int exponent,
                   Rounded& out) {
  const uint64_t low = kPowersOf10[precision - 1], high = kPowersOf10[precision];
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int k = precision - 1 - exponent;
    if (k < 0 || k > 17) return false;
    const uint64_t scaled = uint64_t(mantissa) * kPowersOf5[k];  // < 2^24 * 5^17 < 2^64
    const int shift = binaryExponent + k;
    uint64_t whole, remainder = 0, unit = 0;  // the fraction is remainder / unit
    if (shift >= 0) {
      if (shift > 63 || scaled > (UINT64_MAX >> shift)) return false;
      whole = scaled << shift;
    } else {
      if (-shift > 63) return false;
      unit = uint64_t(1) << -shift;
      whole = scaled >> -shift;
      remainder = scaled & (unit - 1);
    }
    if (whole < low) {
      --exponent;
      continue;
    }
    if (whole >= high) {
      ++exponent;
      continue;
    }
    out.readsBack = true;
    if (unit != 0) {
      const uint64_t half = unit >> 1;
      const bool up = remainder > half || (remainder == half && (whole & 1));
      const uint64_t distance = up ? unit - remainder : remainder;
      // Just above a power of two the gap below is half as wide.
      const bool narrowBelow = !up && mantissa == 0x800000u;
      out.readsBack = distance <= kPowersOf5[k] / (narrowBelow ? 4 : 2);
      if (up && ++whole == high) {
        whole = low;
        ++exponent;
      }
    }
    out.digits = whole;
    out.exponent = exponent;
    return true;
  }
  return false;
}

// Values outside the integer range: the shortest round-trip digits decide.
// A 6-digit decimal that reads back to a single is unique within that
// single's rounding interval (the interval is narrower than the gap between
// 6-digit decimals), so it is both the nearest 6-digit decimal, i.e. what
// "%g" prints, and the shortest round-tripping decimal when that has at most
// 6 digits. Subnormal singles have wider intervals and take the general path,
// as do inf and NaN.
size_t writeFloatTextSlow(char* out, float value) {
  if (!std::isnormal(value) && value != 0) {
    const std::string text = codec::formatFloat(value);
    const size_t n = text.size() < kMaxFloatText ? text.size() : kMaxFloatText;
    std::memcpy(out, text.data(), n);
    return n;
  }
  char shortest[32];
  auto res =
      std::to_chars(shortest, shortest + sizeof shortest, value, std::chars_format::scientific);
  const char* p = shortest;
  const char* end = res.ptr;
  const bool negative = *p == '-';
  if (negative) ++p;
  uint64_t digits = 0;
  int count = 0;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits = digits * 10 + uint64_t(*p - '0'), ++count;
  int exponent = 0;
  if (p < end) std::from_chars(p + 1 + (p[1] == '+'), end, exponent);
  if (count <= 6) return layOutGeneral(out, negative, digits, count, exponent, 6);
  auto r = std::to_chars(out, out + kMaxFloatText, double(value), std::chars_format::general, 9);
  return size_t(r.ptr - out);
}

}  // namespace

size_t writeFloatText(char* out, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const uint32_t biased = (bits >> 23) & 0xFF;
  if (biased != 0 && biased != 0xFF) {
    const uint32_t mantissa = (bits & 0x7FFFFFu) | 0x800000u;
    const int binaryExponent = int(biased) - 150;
    const bool negative = (bits >> 31) != 0;
    // |value| lies in [2^(binaryExponent + 23), 2^(binaryExponent + 24)):
    // floor(log10) of the lower end, or one more.
    const int guess = ((binaryExponent + 23) * 78913) >> 18;
    Rounded r;
    if (roundToDigits(mantissa, binaryExponent, 6, guess, r)) {
      if (r.readsBack) return layOutGeneral(out, negative, r.digits, 6, r.exponent, 6);
      if (roundToDigits(mantissa, binaryExponent, 9, r.exponent, r))
        return layOutGeneral(out, negative, r.digits, 9, r.exponent, 9);
    }
  }
  return writeFloatTextSlow(out, value);
}

void appendFloatText(std::string& out, float value) {
  char text[kFloatTextRoom];
  out.append(text, writeFloatText(text, value));
}

}  // namespace scopecodec
