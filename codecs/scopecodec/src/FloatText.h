// Time texts of the scope capture XML: "%g" when that reads back to the same
// single, else "%.9g", in the C locale; the same text as codec::formatFloat,
// made cheap enough for one call per sample of a large capture.
#pragma once

#include <string>

namespace scopecodec {

void appendFloatText(std::string& out, float value);

}  // namespace scopecodec
