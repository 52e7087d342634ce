// A stand-in object dictionary codec that breaks its promises, so the binding
// is seen to check every result. The input's text chooses:
//   "no-output"   success (NULL) without touching the out-parameters
//   "negative"    success with a negative data length (encode only)
// Anything else converts to itself.
#include <cstdlib>
#include <cstring>
#include <string>

#include "odcodec/odcodec.h"

namespace {

char* copyText(const std::string& s) {
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

}  // namespace

extern "C" {

ODCODEC_API const char* OdcodecToXML(const void* data, unsigned int length, char** xml) {
  std::string in(static_cast<const char*>(data), length);
  if (in == "no-output") return nullptr;
  *xml = copyText(in);
  return nullptr;
}

ODCODEC_API const char* OdcodecFromXML(const char* xml, unsigned int length, void** data,
                                       int* dataLength) {
  std::string in(xml, length);
  if (in == "no-output") return nullptr;
  *data = copyText(in);
  *dataLength = in == "negative" ? -1 : int(in.size());
  return nullptr;
}

}  // extern "C"
