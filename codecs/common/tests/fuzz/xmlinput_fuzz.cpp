// The nesting guard in front of the XML parser. Invariant: whatever the
// parser accepts nests no deeper than the guard allows. The input is read as
// a document, and also (split at its first zero byte into an opening and a
// closing part) as one level repeated past the limit, so that markup hiding
// a level shows whatever it is.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "codeccommon/XmlInput.h"

namespace {

// The deepest element of the parsed tree, walked without recursion.
int deepestElement(rapidxml::xml_node<>* document) {
  int depth = 1, deepest = 0;
  rapidxml::xml_node<>* node = document->first_node();
  while (node) {
    if (node->type() == rapidxml::node_element) deepest = std::max(deepest, depth);
    if (node->first_node()) {
      node = node->first_node();
      ++depth;
      continue;
    }
    while (!node->next_sibling()) {
      node = node->parent();
      --depth;
      if (node == document) return deepest;
    }
    node = node->next_sibling();
  }
  return deepest;
}

void check(const std::string& text) {
  try {
    codec::XmlInput input(text.data(), uint32_t(text.size()));
    if (deepestElement(&input.document()) > codec::kMaxXmlDepth) std::abort();
  } catch (const rapidxml::parse_error&) {
  } catch (const std::runtime_error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xffffffffu) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);
  check(input);
  if (size > 512) return 0;
  const size_t zero = input.find('\0');
  const std::string open = input.substr(0, zero);
  const std::string close = zero == std::string::npos ? std::string() : input.substr(zero + 1);
  std::string levels;
  const int times = codec::kMaxXmlDepth + 2;
  for (int i = 0; i < times; ++i) levels += open;
  for (int i = 0; i < times; ++i) levels += close;
  check(levels);
  return 0;
}
