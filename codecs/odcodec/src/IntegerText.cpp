#include "IntegerText.h"

#include <stdexcept>

namespace odcodec {

namespace {

bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

struct Scanned {
  bool negative = false;
  uint64_t magnitude = 0;
};

// Sign, optional 0x for base 16, digits; the magnitude stops growing once it
// passes `limit` so long texts cannot overflow the accumulator.
Scanned scan(std::string_view text, int base, uint64_t limit) {
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  Scanned s;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) s.negative = text[i++] == '-';
  if (base == 16 && i + 2 < text.size() && text[i] == '0' &&
      (text[i + 1] == 'x' || text[i + 1] == 'X') && digitValue(text[i + 2]) < 16)
    i += 2;
  size_t digits = 0;
  for (; i < text.size() && digitValue(text[i]) < base; ++i, ++digits) {
    if (s.magnitude <= limit)
      s.magnitude = s.magnitude * uint64_t(base) + uint64_t(digitValue(text[i]));
  }
  if (digits == 0) throw std::invalid_argument("no digits");
  return s;
}

}  // namespace

int32_t parseDecimal(std::string_view text) {
  Scanned s = scan(text, 10, 0x80000000ull);
  if (s.magnitude > (s.negative ? 0x80000000ull : 0x7fffffffull))
    throw std::out_of_range("decimal");
  return s.negative ? int32_t(-int64_t(s.magnitude)) : int32_t(s.magnitude);
}

uint32_t parseHexNumber(std::string_view text) {
  Scanned s = scan(text, 16, 0xffffffffull);
  if (s.magnitude > 0xffffffffull) throw std::out_of_range("hexadecimal");
  uint32_t v = uint32_t(s.magnitude);
  return s.negative ? uint32_t(0u - v) : v;
}

}  // namespace odcodec
