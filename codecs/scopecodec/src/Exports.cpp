// The flat exports of the scope capture codec.
#include <cstdlib>
#include <exception>

#include "CaptureDecoder.h"
#include "scopecodec/scopecodec.h"

extern "C" {

SCOPECODEC_API int DigScopeDecode(const void* data, unsigned int length, char** xml) {
  if (!data && length != 0) return scopecodec::kUnexpectedEnd;
  try {
    char* text = nullptr;
    int rc = scopecodec::decodeCapture(static_cast<const uint8_t*>(data), data ? length : 0, &text);
    if (xml && rc == scopecodec::kSuccessful)
      *xml = text;
    else
      std::free(text);
    return rc;
  } catch (const std::exception&) {
    // Only allocation can fail here: the capture is too large for this process,
    // or its text would be out of all proportion to it.
    return scopecodec::kInvalidDataSize;
  }
}

SCOPECODEC_API const char* DigScopeDecTranslateError(int code) {
  return scopecodec::resultText(code);
}

}  // extern "C"
