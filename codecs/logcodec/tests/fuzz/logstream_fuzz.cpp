// Decodes arbitrary bytes as a log image (twice, into one handle, so merging
// is exercised) and checks that both renderings come out and the XML parses.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <rapidxml/rapidxml.hpp>
#include <vector>

#include "logcodec/logcodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  // An exact-size heap copy, so a read past the end is caught.
  auto* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(copy, data, size);

  LogViewerHandle* h = LogViewerCreateHandle();
  LogViewerDecodeAndAdd(h, copy, unsigned(size));
  LogViewerDecodeAndAdd(h, copy, unsigned(size / 2));
  std::free(copy);

  char* text = nullptr;
  if (!LogViewerGetPlainText(h, &text)) std::abort();
  std::free(text);

  char* xml = nullptr;
  if (!LogViewerGetXML(h, &xml)) std::abort();
  std::vector<char> buffer(xml, xml + std::strlen(xml) + 1);
  std::free(xml);
  try {
    rapidxml::xml_document<> doc;
    doc.parse<0>(buffer.data());
    if (!doc.first_node("Events")) std::abort();
  } catch (const rapidxml::parse_error&) {
    std::abort();
  }
  LogViewerDestroyHandle(h);
  return 0;
}
