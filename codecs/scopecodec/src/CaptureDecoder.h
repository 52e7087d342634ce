// The scope capture decoder behind DigScopeDecode.
#pragma once

#include <cstddef>
#include <cstdint>

namespace scopecodec {

enum ResultCode : int {
  kSuccessful = 0,
  kUnsupportedApiLevel = 1,
  kUnexpectedEnd = 2,
  kInvalidDataSize = 3,
  kInvalidDataHeader = 4,
  kTriggerNotFound = 5,
};

// Decodes a capture; only on kSuccessful is *xml set, to a malloc'ed,
// NUL-terminated text. The bytes are read during the call only. Throws
// std::bad_alloc when the text does not fit in memory or would be out of all
// proportion to the capture (codec::resultTooLarge).
int decodeCapture(const uint8_t* data, size_t length, char** xml);

const char* resultText(int code);

}  // namespace scopecodec
