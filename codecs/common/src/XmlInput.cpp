#include "codeccommon/XmlInput.h"

#include <cstring>
#include <stdexcept>

namespace codec {

namespace {

// The parser's own character classes (flags 0).
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isNameChar(char c) { return c && !isSpace(c) && c != '/' && c != '>' && c != '?'; }
bool isAttributeNameChar(char c) { return isNameChar(c) && c != '!' && c != '<' && c != '='; }
const char* skipSpace(const char* p) {
  while (isSpace(*p)) ++p;
  return p;
}

// The start of the element at `p` (just past its '<'): name and attributes,
// attribute values skipped whole whatever they hold. Returns where the
// parser goes on (past '>' or "/>"), sets *opens when the element has
// content; null where the parser would fail.
const char* skipStartTag(const char* p, bool* opens) {
  const char* name = p;
  while (isNameChar(*p)) ++p;
  if (p == name) return nullptr;
  p = skipSpace(p);
  while (isAttributeNameChar(*p)) {
    while (isAttributeNameChar(*p)) ++p;
    p = skipSpace(p);
    if (*p != '=') return nullptr;
    p = skipSpace(p + 1);
    const char quote = *p;
    if (quote != '"' && quote != '\'') return nullptr;
    p = std::strchr(p + 1, quote);
    if (!p) return nullptr;
    p = skipSpace(p + 1);
  }
  if (*p == '>') {
    *opens = true;
    return p + 1;
  }
  if (p[0] == '/' && p[1] == '>') {
    *opens = false;
    return p + 2;
  }
  return nullptr;
}

// Past the markup at `p` (just past its '<') that opens no element: the
// declaration, processing instructions, comments, CDATA, the document type
// and other "<!" markup, skipped as the parser skips them; null where it
// would fail.
const char* skipOtherMarkup(const char* p) {
  if (*p == '?') {
    const char* end = std::strstr(p + 1, "?>");
    return end ? end + 2 : nullptr;
  }
  if (std::strncmp(p, "!--", 3) == 0) {
    const char* end = std::strstr(p + 3, "-->");
    return end ? end + 3 : nullptr;
  }
  if (std::strncmp(p, "![CDATA[", 8) == 0) {
    const char* end = std::strstr(p + 8, "]]>");
    return end ? end + 3 : nullptr;
  }
  if (std::strncmp(p, "!DOCTYPE", 8) == 0 && isSpace(p[8])) {
    // Up to the first '>' outside brackets, brackets counted, quotes not.
    for (p += 9; *p != '>'; ++p) {
      if (*p == '\0') return nullptr;
      if (*p != '[') continue;
      int brackets = 1;
      for (++p; brackets > 0; ++p) {
        if (*p == '\0') return nullptr;
        if (*p == '[') ++brackets;
        if (*p == ']') --brackets;
      }
      --p;
    }
    return p + 1;
  }
  const char* end = std::strchr(p + 1, '>');
  return end ? end + 1 : nullptr;
}

// Follows the parser's own reading of the document (so that no attribute
// value, comment, CDATA section, processing instruction or document type
// can hide a level) and throws before it would nest deeper than kMaxXmlDepth.
// Where the parser would fail, the walk stops and leaves the error to it.
void checkNesting(const char* p) {
  if (std::strncmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
  int depth = 0;
  while (p) {
    if (depth == 0) {
      p = skipSpace(p);
      if (*p != '<') return;  // the end, or text the parser refuses
    } else {
      p = std::strchr(p, '<');  // element content runs to the next '<'
      if (!p) return;
    }
    ++p;
    if (depth > 0 && *p == '/') {
      p += 1;
      while (isNameChar(*p)) ++p;
      p = skipSpace(p);
      if (*p != '>') return;
      ++p;
      --depth;
    } else if (*p == '?' || *p == '!') {
      p = skipOtherMarkup(p);
    } else {
      bool opens = false;
      p = skipStartTag(p, &opens);
      if (p && opens && ++depth > kMaxXmlDepth) throw std::runtime_error("XML nested too deeply");
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
