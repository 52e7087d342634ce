// Hex text as the exerciser reads it from its command line and its raw
// console: two characters at a time, each pair read as strtol base 16 reads
// it (a pair that is not hex gives the value of its hex prefix, 0 for none).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace protoprobe {

// The byte of one pair (or of a single final character).
uint8_t hexPairValue(std::string_view pair);

// One byte per pair from the start; an odd final character is one more byte.
std::vector<uint8_t> hexToBytes(std::string_view text);

// Exactly 32 hex digits of either case.
bool isHwIdText(std::string_view text);

}  // namespace protoprobe
