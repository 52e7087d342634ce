// Decoding a binary parameter file. The file is untrusted: every field is
// checked against the bytes left before it is read.
#include <cstring>
#include <unordered_map>

#include "NumberText.h"
#include "ParameterTable.h"
#include "codeccommon/CodecError.h"
#include "codeccommon/XmlText.h"

namespace parcodec {

namespace {

constexpr uint32_t kFloatBit = 1u << 29;
constexpr uint32_t kSignedBit = 1u << 30;

std::string valueText(uint32_t descriptor, uint64_t value) {
  if (descriptor & kFloatBit) {
    uint32_t bits = uint32_t(value);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return codec::formatFloat(f);
  }
  bool isSigned = descriptor & kSignedBit;
  switch ((descriptor >> 24) & 7) {
    case 0:
      return isSigned ? decimal(int64_t(int8_t(value))) : decimal(uint64_t(uint8_t(value)));
    case 1:
      return isSigned ? decimal(int64_t(int16_t(value))) : decimal(uint64_t(uint16_t(value)));
    case 3:
      return isSigned ? decimal(int64_t(int32_t(value))) : decimal(uint64_t(uint32_t(value)));
    case 7:
      return isSigned ? decimal(int64_t(value)) : decimal(value);
    default:
      return std::string();
  }
}

// Index text -> the first item name (in item-name order) carrying it, built
// once per enum per file so large files stay linear.
class EnumNames {
 public:
  const std::string* find(const EnumItems& items, const std::string& indexText) {
    auto [it, fresh] = byEnum_.try_emplace(&items);
    if (fresh)
      for (const auto& [itemName, index] : items) it->second.try_emplace(index, &itemName);
    auto found = it->second.find(indexText);
    return found == it->second.end() ? nullptr : found->second;
  }

 private:
  std::unordered_map<const EnumItems*, std::unordered_map<std::string, const std::string*>> byEnum_;
};

}  // namespace

void readParFile(ParameterTable& table, const uint8_t* data, uint32_t length) {
  base::ByteReader in(data, length);
  uint64_t version = in.u16();
  codec::requireInput(in);
  if (version != 1) codec::fail("Parameter file version unsupported: " + decimal(version));
  in.bytes(table.fileSignature.data(), 16);
  codec::requireInput(in);
  in.bytes(table.fileUUID.data(), 16);
  codec::requireInput(in);
  bool substitute = table.fileUUID == table.projectUUID;

  EnumNames enumNames;
  while (in.remaining() >= 4) {
    uint32_t descriptor = in.u32();
    uint32_t valueLength = descriptor & 0xFFFFFF;
    if (valueLength > 8) codec::fail("Invalid parameter data length");
    in.skip(2);  // remote index
    size_t nameLength = in.u16();
    const uint8_t* nameBytes = in.view(nameLength);
    codec::requireInput(in);
    const void* zero = std::memchr(nameBytes, 0, nameLength);
    size_t nameSize = zero ? size_t(static_cast<const uint8_t*>(zero) - nameBytes) : nameLength;
    std::string name(reinterpret_cast<const char*>(nameBytes), nameSize);
    uint64_t value = in.uN(valueLength);
    codec::requireInput(in);

    std::string text = valueText(descriptor, value);
    if (substitute) {
      auto var = table.variables.find(name);
      if (var != table.variables.end() && !var->second.enumName.empty()) {
        auto e = table.enums.find(var->second.enumName);
        if (e != table.enums.end())
          if (const std::string* itemName = enumNames.find(e->second, text)) text = *itemName;
      }
    }
    table.decoded.insert_or_assign(std::move(name), std::move(text));
  }
}

}  // namespace parcodec
