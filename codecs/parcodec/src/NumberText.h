// Integer texts as the parameter formats read them: strtoll-style leading
// numbers in the C locale, whatever the process locale is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ParameterTable.h"

namespace parcodec {

// The leading decimal number of a text: white space, then an optional sign,
// then digits up to the first non-digit. No digits read as zero.
struct DecimalText {
  bool negative = false;
  uint64_t magnitude = 0;
  bool tooLarge = false;  // the digits exceed 2^64 - 1; magnitude saturated
};
DecimalText parseDecimal(std::string_view text);

// strtoll: saturates at the 64-bit limits and then sets *overflow.
int64_t toInt64(const DecimalText& number, bool* overflow);
// An unsigned 64-bit value: up to 2^64 - 1 as itself, a negative number down
// to -2^63 as its signed 64-bit bits; false for what neither reading holds.
bool toUInt64(const DecimalText& number, uint64_t* value);

// A hex id text cut into two-character pieces from its start (the last piece
// may be one character), each read as a base-16 number strtol-style and kept
// as its low byte. False unless there are exactly 16 pieces.
bool decodeHexId(std::string_view text, Id16& id);

// Decimal text of an integer, locale-free.
std::string decimal(int64_t value);
std::string decimal(uint64_t value);

}  // namespace parcodec
