// Device texts are untrusted bytes: the decoder must take any input, give
// only well-formed UTF-16, keep valid input unchanged, and the cut point
// must stay within its limit on a character boundary.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/Utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::u16string text = base::utf8ToUtf16(bytes);
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) std::abort();
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      std::abort();
    }
  }
  const std::string again = base::utf16ToUtf8(text);
  if (base::utf8ToUtf16(again) != text) std::abort();
  if (text.find(u'\uFFFD') == std::u16string::npos && again != bytes) std::abort();
  for (size_t max : {size_t(0), size / 2, size}) {
    const size_t cut = base::utf8CutPoint(bytes, max);
    if (cut > max) std::abort();
    // A valid prefix ends on a boundary: decoding it gives a prefix of the
    // text (no U+FFFD made by the cut itself).
    const std::u16string head = base::utf8ToUtf16(bytes.substr(0, cut));
    if (text.compare(0, head.size(), head) != 0) std::abort();
  }
  return 0;
}
