// One calibration entry: as defined, as placed into a data set, as valued and
// as read back from a standard record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace calcodec {

enum class CalType : uint8_t {
  kInt8 = 1,
  kUInt8 = 2,
  kInt16 = 3,
  kUInt16 = 4,
  kInt32 = 5,
  kUInt32 = 6,
  kFloat = 9,
  kString = 32,
};

// False for a Datatype text outside the table.
bool parseType(std::string_view text, CalType* type);

struct CalEntry {
  std::string name;
  uint16_t index = 0;  // 0 in the definitions, the data-set index in the data set
  CalType type = CalType::kInt8;
  std::string description;
  std::string unit;
  bool mandatory = false;
  bool hasValue = false;  // a Default or a Value was parsed into it
  bool restored = false;  // read back from a standard record
  bool valued = false;    // given a Value by a data value document
  uint32_t value = 0;     // the number in its type's width, zero-extended; a float's bits
  std::string text;       // a string entry's value
};

// strtoll rules: leading blanks and a sign, stops at the first non-digit, no
// digits give 0, saturates at the 64-bit limits. Locale-independent.
int64_t parseInteger(std::string_view text);

// "true" or "false" exactly; anything else fails with its text.
bool parseBoolean(const std::string& text);

// A Default or Value text into the entry by its type; an integer outside its
// type's range fails with "Out of range in " + name.
void parseValue(CalEntry& entry, const std::string& text);

// The value as values XML shows it (not escaped).
std::string formatValue(const CalEntry& entry);

}  // namespace calcodec
