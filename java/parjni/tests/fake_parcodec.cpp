// A stand-in parameter codec for the binding's failure paths and for its text
// mapping. The definition's or the file's text chooses the behaviour:
//   "silent-fail"   that step fails and leaves no error text
//   "loud-fail"     that step fails with the text "fake failure"
//   file "render-fails" / "render-null": rendering fails without text /
//                   reports success without handing out text
// Otherwise the XML is the declaration followed by the file's bytes as they
// are, so every byte value can be sent through the binding.
#include <cstdlib>
#include <cstring>
#include <string>

#include "parcodec/parcodec.h"

struct ParcodecHandle {
  std::string file;
  std::string lastError;
};

namespace {

bool step(ParcodecHandle* h, const std::string& input) {
  if (input == "silent-fail") return false;
  if (input == "loud-fail") {
    h->lastError = "fake failure";
    return false;
  }
  return true;
}

}  // namespace

extern "C" {

PARCODEC_API ParcodecHandle* ParcodecCreateHandle(void) { return new ParcodecHandle; }

PARCODEC_API void ParcodecDestroyHandle(ParcodecHandle* handle) { delete handle; }

PARCODEC_API const char* ParcodecGetLastError(ParcodecHandle* handle) {
  return handle ? handle->lastError.c_str() : "";
}

PARCODEC_API bool ParcodecSetDefinition(ParcodecHandle* handle, const char* xml,
                                        unsigned int length) {
  return step(handle, std::string(xml, length));
}

PARCODEC_API bool ParcodecInFromParFile(ParcodecHandle* handle, const void* data,
                                        unsigned int length) {
  handle->file.assign(static_cast<const char*>(data), length);
  return step(handle, handle->file);
}

PARCODEC_API bool ParcodecGetDataAsXML(ParcodecHandle* handle, char** xml) {
  if (handle->file == "render-fails") return false;
  if (handle->file == "render-null") return true;
  std::string text =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"yes\"?>\n" + handle->file;
  *xml = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(*xml, text.c_str(), text.size() + 1);
  return true;
}

}  // extern "C"
