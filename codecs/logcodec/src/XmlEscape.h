// Escaping of all five predefined entities, appending unescaped runs whole.
// Same output as codec::appendEscapedAll, which appends byte by byte and
// dominates the events XML rendering of large logs.
#pragma once

#include <string>
#include <string_view>

namespace logcodec {

inline void appendEscapedAll(std::string& out, std::string_view text) {
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* entity;
    switch (text[i]) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '\'': entity = "&apos;"; break;
      case '"': entity = "&quot;"; break;
      default: continue;
    }
    out.append(text.data() + run, i - run);
    out += entity;
    run = i + 1;
  }
  out.append(text.data() + run, text.size() - run);
}

}  // namespace logcodec
