// A stand-in scope decoder whose result code is the capture's first byte (as
// a signed value), so codes the real decoder never returns reach the binding.
// Code 0 hands out the rest of the capture as the XML, except when the rest
// is "no-text": success without text.
#include <cstdlib>
#include <cstring>
#include <string>

#include "scopecodec/scopecodec.h"

extern "C" {

SCOPECODEC_API int DigScopeDecode(const void* data, unsigned int length, char** xml) {
  if (length == 0) return 2;
  const char* bytes = static_cast<const char*>(data);
  int code = static_cast<signed char>(bytes[0]);
  if (code != 0) return code;
  std::string rest(bytes + 1, length - 1);
  if (rest == "no-text") return 0;
  *xml = static_cast<char*>(std::malloc(rest.size() + 1));
  std::memcpy(*xml, rest.c_str(), rest.size() + 1);
  return 0;
}

SCOPECODEC_API const char* DigScopeDecTranslateError(int code) {
  return code == 1 ? "fake level text" : nullptr;
}

}  // extern "C"
