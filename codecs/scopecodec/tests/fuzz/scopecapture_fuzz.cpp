// Decodes arbitrary bytes as a scope capture and checks that a successful
// decode gives XML that parses.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <rapidxml/rapidxml.hpp>
#include <vector>

#include "scopecodec/scopecodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  // An exact-size heap copy, so a read past the end is caught.
  auto* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(copy, data, size);
  char* xml = nullptr;
  int rc = DigScopeDecode(copy, unsigned(size), &xml);
  std::free(copy);
  if (rc < 0 || rc > 5 || !DigScopeDecTranslateError(rc)) std::abort();
  if (rc != 0) {
    if (xml) std::abort();  // set only on success
    return 0;
  }
  std::vector<char> buffer(xml, xml + std::strlen(xml) + 1);
  std::free(xml);
  try {
    rapidxml::xml_document<> doc;
    doc.parse<0>(buffer.data());
    if (!doc.first_node("DigitalScope")) std::abort();
  } catch (const rapidxml::parse_error&) {
    std::abort();
  }
  return 0;
}
