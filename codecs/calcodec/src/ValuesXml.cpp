// Calibration data value XML of the entries read back from a record.
#include <string>

#include "CalcodecHandle.h"
#include "codeccommon/XmlText.h"

namespace calcodec {

std::string valuesXml(const CalcodecHandle& handle) {
  std::string xml = codec::kXmlDeclaration;
  xml += "\n<Datavalue>\n";
  for (const auto& [key, entry] : handle.dataSet) {
    if (!entry.restored) continue;
    xml += "  <Record index=\"";
    xml += std::to_string(entry.index);
    xml += "\">\n    <Name>";
    codec::appendEscapedText(xml, entry.name);
    xml += "</Name>\n    <Value>";
    codec::appendEscapedText(xml, formatValue(entry));
    xml += "</Value>\n  </Record>\n";
  }
  xml += "</Datavalue>\n";
  return xml;
}

}  // namespace calcodec
