#include <string>

#include "ObjectDictionary.h"
#include "codeccommon/CodecError.h"
#include "codeccommon/XmlText.h"

namespace odcodec {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Every read is checked against what is left: lengths come from the file.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t length) : data_(data), left_(data ? length : 0) {}

  bool atEnd() const { return left_ == 0; }
  const uint8_t* take(size_t n) {
    if (n > left_) codec::fail("Out of input data");
    const uint8_t* p = data_;
    data_ += n;
    left_ -= n;
    return p;
  }
  uint16_t takeU16() {
    const uint8_t* p = take(2);
    return uint16_t(p[0] | p[1] << 8);
  }

 private:
  const uint8_t* data_;
  size_t left_;
};

void appendHexByte(std::string& out, uint8_t b) {
  out += kHexDigits[b >> 4];
  out += kHexDigits[b & 15];
}

}  // namespace

std::string binaryToXml(const uint8_t* data, size_t length) {
  ByteReader in(data, length);
  uint16_t version = in.takeU16();
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
    const uint8_t* header = in.take(4);
    uint16_t index = uint16_t(header[0] | header[1] << 8);
    uint8_t subIndex = header[2];
    uint8_t flags = header[3];
    size_t valueLength = flags & kLengthMask;
    const uint8_t* value = in.take(valueLength);

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
