// Definition XML. Whatever loads (even partly) must take its own default
// values as a values document, and a file built from them must read back,
// render as well-formed XML listing exactly the decoded values, and rebuild
// the very same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzTable.h"
#include "ParameterTable.h"
#include "codeccommon/CodecError.h"
#include "codeccommon/XmlText.h"

using namespace parcodec_test;

namespace {

// Texts that XML text content carries unchanged: no NUL, and not blank alone
// (the parser drops content that is only white space).
bool survivesXml(const std::string& text) {
  if (text.find('\0') != std::string::npos) return false;
  return text.empty() || text.find_first_not_of(" \t\r\n") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  parcodec::ParameterTable pristine;
  char* copy = static_cast<char*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(copy, data, size);
  try {
    parcodec::loadDefinition(pristine, copy, uint32_t(size));
  } catch (...) {
    // What was read before the failure stays and is used below.
  }
  std::free(copy);

  std::string values =
      "<Table UUID=\"" + codec::toHex(pristine.projectUUID.data(), 16) + "\"><Parameters>";
  bool longName = false;
  for (const auto& [name, var] : pristine.variables) {
    if (!survivesXml(name) || !survivesXml(var.defaultText)) continue;
    longName |= name.size() > 64;
    values += "<Parameter><Name>" + escapeAll(name) + "</Name><Value>" +
              escapeAll(var.defaultText) + "</Value></Parameter>";
  }
  values += "</Parameters></Table>";

  parcodec::ParameterTable table = pristine;
  try {
    parcodec::applyDefaults(table, values.c_str(), uint32_t(values.size()));
  } catch (...) {
    invariantBroken("a definition's own defaults apply");
  }
  std::vector<uint8_t> file;
  try {
    file = parcodec::writeParFile(table);
  } catch (const codec::CodecError&) {
    return 0;  // a default out of range, an unknown enum or item
  }

  parcodec::ParameterTable reader = pristine;
  try {
    parcodec::readParFile(reader, file.data(), uint32_t(file.size()));
  } catch (...) {
    invariantBroken("a written file reads back");
  }
  std::string xml = parcodec::renderValuesXml(reader);
  auto parsed = parseRendered(xml.c_str());
  if (!parsed) invariantBroken("rendered values are well-formed");
  bool exact = true;
  for (const auto& [name, value] : reader.decoded) exact &= survivesXml(value);
  if (exact && parsed->parameters != std::vector<std::pair<std::string, std::string>>(
                                         reader.decoded.begin(), reader.decoded.end()))
    invariantBroken("rendered values list the decoded values");
  // A name over 64 bytes reads back cut and is no variable any more.
  if (longName || !exact) return 0;

  parcodec::ParameterTable again = pristine;
  try {
    parcodec::applyDefaults(again, xml.c_str(), uint32_t(xml.size()));
  } catch (...) {
    invariantBroken("rendered values apply");
  }
  try {
    // An enum whose index texts are not in canonical form (e.g. "05") need not
    // map back, but whatever builds must be the same file.
    if (parcodec::writeParFile(again) != file)
      invariantBroken("file -> values -> file keeps the bytes");
  } catch (const codec::CodecError&) {
  }
  return 0;
}
