// The values XML writer: decoded parameter files rendered as values XML.
#include "ParameterTable.h"
#include "codeccommon/XmlText.h"

namespace parcodec {

std::string renderValuesXml(const ParameterTable& table) {
  size_t size = 200;
  for (const auto& [name, value] : table.decoded) size += 80 + name.size() + value.size();
  std::string xml;
  xml.reserve(size);
  xml += codec::kXmlDeclaration;
  xml += "\n<Table UUID=\"";
  codec::appendHex(xml, table.fileUUID.data(), table.fileUUID.size());
  xml += "\" defparSignature=\"";
  codec::appendHex(xml, table.fileSignature.data(), table.fileSignature.size());
  xml += "\">\n  <Parameters>\n";
  for (const auto& [name, value] : table.decoded) {
    xml += "    <Parameter>\n      <Name>";
    codec::appendEscapedText(xml, name);
    xml += "</Name>\n      <Value>";
    codec::appendEscapedText(xml, value);
    xml += "</Value>\n    </Parameter>\n";
  }
  xml += "  </Parameters>\n</Table>\n";
  return xml;
}

}  // namespace parcodec
