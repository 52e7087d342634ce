// Printing of snapshot values. The format text comes from the device, so it
// is never handed to printf: it is parsed here and only a single conversion
// whose argument matches the value is honoured; the printing itself is done
// here, in the C locale, with the device's flags, width and precision.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace logcodec {

// The longest printed value text; a longer result falls back to the default.
inline constexpr size_t kMaxPrintedLength = 255;

// What the value is handed to printing as: types 1-6 as a 32-bit int (the
// small ones widened), 7-8 as a 64-bit integer, 9 as a double.
enum class ValueKind { kInt32, kInt64, kDouble };

struct PrintValue {
  ValueKind kind = ValueKind::kInt32;
  uint64_t bits = 0;  // the integer's two's complement bits (kInt32: low 32)
  double real = 0;
};

enum class LengthModifier { kNone, kChar, kShort, kLong32, kLong64, kLongDouble };

struct Conversion {
  std::string_view before;  // literal text, "%%" still doubled
  std::string_view after;
  bool leftAlign = false;
  bool plusSign = false;
  bool spaceSign = false;
  bool alternate = false;
  bool zeroPad = false;
  int width = 0;
  int precision = -1;  // -1: none given
  LengthModifier length = LengthModifier::kNone;
  char conversion = 'd';
};

// The one conversion of `format` when it is acceptable for `kind`: literal
// text around exactly one conversion with optional flags, width and precision
// (no '*', at most kMaxPrintedLength each), a length modifier of the value's
// size (32-bit long forms: l, I32; 64-bit: ll, I64; double: none, l, L) and a
// conversion of the value's kind (d i u o x X; f F e E g G a A).
std::optional<Conversion> parseDeviceFormat(std::string_view format, ValueKind kind);

// Appends the printed value; false (nothing appended) when it would be longer
// than kMaxPrintedLength.
bool appendConverted(std::string& out, const Conversion& conversion, const PrintValue& value);

// The snapshot type's default format ("%hhd", "%u", "%lld", "%f", ...).
const Conversion& defaultConversion(uint8_t type);

// Sets `text` to the value printed with `format` when that is acceptable and
// short enough, else with the type's default format.
void printValue(std::string& text, uint8_t type, std::string_view format, const PrintValue& value);

}  // namespace logcodec
