// A parsed XML input: a private, zero-terminated copy of the caller's bytes
// (the count may or may not include a terminating zero; parsing stops at the
// first zero byte) and the RapidXML document over it.
#pragma once

#include <cstdint>
#include <rapidxml/rapidxml.hpp>
#include <string>
#include <vector>

namespace codec {

// RapidXML descends recursively per nested element, so a hostile document
// could exhaust the stack before any codec code runs: deeper nesting is
// refused before parsing. Real documents nest a handful of levels.
inline constexpr int kMaxXmlDepth = 256;

class XmlInput {
 public:
  // Throws what RapidXML throws on a syntax error, or std::runtime_error for
  // nesting deeper than kMaxXmlDepth (the export guard turns either into
  // "Exception error").
  XmlInput(const void* data, uint32_t length);
  XmlInput(const XmlInput&) = delete;
  XmlInput& operator=(const XmlInput&) = delete;

  rapidxml::xml_document<>& document() { return document_; }
  // The first element named `name` at the top level, or null.
  rapidxml::xml_node<>* root(const char* name);

 private:
  std::vector<char> text_;
  rapidxml::xml_document<> document_;
};

// Navigation helpers; null / empty when absent.
rapidxml::xml_node<>* firstChild(rapidxml::xml_node<>* node, const char* name);
rapidxml::xml_node<>* nextSibling(rapidxml::xml_node<>* node, const char* name);
rapidxml::xml_attribute<>* attribute(rapidxml::xml_node<>* node, const char* name);
std::string text(rapidxml::xml_node<>* node);
std::string text(rapidxml::xml_attribute<>* attr);

}  // namespace codec
