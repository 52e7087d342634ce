#include "codeccommon/XmlInput.h"

#include <cstring>

namespace codec {

XmlInput::XmlInput(const void* data, uint32_t length) {
  const char* p = static_cast<const char*>(data);
  size_t n = p ? length : 0;
  const void* zero = n ? std::memchr(p, 0, n) : nullptr;
  if (zero) n = size_t(static_cast<const char*>(zero) - p);
  text_.assign(p, p + n);
  text_.push_back('\0');
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
