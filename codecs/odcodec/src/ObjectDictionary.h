// The two conversions behind the flat exports. Both raise the format's
// messages as codec::CodecError; anything else they throw (parser errors,
// unreadable numbers, allocation failures) is an unexpected failure.
//
// Binary object dictionary, little-endian, no padding: u16 version (0 or 1),
// then records up to the end: u16 index, u8 sub-index, u8 flags (bit 7
// mappable, bits 0-6 value length L), L value bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace odcodec {

inline constexpr uint8_t kMappableFlag = 0x80;
inline constexpr uint8_t kLengthMask = 0x7f;
// Values up to this many bytes are shown as a number (last byte first).
inline constexpr size_t kNumericValueLimit = 4;

std::string binaryToXml(const uint8_t* data, size_t length);
std::vector<uint8_t> xmlToBinary(const char* xml, size_t length);

}  // namespace odcodec
