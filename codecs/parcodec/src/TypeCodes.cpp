// What the type codes stand for in a file: value widths and record
// descriptors.
#include "ParameterTable.h"

namespace parcodec {

unsigned valueWidth(int type) {
  switch (type) {
    case kInt8:
    case kUInt8:
      return 1;
    case kInt16:
    case kUInt16:
      return 2;
    case kInt32:
    case kUInt32:
    case kFloat:
      return 4;
    default:
      return 8;
  }
}

uint32_t descriptorFor(int type) {
  uint32_t width = valueWidth(type);
  uint32_t descriptor = width | ((width - 1) & 7) << 24 | 1u << 28;
  if (type == kFloat) descriptor |= 1u << 29;
  if (type == kInt8 || type == kInt16 || type == kInt32 || type == kInt64) descriptor |= 1u << 30;
  return descriptor;
}

}  // namespace parcodec
