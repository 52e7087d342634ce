// Time texts of the scope capture XML: "%g" when that reads back to the same
// single, else "%.9g", in the C locale; the same text as codec::formatFloat,
// made cheap enough for one call per step of a large capture.
#pragma once

#include <cstddef>
#include <string>

namespace scopecodec {

// The longest time texts are "-1.23456789e-38" and "-0.000123456789".
inline constexpr size_t kMaxFloatText = 15;
// Room writeFloatText needs: it copies in pieces of fixed size.
inline constexpr size_t kFloatTextRoom = 32;

// Writes the text of `value` at `out`, which has room for kFloatTextRoom
// bytes; returns its length, at most kMaxFloatText. Bytes past the text may
// be overwritten. No terminator.
size_t writeFloatText(char* out, float value);

void appendFloatText(std::string& out, float value);

}  // namespace scopecodec
