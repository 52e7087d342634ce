#include "NumberText.h"

#include <charconv>
#include <limits>

namespace parcodec {

namespace {

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// strtol(piece, nullptr, 16) kept to its low byte.
uint8_t hexPieceValue(std::string_view piece) {
  size_t i = 0;
  while (i < piece.size() && isSpace(piece[i])) ++i;
  bool negative = false;
  if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) negative = piece[i++] == '-';
  if (i + 2 < piece.size() && piece[i] == '0' && (piece[i + 1] == 'x' || piece[i + 1] == 'X') &&
      hexDigit(piece[i + 2]) >= 0)
    i += 2;
  unsigned value = 0;
  for (; i < piece.size() && hexDigit(piece[i]) >= 0; ++i)
    value = value * 16 + unsigned(hexDigit(piece[i]));
  return uint8_t(negative ? 0u - value : value);
}

}  // namespace

DecimalText parseDecimal(std::string_view text) {
  DecimalText number;
  size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) number.negative = text[i++] == '-';
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    uint64_t digit = uint64_t(text[i] - '0');
    if (number.tooLarge) continue;
    if (number.magnitude > (kMax - digit) / 10) {
      number.tooLarge = true;
      number.magnitude = kMax;
    } else {
      number.magnitude = number.magnitude * 10 + digit;
    }
  }
  if (number.magnitude == 0) number.negative = false;
  return number;
}

int64_t toInt64(const DecimalText& number, bool* overflow) {
  constexpr uint64_t kMaxPositive = uint64_t(std::numeric_limits<int64_t>::max());
  *overflow = false;
  if (number.negative) {
    if (number.tooLarge || number.magnitude > kMaxPositive + 1) {
      *overflow = true;
      return std::numeric_limits<int64_t>::min();
    }
    // Two's complement negation of the magnitude, defined for 2^63 too.
    return int64_t(0 - number.magnitude);
  }
  if (number.tooLarge || number.magnitude > kMaxPositive) {
    *overflow = true;
    return std::numeric_limits<int64_t>::max();
  }
  return int64_t(number.magnitude);
}

bool toUInt64(const DecimalText& number, uint64_t* value) {
  if (number.tooLarge) return false;
  if (!number.negative) {
    *value = number.magnitude;
    return true;
  }
  // A negative text is read as a signed 64-bit value: -1 gives all ones.
  if (number.magnitude > uint64_t(1) << 63) return false;
  *value = uint64_t(0) - number.magnitude;
  return true;
}

bool decodeHexId(std::string_view text, Id16& id) {
  size_t pieces = (text.size() + 1) / 2;
  if (pieces != id.size()) return false;
  for (size_t k = 0; k < pieces; ++k) id[k] = hexPieceValue(text.substr(2 * k, 2));
  return true;
}

std::string decimal(int64_t value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

std::string decimal(uint64_t value) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

}  // namespace parcodec
