// A stand-in log codec for the binding's failure paths the real codec cannot
// be made to take. The image's text chooses the behaviour:
//   "silent-fail"   decoding fails and leaves no error text
//   "render-fails"  decoding works, rendering fails without text
//   "render-null"   rendering reports success but hands out no text
// Anything else is kept and rendered back as "<fake>" + images + "</fake>".
#include <cstdlib>
#include <cstring>
#include <string>

#include "logcodec/logcodec.h"

struct LogViewerHandle {
  std::string images;
  std::string lastError;
};

extern "C" {

LOGCODEC_API LogViewerHandle* LogViewerCreateHandle(void) { return new LogViewerHandle; }

LOGCODEC_API void LogViewerDestroyHandle(LogViewerHandle* handle) { delete handle; }

LOGCODEC_API const char* LogViewerGetLastError(LogViewerHandle* handle) {
  return handle ? handle->lastError.c_str() : "";
}

LOGCODEC_API bool LogViewerDecodeAndAdd(LogViewerHandle* handle, const void* data,
                                        unsigned int length) {
  std::string image(static_cast<const char*>(data), length);
  if (image == "silent-fail") return false;
  handle->images += image;
  return true;
}

LOGCODEC_API bool LogViewerGetXML(LogViewerHandle* handle, char** xml) {
  if (handle->images.find("render-fails") != std::string::npos) return false;
  if (handle->images.find("render-null") != std::string::npos) return true;
  std::string text = "<fake>" + handle->images + "</fake>";
  *xml = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(*xml, text.c_str(), text.size() + 1);
  return true;
}

}  // extern "C"
