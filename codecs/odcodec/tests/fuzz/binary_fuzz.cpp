// Binary dictionary reader. Invariant: whatever it accepts, its XML is well
// formed and converts back to exactly the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <rapidxml/rapidxml.hpp>
#include <string>
#include <vector>

#include "odcodec/odcodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xffffffffu) return 0;
  char* xml = nullptr;
  const char* err = OdcodecToXML(data, unsigned(size), &xml);
  if (err) {
    bool known = std::strcmp(err, "Out of input data") == 0 ||
                 std::strncmp(err, "Object dictionary file version unsupported: ", 44) == 0;
    std::free(const_cast<char*>(err));
    if (!known) std::abort();
    return 0;
  }
  size_t xmlLength = std::strlen(xml);
  std::vector<char> copy(xml, xml + xmlLength + 1);
  try {
    rapidxml::xml_document<> doc;
    doc.parse<0>(copy.data());
  } catch (...) {
    std::abort();
  }
  void* back = nullptr;
  int backLength = 0;
  err = OdcodecFromXML(xml, unsigned(xmlLength), &back, &backLength);
  if (err || size_t(backLength) != size || std::memcmp(back, data, size) != 0) std::abort();
  std::free(back);
  std::free(xml);
  return 0;
}
