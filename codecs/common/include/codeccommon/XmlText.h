// XML output and number text helpers shared by the codecs. Every number is
// written and read in the C locale whatever the process locale is (the Java
// bindings load the codecs into a JVM that sets one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace codec {

inline constexpr const char* kXmlDeclaration =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"yes\"?>";

// Two lower-case hex digits a byte, no separators.
void appendHex(std::string& out, const uint8_t* bytes, size_t length);
std::string toHex(const uint8_t* bytes, size_t length);
// Parses an even-length hex text; false on an odd length or a non-hex digit.
bool parseHex(std::string_view text, std::string& bytes);

// Element text: &, < and > escaped. Attribute value: &, <, > and " escaped.
void appendEscapedText(std::string& out, std::string_view text);
void appendEscapedAttribute(std::string& out, std::string_view text);
// All five predefined entities (& < > ' "), for formats that escape them all.
void appendEscapedAll(std::string& out, std::string_view text);

// A float as "%g" when that reads back to the same single, else "%.9g", so a
// value survives any number of read/write rounds.
std::string formatFloat(float value);
// printf-style %g/%.Ng of a double in the C locale (precision 6 unless given).
std::string formatDouble(double value, int precision = 6);

// strtof/strtod/strtoll/strtoull in the C locale: leading white space and a
// sign are accepted; *end (when given) is set past the last character used;
// false when no number was read. Out-of-range values follow strto*: they
// saturate and *overflow is set.
bool parseFloat(std::string_view text, float* value, size_t* end = nullptr,
                bool* overflow = nullptr);
bool parseDouble(std::string_view text, double* value, size_t* end = nullptr,
                 bool* overflow = nullptr);

}  // namespace codec
