#include <string>
#include <string_view>

#include "IntegerText.h"
#include "ObjectDictionary.h"
#include "codeccommon/CodecError.h"
#include "codeccommon/XmlInput.h"

namespace odcodec {

namespace {

// The longest HexValue text: 127 bytes, two digits each.
constexpr size_t kMaxHexValueDigits = 2 * kLengthMask;

std::string_view textOf(rapidxml::xml_node<>* node) {
  return std::string_view(node->value(), node->value_size());
}

uint8_t pairValue(std::string_view digits, size_t at) {
  return uint8_t(parseHexNumber(digits.substr(at, 2)));
}

void appendObject(base::ByteWriter& out, rapidxml::xml_node<>* object) {
  bool mappable = false;
  if (auto* attr = codec::attribute(object, "ismappable"))
    mappable = parseDecimal(std::string_view(attr->value(), attr->value_size())) == 1;

  auto* index = codec::firstChild(object, "Index");
  if (!index) codec::fail("Missing <Index> statement");
  uint32_t indexValue = parseHexNumber(textOf(index));
  auto* subIndex = codec::firstChild(object, "SubIndex");
  if (!subIndex) codec::fail("Missing <SubIndex> statement");
  uint32_t subIndexValue = parseHexNumber(textOf(subIndex));

  auto* hexValue = codec::firstChild(object, "HexValue");
  std::string_view digits = hexValue ? textOf(hexValue) : std::string_view();
  // An odd digit count would make the value longer than its flags say, and
  // every reader of the file would lose its place.
  if (hexValue && (digits.size() < 2 || digits.size() > kMaxHexValueDigits || digits.size() % 2))
    codec::fail("Invalid <HexValue> data");

  size_t valueLength = digits.size() / 2;
  out.u16(uint16_t(indexValue)).u8(uint8_t(subIndexValue));
  out.u8(uint8_t((mappable ? kMappableFlag : 0) | valueLength));
  if (valueLength <= kNumericValueLimit) {
    for (size_t i = valueLength; i-- > 0;) out.u8(pairValue(digits, 2 * i));
  } else {
    for (size_t i = 0; i < valueLength; ++i) out.u8(pairValue(digits, 2 * i));
  }
}

}  // namespace

std::vector<uint8_t> xmlToBinary(const char* xml, size_t length) {
  codec::XmlInput input(xml, uint32_t(length));
  auto* root = input.root("ObjectDictionary");
  if (!root) codec::fail("Missing object dictionary root element");
  auto* version = codec::attribute(root, "version");
  if (!version) codec::fail("Missing mandatory object dictionary version");
  int32_t versionValue = parseDecimal(std::string_view(version->value(), version->value_size()));

  auto* objects = codec::firstChild(root, "Objects");
  if (!objects) codec::fail("Missing objects list");

  base::ByteWriter out;
  out.reserve(2 + length / 12);
  out.u16(uint16_t(versionValue));
  for (auto* object = codec::firstChild(objects, "Object"); object;
       object = codec::nextSibling(object, "Object"))
    appendObject(out, object);
  return out.take();
}

}  // namespace odcodec
