// Required elements of the parameter XML formats: a missing one ends the call
// with "Missing <name> statement".
#pragma once

#include <string>

#include "codeccommon/CodecError.h"
#include "codeccommon/XmlInput.h"

namespace parcodec {

[[noreturn]] inline void failMissing(const char* name) {
  codec::fail(std::string("Missing <") + name + "> statement");
}

inline rapidxml::xml_node<>* requireChild(rapidxml::xml_node<>* parent, const char* name) {
  rapidxml::xml_node<>* node = codec::firstChild(parent, name);
  if (!node) failMissing(name);
  return node;
}

// The text of a required element that is written out again (variable and enum
// item names): a NUL from a character reference would cut the rendered
// document short, so it is refused.
inline std::string requireName(rapidxml::xml_node<>* parent, const char* name) {
  std::string value = codec::text(requireChild(parent, name));
  if (value.find('\0') != std::string::npos)
    codec::fail(std::string("Invalid NUL character in <") + name + "> statement");
  return value;
}

}  // namespace parcodec
