#include "CalEntry.h"

#include <cstring>
#include <limits>

#include "codeccommon/CodecError.h"
#include "codeccommon/XmlText.h"

namespace calcodec {

namespace {

struct TypeName {
  const char* text;
  CalType type;
};

constexpr TypeName kTypeNames[] = {
    {"int8_t", CalType::kInt8},     {"uint8_t", CalType::kUInt8}, {"int16_t", CalType::kInt16},
    {"uint16_t", CalType::kUInt16}, {"int32_t", CalType::kInt32}, {"uint32_t", CalType::kUInt32},
    {"float", CalType::kFloat},     {"string", CalType::kString},
};

bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void parseRanged(CalEntry& entry, const std::string& text, int64_t low, int64_t high) {
  int64_t v = parseInteger(text);
  if (v < low || v > high) codec::fail("Out of range in " + entry.name);
  // Two's complement in the type's width, zero-extended to the 4 value bytes.
  uint64_t bits = uint64_t(v);
  switch (entry.type) {
    case CalType::kInt8:
    case CalType::kUInt8:
      entry.value = uint32_t(bits & 0xFFu);
      break;
    case CalType::kInt16:
    case CalType::kUInt16:
      entry.value = uint32_t(bits & 0xFFFFu);
      break;
    default:
      entry.value = uint32_t(bits & 0xFFFFFFFFu);
      break;
  }
}

}  // namespace

bool parseType(std::string_view text, CalType* type) {
  for (const auto& t : kTypeNames) {
    if (text == t.text) {
      *type = t.type;
      return true;
    }
  }
  return false;
}

int64_t parseInteger(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate as a negative number so that INT64_MIN is reachable.
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  int64_t acc = 0;
  bool saturated = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    if (saturated) continue;
    if (acc < (kMin + digit) / 10) {
      saturated = true;
      continue;
    }
    acc = acc * 10 - digit;
  }
  if (saturated) return negative ? kMin : std::numeric_limits<int64_t>::max();
  if (negative) return acc;
  return acc == kMin ? std::numeric_limits<int64_t>::max() : -acc;
}

bool parseBoolean(const std::string& text) {
  if (text == "true") return true;
  if (text == "false") return false;
  codec::fail("Invalid boolean field value: " + text);
}

void parseValue(CalEntry& entry, const std::string& text) {
  switch (entry.type) {
    case CalType::kString:
      entry.text = text;
      break;
    case CalType::kFloat: {
      float f = 0;
      if (!codec::parseFloat(text, &f)) f = 0;
      std::memcpy(&entry.value, &f, sizeof f);
      break;
    }
    case CalType::kInt8:
      parseRanged(entry, text, -128, 127);
      break;
    case CalType::kUInt8:
      parseRanged(entry, text, 0, 255);
      break;
    case CalType::kInt16:
      parseRanged(entry, text, -32768, 32767);
      break;
    case CalType::kUInt16:
      parseRanged(entry, text, 0, 65535);
      break;
    case CalType::kInt32:
      parseRanged(entry, text, -2147483648LL, 2147483647LL);
      break;
    case CalType::kUInt32:
      parseRanged(entry, text, 0, 4294967295LL);
      break;
  }
  entry.hasValue = true;
}

std::string formatValue(const CalEntry& entry) {
  uint32_t v = entry.value;
  switch (entry.type) {
    case CalType::kInt8:
      return std::to_string(int(int8_t(uint8_t(v))));
    case CalType::kUInt8:
      return std::to_string(unsigned(uint8_t(v)));
    case CalType::kInt16:
      return std::to_string(int(int16_t(uint16_t(v))));
    case CalType::kUInt16:
      return std::to_string(unsigned(uint16_t(v)));
    case CalType::kInt32:
      return std::to_string(int32_t(v));
    case CalType::kUInt32:
      return std::to_string(v);
    case CalType::kFloat: {
      float f;
      std::memcpy(&f, &v, sizeof f);
      return codec::formatFloat(f);
    }
    case CalType::kString:
      return entry.text;
  }
  return std::string();
}

}  // namespace calcodec
