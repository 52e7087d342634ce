#include <string>

#include "ObjectDictionary.h"
#include "codeccommon/CodecError.h"
#include "codeccommon/XmlText.h"

namespace odcodec {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void appendHexByte(std::string& out, uint8_t b) {
  out += kHexDigits[b >> 4];
  out += kHexDigits[b & 15];
}

}  // namespace

std::string binaryToXml(const uint8_t* data, size_t length) {
  base::ByteReader in(data, length);
  uint16_t version = in.u16();
  codec::requireInput(in);
  if (version >= 2)
    codec::fail("Object dictionary file version unsupported: " + std::to_string(version));

  std::string out;
  // A record with a 4-byte value (8 bytes) takes about 110 characters.
  out.reserve(200 + length * 14);
  out += codec::kXmlDeclaration;
  out += "\n<ObjectDictionary version=\"";
  out += std::to_string(version);
  out += "\">\n  <Objects>\n";
  while (!in.atEnd()) {
    uint16_t index = in.u16();
    uint8_t subIndex = in.u8();
    uint8_t flags = in.u8();
    size_t valueLength = flags & kLengthMask;
    const uint8_t* value = in.view(valueLength);
    codec::requireInput(in);

    out += (flags & kMappableFlag) ? "    <Object ismappable=\"1\"> \n" : "    <Object> \n";
    out += "      <Index>";
    appendHexByte(out, uint8_t(index >> 8));
    appendHexByte(out, uint8_t(index));
    out += "</Index>\n      <SubIndex>";
    appendHexByte(out, subIndex);
    out += "</SubIndex>\n";
    if (valueLength) {
      out += "      <HexValue>";
      if (valueLength <= kNumericValueLimit) {
        for (size_t i = valueLength; i-- > 0;) appendHexByte(out, value[i]);
      } else {
        codec::appendHex(out, value, valueLength);
      }
      out += "</HexValue>\n";
    }
    out += "    </Object>\n";
  }
  out += "  </Objects>\n</ObjectDictionary>\n";
  return out;
}

}  // namespace odcodec
