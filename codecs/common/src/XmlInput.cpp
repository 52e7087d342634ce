#include "codeccommon/XmlInput.h"

#include <cstring>
#include <stdexcept>

namespace codec {

namespace {

// RapidXML descends recursively per nested element, so a hostile document
// could exhaust the stack before any codec code runs. Real documents nest a
// handful of levels.
constexpr int kMaxDepth = 256;

void checkNesting(const char* p) {
  int depth = 0;
  while ((p = std::strchr(p, '<')) != nullptr) {
    if (std::strncmp(p, "<!--", 4) == 0) {
      const char* end = std::strstr(p + 4, "-->");
      if (!end) return;  // the parser reports the unterminated comment
      p = end + 3;
    } else if (std::strncmp(p, "<![CDATA[", 9) == 0) {
      const char* end = std::strstr(p + 9, "]]>");
      if (!end) return;
      p = end + 3;
    } else if (p[1] == '/') {
      --depth;
      ++p;
    } else if (p[1] == '?' || p[1] == '!') {
      ++p;
    } else {
      const char* close = std::strchr(p, '>');
      if (!close) return;
      if (close[-1] != '/' && ++depth > kMaxDepth)
        throw std::runtime_error("XML nested too deeply");
      p = close + 1;
    }
  }
}

}  // namespace

XmlInput::XmlInput(const void* data, uint32_t length) {
  const char* p = static_cast<const char*>(data);
  size_t n = p ? length : 0;
  const void* zero = n ? std::memchr(p, 0, n) : nullptr;
  if (zero) n = size_t(static_cast<const char*>(zero) - p);
  text_.assign(p, p + n);
  text_.push_back('\0');
  checkNesting(text_.data());
  document_.parse<0>(text_.data());
}

rapidxml::xml_node<>* XmlInput::root(const char* name) { return document_.first_node(name); }

rapidxml::xml_node<>* firstChild(rapidxml::xml_node<>* node, const char* name) {
  return node ? node->first_node(name) : nullptr;
}

rapidxml::xml_node<>* nextSibling(rapidxml::xml_node<>* node, const char* name) {
  return node ? node->next_sibling(name) : nullptr;
}

rapidxml::xml_attribute<>* attribute(rapidxml::xml_node<>* node, const char* name) {
  return node ? node->first_attribute(name) : nullptr;
}

std::string text(rapidxml::xml_node<>* node) {
  return node ? std::string(node->value(), node->value_size()) : std::string();
}

std::string text(rapidxml::xml_attribute<>* attr) {
  return attr ? std::string(attr->value(), attr->value_size()) : std::string();
}

}  // namespace codec
