// Integer text: whole numbers read from XML texts the way the dictionary's
// writers expect: leading blanks and a sign accepted, reading stops at the
// first character that is no digit of the base. A text without any digit, or
// a value outside the allowed range, is an unexpected failure
// (std::invalid_argument / std::out_of_range), which the exports report as
// "Exception error".
#pragma once

#include <cstdint>
#include <string_view>

namespace odcodec {

// Decimal, signed 32-bit range.
int32_t parseDecimal(std::string_view text);
// Base 16, an optional "0x" prefix; the magnitude must fit 32 bits and a minus
// sign negates it modulo 2^32.
uint32_t parseHexNumber(std::string_view text);

}  // namespace odcodec
