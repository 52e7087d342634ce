// What a parameter codec handle holds: the merged definition (variables and
// enums), the defaults applied to it, and the values decoded from files.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace parcodec {

using Id16 = std::array<uint8_t, 16>;

// Type codes of a variable, from its varType text.
enum TypeCode : int {
  kInt8 = 1,
  kUInt8 = 2,
  kInt16 = 3,
  kUInt16 = 4,
  kInt32 = 5,
  kUInt32 = 6,  // also every enum-typed variable
  kInt64 = 7,
  kUInt64 = 8,
  kFloat = 9,
};

struct Variable {
  std::string name;  // full, dotted name
  uint16_t remoteIndex = 0;
  std::string enumName;  // empty: no enum
  std::string defaultText;
  int type = kUInt32;
  bool hasDefault = false;
};

// Item name -> index text.
using EnumItems = std::map<std::string, std::string>;

// std::string orders as unsigned bytes, a prefix first: the order the file
// records and the rendered XML follow.
struct ParameterTable {
  std::map<std::string, Variable> variables;
  std::map<std::string, EnumItems> enums;
  Id16 projectUUID{};
  Id16 paramTableId{};
  std::map<std::string, std::string> decoded;
  Id16 fileUUID{};
  Id16 fileSignature{};
};

// Value width in bytes of a type code: 1, 2, 4 or 8.
unsigned valueWidth(int type);
// The record descriptor of a type code.
uint32_t descriptorFor(int type);

// Definition XML into the table (merged; partial on failure). Throws
// codec::CodecError texts, or parser/allocation exceptions.
void loadDefinition(ParameterTable& table, const char* xml, uint32_t length);
// Values XML as defaults of the table's variables.
void applyDefaults(ParameterTable& table, const char* xml, uint32_t length);
// The binary parameter file of every defaulted variable; the table is unchanged.
std::vector<uint8_t> writeParFile(const ParameterTable& table);
// A binary parameter file into table.decoded, fileUUID and fileSignature.
void readParFile(ParameterTable& table, const uint8_t* data, uint32_t length);
// The values XML of table.decoded.
std::string renderValuesXml(const ParameterTable& table);

}  // namespace parcodec
