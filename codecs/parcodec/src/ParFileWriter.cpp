// The par file writer: the binary parameter file and its signature.
#include <algorithm>
#include <cstring>
#include <limits>

#include "NumberText.h"
#include "ParameterTable.h"
#include "Sha256.h"
#include "codeccommon/CodecError.h"
#include "codeccommon/XmlText.h"

namespace parcodec {

namespace {

constexpr size_t kHeaderSize = 34;
constexpr size_t kMaxNameLength = 64;

void appendLittleEndian(std::vector<uint8_t>& out, uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

[[noreturn]] void failRange(const std::string& name) { codec::fail("Out of range in " + name); }

// The value's bits, of which the low valueWidth(type) bytes are written.
uint64_t encodeValue(const Variable& var, const std::string& text) {
  if (var.type == kFloat) {
    float value = 0;  // no number reads as 0, as strtof gives
    codec::parseFloat(text, &value);
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
  }
  DecimalText number = parseDecimal(text);
  if (var.type == kUInt64) {
    uint64_t value = 0;
    if (!toUInt64(number, &value)) failRange(var.name);
    return value;
  }
  bool overflow = false;
  int64_t value = toInt64(number, &overflow);
  if (overflow) failRange(var.name);
  int64_t low = std::numeric_limits<int64_t>::min(), high = std::numeric_limits<int64_t>::max();
  switch (var.type) {
    case kInt8:
      low = -128, high = 127;
      break;
    case kUInt8:
      low = 0, high = 255;
      break;
    case kInt16:
      low = -32768, high = 32767;
      break;
    case kUInt16:
      low = 0, high = 65535;
      break;
    case kInt32:
      low = -2147483648LL, high = 2147483647;
      break;
    case kUInt32:
      low = 0, high = 4294967295LL;
      break;
    default:
      break;
  }
  if (value < low || value > high) failRange(var.name);
  return uint64_t(value);
}

}  // namespace

std::vector<uint8_t> writeParFile(const ParameterTable& table) {
  Sha256 signature;
  signature.update(table.paramTableId.data(), table.paramTableId.size());

  std::vector<uint8_t> file(kHeaderSize);
  for (const auto& [name, var] : table.variables) {
    if (!var.hasDefault) continue;
    const std::string* text = &var.defaultText;
    if (!var.enumName.empty()) {
      auto e = table.enums.find(var.enumName);
      if (e == table.enums.end()) codec::fail("Enum not found: " + var.enumName);
      auto item = e->second.find(*text);
      if (item == e->second.end())
        codec::fail("Value for enum " + var.enumName + " not found: " + *text);
      text = &item->second;
    }
    uint64_t value = encodeValue(var, *text);
    unsigned width = valueWidth(var.type);
    uint8_t valueBytes[8];
    for (unsigned i = 0; i < width; ++i) valueBytes[i] = uint8_t(value >> (8 * i));

    // The signature covers the whole name even where the record cuts it.
    signature.update(name.data(), name.size());
    signature.update(valueBytes, width);

    size_t nameLength = std::min(name.size(), kMaxNameLength);
    appendLittleEndian(file, descriptorFor(var.type), 4);
    appendLittleEndian(file, var.remoteIndex, 2);
    appendLittleEndian(file, nameLength, 2);
    file.insert(file.end(), name.begin(), name.begin() + ptrdiff_t(nameLength));
    file.insert(file.end(), valueBytes, valueBytes + width);
  }

  auto digest = signature.finish();
  file[0] = 1;
  file[1] = 0;
  std::memcpy(&file[2], digest.data(), 16);
  std::memcpy(&file[18], table.projectUUID.data(), 16);
  return file;
}

}  // namespace parcodec
